// What the program relies on of any desktop, checked on each backend with the same tests: the simulated one,
// and the X11 one on the session in $DISPLAY (a window manager, a compositor, two monitors) with real client
// processes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/mac_terms.hpp"
#include "platform/sim/sim_desktop.hpp"
#include "platform/x11/x11_desktop.hpp"
#include "platform/x11/x_display.hpp"
#include "support/x_test_app.hpp"

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

struct AppWindow {
    WindowId id = 0;
    ProcessId pid = 0;
    std::string owner;
    std::unique_ptr<testing::XTestApp> app;  // the client process on X11
};

// One backend with the means to open application windows and see what they receive.
class Desk {
  public:
    virtual ~Desk() = default;
    virtual Platform& platform() = 0;
    MainLoop& loop() { return loop_; }
    // A window whose content is `size` at about `at`; the desktop's own bounds are what count.
    virtual AppWindow open(const std::string& owner, Point at, Size size) = 0;
    virtual void minimise(AppWindow& window) = 0;
    // Where the window received its next press (or release) of `button` (1 left, 3 right), in its own
    // coordinates; nothing when none came.
    virtual std::optional<Point> awaitPress(AppWindow& window, int button, bool down) = 0;

    // Runs the loop until `done` holds: the X11 desktop answers through it, the sim at once.
    bool await(const std::function<bool()>& done) { return loop_.runUntil(done, 20s); }

  protected:
    MainLoop loop_;
};

class SimDesk : public Desk {
  public:
    SimDesk() {
        sim::SimScene scene;
        scene.trusted = true;
        scene.displays = {{7, "VELMORA-LEFT", Rect{0, 0, 960, 1080}, 960, 1080},
                          {8, "VELMORA-RIGHT", Rect{960, 0, 960, 1080}, 960, 1080}};
        desktop_ = std::make_unique<sim::SimDesktop>(loop_, scene);
    }
    Platform& platform() override { return *desktop_; }
    AppWindow open(const std::string& owner, Point at, Size size) override {
        const auto id = nextId_++;
        const ProcessId pid = 7000 + static_cast<ProcessId>(id);
        auto& windows = desktop_->scene().windows;
        windows.insert(windows.begin(), {id, pid, owner, Rect{at.x, at.y, size.width, size.height}, 0, true});
        return AppWindow{id, pid, owner, nullptr};
    }
    void minimise(AppWindow& window) override {
        for (auto& w : desktop_->scene().windows) {
            if (w.id == window.id) w.onScreen = false;
        }
    }
    // The sim delivers nothing: what a window would receive is what was posted inside it.
    std::optional<Point> awaitPress(AppWindow& window, int button, bool down) override {
        const auto& posted = desktop_->postedEvents();
        const auto bounds = desktop_->windowEntry(window.id)->bounds.value();
        const auto wanted = button == 3
                                ? (down ? mac::EventType::rightMouseDown : mac::EventType::rightMouseUp)
                                : (down ? mac::EventType::leftMouseDown : mac::EventType::leftMouseUp);
        while (seen_ < posted.size()) {
            const auto& event = posted[seen_++];
            if (event.type == wanted && bounds.contains(event.location))
                return Point{event.location.x - bounds.x, event.location.y - bounds.y};
        }
        return std::nullopt;
    }

  private:
    std::unique_ptr<sim::SimDesktop> desktop_;
    WindowId nextId_ = 100;
    std::size_t seen_ = 0;
};

