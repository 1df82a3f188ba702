#include <gtest/gtest.h>

#include <unistd.h>
#include <string>
#include <vector>

#include "target/target.hpp"
#include "target_test_support.hpp"

namespace velmora::target {
namespace {

using platform::Point;
using platform::Rect;
using platform::sim::SimScene;
using platform::sim::SimWindow;
using testing::Desk;

// The shared window 10 of pid 501 at (100, 100), 400 by 300, alone on the desktop unless a case adds more
// windows in front of it.
SimScene sceneWith(std::vector<SimWindow> inFront) {
    SimScene scene = testing::baseScene();
    scene.windows = std::move(inFront);
    scene.windows.push_back({10, 501, "Slides", Rect{100, 100, 400, 300}, 0, true});
    return scene;
}

const Target shared(WindowSurface{10}, "Slides", 501);
const Rect coveringAll{0, 0, 1512, 982};

struct FrontCase {
    std::string name;
    std::vector<SimWindow> inFront;
    Point point;
    bool frontmost;
};

TEST(TargetIsFrontmost, walks_ordinary_windows_of_other_processes_front_to_back) {
    const std::int64_t own = ::getpid();
    const FrontCase cases[] = {
        {"alone, inside", {}, {300, 250}, true},
        {"left and top edges are inside", {}, {100, 100}, true},
        {"right edge is outside", {}, {500, 250}, false},
        {"bottom edge is outside", {}, {300, 400}, false},
        {"the desktop", {}, {50, 50}, false},
        {"another app covers the point", {{20, 602, "Mail", coveringAll, 0, true}}, {300, 250}, false},
        {"another app elsewhere", {{20, 602, "Mail", Rect{600, 0, 200, 200}, 0, true}}, {300, 250}, true},
        {"another app ends just before the point",
         {{20, 602, "Mail", Rect{0, 0, 300, 982}, 0, true}},
         {300, 250},
         true},
        {"a floating palette is looked through",
         {{21, 602, "Palette", coveringAll, 3, true}},
         {300, 250},
         true},
        {"the menu bar is looked through",
         {{22, 300, "Window Server", coveringAll, 24, true}},
         {300, 250},
         true},
        {"a layerless entry is looked through",
         {{23, 602, "Odd", coveringAll, std::nullopt, true}},
         {300, 250},
         true},
        {"a boundless entry is looked through", {{24, 602, "Odd", std::nullopt, 0, true}}, {300, 250}, true},
        {"a hidden window is not in the way", {{25, 602, "Mail", coveringAll, 0, false}}, {300, 250}, true},
        {"our own window is looked through",
         {{26, own, "Velmora Helper", coveringAll, 0, true}},
         {300, 250},
         true},
        {"another window of the same app on top",
         {{27, 501, "Slides", coveringAll, 0, true}},
         {300, 250},
         true},
        {"an ownerless window covers the point",
         {{28, std::nullopt, "Odd", coveringAll, 0, true}},
         {300, 250},
         false},
        {"a palette, then another app",
         {{21, 602, "Palette", coveringAll, 3, true}, {20, 603, "Mail", coveringAll, 0, true}},
         {300, 250},
         false},
    };
    for (const auto& c : cases) {
        Desk desk(sceneWith(c.inFront));
        EXPECT_EQ(shared.isFrontmost(*desk.desktop, c.point), c.frontmost) << c.name;
    }
}

TEST(TargetIsFrontmost, looks_through_our_own_overlay_over_the_target) {
    Desk desk(sceneWith({}));
    // The overlay as the ink layer places it: exactly over the window.
    auto overlay = desk.desktop->createOverlayWindow({});
    overlay->setFrame(Rect{100, 100, 400, 300}, false);
    overlay->show();
    const auto list = desk.desktop->onScreenWindows();
    ASSERT_TRUE(list && !list->empty());
    ASSERT_EQ(list->front().number, overlay->windowNumber());  // it is really in front
    EXPECT_TRUE(shared.isFrontmost(*desk.desktop, {300, 250}));
}

TEST(TargetIsFrontmost, a_hidden_target_is_not_frontmost) {
    auto scene = sceneWith({});
    scene.windows.back().onScreen = false;
    Desk desk(scene);
    EXPECT_FALSE(shared.isFrontmost(*desk.desktop, {300, 250}));
}

// A desktop whose window server cannot list its windows.
class ListlessDesktop : public platform::sim::SimDesktop {
  public:
    using SimDesktop::SimDesktop;
    std::optional<std::vector<platform::WindowEntry>> onScreenWindows() override { return std::nullopt; }
};

TEST(TargetIsFrontmost, answers_true_without_a_window_list) {
    platform::MainLoop loop(platform::MainLoop::Time::manual);
    ListlessDesktop desktop(loop, sceneWith({{20, 602, "Mail", coveringAll, 0, true}}));
    EXPECT_TRUE(shared.isFrontmost(desktop, {300, 250}));
}

TEST(TargetIsFrontmost, displays_and_pidless_windows_are_never_in_the_way) {
    Desk desk(sceneWith({{20, 602, "Mail", coveringAll, 0, true}}));
    desk.desktop->scene().frontmostPid.reset();
    const Target display(DisplaySurface{1}, "Built-in Display", std::nullopt);
    const Target pidless(WindowSurface{10}, "Slides", std::nullopt);
    for (const auto* target : {&display, &pidless}) {
        EXPECT_TRUE(target->isFrontmost(*desk.desktop, {300, 250}));
        EXPECT_TRUE(target->isFrontmost(*desk.desktop, {-5000, -5000}));
        EXPECT_TRUE(target->hasKeyboardFocus(*desk.desktop));
    }
}

TEST(TargetHasKeyboardFocus, compares_the_frontmost_application_with_the_owner) {
    struct Case {
        std::optional<platform::ProcessId> frontmost;
        bool focused;
    };
    for (const auto& c : {Case{501, true}, Case{602, false}, Case{std::nullopt, false}, Case{0, false}}) {
        Desk desk(sceneWith({}));
        desk.desktop->scene().frontmostPid = c.frontmost;
        EXPECT_EQ(shared.hasKeyboardFocus(*desk.desktop), c.focused)
            << (c.frontmost ? std::to_string(*c.frontmost) : "none");
    }
}

// Records the order of the two raise steps.
class RecordingDesktop : public platform::sim::SimDesktop {
  public:
    using SimDesktop::SimDesktop;
    void raiseWindow(platform::ProcessId pid, platform::WindowId window) override {
        steps.push_back("raise " + std::to_string(pid) + " " + std::to_string(window));
        SimDesktop::raiseWindow(pid, window);
    }
    bool activateApplication(platform::ProcessId pid) override {
        steps.push_back("activate " + std::to_string(pid));
        return SimDesktop::activateApplication(pid);
    }
    std::vector<std::string> steps;
};

struct RaiseCase {
    std::string name;
    bool trusted;
    bool windowGone;
    std::vector<std::string> steps;
    bool frontmostAfter;  // whether the covered target is in front afterwards
};

TEST(TargetRaise, raises_the_window_before_activating_its_application) {
    const RaiseCase cases[] = {
        {"with the permission", true, false, {"raise 501 10", "activate 501"}, true},
        {"without the permission", false, false, {"raise 501 10", "activate 501"}, false},
        {"window gone", true, true, {"raise 501 10", "activate 501"}, false},
    };
    for (const auto& c : cases) {
        platform::MainLoop loop(platform::MainLoop::Time::manual);
        auto scene = sceneWith({{20, 602, "Mail", coveringAll, 0, true}});
        scene.trusted = c.trusted;
        scene.frontmostPid = 602;
        if (c.windowGone) {
            // The application is still running, with another window.
            scene.windows.back().id = 11;
        }
        RecordingDesktop desktop(loop, scene);
        shared.raise(desktop);
        EXPECT_EQ(desktop.steps, c.steps) << c.name;
        EXPECT_EQ(desktop.frontmostApplication(), std::optional<platform::ProcessId>(501)) << c.name;
        EXPECT_TRUE(shared.hasKeyboardFocus(desktop)) << c.name;
        EXPECT_EQ(shared.isFrontmost(desktop, {300, 250}), c.frontmostAfter) << c.name;
    }
}

TEST(TargetRaise, leaves_displays_and_pidless_windows_alone) {
    const Target display(DisplaySurface{1}, "Built-in Display", std::nullopt);
    const Target pidless(WindowSurface{10}, "Slides", std::nullopt);
    for (const auto* target : {&display, &pidless}) {
        platform::MainLoop loop(platform::MainLoop::Time::manual);
        RecordingDesktop desktop(loop, sceneWith({}));
        target->raise(desktop);
        EXPECT_TRUE(desktop.steps.empty());
        EXPECT_TRUE(desktop.activations().empty());
    }
}

}  // namespace
}  // namespace velmora::target
