#include "platform/mac_terms.hpp"

#include <gtest/gtest.h>

namespace velmora::platform::mac {
namespace {

// Main display 1080 high; a display above it has negative global y.
TEST(MacTerms, frames_grow_upward_from_the_bottom_of_the_main_display) {
    struct Case {
        Rect global;
        Rect frame;
    };
    const Case cases[] = {
        {{100, 200, 800, 600}, {100, 280, 800, 600}},
        {{-100, -1300, 1200, 900}, {-100, 1080 + 400, 1200, 900}},
        {{0, 0, 1920, 1080}, {0, 0, 1920, 1080}},
        {{10, 20, -5, -5}, {5, 1060, 5, 5}},  // a negative size is normalised first
    };
    for (const auto& c : cases) {
        EXPECT_EQ(frameFor(c.global, 1080), c.frame);
        EXPECT_EQ(frameFor(c.frame, 1080),
                  (Rect{c.global.minX(), c.global.minY(), c.global.absWidth(), c.global.absHeight()}));
    }
}

// The drag table: the type follows the left button first, the button argument the right one first.
TEST(MacTerms, a_move_with_buttons_held_is_the_systems_drag) {
    struct Case {
        HeldButtons held;
        EventType type;
        MouseButton button;
    };
    const Case cases[] = {
        {{false, false, false}, EventType::mouseMoved, MouseButton::left},
        {{true, false, false}, EventType::leftMouseDragged, MouseButton::left},
        {{true, false, true}, EventType::leftMouseDragged, MouseButton::center},
        {{true, true, false}, EventType::leftMouseDragged, MouseButton::right},
        {{true, true, true}, EventType::leftMouseDragged, MouseButton::right},
        {{false, true, true}, EventType::rightMouseDragged, MouseButton::right},
        {{false, false, true}, EventType::otherMouseDragged, MouseButton::center},
    };
    for (const auto& c : cases) {
        const auto event =
            eventFor(SyntheticInput{PointerMotion{{1, 2}, c.held}, {true, false, false, true}, 7}, {});
        EXPECT_EQ(event.type, c.type);
        EXPECT_EQ(event.mouse()->button, c.button);
        EXPECT_EQ(event.flags, eventFlags::shift | eventFlags::command);
        EXPECT_EQ(event.userData, 7);
    }
}

}  // namespace
}  // namespace velmora::platform::mac
