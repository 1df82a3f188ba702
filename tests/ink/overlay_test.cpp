#include "ink/overlay.hpp"

#include <gtest/gtest.h>
#include <boost/json/parse.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sim/sim_desktop.hpp"

namespace velmora::ink {
namespace {

using platform::Color;
using platform::Point;
using platform::Rect;
using namespace std::chrono_literals;

platform::sim::SimScene oneDisplay() {
    platform::sim::SimScene scene;
    scene.displays.push_back({1, "Built-in Display", Rect{0, 0, 1920, 1080}, 3840, 2160});
    return scene;
}

struct Fixture {
    explicit Fixture(platform::sim::SimScene scene = oneDisplay()) : desktop(loop, std::move(scene)) {}

    platform::MainLoop loop{platform::MainLoop::Time::manual};
    platform::sim::SimDesktop desktop;
    std::optional<Rect> target = Rect{100, 200, 800, 600};
    int boundsCalls = 0;
    std::shared_ptr<Overlay> overlay = Overlay::create(desktop, [this] {
        ++boundsCalls;
        return target;
    });

    platform::sim::SimOverlayWindow& window() {
        return dynamic_cast<platform::sim::SimOverlayWindow&>(overlay->window());
    }
    std::vector<std::shared_ptr<InkStroke>>& strokes() { return overlay->view().strokes; }
    void send(std::string_view json) { overlay->stroke(boost::json::parse(json).as_object()); }
    void frames(int count) {
        for (int i = 0; i < count; ++i)
            loop.advance(Overlay::tickInterval);
    }
    void expectIdle() {
        EXPECT_TRUE(strokes().empty());
        EXPECT_FALSE(window().isVisible());
        EXPECT_FALSE(overlay->timerRunning());
    }
};

TEST(Overlay, is_made_with_a_hidden_click_through_window_and_no_timer) {
    Fixture f;
    const auto& a = f.window().attributes();
    EXPECT_EQ(a.contentRect, Rect{});
    EXPECT_EQ(a.styleMask, 0u);
    EXPECT_EQ(a.backing, 2);
    EXPECT_FALSE(a.deferred);
    EXPECT_FALSE(a.opaque);
    EXPECT_EQ(a.backgroundColor, Color::clear());
    EXPECT_FALSE(a.hasShadow);
    EXPECT_TRUE(a.ignoresMouseEvents);
    EXPECT_FALSE(a.releasedWhenClosed);
    EXPECT_EQ(a.level, 3);
    EXPECT_EQ(a.sharingType, platform::mac::SharingType::none);
    EXPECT_EQ(a.collectionBehavior, 0x151u);
    EXPECT_EQ(f.window().contentView().get(), &f.overlay->view());
    EXPECT_TRUE(f.overlay->view().isFlipped());
    f.expectIdle();
    EXPECT_EQ(f.window().frame(), Rect{});
    EXPECT_EQ(f.boundsCalls, 0);
}

TEST(Overlay, capturable_ink_gives_a_read_only_sharing_type) {
    overlayCapturable = true;
    Fixture f;
    overlayCapturable = false;
    EXPECT_EQ(f.window().attributes().sharingType, platform::mac::SharingType::readOnly);
}

TEST(Overlay, a_stroke_shows_the_window_exactly_over_the_target) {
    Fixture f;
    f.send(R"({"type":"stroke","streamIndex":1,"id":"a","points":[{"x":0.5,"y":0.5}]})");
    EXPECT_TRUE(f.window().isVisible());
    EXPECT_TRUE(f.overlay->timerRunning());
    EXPECT_EQ(f.window().frame(), f.target);
    EXPECT_EQ(f.desktop.windowEntry(f.window().windowNumber())->bounds, f.target);
}

TEST(Overlay, the_timer_ticks_sixty_times_a_second_while_there_is_ink) {
    Fixture f;
    f.send(R"({"id":"a","points":[{"x":0.1,"y":0.1}]})");
    EXPECT_EQ(f.boundsCalls, 1);  // the tick at the end of the message
    f.loop.advance(Overlay::tickInterval);
    EXPECT_EQ(f.boundsCalls, 2);
    f.loop.advance(1s);
    EXPECT_EQ(f.boundsCalls, 62);
}

TEST(Overlay, unusable_messages_change_nothing) {
    const char* messages[] = {
        R"({"id":"a"})",
        R"({"id":"a","points":{"x":0.5,"y":0.5}})",
        R"({"id":"a","points":[{"x":0.5,"y":0.5},3],"done":true})",
        R"({"id":"a","points":[null],"done":true})",
        R"({"points":[{"x":0.5,"y":0.5}],"done":true})",
        R"({"id":7,"points":[{"x":0.5,"y":0.5}]})",
        R"({"id":null,"points":[]})",
    };
    for (const char* message : messages) {
        SCOPED_TRACE(message);
        Fixture f;
        f.send(message);
        f.expectIdle();
        EXPECT_EQ(f.boundsCalls, 0);
    }
}

TEST(Overlay, a_message_that_ends_a_stroke_only_still_ends_it) {
    Fixture f;
    f.send(R"({"id":"a","points":[],"done":true})");
    ASSERT_EQ(f.strokes().size(), 1u);
    EXPECT_TRUE(f.strokes()[0]->points.empty());
    EXPECT_EQ(f.strokes()[0]->endedAt, f.loop.wallNow());
    EXPECT_TRUE(f.overlay->timerRunning());

    f.send(R"({"id":"b","points":[{"x":0.2,"y":0.2}]})");
    f.send(R"({"id":"b","points":[],"done":true})");
    EXPECT_EQ(f.strokes()[1]->points.size(), 1u);
    EXPECT_TRUE(f.strokes()[1]->endedAt.has_value());
}

TEST(Overlay, points_are_clamped_and_unusable_points_skipped) {
    Fixture f;
    boost::json::object message = boost::json::parse(R"({"id":"a","points":[
        {"x":-0.5,"y":2}, {"x":0.5}, {"x":"0.3","y":0.3}, {"y":0.4}, {"x":true,"y":0.25}, {"x":0.5,"y":0.5}]})")
                                      .as_object();
    boost::json::object infinite;
    infinite["x"] = std::numeric_limits<double>::infinity();
    infinite["y"] = 0.5;
    boost::json::object notANumber;
    notANumber["x"] = 0.5;
    notANumber["y"] = std::numeric_limits<double>::quiet_NaN();
    message["points"].as_array().push_back(infinite);
    message["points"].as_array().push_back(notANumber);
    message["points"].as_array().push_back(boost::json::object{{"x", 1.0}, {"y", 0.0}});
    f.overlay->stroke(message);

