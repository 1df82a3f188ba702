// What the program relies on of any desktop, checked on each backend with the same tests: the simulated one,
// and the X11 one on the session in $DISPLAY (a window manager, a compositor, two monitors) with real client
// processes.
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
        // The terminal menu reads and writes a pipe nobody uses.
        ASSERT_EQ(::pipe(menu), 0);
        desktop = x11::X11Desktop::connect(loop, menu[0], menu[1], [] {});
        ASSERT_NE(desktop, nullptr) << "cannot open the display";
    }
    void TearDown() override {
        desktop.reset();
        for (const int fd : menu)
            if (fd >= 0) ::close(fd);
    }
    Platform& platform() { return *desktop; }
    // Runs the loop until `done` holds: the X11 desktop answers through it, the sim at once.
    bool await(const std::function<bool()>& done) { return loop.runUntil(done, std::chrono::seconds(20)); }

    // A window whose content is `size` at about `at`; the desktop's own bounds are what count.
    AppWindow open(const std::string& owner, Point at, Size size) {
        if (sim) {
            const WindowId id = 100 + sim->scene().windows.size();
            sim->scene().windows.insert(sim->scene().windows.begin(),
                                        {id, 7000 + id, owner, Rect{at.x, at.y, size.width, size.height}, 0});
            return AppWindow{id, ProcessId(7000 + id), owner, nullptr};
        }
        const auto geometry = std::to_string(int(size.width)) + "x" + std::to_string(int(size.height)) + "+" +
                              std::to_string(int(at.x)) + "+" + std::to_string(int(at.y));
        auto app = std::make_unique<testing::XApp>(
            std::vector<std::string>{"--title", owner + " window", "--class", owner, "--geometry", geometry});
        AppWindow window{WindowId(app->window), ProcessId(app->pid()), owner, std::move(app)};
        // Mapped is not yet managed: the window counts once the manager lists it.
        EXPECT_TRUE(await([&] { return listed({&window}).size() == 1; }));
        return window;
    }
    std::vector<WindowId> listed(const std::vector<const AppWindow*>& mine) {
        std::vector<WindowId> order;
        for (const auto& entry : platform().onScreenWindows().value_or(std::vector<WindowEntry>{}))
            if (std::ranges::any_of(mine, [&](const AppWindow* w) { return w->id == entry.number; }))
                order.push_back(entry.number);
        return order;
    }

    MainLoop loop;
    std::unique_ptr<Platform> desktop;
    sim::SimDesktop* sim = nullptr;
    int menu[2] = {-1, -1};
};

// Raising brings a window forward, activating makes its process frontmost, and a minimised window is found
// by its number but not listed.
TEST_P(DesktopContract, lists_application_windows_front_first_with_their_owner_and_content_bounds) {
    auto back = open("VelmoraBack", {100, 100}, {400, 300});
    auto front = open("VelmoraFront", {300, 200}, {320, 240});
    EXPECT_TRUE(await([&] { return listed({&back, &front}) == std::vector{front.id, back.id}; }));
    for (const auto* window : {&back, &front}) {
        const auto entry = platform().windowEntry(window->id);
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(entry->ownerPid, window->pid);
        EXPECT_EQ(entry->ownerName, window->owner);
        EXPECT_EQ(entry->layer, 0);
        EXPECT_EQ((Size{entry->bounds.value().width, entry->bounds.value().height}),
                  window == &back ? (Size{400, 300}) : (Size{320, 240}));
        EXPECT_EQ(platform().windowBounds(window->id), entry->bounds) << "the input path's lookup agrees";
    }
    EXPECT_FALSE(platform().windowEntry(0x7ffffff0).has_value());
    EXPECT_FALSE(platform().windowBounds(0x7ffffff0).has_value());
    platform().raiseWindow(back.pid, back.id);
    EXPECT_TRUE(await([&] { return listed({&back, &front}) == std::vector{back.id, front.id}; }));
    EXPECT_TRUE(platform().activateApplication(front.pid));
    EXPECT_TRUE(await([&] { return platform().frontmostApplication() == front.pid; }));
    EXPECT_FALSE(platform().activateApplication(0x7ffffff0));
    back.app ? back.app->send("iconify")
             : void(std::ranges::find(sim->scene().windows, back.id, &sim::SimWindow::id)->onScreen = false);
    EXPECT_TRUE(await([&] { return listed({&back, &front}) == std::vector{front.id}; }));
    EXPECT_TRUE(platform().windowEntry(back.id).has_value());
}

// Two monitors side by side, the left one the main display, each a screen with a name.
TEST_P(DesktopContract, displays_tile_the_desktop_and_the_main_one_is_at_the_origin) {
    const auto ids = platform().activeDisplays(16);
    const auto screens = platform().screens();
    ASSERT_TRUE(ids.size() == 2 && screens.size() == 2);
    EXPECT_EQ(platform().activeDisplays(1), std::vector{ids[0]});
    EXPECT_EQ(platform().mainDisplay(), ids[0]);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(platform().displayBounds(ids[i]), (Rect{960.0 * i, 0, 960, 1080}));
        EXPECT_EQ(platform().displayPixelsWide(ids[i]) + platform().displayPixelsHigh(ids[i]), 960u + 1080u);
        EXPECT_EQ(screens[i].displayId, ids[i]);
        EXPECT_EQ(screens[i].localizedName, i == 0 ? "VELMORA-LEFT" : "VELMORA-RIGHT");
    }
    EXPECT_TRUE(platform().displayBounds(0x7ffffff0).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Backends, DesktopContract, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "x11" : "sim"; });

}  // namespace
}  // namespace velmora::platform
