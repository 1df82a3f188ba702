// What the program relies on of any desktop, the same tests on each backend: the simulated one, and the X11
// one on the session in $DISPLAY (a window manager, a compositor, two monitors) with real client processes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_desktop.hpp"
#include "platform/x11/x11_desktop.hpp"
#include "x_test_support.hpp"

namespace velmora::platform {
namespace {

struct AppWindow {
    WindowId id = 0;
    ProcessId pid = 0;
    std::string owner;
    std::unique_ptr<testing::XApp> app;  // the client process on X11
};

class DesktopContract : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (!GetParam()) {
            sim::SimScene scene;
            scene.trusted = true;
            scene.displays = {{7, "VELMORA-LEFT", Rect{0, 0, 960, 1080}, 960, 1080},
                              {8, "VELMORA-RIGHT", Rect{960, 0, 960, 1080}, 960, 1080}};
            desktop.reset(sim = new sim::SimDesktop(loop, scene));
            return;
        }
        VELMORA_NEED_X_DISPLAY();
        // The terminal menu reads and writes a pipe nobody uses, one for the whole run.
        static int menu[2] = {-1, -1};
        ASSERT_TRUE(menu[0] >= 0 || ::pipe(menu) == 0);
        desktop = x11::X11Desktop::connect(loop, menu[0], menu[1], [] {});
        ASSERT_NE(desktop, nullptr) << "cannot open the display";
    }
    std::vector<WindowId> listed(std::vector<WindowId> mine) { return testing::listed(*desktop, mine); }
    // Runs the loop until `done` holds: the X11 desktop answers through it, the sim at once.
    bool await(const std::function<bool()>& done) { return loop.runUntil(done, std::chrono::seconds(20)); }

    // A window whose content is about `r`; the desktop's own bounds are what count.
    AppWindow open(const std::string& owner, Rect r) {
        if (sim) {
            const WindowId id = 100 + sim->scene().windows.size();
            sim->scene().windows.insert(sim->scene().windows.begin(), {id, 7000 + id, owner, r, 0});
            return AppWindow{id, ProcessId(7000 + id), owner, nullptr};
        }
        const auto geometry = std::to_string(int(r.width)) + "x" + std::to_string(int(r.height)) + "+" +
                              std::to_string(int(r.x)) + "+" + std::to_string(int(r.y));
        auto app = std::make_unique<testing::XApp>(
            std::vector<std::string>{"--class", owner, "--geometry", geometry});
        AppWindow window{WindowId(app->window), ProcessId(app->pid()), owner, std::move(app)};
        // Mapped is not yet managed: the window counts once the manager lists it.
        EXPECT_TRUE(await([&] { return listed({window.id}).size() == 1; }));
        return window;
    }

    MainLoop loop;
    std::unique_ptr<Platform> desktop;
    sim::SimDesktop* sim = nullptr;
};

// Raising brings a window forward, activating makes its process frontmost, and a minimised window is found
// by its number but not listed.
TEST_P(DesktopContract, lists_application_windows_front_first_with_their_owner_and_content_bounds) {
    auto back = open("VelmoraBack", {100, 100, 400, 300});
    auto front = open("VelmoraFront", {300, 200, 320, 240});
    EXPECT_TRUE(await([&] { return listed({back.id, front.id}) == std::vector{front.id, back.id}; }));
    for (const auto* window : {&back, &front}) {
        const auto entry = desktop->windowEntry(window->id);
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(std::tuple(entry->ownerPid, entry->ownerName, entry->layer),
                  std::tuple(window->pid, window->owner, 0));
        EXPECT_EQ((Size{entry->bounds.value().width, entry->bounds.value().height}),
                  window == &back ? (Size{400, 300}) : (Size{320, 240}));
        EXPECT_EQ(desktop->windowBounds(window->id), entry->bounds) << "the input path's lookup agrees";
    }
    EXPECT_FALSE(desktop->windowEntry(0x7ffffff0) || desktop->windowBounds(0x7ffffff0));
    desktop->raiseWindow(back.pid, back.id);
    EXPECT_TRUE(await([&] { return listed({back.id, front.id}) == std::vector{back.id, front.id}; }));
    EXPECT_TRUE(desktop->activateApplication(front.pid));
    EXPECT_TRUE(await([&] { return desktop->frontmostApplication() == front.pid; }));
    EXPECT_FALSE(desktop->activateApplication(0x7ffffff0));
    back.app ? back.app->send("iconify")
             : void(std::ranges::find(sim->scene().windows, back.id, &sim::SimWindow::id)->onScreen = false);
    EXPECT_TRUE(await([&] { return listed({back.id, front.id}) == std::vector{front.id}; }));
    EXPECT_TRUE(desktop->windowEntry(back.id).has_value());
}

// Two monitors side by side, the left one the main display, each a screen with a name.
TEST_P(DesktopContract, displays_tile_the_desktop_and_the_main_one_is_at_the_origin) {
    const auto ids = desktop->activeDisplays(16);
    const auto screens = desktop->screens();
    ASSERT_TRUE(ids.size() == 2 && screens.size() == 2);
    EXPECT_EQ(desktop->activeDisplays(1), std::vector{ids[0]});
    EXPECT_EQ(desktop->mainDisplay(), ids[0]);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(desktop->displayBounds(ids[i]), (Rect{960.0 * i, 0, 960, 1080}));
        EXPECT_EQ(desktop->displayPixelsWide(ids[i]) + desktop->displayPixelsHigh(ids[i]), 960u + 1080u);
        EXPECT_EQ(screens[i].displayId, ids[i]);
        EXPECT_EQ(screens[i].localizedName, i == 0 ? "VELMORA-LEFT" : "VELMORA-RIGHT");
    }
    EXPECT_TRUE(desktop->displayBounds(0x7ffffff0).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Backends, DesktopContract, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "x11" : "sim"; });

}  // namespace
}  // namespace velmora::platform