    ASSERT_EQ(f.strokes().size(), 1u);
    EXPECT_EQ(f.strokes()[0]->points, (std::vector<Point>{{0, 1}, {1, 0.25}, {0.5, 0.5}, {1, 0}}));
}

TEST(Overlay, colour_and_width_come_from_the_first_message_of_a_stroke) {
    Fixture f;
    f.send(R"({"id":"a","points":[{"x":0.1,"y":0.1}],"color":"#00ff00","width":9})");
    f.send(R"({"id":"a","points":[{"x":0.2,"y":0.2}],"color":"#0000ff","width":2})");
    f.send(R"({"id":"b","points":[]})");
    f.send(R"({"id":"c","points":[],"color":"#12345","width":"7"})");
    f.send(R"({"id":"d","points":[],"color":17,"width":true})");
    f.send(R"({"id":"e","points":[],"color":" f0a ","width":-3})");

    ASSERT_EQ(f.strokes().size(), 5u);
    EXPECT_EQ(f.strokes()[0]->color, (Color{0, 1, 0, 1}));
    EXPECT_EQ(f.strokes()[0]->width, 9);
    EXPECT_EQ(f.strokes()[0]->points.size(), 2u);
    EXPECT_EQ(f.strokes()[1]->color, Color::systemRed());
    EXPECT_EQ(f.strokes()[1]->width, 4);
    EXPECT_EQ(f.strokes()[2]->color, Color::systemRed());
    EXPECT_EQ(f.strokes()[2]->width, 4);
    EXPECT_EQ(f.strokes()[3]->color, Color::systemRed());
    EXPECT_EQ(f.strokes()[3]->width, 1);
    EXPECT_EQ(f.strokes()[4]->color, (Color{1, 0, 170 / 255.0, 1}));
    EXPECT_EQ(f.strokes()[4]->width, -3);
}

TEST(Overlay, done_is_read_as_a_boolean) {
    struct Case {
        const char* done;
        bool ends;
    };
    const Case cases[] = {{"true", true},      {"1", true},  {"false", false}, {"0", false},
                          {"\"true\"", false}, {"2", false}, {"null", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.done);
        Fixture f;
        f.send(std::string(R"({"id":"a","points":[{"x":0.1,"y":0.1}],"done":)") + c.done + "}");
        ASSERT_EQ(f.strokes().size(), 1u);
        EXPECT_EQ(f.strokes()[0]->endedAt.has_value(), c.ends);
    }
}

TEST(Overlay, a_finished_stroke_fades_out_and_the_overlay_goes_idle) {
    Fixture f;
    f.send(R"({"id":"a","points":[{"x":0.1,"y":0.1},{"x":0.2,"y":0.2}],"done":true})");
    f.loop.advance(2490ms);
    EXPECT_EQ(f.strokes().size(), 1u);
    EXPECT_TRUE(f.window().isVisible());
    f.loop.advance(30ms);  // the first tick at or past 2.5 s removes it
    f.expectIdle();
    const int calls = f.boundsCalls;
    f.loop.advance(1s);
    EXPECT_EQ(f.boundsCalls, calls);
}

TEST(Overlay, a_further_done_restarts_the_fade) {
    Fixture f;
    f.send(R"({"id":"a","points":[{"x":0.1,"y":0.1}],"done":true})");
    f.loop.advance(2s);
    f.send(R"({"id":"a","points":[{"x":0.2,"y":0.1}],"done":true})");
    f.loop.advance(2s);
    ASSERT_EQ(f.strokes().size(), 1u);
    EXPECT_EQ(f.strokes()[0]->points.size(), 2u);
    f.loop.advance(600ms);
    f.expectIdle();
}

TEST(Overlay, a_stroke_that_never_ends_stays) {
    Fixture f;
    f.send(R"({"id":"a","points":[{"x":0.1,"y":0.1}]})");
    f.loop.advance(60s);
    EXPECT_EQ(f.strokes().size(), 1u);
    EXPECT_TRUE(f.window().isVisible());
    EXPECT_TRUE(f.overlay->timerRunning());
}

TEST(Overlay, an_id_used_again_after_its_stroke_expired_starts_a_new_stroke_on_top) {
    Fixture f;
    f.send(R"({"id":"a","points":[{"x":0.1,"y":0.1}],"color":"#ff0000","width":3,"done":true})");
    f.loop.advance(1s);
    f.send(R"({"id":"b","points":[{"x":0.3,"y":0.3}]})");
    f.loop.advance(2s);
    ASSERT_EQ(f.strokes().size(), 1u);
    f.send(R"({"id":"a","points":[{"x":0.5,"y":0.5}],"color":"#0000ff","width":6})");
    ASSERT_EQ(f.strokes().size(), 2u);
    EXPECT_EQ(f.strokes()[0]->id, "b");
    EXPECT_EQ(f.strokes()[1]->id, "a");
    EXPECT_EQ(f.strokes()[1]->color, (Color{0, 0, 1, 1}));
    EXPECT_EQ(f.strokes()[1]->width, 6);
    EXPECT_EQ(f.strokes()[1]->points, (std::vector<Point>{{0.5, 0.5}}));
}

TEST(Overlay, follows_a_moving_target_within_one_tick_and_sets_the_frame_only_when_it_changes) {
    Fixture f;
    f.send(R"({"id":"a","points":[{"x":0.1,"y":0.1}]})");
    const int changes = f.window().frameChanges();
    f.frames(5);
    EXPECT_EQ(f.window().frameChanges(), changes);

    f.target = Rect{300, 100, 640, 480};
    f.frames(1);
    EXPECT_EQ(f.window().frame(), (Rect{300, 100, 640, 480}));
    EXPECT_EQ(f.window().frameChanges(), changes + 1);
}

TEST(Overlay, hides_while_the_target_is_gone_and_still_expires_fading_strokes) {
    Fixture f;
    f.send(R"({"id":"a","points":[{"x":0.1,"y":0.1}],"done":true})");
    f.loop.advance(1s);
    f.send(R"({"id":"b","points":[{"x":0.2,"y":0.2}],"done":true})");
    f.target.reset();
    f.frames(1);
    EXPECT_FALSE(f.window().isVisible());  // Waiting
    EXPECT_TRUE(f.overlay->timerRunning());

    f.loop.advance(1500ms);
    ASSERT_EQ(f.strokes().size(), 1u);
    EXPECT_EQ(f.strokes()[0]->id, "b");
    EXPECT_TRUE(f.overlay->timerRunning());

    f.target = Rect{0, 0, 400, 300};
    f.frames(1);
    EXPECT_TRUE(f.window().isVisible());  // Showing again
    EXPECT_EQ(f.window().frame(), (Rect{0, 0, 400, 300}));

    f.target.reset();
    f.loop.advance(1s);
    f.expectIdle();
}

TEST(Overlay, clear_removes_fading_strokes_at_once_and_stops) {
    Fixture f;
    f.send(R"({"id":"a","points":[{"x":0.1,"y":0.1}],"done":true})");
    f.send(R"({"id":"b","points":[{"x":0.2,"y":0.2}]})");
    f.loop.advance(1s);
    f.overlay->view().strokes.clear();
    f.overlay->tick();
    f.expectIdle();
}

TEST(Overlay, close_stops_and_the_overlay_can_be_used_again) {
    Fixture f;
    f.send(R"({"id":"a","points":[{"x":0.1,"y":0.1}]})");
    f.overlay->close();
    f.expectIdle();
    const int calls = f.boundsCalls;
    f.loop.advance(1s);
    EXPECT_EQ(f.boundsCalls, calls);

    f.send(R"({"id":"a","points":[{"x":0.3,"y":0.3}]})");
    EXPECT_TRUE(f.window().isVisible());
    EXPECT_TRUE(f.overlay->timerRunning());
    ASSERT_EQ(f.strokes().size(), 1u);
    EXPECT_EQ(f.strokes()[0]->points.size(), 1u);
}

TEST(Overlay, a_dropped_overlay_leaves_its_timer_harmless) {
    Fixture f;
    f.send(R"({"id":"a","points":[{"x":0.1,"y":0.1}]})");
    f.overlay.reset();
    f.loop.advance(1s);
    EXPECT_TRUE(f.desktop.overlayWindows().empty());
}

TEST(Overlay, a_wall_clock_set_back_does_not_hold_fading_ink) {
    Fixture f;
    f.send(R"({"id":"a","points":[{"x":0.1,"y":0.1}],"done":true})");
    f.loop.advance(1s);
    f.loop.shiftWallClock(-1h);
    f.loop.advance(2s);
    EXPECT_EQ(f.strokes().size(), 1u);
    f.loop.advance(600ms);
    f.expectIdle();
}

TEST(Overlay, the_window_shows_the_ink_where_the_reviewer_drew_it) {
    Fixture f;
    f.send(R"({"id":"a","points":[{"x":0.25,"y":0.5},{"x":0.75,"y":0.5}],"color":"#0000ff","width":16})");
    f.loop.drain();
    EXPECT_GE(f.window().displays(), 1);

    const auto image = f.window().render();
    ASSERT_EQ(image->width(), 800);
    ASSERT_EQ(image->height(), 600);
    using Pixel = std::array<std::uint8_t, 4>;
    EXPECT_EQ(image->pixel(400, 300), (Pixel{0, 0, 255, 255}));
    EXPECT_EQ(image->pixel(400, 320), (Pixel{0, 0, 0, 0}));
    EXPECT_EQ(image->pixel(150, 300), (Pixel{0, 0, 0, 0}));

    f.send(R"({"id":"a","points":[],"done":true})");
    f.loop.advance(1250ms);
    EXPECT_NEAR(f.window().render()->pixel(400, 300)[3], 128, 1);
}

boost::json::object strokeMessage(std::string id, std::size_t points, bool done = false) {
    boost::json::array list;
    list.reserve(points);
    for (std::size_t i = 0; i < points; ++i)
        list.push_back(boost::json::object{{"x", (i % 2) * 1.0}, {"y", (i % 3) * 0.5}});
    return boost::json::object{{"id", std::move(id)}, {"points", std::move(list)}, {"done", done}};
}

std::size_t heldPoints(Fixture& f) {
    std::size_t held = 0;
    for (const auto& s : f.strokes())
        held += s->points.size();
    return held;
}

// Applies every point still waiting, a turn's worth at a time.
void takeAll(Fixture& f) {
    while (f.overlay->pendingPoints() > 0)
        f.overlay->tick();
}

TEST(Overlay, a_page_holds_a_bounded_number_of_points) {
    Fixture f;
    f.overlay->stroke(strokeMessage("a", Overlay::maxStrokePoints + 10));
    takeAll(f);
    ASSERT_EQ(f.strokes().size(), 1u);
    EXPECT_EQ(f.strokes()[0]->points.size(), Overlay::maxStrokePoints);
    f.overlay->stroke(strokeMessage("a", 10));
    EXPECT_EQ(f.strokes()[0]->points.size(), Overlay::maxStrokePoints);

    // Other strokes fill up to the overlay's limit, and get room again as strokes fade.
    f.overlay->stroke(strokeMessage("b", Overlay::maxStrokePoints - 5, true));
    f.overlay->stroke(strokeMessage("c", 20));
    takeAll(f);
    EXPECT_EQ(heldPoints(f), Overlay::maxPoints);
    EXPECT_EQ(f.strokes().back()->points.size(), 5u);
    f.frames(200);
    f.overlay->stroke(strokeMessage("c", 20));
    EXPECT_EQ(f.strokes().back()->points.size(), 25u);
}

// No message holds the main loop for long: a long one is taken a turn's worth at a time, and the messages
// after it wait their turn, so points and ends keep their order.
TEST(Overlay, long_messages_are_taken_over_several_turns_in_order) {
    Fixture f;
    const std::size_t turn = Overlay::pointsPerTurn;
    f.overlay->stroke(strokeMessage("a", 2 * turn + 7));
    EXPECT_EQ(f.strokes()[0]->points.size(), turn);
    f.overlay->stroke(strokeMessage("a", 3, true));
    EXPECT_EQ(f.strokes()[0]->points.size(), 2 * turn);
    EXPECT_FALSE(f.strokes()[0]->endedAt);
    EXPECT_EQ(f.overlay->pendingPoints(), 10u);
    f.overlay->tick();
    EXPECT_EQ(f.strokes()[0]->points.size(), 2 * turn + 10);
    EXPECT_TRUE(f.strokes()[0]->endedAt);
    f.overlay->stroke(strokeMessage("b", 1));
    EXPECT_EQ(f.strokes()[1]->points.size(), 1u);

    // What the ink took from long messages is handed on to be freed elsewhere, also when it closes.
    std::size_t discarded = 0;
    f.overlay->discard = [&](boost::json::array&& points) { discarded += points.size(); };
    f.overlay->stroke(strokeMessage("d", 2 * turn));
    f.overlay->close();
    EXPECT_EQ(discarded, 2 * turn);
    EXPECT_EQ(f.overlay->pendingPoints(), 0u);

    // Clearing takes the waiting points of the cleared strokes with it.
    f.overlay->stroke(strokeMessage("c", 2 * turn));
    f.overlay->view().strokes.clear();
    f.overlay->tick();
    EXPECT_EQ(f.overlay->pendingPoints(), 0u);
    EXPECT_TRUE(f.strokes().empty());
}

TEST(Overlay, a_page_holds_a_bounded_number_of_strokes) {
    Fixture f;
    for (int i = 0; i < 100'000; ++i)
        f.overlay->stroke(strokeMessage(std::to_string(i), 2));
    EXPECT_EQ(f.strokes().size(), Overlay::maxStrokes);
    EXPECT_EQ(
        std::count_if(f.strokes().begin(), f.strokes().end(), [](const auto& s) { return !s->endedAt; }),
        static_cast<std::ptrdiff_t>(Overlay::maxOpenStrokes));
    // The newest are kept, in order, and the unfinished ones are the newest.
    EXPECT_EQ(f.strokes().back()->id, "99999");
    EXPECT_EQ(f.strokes().front()->id, std::to_string(100'000 - Overlay::maxStrokes));
    EXPECT_FALSE(f.strokes()[Overlay::maxStrokes - Overlay::maxOpenStrokes]->endedAt.has_value());
    f.frames(200);
    EXPECT_EQ(f.strokes().size(), Overlay::maxOpenStrokes);
}

}  // namespace
}  // namespace velmora::ink
