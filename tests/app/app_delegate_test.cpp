#include "app/app_delegate.hpp"

#include <gtest/gtest.h>

#include "build_config.hpp"
#include "platform/sim/scene_file.hpp"
#include "platform/sim/sim_desktop.hpp"
#include "support/stderr_capture.hpp"

namespace velmora::app {
namespace {

using namespace std::chrono_literals;

// What the terminal stand-in in the program tests cannot show: the icon, the permission prompt, the
// settings opened, and callbacks that outlive the delegate.
struct Launched {
    explicit Launched(bool dryRun, bool trusted) {
        sim.scene().trusted = trusted;
        delegate = AppDelegate::create(sim, 0, dryRun);
        delegate->applicationDidFinishLaunching();
        item = sim.statusItem();
    }
    platform::MainLoop loop{platform::MainLoop::Time::manual};
    platform::sim::SimDesktop sim{loop, platform::sim::defaultScene()};
    testing::StderrCapture quiet;  // the listener's log line
    std::shared_ptr<AppDelegate> delegate;
    platform::sim::SimStatusItem* item = nullptr;
};

TEST(AppDelegate,
     launch_sets_the_icon_and_checks_the_permission_every_two_seconds_prompting_once_outside_dry_run) {
    for (const bool dryRun : {false, true}) {
        SCOPED_TRACE(dryRun);
        Launched app(dryRun, false);
        ASSERT_NE(app.item, nullptr);
        EXPECT_EQ(app.item->symbolName(), "cursorarrow.click.2");
        EXPECT_EQ(app.item->accessibilityDescription(), "Velmora Helper");
        EXPECT_EQ(app.item->imagePosition(), platform::ImagePosition::leading);
        app.loop.advance(6.5s);
        EXPECT_EQ(app.sim.trustChecks(), 4);
        EXPECT_EQ(app.sim.trustPrompts(), dryRun ? 0 : 1);
        ASSERT_TRUE(app.item->choose("Open Accessibility settings…"));
        app.loop.drain();
        EXPECT_EQ(app.sim.openedURLs(),
                  std::vector<std::string>{
                      "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"});
    }
}

TEST(AppDelegate, timer_and_menu_actions_do_nothing_once_the_delegate_is_gone) {
    Launched app(false, true);
    const auto quit = app.item->menu().items.back().action;
    app.delegate.reset();
    EXPECT_EQ(app.sim.statusItem(), nullptr);  // the item went with its owner
    const int checks = app.sim.trustChecks();
    app.loop.advance(10s);
    EXPECT_EQ(app.sim.trustChecks(), checks);
    quit();
    app.loop.drain();
    EXPECT_FALSE(app.sim.terminated());
}

}  // namespace
}  // namespace velmora::app
