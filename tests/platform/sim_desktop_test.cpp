#include "platform/sim/sim_desktop.hpp"
#include "platform/sim/scene_file.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace velmora::platform::sim {
namespace {

SimScene exampleScene() {
    SimScene scene = defaultScene();
    scene.mainDisplay.reset();
    scene.windows = {
        {4242, 501, "Slides", Rect{100, 120, 1200, 760}, 0, true},
        {17, std::nullopt, std::nullopt, std::nullopt, std::nullopt, true},  // every optional key missing
        {99, 602, "Mail", Rect{0, 0, 800, 600}, 0, false},                   // minimised
    };
    return scene;
}

struct Fixture {
    explicit Fixture(SimScene scene = exampleScene()) : desktop(loop, std::move(scene)) {}
    MainLoop loop{MainLoop::Time::manual};
    SimDesktop desktop;
};

std::vector<WindowId> numbers(const std::vector<WindowEntry>& entries) {
    std::vector<WindowId> out;
    for (const auto& entry : entries)
        out.push_back(entry.number);
    return out;
}

// A view that fills its whole bounds with one colour, and a red square in its top-left corner.
class SquareView : public View {
  public:
    explicit SquareView(bool flipped) : flipped_(flipped) {}
    void draw(Canvas& canvas, const Rect&) override {
        ++draws;
        canvas.setColor(Color{1, 0, 0, 1});
        canvas.fillRect(Rect{0, 0, 10, 10});
    }
    bool isFlipped() const override { return flipped_; }
    int draws = 0;

