#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "target/target.hpp"
#include "target_test_support.hpp"

namespace velmora::target {
namespace {

using platform::Rect;
using platform::sim::SimDisplay;
using platform::sim::SimScene;
using platform::sim::SimWindow;
using testing::baseScene;
using testing::Desk;

std::string unrecognised(const std::string& label) {
    return "Unrecognised capture label \u201c" + label +
           "\u201d. Share an app window or a display from Chrome.";
}
std::string windowGone(const std::string& id) {
    return "The shared window (id " + id + ") isn't on screen any more.";
}
std::string displayMissing(const std::string& id) {
    return "Couldn't find the shared display (id " + id + ").";
}
const std::string notAWindowOrDisplay =
    "Only app windows and displays can be controlled \u2014 not browser tabs.";

Resolution slides(std::uint32_t id = 4242) {
    return Target(WindowSurface{id}, "Slides", 501);
}

// Windows beside the base scene's, each missing something a real window list may leave out.
SimScene sceneWithOddWindows() {
    auto scene = baseScene();
    const Rect somewhere{10, 10, 300, 200};
    scene.windows.push_back({77, 503, std::nullopt, somewhere, 0, true});       // no owner name
    scene.windows.push_back({78, std::nullopt, "Orphan", somewhere, 0, true});  // no owner pid
    scene.windows.push_back({79, 501, "Slides", somewhere, 0, false});          // minimised
    scene.windows.push_back({80, 501, "Slides", std::nullopt, 0, true});        // no bounds
    scene.windows.push_back({81, (std::int64_t{1} << 32) + 501, "Wrapped", somewhere, 0, true});
    scene.windows.push_back({82, std::int64_t{-1} - (std::int64_t{1} << 31), "Low", somewhere, 0, true});
    scene.windows.push_back({83, 501, "Slides", Rect{std::nan(""), 0, 10, 10}, 0, true});  // unusable bounds
    scene.windows.push_back({0, 504, "Zero", somewhere, 0, true});
    scene.windows.push_back({4294967295u, 505, "Last", somewhere, 0, true});
    return scene;
}

struct ResolveCase {
    std::string label;
    Resolution expected;
};

TEST(TargetResolve, every_label_shape_gives_its_outcome) {
    const ResolveCase cases[] = {
        // Shapes that all name window 4242.
        {"window:4242", slides()},
        {"window:4242:0", slides()},
        {"window:4242:0:extra:fields", slides()},
        {":window:4242", slides()},
        {"window::4242", slides()},
        {"window:4242:", slides()},
        {":::window:::4242:::", slides()},
        {"window:+4242", slides()},
        {"window:0004242", slides()},
        // Windows with parts of their entry missing.
        {"window:77", Target(WindowSurface{77}, "window", 503)},
        {"window:78", Target(WindowSurface{78}, "Orphan", 0)},
        {"window:79", slides(79)},
        {"window:80", TargetError{windowGone("80")}},
        {"window:81", Target(WindowSurface{81}, "Wrapped", 0)},
        {"window:82", Target(WindowSurface{82}, "Low", 0)},
        {"window:83", TargetError{windowGone("83")}},
        {"window:999", TargetError{windowGone("999")}},
        // The edges of the number range and its signs.
        {"window:0", Target(WindowSurface{0}, "Zero", 504)},
        {"window:-0", Target(WindowSurface{0}, "Zero", 504)},
        {"window:4294967295", Target(WindowSurface{4294967295u}, "Last", 505)},
        {"window:4294967296", TargetError{unrecognised("window:4294967296")}},
        {"window:-1", TargetError{unrecognised("window:-1")}},
        {"window:++4242", TargetError{unrecognised("window:++4242")}},
        {"window: 4242", TargetError{unrecognised("window: 4242")}},
        {"window:0x10", TargetError{unrecognised("window:0x10")}},
        // Not enough fields, or no number in the second.
        {"", TargetError{unrecognised("")}},
        {":::", TargetError{unrecognised(":::")}},
        {"window", TargetError{unrecognised("window")}},
        {"window:", TargetError{unrecognised("window:")}},
        {"window:Slides", TargetError{unrecognised("window:Slides")}},
        {"4242", TargetError{unrecognised("4242")}},
        {"tab:abc", TargetError{unrecognised("tab:abc")}},
        {"web-contents-media-stream://12:34", TargetError{unrecognised("web-contents-media-stream://12:34")}},
        // A number, but a kind other than the two exact words.
        {"Window:4242", TargetError{notAWindowOrDisplay}},
        {"SCREEN:1", TargetError{notAWindowOrDisplay}},
        {"tab:12", TargetError{notAWindowOrDisplay}},
        {"window :4242", TargetError{notAWindowOrDisplay}},
        {"4242:4242", TargetError{notAWindowOrDisplay}},
        // Displays.
        {"screen:1", Target(DisplaySurface{1}, "Built-in Display", std::nullopt)},
        {"screen:2:0", Target(DisplaySurface{2}, "Display", std::nullopt)},
        {"screen:99", TargetError{displayMissing("99")}},
        {"screen:-0", TargetError{displayMissing("0")}},
    };
    Desk desk(sceneWithOddWindows());
    for (const auto& c : cases) {
        EXPECT_EQ(Target::resolve(*desk.desktop, c.label, std::nullopt, std::nullopt), c.expected)
            << "label \"" << c.label << '"';
    }
}

struct DisplayCase {
    std::string name;
    std::vector<SimDisplay> displays;
    std::string label;
    std::optional<double> width;
    std::optional<double> height;
    Resolution expected;
};

std::vector<SimDisplay> twoDisplays() {
    return baseScene().displays;
}

std::vector<SimDisplay> twoOfTheSameSize() {
    return {{5, "Left", Rect{0, 0, 1920, 1080}, 1920, 1080},
            {6, "Right", Rect{1920, 0, 1920, 1080}, 1920, 1080}};
}

std::vector<SimDisplay> seventeenDisplays() {
    std::vector<SimDisplay> displays;
    for (platform::DisplayId id = 1; id <= 17; ++id) {
        displays.push_back({id, "Screen " + std::to_string(id), Rect{1000.0 * id, 0, 1000, 800},
                            id == 17 ? std::size_t{4000} : std::size_t{2000}, 1600});
    }
    return displays;
}

TEST(TargetResolve, displays_are_found_by_id_then_size_then_as_the_only_one) {
    const auto onlyOne = std::vector<SimDisplay>{twoDisplays().front()};
    const Target builtIn(DisplaySurface{1}, "Built-in Display", std::nullopt);
    const Target unnamed(DisplaySurface{2}, "Display", std::nullopt);
    const DisplayCase cases[] = {
        {"only display, its id", onlyOne, "screen:1", std::nullopt, std::nullopt, builtIn},
        {"only display, another id", onlyOne, "screen:77", std::nullopt, std::nullopt, builtIn},
        {"only display, another size", onlyOne, "screen:77", 640.0, 480.0, builtIn},
        {"two, by id", twoDisplays(), "screen:2", 3024.0, 1964.0, unnamed},
        {"two, by size", twoDisplays(), "screen:77", 2560.0, 1440.0, unnamed},
        {"two, size of neither", twoDisplays(), "screen:77", 1920.0, 1080.0,
         TargetError{displayMissing("77")}},
        {"two, width only", twoDisplays(), "screen:77", 2560.0, std::nullopt,
         TargetError{displayMissing("77")}},
        {"two, height only", twoDisplays(), "screen:77", std::nullopt, 1440.0,
         TargetError{displayMissing("77")}},
        {"two, fractional width", twoDisplays(), "screen:77", 2560.5, 1440.0,
         TargetError{displayMissing("77")}},
        {"two, points not pixels", twoDisplays(), "screen:77", 1512.0, 982.0,
         TargetError{displayMissing("77")}},
        {"two, not a number", twoDisplays(), "screen:77", std::nan(""), 1440.0,
         TargetError{displayMissing("77")}},
        {"two alike, first wins", twoOfTheSameSize(), "screen:77", 1920.0, 1080.0,
         Target(DisplaySurface{5}, "Left", std::nullopt)},
        {"none at all", {}, "screen:1", 3024.0, 1964.0, TargetError{displayMissing("1")}},
        {"beyond the 16 listed, by id", seventeenDisplays(), "screen:17", std::nullopt, std::nullopt,
         TargetError{displayMissing("17")}},
        {"beyond the 16 listed, by size", seventeenDisplays(), "screen:99", 4000.0, 1600.0,
         TargetError{displayMissing("99")}},
        {"sixteenth listed", seventeenDisplays(), "screen:16", std::nullopt, std::nullopt,
         Target(DisplaySurface{16}, "Screen 16", std::nullopt)},
    };
    for (const auto& c : cases) {
        auto scene = baseScene();
        scene.displays = c.displays;
        Desk desk(scene);
        EXPECT_EQ(Target::resolve(*desk.desktop, c.label, c.width, c.height), c.expected) << c.name;
    }
}

TEST(TargetWindowInfo, reports_bounds_owner_and_name_also_for_hidden_windows) {
    Desk desk(sceneWithOddWindows());
    const auto shown = Target::windowInfo(*desk.desktop, 4242);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->bounds, (Rect{100, 120, 1200, 760}));
    EXPECT_EQ(shown->pid, 501);
    EXPECT_EQ(shown->app, "Slides");
    const auto hidden = Target::windowInfo(*desk.desktop, 79);
    ASSERT_TRUE(hidden);
    EXPECT_EQ(hidden->bounds, (Rect{10, 10, 300, 200}));
    EXPECT_FALSE(Target::windowInfo(*desk.desktop, 80));
    EXPECT_FALSE(Target::windowInfo(*desk.desktop, 999));
}

TEST(TargetCurrentBounds, follows_the_surface_and_is_absent_once_it_is_gone) {
    Desk desk;
    const Target window(WindowSurface{4242}, "Slides", 501);
    const Target display(DisplaySurface{2}, "Display", std::nullopt);
    EXPECT_EQ(window.currentBounds(*desk.desktop), (Rect{100, 120, 1200, 760}));
    EXPECT_EQ(display.currentBounds(*desk.desktop), (Rect{1512, -200, 2560, 1440}));

    desk.desktop->scene().windows.front().bounds = Rect{300, 320, 640, 480};
    EXPECT_EQ(window.currentBounds(*desk.desktop), (Rect{300, 320, 640, 480}));

    desk.desktop->scene().windows.erase(desk.desktop->scene().windows.begin());
    desk.desktop->scene().displays.pop_back();
    EXPECT_FALSE(window.currentBounds(*desk.desktop));
    EXPECT_FALSE(display.currentBounds(*desk.desktop));
}

}  // namespace
}  // namespace velmora::target
