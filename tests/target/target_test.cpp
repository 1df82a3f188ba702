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

using platform::Rect;
using platform::sim::SimDisplay;
using platform::sim::SimWindow;

// The default scene's displays (the built-in one, 3024 by 1964 pixels, and an unnamed 2560 by 1440 one) with
// the given windows, front first.
struct Desk {
    explicit Desk(std::vector<SimWindow> windows, bool trusted = true) {
        desktop.scene().windows = std::move(windows);
        desktop.scene().trusted = trusted;
    }
    platform::MainLoop loop{platform::MainLoop::Time::manual};
    platform::sim::SimDesktop desktop{loop, platform::sim::defaultScene()};
};

// The shared window 10 of pid 501 at (100, 100), 400 by 300, behind the windows a case adds.
const Target shared(WindowSurface{10}, "Slides", 501);
const Target display(DisplaySurface{1}, "Built-in Display", std::nullopt);
const Target pidless(WindowSurface{10}, "Slides", std::nullopt);
const Rect all{0, 0, 1512, 982};
const platform::Point inside{300, 250};

SimWindow window(std::optional<std::int64_t> pid, std::optional<Rect> bounds = all,
                 std::optional<std::int64_t> layer = 0, bool shown = true, platform::WindowId id = 20) {
    return {id, pid, "Other", bounds, layer, shown};
}
const SimWindow sharedWindow = window(501, Rect{100, 100, 400, 300}, 0, true, 10);

TEST(TargetIsFrontmost, walks_ordinary_windows_of_other_processes_front_to_back) {
    const std::tuple<const char*, std::vector<SimWindow>, platform::Point, bool> cases[] = {
        {"alone, inside", {}, inside, true},
        {"left and top edges are inside", {}, {100, 100}, true},
        {"right edge is outside", {}, {500, 250}, false},
        {"the target hidden", {window(501, Rect{100, 100, 400, 300}, 0, false, 10)}, inside, false},
        {"another app covers the point", {window(602)}, inside, false},
        {"palette, menu bar", {window(602, all, 3), window(0, all, 24)}, inside, true},
        {"a layerless entry", {window(602, all, std::nullopt)}, inside, true},
        {"no or unusable bounds", {window(602, std::nullopt), window(602, Rect{NAN, 0, 1, 1})}, inside, true},
        {"a hidden window", {window(602, all, 0, false)}, inside, true},
        {"our own window", {window(::getpid())}, inside, true},
        {"another window of the same app", {window(501)}, inside, true},
        {"an ownerless window covers it", {window(std::nullopt)}, inside, false},
        {"an owner beyond 32 bits covers it", {window((std::int64_t{1} << 32) + 501)}, inside, false},
        {"a palette, then another app", {window(602, all, 3), window(603)}, inside, false},
    };
    for (const auto& [name, inFront, point, frontmost] : cases) {
        auto windows = inFront;
        if (windows.empty() || windows.back().id != 10) windows.push_back(sharedWindow);
        Desk desk(windows);
        EXPECT_EQ(shared.isFrontmost(desk.desktop, point), frontmost) << name;
    }
}

class ListlessDesktop : public platform::sim::SimDesktop {
  public:
    using SimDesktop::SimDesktop;
    std::optional<std::vector<platform::WindowEntry>> onScreenWindows() override { return std::nullopt; }
};

// Without a window list we cannot tell, and holding every event would be worse than letting it through.
TEST(TargetIsFrontmost, answers_true_without_a_window_list_and_focus_follows_the_frontmost_application) {
    Desk desk({window(602), sharedWindow});
    ListlessDesktop listless(desk.loop, desk.desktop.scene());
    EXPECT_TRUE(shared.isFrontmost(listless, inside));
    for (const auto& [frontmost, focused] : std::vector<std::pair<std::optional<platform::ProcessId>, bool>>{
             {501, true}, {602, false}, {std::nullopt, false}, {0, false}}) {
        desk.desktop.scene().frontmostPid = frontmost;
        EXPECT_EQ(shared.hasKeyboardFocus(desk.desktop), focused) << frontmost.value_or(-1);
        EXPECT_TRUE(display.hasKeyboardFocus(desk.desktop) && pidless.hasKeyboardFocus(desk.desktop));
    }
}

