#include "input/injector.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "platform/sim/sim_desktop.hpp"
#include "support/stderr_capture.hpp"

namespace velmora::input {
namespace {

using platform::MainLoop;
using platform::Point;
using platform::Rect;
using platform::mac::EventType;
using platform::mac::MouseButton;
using SyntheticEvent = platform::mac::Event;
using platform::sim::SimDesktop;
using platform::sim::SimScene;
using platform::sim::SimWindow;
using target::DisplaySurface;
using target::Target;
using target::WindowSurface;

constexpr std::int32_t editorPid = 500;
constexpr std::int32_t chatPid = 600;
constexpr platform::WindowId editorWindow = 10;
constexpr platform::WindowId chatWindow = 20;

// The editor's window spans (100, 50)–(900, 650). The chat window lies over its lower right part, so a
// point at fractions (0.25, 0.25) of the editor, (300, 200), reaches the editor and (0.75, 0.75),
// (700, 500), reaches the chat.
SimScene scene() {
    SimScene s;
    s.trusted = true;
    s.frontmostPid = chatPid;
    s.displays.push_back({1, "Built-in", Rect{0, 0, 1440, 900}, 2880, 1800});
    s.displays.push_back({2, "Side", Rect{-1920, -200.5, 1920, 1080}, 1920, 1080});
    s.windows.push_back(SimWindow{chatWindow, chatPid, "Chat", Rect{500, 300, 500, 500}, 0, true});
    s.windows.push_back(SimWindow{editorWindow, editorPid, "Editor", Rect{100, 50, 800, 600}, 0, true});
    return s;
}

const Target editor{WindowSurface{editorWindow}, "Editor", editorPid};
const Target mainDisplay{DisplaySurface{1}, "Built-in", std::nullopt};
const Target sideDisplay{DisplaySurface{2}, "Side", std::nullopt};

Button press(double x, double y, std::int64_t button = 0, std::int64_t clicks = 1) {
    return {true, x, y, button, clicks};
}
Button release(double x, double y, std::int64_t button = 0, std::int64_t clicks = 1) {
    return {false, x, y, button, clicks};
}
Key keyDown(std::string code, std::string key) {
    return {true, std::move(key), std::move(code), false};
}

class InjectorTest : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const auto& event : desktop.postedEvents())
            EXPECT_EQ(event.userData, velmTag);
    }

    const std::vector<SyntheticEvent>& posted() const { return desktop.postedEvents(); }
    void closeEditor() {
        auto& windows = desktop.scene().windows;
        std::erase_if(windows, [](const SimWindow& w) { return w.id == editorWindow; });
    }
    std::vector<EventType> postedTypes() const {
        std::vector<EventType> types;
        for (const auto& e : posted())
            types.push_back(e.type);
        return types;
    }

    MainLoop loop{MainLoop::Time::manual};
    SimDesktop desktop{loop, scene()};
    std::shared_ptr<Injector> injector = Injector::create(desktop, false);
};

TEST_F(InjectorTest, move_type_and_button_argument_follow_the_buttons_held) {
    struct Case {
        bool left, right, other;
        EventType type;
        MouseButton button;
    };
    for (const Case& c : std::vector<Case>{
             {false, false, false, EventType::mouseMoved, MouseButton::left},
             {true, false, false, EventType::leftMouseDragged, MouseButton::left},
             {true, false, true, EventType::leftMouseDragged, MouseButton::center},
             {true, true, false, EventType::leftMouseDragged, MouseButton::right},
             {true, true, true, EventType::leftMouseDragged, MouseButton::right},
             {false, true, false, EventType::rightMouseDragged, MouseButton::right},
             {false, true, true, EventType::rightMouseDragged, MouseButton::right},
             {false, false, true, EventType::otherMouseDragged, MouseButton::center},
         }) {
        SCOPED_TRACE(::testing::Message() << c.left << c.right << c.other);
        auto fresh = Injector::create(desktop, false);
        if (c.left) fresh->apply(press(0.1, 0.1, 0), {}, mainDisplay);
        if (c.right) fresh->apply(press(0.1, 0.1, 2), {}, mainDisplay);
        if (c.other) fresh->apply(press(0.1, 0.1, 1), {}, mainDisplay);
        desktop.clearPostedEvents();
        fresh->apply(Move{0.5, 0.25}, {}, mainDisplay);
        ASSERT_EQ(posted().size(), 1u);
        EXPECT_EQ(posted()[0].type, c.type);
        EXPECT_EQ(posted()[0].mouse()->button, c.button);
        EXPECT_EQ(posted()[0].location, (Point{720, 225}));
        EXPECT_EQ(fresh->lastPoint(), (Point{720, 225}));
    }
}