class X11Desk : public Desk {
  public:
    X11Desk() {
        // The terminal menu reads and writes a pipe nobody uses.
        if (::pipe(menu_) != 0) return;
        desktop_ = x11::X11Desktop::connect(loop_, menu_[0], menu_[1], [] {});
    }
    ~X11Desk() override {
        desktop_.reset();
        if (menu_[0] >= 0) ::close(menu_[0]);
        if (menu_[1] >= 0) ::close(menu_[1]);
    }
    bool connected() const { return desktop_ != nullptr; }
    Platform& platform() override { return *desktop_; }
    AppWindow open(const std::string& owner, Point at, Size size) override {
        testing::XTestApp::Options options;
        options.title = owner + " window";
        options.windowClass = owner;
        options.geometry = std::to_string(int(size.width)) + "x" + std::to_string(int(size.height)) + "+" +
                           std::to_string(int(at.x)) + "+" + std::to_string(int(at.y));
        auto app = std::make_unique<testing::XTestApp>(options);
        const auto id = app->awaitReady();
        EXPECT_TRUE(id.has_value()) << app->process().error();
        const ProcessId pid = app->process().pid();
        // Mapped is not yet managed: the window counts once the manager lists it.
        EXPECT_TRUE(await([&] { return desktop_->windowEntry(id.value_or(0)) && isListed(id.value_or(0)); }));
        return AppWindow{id.value_or(0), pid, owner, std::move(app)};
    }
    void minimise(AppWindow& window) override { window.app->send("iconify"); }
    std::optional<Point> awaitPress(AppWindow& window, int button, bool down) override {
        const auto event = window.app->await(
            down ? "press" : "release",
            [&](const boost::json::object& e) { return e.at("button").to_number<int>() == button; }, 10s);
        if (!event) return std::nullopt;
        return Point{event->at("x").to_number<double>(), event->at("y").to_number<double>()};
    }

  private:
    bool isListed(WindowId id) {
        const auto list = desktop_->onScreenWindows();
        return list && std::ranges::any_of(*list, [&](const WindowEntry& e) { return e.number == id; });
    }
    int menu_[2] = {-1, -1};
    std::unique_ptr<x11::X11Desktop> desktop_;
};

enum class Backend { sim, x11 };

class DesktopContract : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        if (GetParam() == Backend::sim) {
            desk = std::make_unique<SimDesk>();
            return;
        }
        VELMORA_NEED_X_DISPLAY();
        auto x11 = std::make_unique<X11Desk>();
        ASSERT_TRUE(x11->connected()) << "cannot open the display " << velmora::testing::testDisplay();
        desk = std::move(x11);
    }
    Platform& platform() { return desk->platform(); }
    std::vector<WindowId> listed(const std::vector<const AppWindow*>& mine) {
        std::vector<WindowId> order;
        for (const auto& entry : platform().onScreenWindows().value_or(std::vector<WindowEntry>{})) {
            if (std::ranges::any_of(mine, [&](const AppWindow* w) { return w->id == entry.number; }))
                order.push_back(entry.number);
        }
        return order;
    }
    // The click the program would post for a reviewer: move, press, release at a global point.
    void click(Point at, PointerButton button = PointerButton::left) {
        EXPECT_TRUE(platform().postInput({PointerMotion{at, {}}, {}, 0}));
        EXPECT_TRUE(platform().postInput({PointerPress{at, button, true, 1}, {}, 0}));
        EXPECT_TRUE(platform().postInput({PointerPress{at, button, false, 1}, {}, 0}));
    }

    std::unique_ptr<Desk> desk;
};

TEST_P(DesktopContract, lists_application_windows_front_first_with_their_owner_and_content_bounds) {
    auto back = desk->open("VelmoraBack", {100, 100}, {400, 300});
    auto front = desk->open("VelmoraFront", {300, 200}, {320, 240});
    EXPECT_TRUE(desk->await([&] { return listed({&back, &front}) == std::vector{front.id, back.id}; }));
    for (const auto* window : {&back, &front}) {
        const auto entry = platform().windowEntry(window->id);
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(entry->ownerPid, window->pid);
        EXPECT_EQ(entry->ownerName, window->owner);
        EXPECT_EQ(entry->layer, 0);
        ASSERT_TRUE(entry->bounds.has_value());
        const Size size = window == &back ? Size{400, 300} : Size{320, 240};
        EXPECT_EQ((Size{entry->bounds->width, entry->bounds->height}), size);
        EXPECT_EQ(platform().windowBounds(window->id), entry->bounds) << "the input path's lookup agrees";
    }
    EXPECT_FALSE(platform().windowEntry(0x7ffffff0).has_value());
    EXPECT_FALSE(platform().windowBounds(0x7ffffff0).has_value());
}