// The window is made main before its application is activated, so that the activation brings this window
// forward rather than whichever one the application had in front.
TEST(TargetRaise, raises_the_window_before_activating_its_application) {
    using Raises = std::vector<std::pair<platform::ProcessId, platform::WindowId>>;
    const std::tuple<const char*, const Target*, bool, platform::WindowId, Raises, bool> cases[] = {
        {"with the permission", &shared, true, 10, {{501, 10}}, true},
        {"without the permission", &shared, false, 10, {{501, 10}}, false},
        {"window gone, app still running", &shared, true, 11, {{501, 10}}, false},
        {"a display", &display, true, 10, {}, true},
        {"a pidless window", &pidless, true, 10, {}, true},
    };
    for (const auto& [name, target, trusted, sharedId, raises, inFrontAfter] : cases) {
        Desk desk({window(602), window(501, Rect{100, 100, 400, 300}, 0, true, sharedId)}, trusted);
        desk.desktop.scene().frontmostPid = 602;
        // Every call first looks at the scene: what it sees tells the order of the calls.
        std::vector<std::pair<std::size_t, std::size_t>> seen;
        desk.desktop.refreshScene = [&](auto&) {
            seen.emplace_back(desk.desktop.raiseRequests().size(), desk.desktop.activations().size());
        };
        target->raise(desk.desktop);
        EXPECT_EQ(desk.desktop.raiseRequests(), raises) << name;
        using Seen = decltype(seen);
        EXPECT_EQ(seen, raises.empty() ? Seen{} : Seen({{0, 0}, {1, 0}})) << name;
        EXPECT_EQ(desk.desktop.frontmostApplication(), raises.empty() ? 602 : 501) << name;
        EXPECT_EQ(target->isFrontmost(desk.desktop, inside), inFrontAfter) << name;
    }
}

// A resolution as one line: "window 77 Slides 501", "display 2 Display -", or the sentence for the page.
std::string text(const Resolution& resolution) {
    if (const auto* error = std::get_if<TargetError>(&resolution)) return error->message;
    const auto& t = std::get<Target>(resolution);
    const auto* window = std::get_if<WindowSurface>(&t.surface);
    const auto id = window ? window->id : std::get<DisplaySurface>(t.surface).id;
    return (window ? "window " : "display ") + std::to_string(id) + " " + t.app + " " +
           (t.pid ? std::to_string(*t.pid) : "-");
}

// The sentences for the page; "gone 80" and "missing 77" stand for the window's and the display's.
std::string sentence(const std::string& label, const std::string& expected) {
    if (expected == "?")
        return "Unrecognised capture label \u201c" + label +
               "\u201d. Share an app window or a display from Chrome.";
    if (expected == "tab") return "Only app windows and displays can be controlled \u2014 not browser tabs.";
    if (expected.starts_with("gone "))
        return "The shared window (id " + expected.substr(5) + ") isn't on screen any more.";
    if (expected.starts_with("missing "))
        return "Couldn't find the shared display (id " + expected.substr(8) + ").";
    return expected;
}

// The shared window 4242, and windows each missing something a real window list may leave out.
std::vector<SimWindow> oddWindows() {
    const Rect somewhere{10, 10, 300, 200};
    return {{4242, 501, "Slides", Rect{100, 120, 1200, 760}, 0, true},
            {77, 503, std::nullopt, somewhere, 0, true},
            {78, std::nullopt, "Orphan", somewhere, 0, true},
            {79, 501, "Slides", somewhere, 0, false},  // minimised
            {80, 501, "Slides", std::nullopt, 0, true},
            {81, (std::int64_t{1} << 32) + 501, "Wrapped", somewhere, 0, true},
            {83, 501, "Slides", Rect{NAN, 0, 10, 10}, 0, true},
            {0, 504, "Zero", somewhere, 0, true}};
}