TEST_F(InjectorTest, presses_and_releases_set_their_button_and_carry_the_click_count) {
    struct Case {
        Button input;
        EventType type;
        MouseButton button;
        bool left, right, other;
    };
    for (const Case& c : std::vector<Case>{
             {press(0.5, 0.5, 0, 2), EventType::leftMouseDown, MouseButton::left, true, false, false},
             {press(0.5, 0.5, 1, 1), EventType::otherMouseDown, MouseButton::center, true, false, true},
             {press(0.5, 0.5, 2, 3), EventType::rightMouseDown, MouseButton::right, true, true, true},
             {release(0.5, 0.5, 0, 2), EventType::leftMouseUp, MouseButton::left, false, true, true},
             {release(0.5, 0.5, 2, 3), EventType::rightMouseUp, MouseButton::right, false, false, true},
             {release(0.5, 0.5, 1, 1), EventType::otherMouseUp, MouseButton::center, false, false, false},
         }) {
        desktop.clearPostedEvents();
        injector->apply(c.input, {}, mainDisplay);
        ASSERT_EQ(posted().size(), 1u);
        const auto& e = posted()[0];
        EXPECT_EQ(e.type, c.type);
        EXPECT_EQ(e.mouse()->button, c.button);
        EXPECT_EQ(e.mouse()->clickState, c.input.clicks);
        EXPECT_EQ(e.location, (Point{720, 450}));
        EXPECT_EQ(injector->leftDown(), c.left);
        EXPECT_EQ(injector->rightDown(), c.right);
        EXPECT_EQ(injector->otherDown(), c.other);
    }
}

TEST_F(InjectorTest, fractions_map_onto_the_surface_rectangle_looked_up_for_every_event) {
    struct Case {
        Target target;
        double x, y;
        Point expected;
    };
    for (const Case& c : std::vector<Case>{
             {mainDisplay, 0, 0, {0, 0}},
             {mainDisplay, 1, 1, {1440, 900}},
             {sideDisplay, 0, 0, {-1920, -200.5}},
             {sideDisplay, 0.5, 1, {-960, 879.5}},
             {editor, 0.25, 0.25, {300, 200}},
             {editor, -3, 7, {100, 650}},
         }) {
        desktop.clearPostedEvents();
        injector->apply(Move{c.x, c.y}, {}, c.target);
        ASSERT_EQ(posted().size(), 1u);
        EXPECT_EQ(posted()[0].location, c.expected);
    }

    // The window moves and grows; the next event follows it without being told.
    desktop.scene().windows[1].bounds = Rect{0, 0, 400, 200};
    desktop.clearPostedEvents();
    injector->apply(Move{0.5, 0.5}, {}, editor);
    ASSERT_EQ(posted().size(), 1u);
    EXPECT_EQ(posted()[0].location, (Point{200, 100}));
}

TEST_F(InjectorTest, modifiers_become_flags_on_every_event) {
    struct Case {
        Modifiers mods;
        std::uint64_t flags;
    };
    for (const Case& c : std::vector<Case>{
             {{}, 0},
             {{true, false, false, false}, 0x20000},
             {{false, true, false, false}, 0x80000},
             {{false, false, true, false}, 0x40000},
             {{false, false, false, true}, 0x100000},
             {{true, true, true, true}, 0x1E0000},
         }) {
        desktop.clearPostedEvents();
        injector->apply(Move{0.1, 0.1}, c.mods, mainDisplay);
        injector->apply(Wheel{0.1, 0.1, 0, 10}, c.mods, mainDisplay);
        injector->apply(keyDown("KeyA", "a"), c.mods, mainDisplay);
        ASSERT_EQ(posted().size(), 4u);
        for (const auto& e : posted())
            EXPECT_EQ(e.flags, c.flags);
    }
}

