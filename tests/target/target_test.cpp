#include "target/target.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/sim/scene_file.hpp"
#include "platform/sim/sim_desktop.hpp"

namespace velmora::target {
namespace {

using namespace velmora::platform;
using sim::SimWindow;

MainLoop loop{MainLoop::Time::manual};

// The default scene's displays (1: 3024 by 1964 pixels, 2: 2560 by 1440) with the given windows, front first.
std::unique_ptr<sim::SimDesktop> desk(std::vector<SimWindow> windows, bool trusted = true) {
    auto scene = sim::defaultScene();
    scene.windows = std::move(windows), scene.trusted = trusted;
    return std::make_unique<sim::SimDesktop>(loop, scene);
}

// The shared window 10 of pid 501 at (100, 100), 400 by 300, behind the windows a case adds.
const Target shared(WindowSurface{10}, "Slides", 501), display(DisplaySurface{1}, "Built-in Display", {});
const Rect all{0, 0, 1512, 982};
const Point inside{300, 250};

SimWindow window(std::optional<std::int64_t> pid, std::optional<Rect> bounds = all,
                 std::optional<std::int64_t> layer = 0, WindowId id = 20) {
    return {id, pid, "Other", bounds, layer, true};
}

struct ListlessDesktop : sim::SimDesktop {
    using SimDesktop::SimDesktop;
    std::optional<std::vector<WindowEntry>> onScreenWindows() override { return std::nullopt; }
};

// Without a window list we cannot tell, and holding every event would be worse than letting it through.
TEST(TargetIsFrontmost, walks_ordinary_windows_of_other_processes_front_to_back) {
    const std::tuple<const char*, std::vector<SimWindow>, bool> cases[] = {
        {"another window of the same app", {window(501)}, true},
        {"another app covers the point", {window(602)}, false},
        {"palette, menu bar", {window(602, all, 3), window(0, all, 24)}, true},
        {"a layerless entry", {window(602, all, std::nullopt)}, true},
        {"no or unusable bounds", {window(602, std::nullopt), window(602, Rect{NAN, 0, 1, 1})}, true},
        {"our own window", {window(::getpid())}, true},
        {"an ownerless window covers it", {window(std::nullopt)}, false},
        {"an owner beyond 32 bits covers it", {window((std::int64_t{1} << 32) + 501)}, false},
    };
    for (auto [name, windows, frontmost] : cases) {
        windows.push_back(window(501, Rect{100, 100, 400, 300}, 0, 10));
        EXPECT_EQ(shared.isFrontmost(*desk(windows), inside), frontmost) << name;
    }
    ListlessDesktop listless(loop, desk({window(602)})->scene());
    EXPECT_TRUE(shared.isFrontmost(listless, inside));
}

// The window is made main before its application is activated, so that the activation brings this window
// forward rather than whichever one the application had in front.
TEST(TargetRaise, raises_the_window_before_activating_its_application) {
    using Raises = std::vector<std::pair<ProcessId, WindowId>>;
    const std::tuple<const char*, const Target*, bool, WindowId, Raises, bool> cases[] = {
        {"with the permission", &shared, true, 10, {{501, 10}}, true},
        {"without the permission", &shared, false, 10, {{501, 10}}, false},
        {"window gone, app still running", &shared, true, 11, {{501, 10}}, false},
        {"a display", &display, true, 10, {}, true},
    };
    for (const auto& [name, target, trusted, sharedId, raises, inFrontAfter] : cases) {
        const auto d = desk({window(602), window(501, Rect{100, 100, 400, 300}, 0, sharedId)}, trusted);
        d->scene().frontmostPid = 602;
        EXPECT_EQ(target->hasKeyboardFocus(*d), raises.empty()) << name;
        // Every call first looks at the scene: what it sees tells the order of the calls.
        std::vector<std::pair<std::size_t, std::size_t>> seen;
        d->refreshScene = [&](auto&) {
            seen.emplace_back(d->raiseRequests().size(), d->activations().size());
        };
        target->raise(*d);
        EXPECT_EQ(d->raiseRequests(), raises) << name;
        EXPECT_EQ(seen, raises.empty() ? decltype(seen){} : decltype(seen)({{0, 0}, {1, 0}})) << name;
        EXPECT_TRUE(target->hasKeyboardFocus(*d)) << name;
        EXPECT_EQ(target->isFrontmost(*d, inside), inFrontAfter) << name;
    }
}

// A resolution as one line: "window 77 Slides 501", "display 2 Display -", or the sentence for the page.
std::string text(const Resolution& resolution) {
    if (const auto* error = std::get_if<TargetError>(&resolution)) return error->message;
    const auto& [surface, app, pid] = std::get<Target>(resolution);
    return (surface.index() ? "display " : "window ") +
           std::to_string(std::visit([](auto s) { return s.id; }, surface)) + " " + app + " " +
           (pid ? std::to_string(*pid) : "-");
}

// The sentences for the page; "gone 80" and "missing 77" stand for the window's and the display's.
std::string sentence(const std::string& label, const std::string& e) {
    const auto id = e.substr(e.find(' ') + 1);
    if (e == "?")
        return "Unrecognised capture label “" + label + "”. Share an app window or a display from Chrome.";
    if (e == "tab") return "Only app windows and displays can be controlled \u2014 not browser tabs.";
    if (e.starts_with("gone ")) return "The shared window (id " + id + ") isn't on screen any more.";
    if (e.starts_with("missing ")) return "Couldn't find the shared display (id " + id + ").";
    return e;
}

TEST(TargetResolve, every_label_shape_gives_a_surface_whose_bounds_are_followed_until_it_is_gone) {
    // The shared window 4242, and windows each missing something a real window list may leave out.
    const Rect somewhere{10, 10, 300, 200};
    const std::vector<SimWindow> windows{{4242, 501, "Slides", Rect{100, 120, 1200, 760}, 0, true},
                                         {77, 503, std::nullopt, somewhere, 0, true},
                                         {79, 501, "Slides", somewhere, 0, false},  // minimised
                                         {80, 501, "Slides", std::nullopt, 0, true},
                                         {83, 501, "Slides", Rect{NAN, 0, 10, 10}, 0, true}};
    const struct {
        std::string label, expected;
        std::optional<double> width{}, height{};
        bool oneDisplay = false;
    } cases[] = {
        {":::window:::4242:0:extra:", "window 4242 Slides 501"},
        {"window:77", "window 77 window 503"},
        {"window:79", "window 79 Slides 501"},
        {"window:80", "gone 80"},
        {"window:Slides", "?"},
        {"web-contents-media-stream://12:34", "?"},
        {"Window:4242", "tab"},
        // Displays: by id, then by the page's size in pixels (both given, exactly), then the only one.
        {"screen:2:0", "display 2 Display -", 3024.0, 1964.0},
        {"screen:77", "display 1 Built-in Display -", 640.0, 480.0, true},
        {"screen:77", "display 2 Display -", 2560.0, 1440.0},
        {"screen:77", "missing 77", 1920.0, 1080.0},
        {"screen:77", "missing 77", 1512.0, 982.0},  // points, not pixels
    };
    for (const auto& c : cases) {
        const auto desktop = desk(windows);
        if (c.oneDisplay) desktop->scene().displays.pop_back();
        EXPECT_EQ(text(Target::resolve(*desktop, c.label, c.width, c.height)), sentence(c.label, c.expected));
    }
    const auto desktop = desk(windows);
    const Target window(WindowSurface{4242}, "Slides", 501), second(DisplaySurface{2}, "Display", {});
    EXPECT_EQ(second.currentBounds(*desktop), (Rect{1512, -200, 2560, 1440}));
    EXPECT_FALSE(Target(WindowSurface{83}, "Slides", 501).currentBounds(*desktop)) << "unusable bounds";
    desktop->scene().windows.front().bounds = Rect{300, 320, 640, 480};
    EXPECT_EQ(window.currentBounds(*desktop), (Rect{300, 320, 640, 480}));
    desktop->scene().windows.erase(desktop->scene().windows.begin());
    desktop->scene().displays.pop_back();
    EXPECT_FALSE(window.currentBounds(*desktop) || second.currentBounds(*desktop));
}

}  // namespace
}  // namespace velmora::target