TEST_P(DesktopContract, raising_brings_a_window_forward_and_activating_makes_its_process_frontmost) {
    auto back = desk->open("VelmoraBack", {100, 100}, {400, 300});
    auto front = desk->open("VelmoraFront", {150, 150}, {400, 300});
    platform().raiseWindow(back.pid, back.id);
    EXPECT_TRUE(desk->await([&] { return listed({&back, &front}) == std::vector{back.id, front.id}; }));
    EXPECT_TRUE(platform().activateApplication(front.pid));
    EXPECT_TRUE(desk->await([&] { return platform().frontmostApplication() == front.pid; }));
    EXPECT_FALSE(platform().activateApplication(0x7ffffff0));
}

TEST_P(DesktopContract, a_minimised_window_is_found_by_its_number_but_not_listed) {
    auto window = desk->open("VelmoraMinimised", {100, 100}, {200, 150});
    desk->minimise(window);
    EXPECT_TRUE(desk->await([&] { return listed({&window}).empty(); }));
    EXPECT_TRUE(platform().windowEntry(window.id).has_value());
}

// Two monitors side by side, the left one the main display, each a screen with a name.
TEST_P(DesktopContract, displays_tile_the_desktop_and_the_main_one_is_at_the_origin) {
    const auto ids = platform().activeDisplays(16);
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(platform().mainDisplay(), ids[0]);
    EXPECT_EQ(platform().displayBounds(ids[0]), (Rect{0, 0, 960, 1080}));
    EXPECT_EQ(platform().displayBounds(ids[1]), (Rect{960, 0, 960, 1080}));
    EXPECT_EQ(platform().displayPixelsWide(ids[1]), 960u);
    EXPECT_EQ(platform().displayPixelsHigh(ids[1]), 1080u);
    EXPECT_TRUE(platform().displayBounds(0x7ffffff0).isEmpty());
    const auto screens = platform().screens();
    ASSERT_EQ(screens.size(), 2u);
    EXPECT_EQ(screens[0].displayId, ids[0]);
    EXPECT_EQ(screens[0].localizedName, "VELMORA-LEFT");
}

TEST_P(DesktopContract, posted_clicks_land_in_the_window_at_the_point_inside_its_bounds) {
    auto window = desk->open("VelmoraTarget", {200, 150}, {400, 300});
    ASSERT_TRUE(platform().isProcessTrusted(false));
    platform().raiseWindow(window.pid, window.id);
    const auto bounds = platform().windowEntry(window.id)->bounds.value();
    struct Case {
        Point offset;
        PointerButton button;
        int number;
    };
    for (const auto& c : {Case{{10, 20}, PointerButton::left, 1}, Case{{399, 299}, PointerButton::right, 3},
                          Case{{200.4, 150.6}, PointerButton::left, 1}}) {
        click({bounds.x + c.offset.x, bounds.y + c.offset.y}, c.button);
        const auto down = desk->awaitPress(window, c.number, true);
        ASSERT_TRUE(down.has_value()) << c.offset.x;
        EXPECT_NEAR(down->x, c.offset.x, 0.5);
        EXPECT_NEAR(down->y, c.offset.y, 0.5);
        EXPECT_TRUE(desk->awaitPress(window, c.number, false).has_value());
    }
}

// The ink's window covers the target exactly; the reviewer's clicks must still reach the target.
TEST_P(DesktopContract, an_overlay_takes_its_frame_and_clicks_pass_through_it) {
    auto window = desk->open("VelmoraUnderInk", {200, 150}, {400, 300});
    platform().raiseWindow(window.pid, window.id);
    const auto bounds = platform().windowEntry(window.id)->bounds.value();
    auto overlay = platform().createOverlayWindow({});
    ASSERT_NE(overlay, nullptr);
    EXPECT_FALSE(overlay->isVisible());
    overlay->setFrame(bounds, false);
    overlay->show();
    overlay->setNeedsDisplay();
    desk->loop().drain();
    EXPECT_TRUE(overlay->isVisible());
    EXPECT_EQ(overlay->frame(), bounds);
    click({bounds.x + 50, bounds.y + 60});
    const auto down = desk->awaitPress(window, 1, true);
    ASSERT_TRUE(down.has_value());
    EXPECT_EQ(*down, (Point{50, 60}));
    overlay->hide();
    EXPECT_FALSE(overlay->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Backends, DesktopContract, ::testing::Values(Backend::sim, Backend::x11),
                         [](const auto& info) { return info.param == Backend::sim ? "sim" : "x11"; });

}  // namespace
}  // namespace velmora::platform