TEST_F(InjectorTest, covered_press_raises_and_holds_then_replays_press_drag_release_after_the_settle) {
    injector->apply(press(0.75, 0.75), {}, editor);
    EXPECT_TRUE(posted().empty());
    EXPECT_FALSE(injector->leftDown());
    EXPECT_EQ(desktop.raiseRequests().size(), 1u);
    EXPECT_EQ(desktop.activations(), std::vector<platform::ProcessId>{editorPid});

    loop.advance(std::chrono::milliseconds(50));
    injector->apply(Move{0.8, 0.8}, {}, editor);
    loop.advance(std::chrono::milliseconds(50));
    injector->apply(release(0.8, 0.8), {}, editor);
    EXPECT_EQ(injector->heldCount(), 3u);
    loop.advance(std::chrono::milliseconds(49));
    EXPECT_TRUE(posted().empty());

    loop.advance(Injector::settle);
    EXPECT_EQ(postedTypes(), (std::vector<EventType>{EventType::leftMouseDown, EventType::leftMouseDragged,
                                                     EventType::leftMouseUp}));
    EXPECT_EQ(posted()[0].location, (Point{700, 500}));
    EXPECT_EQ(posted()[2].location, (Point{740, 530}));
    EXPECT_EQ(injector->heldCount(), 0u);
    EXPECT_FALSE(injector->leftDown());
    EXPECT_EQ(desktop.raiseRequests().size(), 1u);

    // The hold window is closed again: the editor is in front now, so the next press goes straight through.
    injector->apply(press(0.75, 0.75), {}, editor);
    EXPECT_EQ(posted().size(), 4u);
}

TEST_F(InjectorTest, replay_delivers_without_a_second_check_when_the_raise_did_not_take) {
    desktop.scene().trusted = false;  // the window stays behind the chat
    injector->apply(press(0.75, 0.75), {}, editor);
    injector->apply(Wheel{0.75, 0.75, 0, 5}, {}, editor);
    loop.advance(Injector::settle);
    EXPECT_EQ(postedTypes(), (std::vector<EventType>{EventType::leftMouseDown, EventType::mouseMoved,
                                                     EventType::scrollWheel}));
    EXPECT_EQ(desktop.raiseRequests().size(), 1u);
}

TEST_F(InjectorTest, events_for_every_target_are_held_while_the_hold_window_is_open) {
    injector->apply(press(0.75, 0.75), {}, editor);
    injector->apply(Move{0.5, 0.5}, {}, mainDisplay);
    injector->apply(keyDown("KeyA", "a"), {}, sideDisplay);
    EXPECT_TRUE(posted().empty());
    EXPECT_EQ(injector->heldCount(), 3u);
    loop.advance(Injector::settle);
    EXPECT_EQ(postedTypes(), (std::vector<EventType>{EventType::leftMouseDown, EventType::leftMouseDragged,
                                                     EventType::keyDown}));
    EXPECT_EQ(posted()[1].location, (Point{720, 450}));
}

TEST_F(InjectorTest, event_after_the_hold_but_before_its_replay_runs_is_delivered_behind_the_held_events) {
    injector->apply(press(0.75, 0.75), {}, editor);
    injector->apply(release(0.75, 0.75), {}, editor);
    // The hold is over while its replay still waits behind queued work: the move must not overtake it.
    loop.shiftWallClock(std::chrono::milliseconds(200));
    injector->apply(Move{0.5, 0.5}, {}, mainDisplay);
    const std::vector<EventType> inOrder{EventType::leftMouseDown, EventType::leftMouseUp,
                                         EventType::mouseMoved};
    EXPECT_EQ(postedTypes(), inOrder);
    EXPECT_EQ(injector->heldCount(), 0u);

    loop.advance(Injector::settle);
    EXPECT_EQ(postedTypes(), inOrder);
}