TEST(TargetResolve, every_label_shape_gives_its_outcome) {
    const std::vector<SimDisplay> two = platform::sim::defaultScene().displays, one{two.front()},
                                  alike{{5, "Left", all, 1920, 1080}, {6, "Right", all, 1920, 1080}};
    std::vector<SimDisplay> seventeen;
    for (platform::DisplayId id = 1; id <= 17; ++id)
        seventeen.push_back({id, std::to_string(id), all, id * 1000, 1600});
    const struct {
        std::string label;
        std::string expected;
        std::optional<double> width{}, height{};
        std::vector<SimDisplay> displays = platform::sim::defaultScene().displays;
    } cases[] = {
        {":::window:::4242:0:extra:", "window 4242 Slides 501"},
        {"window:77", "window 77 window 503"},
        {"window:78", "window 78 Orphan 0"},
        {"window:79", "window 79 Slides 501"},
        {"window:80", "gone 80"},
        {"window:81", "window 81 Wrapped 0"},
        {"window:83", "gone 83"},
        {"window:-0", "window 0 Zero 504"},
        {"window:4294967296", "?"},
        {"window:Slides", "?"},
        {"web-contents-media-stream://12:34", "?"},
        {"Window:4242", "tab"},
        // Displays: by id, then by the page's size in pixels (both given, exactly), then the only one.
        {"screen:1", "display 1 Built-in Display -"},
        {"screen:2:0", "display 2 Display -", 3024.0, 1964.0},
        {"screen:-0", "missing 0"},
        {"screen:77", "display 1 Built-in Display -", 640.0, 480.0, one},
        {"screen:77", "display 2 Display -", 2560.0, 1440.0},
        {"screen:77", "missing 77", 1920.0, 1080.0},
        {"screen:77", "missing 77", 2560.0, std::nullopt},
        {"screen:77", "missing 77", 1512.0, 982.0},  // points, not pixels
        {"screen:77", "display 5 Left -", 1920.0, 1080.0, alike},
        {"screen:1", "missing 1", 3024.0, 1964.0, {}},
        // Only the first 16 displays are asked for.
        {"screen:16", "display 16 16 -", {}, {}, seventeen},
        {"screen:17", "missing 17", 17000.0, 1600.0, seventeen},
    };
    for (const auto& c : cases) {
        Desk desk(oddWindows());
        desk.desktop.scene().displays = c.displays;
        EXPECT_EQ(text(Target::resolve(desk.desktop, c.label, c.width, c.height)),
                  sentence(c.label, c.expected));
    }
}

TEST(TargetResolve, current_bounds_follow_the_surface_until_it_is_gone) {
    Desk desk(oddWindows());
    const Target window(WindowSurface{4242}, "Slides", 501),
        second(DisplaySurface{2}, "Display", std::nullopt);
    EXPECT_EQ(second.currentBounds(desk.desktop), (Rect{1512, -200, 2560, 1440}));
    EXPECT_FALSE(Target(WindowSurface{83}, "Slides", 501).currentBounds(desk.desktop)) << "unusable bounds";
    desk.desktop.scene().windows.front().bounds = Rect{300, 320, 640, 480};
    EXPECT_EQ(window.currentBounds(desk.desktop), (Rect{300, 320, 640, 480}));
    desk.desktop.scene().windows.erase(desk.desktop.scene().windows.begin());
    desk.desktop.scene().displays.pop_back();
    EXPECT_FALSE(window.currentBounds(desk.desktop) || second.currentBounds(desk.desktop));
}

}  // namespace
}  // namespace velmora::target
