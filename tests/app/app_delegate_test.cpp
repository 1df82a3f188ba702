#include "app/app_delegate.hpp"

#include <gtest/gtest.h>

#include "build_config.hpp"
#include "platform/sim/scene_file.hpp"
#include "platform/sim/sim_desktop.hpp"
#include "support/stderr_capture.hpp"

namespace velmora::app {
namespace {

using namespace std::chrono_literals;
using platform::sim::SimDesktop;

std::vector<std::string> titles(const platform::Menu& menu) {
    std::vector<std::string> result;
    for (const auto& item : menu.items)
        result.push_back(item.isSeparator ? "----" : item.title);
    return result;
}

struct Launched {
    explicit Launched(bool dryRun, bool trusted) {
        sim.scene().trusted = trusted;
        delegate = AppDelegate::create(sim, 0, dryRun);
        delegate->applicationDidFinishLaunching();
        item = sim.statusItem();
    }
    platform::MainLoop loop{platform::MainLoop::Time::manual};
    SimDesktop sim{loop, platform::sim::defaultScene()};
    testing::StderrCapture quiet;  // the listener's log line
    std::shared_ptr<AppDelegate> delegate;
    platform::sim::SimStatusItem* item = nullptr;
};

TEST(AppDelegate, launch_sets_the_symbol_and_checks_the_permission_prompting_only_outside_dry_run) {
    for (const bool dryRun : {false, true}) {
        SCOPED_TRACE(dryRun ? "dry run" : "normal");
        Launched app(dryRun, false);
        ASSERT_NE(app.item, nullptr);
        EXPECT_EQ(app.item->symbolName(), "cursorarrow.click.2");
        EXPECT_EQ(app.item->accessibilityDescription(), "Velmora Helper");
        EXPECT_EQ(app.item->imagePosition(), platform::ImagePosition::leading);
        EXPECT_EQ(app.sim.trustChecks(), 1);
        EXPECT_EQ(app.sim.trustPrompts(), dryRun ? 0 : 1);
        // Every two seconds, never prompting again.
        app.loop.advance(6.5s);
        EXPECT_EQ(app.sim.trustChecks(), 4);
        EXPECT_EQ(app.sim.trustPrompts(), dryRun ? 0 : 1);
    }
}

TEST(AppDelegate, first_menu_is_built_before_the_listener_reports) {
    Launched app(false, false);
    EXPECT_EQ(titles(app.item->menu()),
              (std::vector<std::string>{"Velmora Helper — port 0 busy", "----",
                                        "Open Accessibility settings…", "Quit Velmora Helper"}));
    EXPECT_EQ(app.item->title(), "");
    EXPECT_EQ(app.item->tint(), platform::Tint::none);
    const auto& items = app.item->menu().items;
    EXPECT_FALSE(items[0].enabled);
    EXPECT_TRUE(items[2].enabled);
    EXPECT_TRUE(items[3].enabled);
    EXPECT_EQ(items[3].keyEquivalent, "q");
    EXPECT_TRUE(items[2].keyEquivalent.empty());
}

TEST(AppDelegate, menu_follows_the_permission_and_opens_the_accessibility_settings) {
    Launched app(true, false);
    ASSERT_TRUE(app.loop.runUntil([&] { return app.delegate->controller().listening(); }));
    EXPECT_TRUE(app.item->choose("Open Accessibility settings…"));
    app.loop.drain();
    EXPECT_EQ(app.sim.openedURLs(),
              std::vector<std::string>{
                  "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility"});

    app.sim.scene().trusted = true;
    app.loop.advance(2s);
    EXPECT_EQ(titles(app.item->menu()),
              (std::vector<std::string>{std::string("Velmora Helper — waiting for ") + build::productionHost,
                                        "----", "Quit Velmora Helper"}));
    EXPECT_FALSE(app.item->choose("Open Accessibility settings…"));
}

TEST(AppDelegate, quit_asks_the_platform_to_terminate) {
    Launched app(false, true);
    EXPECT_TRUE(app.item->choose("q"));
    EXPECT_FALSE(app.sim.terminated());
    app.loop.drain();
    EXPECT_TRUE(app.sim.terminated());
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
    EXPECT_FALSE(app.sim.terminated());
}

}  // namespace
}  // namespace velmora::app