TEST_F(InjectorTest, replay_scheduled_before_release_all_cannot_end_a_later_hold_early) {
    desktop.scene().trusted = false;  // the editor stays covered, so every press raises
    injector->apply(press(0.75, 0.75), {}, editor);
    loop.advance(std::chrono::milliseconds(100));
    injector->releaseAll(editor);
    loop.advance(std::chrono::milliseconds(30));
    injector->apply(press(0.75, 0.75), {}, editor);
    loop.advance(std::chrono::milliseconds(50));  // the first replay's time has come and gone
    EXPECT_TRUE(posted().empty());
    EXPECT_EQ(injector->heldCount(), 1u);
    loop.advance(std::chrono::milliseconds(100));
    EXPECT_EQ(postedTypes(), std::vector<EventType>{EventType::leftMouseDown});
}

TEST_F(InjectorTest, late_covered_press_is_tested_as_usual_and_raises_again) {
    desktop.scene().trusted = false;
    injector->apply(press(0.75, 0.75), {}, editor);
    loop.shiftWallClock(std::chrono::milliseconds(200));
    injector->apply(press(0.75, 0.75, 2), {}, editor);
    EXPECT_EQ(desktop.raiseRequests().size(), 2u);
    EXPECT_EQ(postedTypes(), std::vector<EventType>{EventType::leftMouseDown});
    loop.advance(Injector::settle);
    EXPECT_EQ(postedTypes(), (std::vector<EventType>{EventType::leftMouseDown, EventType::rightMouseDown}));
    loop.advance(Injector::settle);
    EXPECT_EQ(posted().size(), 2u);
}

TEST_F(InjectorTest, release_and_move_are_never_tested_against_the_front_window) {
    injector->apply(release(0.75, 0.75), {}, editor);
    injector->apply(Move{0.75, 0.75}, {}, editor);
    EXPECT_EQ(postedTypes(), (std::vector<EventType>{EventType::leftMouseUp, EventType::mouseMoved}));
    EXPECT_TRUE(desktop.raiseRequests().empty());
    EXPECT_EQ(injector->heldCount(), 0u);
}

TEST_F(InjectorTest, replay_does_nothing_once_the_injector_is_gone) {
    injector->apply(press(0.75, 0.75), {}, editor);
    injector.reset();
    loop.advance(Injector::settle);
    EXPECT_TRUE(posted().empty());
}

TEST_F(InjectorTest, wheel_moves_the_pointer_then_scrolls_by_rounded_negated_pixels) {
    struct Case {
        double dx, dy;
        std::int32_t horizontal, vertical;
    };
    constexpr auto max = std::numeric_limits<std::int32_t>::max();
    constexpr auto min = std::numeric_limits<std::int32_t>::min();
    for (const Case& c : std::vector<Case>{
             {-0.4, 120.5, 0, -121},
             {2.5, -2.5, -3, 3},
             {0.5, -0.5, -1, 1},
             {0.49, -0.49, 0, 0},
             {-240, 0, 240, 0},
             {2147483647.4, -2147483647.4, -2147483647, 2147483647},
             {-2147483648.4, 2147483648.4, max, min},
             {1e300, -1e300, min, max},
         }) {
        SCOPED_TRACE(::testing::Message() << c.dx << ", " << c.dy);
        desktop.clearPostedEvents();
        injector->apply(Wheel{0.25, 0.25, c.dx, c.dy}, {}, editor);
        ASSERT_EQ(postedTypes(), (std::vector<EventType>{EventType::mouseMoved, EventType::scrollWheel}));
        EXPECT_EQ(posted()[0].location, (Point{300, 200}));
        EXPECT_EQ(posted()[0].mouse()->button, MouseButton::left);
        const auto& scroll = *posted()[1].scroll();
        EXPECT_EQ(scroll.unit, platform::mac::ScrollUnit::pixel);
        EXPECT_EQ(scroll.wheelCount, 2u);
        EXPECT_EQ(scroll.wheel1, c.vertical);
        EXPECT_EQ(scroll.wheel2, c.horizontal);
        EXPECT_EQ(scroll.wheel3, 0);
        EXPECT_EQ(posted()[1].location, (Point{300, 200}));
    }
}

