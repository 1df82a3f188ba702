#include "app/app_delegate.hpp"

#include <gtest/gtest.h>

#include "platform/sim/scene_file.hpp"
#include "platform/sim/sim_desktop.hpp"
#include "support/stderr_capture.hpp"

namespace velmora::app {
namespace {

using namespace std::chrono_literals;

// What the terminal stand-in in the program tests cannot show: the icon, the permission prompt, the
// settings opened, and callbacks that outlive the delegate.
TEST(AppDelegate,
     launch_sets_the_icon_and_checks_the_permission_every_two_seconds_prompting_once_outside_dry_run) {
    for (const bool dryRun : {true, false}) {
        SCOPED_TRACE(dryRun);
        platform::MainLoop loop{platform::MainLoop::Time::manual};
        platform::sim::SimDesktop sim{loop, platform::sim::defaultScene()};
        testing::StderrCapture quiet;  // the listener's log line
        sim.scene().trusted = false;
        auto delegate = AppDelegate::create(sim, 0, dryRun);
        delegate->applicationDidFinishLaunching();
        auto* item = sim.statusItem();
        ASSERT_NE(item, nullptr);
        EXPECT_EQ(std::tuple(item->symbolName(), item->accessibilityDescription(), item->imagePosition()),
                  std::tuple("cursorarrow.click.2", "Velmora Helper", platform::ImagePosition::leading));
        loop.advance(6.5s);
        EXPECT_EQ(sim.trustChecks(), 4);
        EXPECT_EQ(sim.trustPrompts(), dryRun ? 0 : 1);
        ASSERT_TRUE(item->choose("Open Accessibility settings…"));
        loop.drain();
        EXPECT_EQ(sim.openedURLs(), std::vector<std::string>{"x-apple.systempreferences:com.apple.preference."
                                                             "security?Privacy_Accessibility"});
        if (dryRun) continue;
        // Once the delegate is gone, its timer and the menu's actions do nothing.
        const auto quit = item->menu().items.back().action;
        const int checks = sim.trustChecks();
        delegate.reset();
        EXPECT_EQ(sim.statusItem(), nullptr);  // the item went with its owner
        loop.advance(10s);
        EXPECT_EQ(sim.trustChecks(), checks);
        quit();
        loop.drain();
        EXPECT_FALSE(sim.terminated());
    }
}

}  // namespace
}  // namespace velmora::app