  private:
    bool flipped_;
};

TEST(SimDesktop, hidden_windows_are_found_by_number_but_are_not_on_screen) {
    Fixture f;
    const auto hidden = f.desktop.windowEntry(99);
    ASSERT_TRUE(hidden.has_value());
    EXPECT_EQ(hidden->ownerName, "Mail");
    EXPECT_EQ(numbers(*f.desktop.onScreenWindows()), (std::vector<WindowId>{4242, 17}));
    EXPECT_FALSE(f.desktop.windowEntry(12345).has_value());
}

TEST(SimDesktop, missing_keys_stay_missing_in_the_window_list) {
    Fixture f;
    for (const auto& entry : {*f.desktop.windowEntry(17), f.desktop.onScreenWindows()->at(1)}) {
        EXPECT_EQ(entry.number, 17u);
        EXPECT_FALSE(entry.bounds.has_value());
        EXPECT_FALSE(entry.ownerPid.has_value());
        EXPECT_FALSE(entry.ownerName.has_value());
        EXPECT_FALSE(entry.layer.has_value());
    }
    const auto slides = *f.desktop.windowEntry(4242);
    EXPECT_EQ(slides.bounds, (Rect{100, 120, 1200, 760}));
    EXPECT_EQ(slides.ownerPid, 501);
    EXPECT_EQ(slides.layer, 0);
}

TEST(SimDesktop, display_queries_answer_from_the_scene_and_give_nothing_for_an_unknown_display) {
    Fixture f;
    struct Case {
        DisplayId id;
        Rect bounds;
        std::size_t wide;
        std::size_t high;
    };
    for (const auto& c : {Case{1, {0, 0, 1512, 982}, 3024, 1964},
                          Case{2, {1512, -200, 2560, 1440}, 2560, 1440}, Case{3, {}, 0, 0}}) {
        EXPECT_EQ(f.desktop.displayBounds(c.id), c.bounds) << c.id;
        EXPECT_EQ(f.desktop.displayPixelsWide(c.id), c.wide) << c.id;
        EXPECT_EQ(f.desktop.displayPixelsHigh(c.id), c.high) << c.id;
    }
    EXPECT_TRUE(f.desktop.displayBounds(3).isEmpty());
}

TEST(SimDesktop, active_display_list_keeps_scene_order_up_to_the_capacity) {
    SimScene scene;
    for (DisplayId id = 100; id < 117; ++id)
        scene.displays.push_back({id, std::nullopt, Rect{0, 0, 10, 10}, 10, 10});
    Fixture f(scene);
    const auto ids = f.desktop.activeDisplays(16);
    ASSERT_EQ(ids.size(), 16u);
    EXPECT_EQ(ids.front(), 100u);
    EXPECT_EQ(ids.back(), 115u);
    EXPECT_EQ(f.desktop.activeDisplays(2), (std::vector<DisplayId>{100, 101}));
}

TEST(SimDesktop, main_display_is_the_marked_one_else_the_first) {
    struct Case {
        std::optional<DisplayId> marked;
        DisplayId main;
    };
    for (const auto& c : {Case{std::nullopt, 1}, Case{2, 2}, Case{7, 1}}) {
        auto scene = exampleScene();
        scene.mainDisplay = c.marked;
        Fixture f(scene);
        EXPECT_EQ(f.desktop.mainDisplay(), c.main);
    }
}

TEST(SimDesktop, only_named_displays_have_a_screen) {
    Fixture f;
    const auto screens = f.desktop.screens();
    ASSERT_EQ(screens.size(), 1u);
    EXPECT_EQ(screens[0].displayId, 1u);
    EXPECT_EQ(screens[0].localizedName, "Built-in Display");
}

TEST(SimDesktop, visible_overlay_windows_are_this_process_floating_windows_in_front) {
    auto scene = exampleScene();
    // A menu-bar window of a higher level stays in front of the overlay, as on a real desktop.
    scene.windows.insert(scene.windows.begin(), {5, 0, "Window Server", Rect{0, 0, 1512, 24}, 25, true});
    Fixture f(scene);
    auto window = f.desktop.createOverlayWindow({});
    const WindowId number = window->windowNumber();
    window->setFrame(Rect{100, 120, 1200, 720}, false);
    EXPECT_EQ(numbers(*f.desktop.onScreenWindows()), (std::vector<WindowId>{5, 4242, 17}));

    window->show();
    const auto list = *f.desktop.onScreenWindows();
    EXPECT_EQ(numbers(list), (std::vector<WindowId>{5, number, 4242, 17}));
    const auto& own = list[1];
    EXPECT_EQ(own.ownerPid, ::getpid());
    EXPECT_EQ(own.layer, 3);
    EXPECT_EQ(own.bounds, (Rect{100, 120, 1200, 720}));
    EXPECT_EQ(own.ownerName, SimDesktop::ownName);

    window->hide();
    EXPECT_EQ(numbers(*f.desktop.onScreenWindows()), (std::vector<WindowId>{5, 4242, 17}));
    EXPECT_TRUE(f.desktop.windowEntry(number).has_value());
    window.reset();
    EXPECT_FALSE(f.desktop.windowEntry(number).has_value());
}

TEST(SimDesktop, raising_moves_the_window_to_the_front_only_with_the_permission) {
    for (const bool trusted : {true, false}) {
        auto scene = exampleScene();
        scene.trusted = trusted;
        scene.windows.push_back({50, 602, "Mail", Rect{0, 0, 10, 10}, 0, true});
        Fixture f(scene);
        f.desktop.raiseWindow(602, 50);
        f.desktop.raiseWindow(501, 50);  // not that process's window: nothing moves
        const auto expected =
            trusted ? std::vector<WindowId>{50, 4242, 17} : std::vector<WindowId>{4242, 17, 50};
        EXPECT_EQ(numbers(*f.desktop.onScreenWindows()), expected) << trusted;
        EXPECT_EQ(f.desktop.frontmostApplication(), 501) << "raising does not activate";
        EXPECT_EQ(f.desktop.raiseRequests().size(), 2u);
    }
}

TEST(SimDesktop, activating_a_running_application_makes_it_frontmost) {
    Fixture f;
    EXPECT_TRUE(f.desktop.activateApplication(602));  // owns the minimised window
    EXPECT_EQ(f.desktop.frontmostApplication(), 602);
    EXPECT_FALSE(f.desktop.activateApplication(4711));
    EXPECT_EQ(f.desktop.frontmostApplication(), 602);
    EXPECT_EQ(f.desktop.activations(), (std::vector<ProcessId>{602}));
}

TEST(SimDesktop, input_is_posted_as_system_events_and_keys_land_where_the_pointer_is) {
    Fixture f;
    const auto post = [&](decltype(SyntheticInput::action) action) {
        return f.desktop.postInput(SyntheticInput{std::move(action), {}, 0});
    };
    EXPECT_TRUE(post(PointerMotion{{30, 40}, {}}));
    EXPECT_EQ(f.desktop.pointerLocation(), (Point{30, 40}));
    EXPECT_TRUE(post(KeyStroke{0, true, u"a"}));
    const auto& key = f.desktop.postedEvents().back();
    EXPECT_EQ(key.type, mac::EventType::keyDown);
    EXPECT_EQ(key.location, (Point{30, 40}));

    f.desktop.failEventCreation = true;
    EXPECT_FALSE(post(PointerMotion{{1, 1}, {}}));
    EXPECT_FALSE(post(KeyStroke{0, false, {}}));
    EXPECT_EQ(f.desktop.postedEvents().size(), 2u);
    EXPECT_EQ(f.desktop.pointerLocation(), (Point{30, 40}));
}

// A run posts an event per pointer move for as long as it lasts.
TEST(SimDesktop, a_long_run_keeps_only_the_latest_records_in_order) {
    Fixture f;
    const std::size_t kept = f.desktop.recordsKept;
    const std::size_t total = 10 * kept + 3;
    for (std::size_t i = 0; i < total; ++i) {
        f.desktop.postInput(SyntheticInput{PointerMotion{{static_cast<double>(i), 0}, {}}, {}, 0});
        f.desktop.raiseWindow(501, 4242);
    }
    const auto& events = f.desktop.postedEvents();
    ASSERT_GE(events.size(), kept);
    EXPECT_LE(events.capacity(), 2 * kept);
    EXPECT_LE(f.desktop.raiseRequests().capacity(), 2 * kept);
    std::size_t outOfPlace = 0;
    for (std::size_t i = 0; i < events.size(); ++i)
        outOfPlace += events[i].location.x != static_cast<double>(total - events.size() + i);
    EXPECT_EQ(outOfPlace, 0u) << "the latest events, oldest first";
    EXPECT_EQ(f.desktop.pointerLocation(), (Point{static_cast<double>(total - 1), 0}));
}

TEST(SimDesktop, overlay_displays_are_coalesced_and_wait_until_the_window_is_shown) {
    Fixture f;
    auto window = f.desktop.createOverlayWindow({});
    auto view = std::make_shared<SquareView>(true);
    window->setContentView(view);
    window->setFrame(Rect{0, 0, 50, 50}, false);
    window->setNeedsDisplay();
    f.loop.drain();
    auto* sim = f.desktop.overlayWindows().front();
    EXPECT_EQ(sim->displays(), 0) << "hidden windows do not draw";

    int displayed = 0;
    f.desktop.onOverlayDisplayed = [&](const SimOverlayWindow&) { ++displayed; };
    window->show();
    window->setNeedsDisplay();
    window->setNeedsDisplay();
    f.loop.drain();
    EXPECT_EQ(sim->displays(), 1);
    EXPECT_EQ(displayed, 1);
}

TEST(SimDesktop, a_window_closed_before_its_display_runs_is_left_alone) {
    Fixture f;
    auto window = f.desktop.createOverlayWindow({});
    window->setFrame(Rect{0, 0, 5, 5}, false);
    window->show();
    window->setNeedsDisplay();
    window.reset();
    f.loop.drain();
    EXPECT_TRUE(f.desktop.overlayWindows().empty());
}

TEST(SimDesktop, render_draws_flipped_views_top_down_and_others_bottom_up) {
    for (const bool flipped : {true, false}) {
        Fixture f;
        auto window = f.desktop.createOverlayWindow({});
        window->setContentView(std::make_shared<SquareView>(flipped));
        window->setFrame(Rect{0, 0, 40, 30}, false);
        const auto image = f.desktop.overlayWindows().front()->render();
        ASSERT_EQ(image->width(), 40);
        ASSERT_EQ(image->height(), 30);
        const int paintedRow = flipped ? 2 : 27;
        const int emptyRow = flipped ? 27 : 2;
        EXPECT_EQ(image->pixel(2, paintedRow)[3], 255) << flipped;
        EXPECT_EQ(image->pixel(2, emptyRow)[3], 0) << flipped;
    }
}

TEST(SimDesktop, status_item_chooses_enabled_items_by_title_or_key_on_the_main_loop) {
    Fixture f;
    auto item = f.desktop.createStatusItem();
    std::vector<std::string> chosen;
    Menu menu;
    menu.items.push_back({"Waiting for the page", false, [&] { chosen.push_back("status"); }, "", false});
    menu.items.push_back(MenuItem::separator());
    menu.items.push_back({"Take back control", true, [&] { chosen.push_back("take"); }, "", false});
    menu.items.push_back({"Quit Velmora Helper", true, [&] { chosen.push_back("quit"); }, "q", false});
    item->setMenu(std::move(menu));
    auto* sim = f.desktop.statusItem();

    EXPECT_FALSE(sim->choose("Waiting for the page"));
    EXPECT_FALSE(sim->choose(""));
    EXPECT_TRUE(sim->choose("Take back control"));
    EXPECT_TRUE(sim->choose("q"));
    EXPECT_TRUE(chosen.empty()) << "actions run on the loop, not inside choose";
    f.loop.drain();
    EXPECT_EQ(chosen, (std::vector<std::string>{"take", "quit"}));
}

TEST(SimDesktop, the_program_objects_may_outlive_the_desktop) {
    MainLoop loop(MainLoop::Time::manual);
    auto desktop = std::make_unique<SimDesktop>(loop, exampleScene());
    auto item = desktop->createStatusItem();
    auto window = desktop->createOverlayWindow({});
    Menu menu;
    menu.items.push_back({"Quit Velmora Helper", true, [] {}, "q", false});
    item->setMenu(std::move(menu));
    window->show();
    window->setNeedsDisplay();
    desktop.reset();
    loop.drain();
    item->setTitle(" Controlled");
    window->setNeedsDisplay();
    window->hide();
    EXPECT_FALSE(static_cast<SimStatusItem&>(*item).choose("q"));
}

}  // namespace
}  // namespace velmora::platform::sim