TEST_F(InjectorTest, wheel_pre_move_is_plain_while_a_button_is_held_and_scroll_leaves_last_point) {
    injector->apply(press(0.1, 0.1), {}, mainDisplay);
    desktop.clearPostedEvents();
    injector->apply(Wheel{0.5, 0.5, 0, 3}, {}, mainDisplay);
    ASSERT_EQ(posted().size(), 2u);
    EXPECT_EQ(posted()[0].type, EventType::mouseMoved);
    EXPECT_EQ(injector->lastPoint(), (Point{720, 450}));
}

TEST_F(InjectorTest, covered_wheel_raises_whatever_its_deltas) {
    injector->apply(Wheel{0.75, 0.75, 0, 0}, {}, editor);
    EXPECT_TRUE(posted().empty());
    EXPECT_EQ(desktop.raiseRequests().size(), 1u);
    EXPECT_EQ(injector->heldCount(), 1u);
}

struct KeyCase {
    std::string name;
    Key key;
    Modifiers mods;
    bool posts;
    std::uint16_t keyCode = 0;
    std::u16string text = {};
};

TEST_F(InjectorTest, key_events_follow_the_modifier_table_and_text_rules) {
    const Modifiers none;
    const Modifiers shift{true, false, false, false};
    const Modifiers alt{false, true, false, false};
    const Modifiers ctrl{false, false, true, false};
    const Modifiers meta{false, false, false, true};
    for (const KeyCase& c : std::vector<KeyCase>{
             {"shift key itself", keyDown("ShiftLeft", "Shift"), shift, false},
             {"caps lock", keyDown("CapsLock", "CapsLock"), none, false},
             {"shifted letter", keyDown("KeyA", "A"), shift, true, 0, u"A"},
             {"control chord", keyDown("KeyC", "c"), ctrl, true, 8, u""},
             {"command chord", keyDown("KeyC", "c"), meta, true, 8, u""},
             {"option letter", keyDown("KeyE", "\xc3\xa9"), alt, true, 14, u"\u00e9"},
             {"key up has text too", Key{false, "a", "KeyA", false}, none, true, 0, u"a"},
             {"repeat is posted alike", Key{true, "a", "KeyA", true}, none, true, 0, u"a"},
             {"unmapped accented letter", keyDown("IntlBackslash", "e\xcc\x81"), none, true, 0, u"e\u0301"},
             {"unmapped emoji", keyDown("Unidentified", "\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd"), none, true, 0,
              u"\U0001F44D\U0001F3FD"},
             {"unmapped flag", keyDown("", "\xf0\x9f\x87\xab\xf0\x9f\x87\xb7"), none, true, 0,
              u"\U0001F1EB\U0001F1F7"},
             {"unmapped key name", keyDown("MediaPlayPause", "MediaPlayPause"), none, false},
             {"unmapped two letters", keyDown("IntlRo", "ab"), none, false},
             {"unmapped one character with command", keyDown("IntlRo", "\xe3\x82\x8d"), meta, true, 0, u""},
             {"space", keyDown("Space", " "), none, true, 49, u" "},
             {"enter", keyDown("Enter", "Enter"), none, true, 36, u""},
             {"tab character is no text", keyDown("Tab", "\t"), none, true, 48, u""},
             {"mapped key without text", keyDown("ArrowUp", ""), none, true, 126, u""},
             {"invalid utf-8 stands for one replacement character", keyDown("KeyA", "\xff"), none, true, 0,
              u"\uFFFD"},
         }) {
        SCOPED_TRACE(c.name);
        desktop.clearPostedEvents();
        injector->apply(c.key, c.mods, mainDisplay);
        if (!c.posts) {
            EXPECT_TRUE(posted().empty());
            continue;
        }
        ASSERT_EQ(posted().size(), 1u);
        const auto& e = posted()[0];
        EXPECT_EQ(e.type, c.key.down ? EventType::keyDown : EventType::keyUp);
        EXPECT_EQ(e.keyboard()->keyCode, c.keyCode);
        EXPECT_EQ(e.keyboard()->keyDown, c.key.down);
        EXPECT_EQ(e.keyboard()->text, c.text);
    }
    EXPECT_EQ(injector->lastPoint(), std::nullopt);
}

TEST_F(InjectorTest, key_down_without_focus_raises_but_modifier_codes_and_key_ups_never_do) {
    injector->apply(keyDown("ShiftLeft", "Shift"), {}, editor);
    injector->apply(Key{false, "a", "KeyA", false}, {}, editor);
    EXPECT_TRUE(desktop.raiseRequests().empty());
    EXPECT_EQ(postedTypes(), std::vector<EventType>{EventType::keyUp});

    injector->apply(keyDown("KeyA", "a"), {}, editor);
    EXPECT_EQ(desktop.raiseRequests().size(), 1u);
    EXPECT_EQ(injector->heldCount(), 1u);
    loop.advance(Injector::settle);
    EXPECT_EQ(postedTypes(), (std::vector<EventType>{EventType::keyUp, EventType::keyDown}));
}

TEST_F(InjectorTest, focus_test_comes_before_the_table_so_an_unmapped_name_raises_and_is_dropped_on_replay) {
    injector->apply(keyDown("MediaPlayPause", "MediaPlayPause"), {}, editor);
    EXPECT_EQ(desktop.raiseRequests().size(), 1u);
    EXPECT_EQ(injector->heldCount(), 1u);
    loop.advance(Injector::settle);
    EXPECT_TRUE(posted().empty());
    EXPECT_EQ(injector->heldCount(), 0u);
}

TEST_F(InjectorTest, key_down_goes_through_when_the_target_application_has_focus) {
    desktop.scene().frontmostPid = editorPid;
    injector->apply(keyDown("KeyA", "a"), {}, editor);
    EXPECT_EQ(postedTypes(), std::vector<EventType>{EventType::keyDown});
    EXPECT_TRUE(desktop.raiseRequests().empty());
}

TEST_F(InjectorTest, release_all_releases_left_then_middle_at_the_top_left_corner_without_a_last_point) {
    desktop.failEventCreation = true;  // the presses are recorded but never posted, so no point is known
    injector->apply(press(0.25, 0.25, 0), {}, editor);
    injector->apply(press(0.25, 0.25, 1), {}, editor);
    desktop.failEventCreation = false;
    ASSERT_TRUE(injector->leftDown() && injector->otherDown());
    ASSERT_EQ(injector->lastPoint(), std::nullopt);

    injector->releaseAll(editor);
    ASSERT_EQ(postedTypes(), (std::vector<EventType>{EventType::leftMouseUp, EventType::otherMouseUp}));
    for (const auto& e : posted()) {
        EXPECT_EQ(e.location, (Point{100, 50}));
        EXPECT_EQ(e.flags, 0u);
        EXPECT_EQ(e.mouse()->clickState, 0);
    }
    EXPECT_EQ(posted()[0].mouse()->button, MouseButton::left);
    EXPECT_EQ(posted()[1].mouse()->button, MouseButton::center);
    EXPECT_FALSE(injector->leftDown() || injector->rightDown() || injector->otherDown());
    EXPECT_EQ(injector->lastPoint(), (Point{100, 50}));
}

TEST_F(InjectorTest, release_all_releases_every_held_button_at_the_last_point_in_order) {
    const Modifiers shift{true, false, false, false};
    injector->apply(press(0.5, 0.5, 2), shift, mainDisplay);
    injector->apply(press(0.5, 0.5, 1), shift, mainDisplay);
    injector->apply(press(0.5, 0.5, 0), shift, mainDisplay);
    injector->apply(Move{0.25, 0.25}, shift, mainDisplay);
    desktop.clearPostedEvents();
    injector->releaseAll(mainDisplay);
    ASSERT_EQ(postedTypes(), (std::vector<EventType>{EventType::leftMouseUp, EventType::rightMouseUp,
                                                     EventType::otherMouseUp}));
    for (const auto& e : posted()) {
        EXPECT_EQ(e.location, (Point{360, 225}));
        EXPECT_EQ(e.flags, 0u);
    }
    desktop.clearPostedEvents();
    injector->releaseAll(mainDisplay);
    EXPECT_TRUE(posted().empty());
}

TEST_F(InjectorTest, release_all_without_a_target_drops_the_hold_and_releases_at_the_last_point) {
    injector->apply(press(0.1, 0.1), {}, mainDisplay);
    injector->apply(press(0.75, 0.75, 2), {}, editor);
    injector->apply(Move{0.5, 0.5}, {}, editor);
    ASSERT_EQ(injector->heldCount(), 2u);
    desktop.clearPostedEvents();

    injector->releaseAll(std::nullopt);
    EXPECT_EQ(injector->heldCount(), 0u);
    EXPECT_FALSE(injector->leftDown());
    ASSERT_EQ(postedTypes(), std::vector<EventType>{EventType::leftMouseUp});
    EXPECT_EQ(posted()[0].location, (Point{144, 90}));

    // The hold is over: a new event goes straight through, and the replay still scheduled finds nothing.
    injector->apply(Move{0.5, 0.5}, {}, mainDisplay);
    loop.advance(Injector::settle);
    EXPECT_EQ(postedTypes(), (std::vector<EventType>{EventType::leftMouseUp, EventType::mouseMoved}));
}

TEST_F(InjectorTest, release_all_lets_go_of_buttons_and_keys_even_when_the_window_has_closed) {
    injector->apply(keyDown("KeyA", "a"), {}, mainDisplay);
    injector->apply(keyDown("Enter", "Enter"), {}, mainDisplay);
    injector->apply(Key{false, "a", "KeyA", false}, {}, mainDisplay);
    injector->apply(keyDown("KeyQ", "q"), {}, mainDisplay);
    injector->apply(press(0.25, 0.25), {}, editor);
    closeEditor();
    desktop.clearPostedEvents();

    injector->releaseAll(editor);
    ASSERT_EQ(postedTypes(),
              (std::vector<EventType>{EventType::leftMouseUp, EventType::keyUp, EventType::keyUp}));
    EXPECT_EQ(posted()[0].location, (Point{300, 200}));
    EXPECT_EQ(posted()[1].keyboard()->keyCode, 12);  // Q, then Return: the keys still down, by code
    EXPECT_EQ(posted()[2].keyboard()->keyCode, 36);
    EXPECT_TRUE(posted()[1].keyboard()->text.empty());
    EXPECT_FALSE(injector->leftDown());
    EXPECT_TRUE(injector->keysDown().empty());

    // Nothing is believed down any more, so the next page's first move is a plain move.
    injector->apply(Move{0.5, 0.5}, {}, mainDisplay);
    EXPECT_EQ(posted().back().type, EventType::mouseMoved);
}

TEST_F(InjectorTest, events_for_a_closed_window_or_a_missing_display_are_dropped_untouched) {
    closeEditor();
    injector->apply(press(0.25, 0.25), {}, editor);
    injector->apply(keyDown("KeyA", "a"), {}, editor);
    injector->apply(Wheel{0.5, 0.5, 0, 1}, {}, editor);
    injector->apply(press(0.5, 0.5), {}, Target{DisplaySurface{77}, "Gone", std::nullopt});
    EXPECT_TRUE(posted().empty());
    EXPECT_FALSE(injector->leftDown());
    EXPECT_EQ(injector->heldCount(), 0u);
    EXPECT_TRUE(desktop.raiseRequests().empty());
}

TEST_F(InjectorTest, held_event_whose_window_closes_before_the_replay_is_dropped) {
    injector->apply(press(0.75, 0.75), {}, editor);
    injector->apply(Move{0.5, 0.5}, {}, mainDisplay);
    closeEditor();
    loop.advance(Injector::settle);
    EXPECT_EQ(postedTypes(), std::vector<EventType>{EventType::mouseMoved});
    EXPECT_FALSE(injector->leftDown());
}

TEST_F(InjectorTest, refused_creation_posts_nothing_but_keeps_the_button_state) {
    desktop.failEventCreation = true;
    injector->apply(press(0.5, 0.5, 2), {}, mainDisplay);
    injector->apply(Wheel{0.5, 0.5, 0, 1}, {}, mainDisplay);
    injector->apply(keyDown("KeyA", "a"), {}, mainDisplay);
    EXPECT_TRUE(posted().empty());
    EXPECT_TRUE(injector->rightDown());
    EXPECT_EQ(injector->lastPoint(), std::nullopt);
}

TEST_F(InjectorTest, buttons_belong_to_the_injector_not_to_a_target) {
    injector->apply(press(0.5, 0.5), {}, mainDisplay);
    injector->apply(Move{0.5, 0.5}, {}, sideDisplay);
    EXPECT_EQ(posted().back().type, EventType::leftMouseDragged);
}

// Each line the dry run writes, without the timestamp.
std::vector<std::string> dryRunLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        const auto line = text.substr(start, end - start);
        const auto mark = line.find("] ");
        lines.push_back(mark == std::string::npos ? line : line.substr(mark + 2));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

TEST_F(InjectorTest, dry_run_logs_each_event_as_one_line_and_posts_checks_raises_and_holds_nothing) {
    desktop.scene().displays.push_back({3, "Wide", Rect{0, 0, 1000, 1000}, 1000, 1000});
    const Target wide{DisplaySurface{3}, "Wide", std::nullopt};
    const Modifiers shift{true, false, false, false};
    auto dry = Injector::create(desktop, true);
    EXPECT_TRUE(dry->dryRun());
    EXPECT_FALSE(injector->dryRun());

    testing::StderrCapture capture;
    dry->apply(press(0.8127, 0.4552), shift, wide);
    dry->apply(Move{0.5, 0.5}, {}, sideDisplay);
    dry->apply(press(0.75, 0.75, 2, 2), {}, editor);  // covered, but dry run does not look
    dry->apply(Wheel{0.25, 0.25, 0, 120.5}, {true, true, true, true}, editor);
    dry->apply(keyDown("KeyA", "a"), {}, editor);
    dry->apply(keyDown("ShiftLeft", "Shift"), {}, editor);
    dry->apply(release(0.001, 0.001, 1), {}, sideDisplay);
    dry->releaseAll(editor);

    EXPECT_EQ(dryRunLines(capture.text()), (std::vector<std::string>{
                                               "dry-run: left-down at (812, 455) flags=131072",
                                               "dry-run: left-drag at (-960, 339) flags=0",
                                               "dry-run: right-down at (700, 500) flags=0",
                                               "dry-run: move at (300, 200) flags=1966080",
                                               "dry-run: scroll at (300, 200) flags=1966080",
                                               "dry-run: key-down at (0, 0) flags=0",
                                               "dry-run: other-up at (-1918, -199) flags=0",
                                               "dry-run: left-up at (-1918, -199) flags=0",
                                               "dry-run: right-up at (-1918, -199) flags=0",
                                               "dry-run: key-up at (0, 0) flags=0",
                                           }));
    EXPECT_TRUE(posted().empty());
    EXPECT_TRUE(desktop.raiseRequests().empty());
    EXPECT_EQ(dry->heldCount(), 0u);
    EXPECT_FALSE(dry->leftDown() || dry->rightDown());
}

TEST_F(InjectorTest, dry_run_truncates_coordinates_toward_zero) {
    desktop.scene().displays.push_back({3, "Odd", Rect{-0.75, -2.5, 1e20, 2}, 1, 1});
    auto dry = Injector::create(desktop, true);
    testing::StderrCapture capture;
    dry->apply(Move{0, 0}, {}, Target{DisplaySurface{3}, "Odd", std::nullopt});
    dry->apply(Move{1, 1}, {}, Target{DisplaySurface{3}, "Odd", std::nullopt});
    EXPECT_EQ(dryRunLines(capture.text()), (std::vector<std::string>{
                                               "dry-run: move at (0, -2) flags=0",
                                               "dry-run: move at (100000000000000000000, 0) flags=0",
                                           }));
}

TEST(Describe, names_every_event_type_and_numbers_the_rest) {
    struct Case {
        std::uint32_t type;
        std::string name;
    };
    for (const Case& c : std::vector<Case>{
             {1, "left-down"},
             {2, "left-up"},
             {3, "right-down"},
             {4, "right-up"},
             {5, "move"},
             {6, "left-drag"},
             {7, "right-drag"},
             {10, "key-down"},
             {11, "key-up"},
             {22, "scroll"},
             {25, "other-down"},
             {26, "other-up"},
             {27, "other-drag"},
             {0, "event(0)"},
             {8, "event(8)"},
             {29, "event(29)"},
             {4294967295u, "event(4294967295)"},
         }) {
        EXPECT_EQ(describe(static_cast<EventType>(c.type)), c.name);
    }
}

}  // namespace
}  // namespace velmora::input
