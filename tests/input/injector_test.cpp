#include "input/injector.hpp"

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <regex>
#include <sstream>

#include "platform/sim/sim_desktop.hpp"
#include "support/stderr_capture.hpp"

namespace velmora::input {
namespace {

using platform::Rect;
using target::DisplaySurface;
using target::Target;

// The editor's window spans (100, 50)–(900, 650); the chat, in front, covers its lower right part: fractions
// (0.25, 0.25) of the editor, (300, 200), reach the editor; (0.75, 0.75), (700, 500), the chat.
// Without the permission, a raise does not take.
platform::sim::SimScene scene(bool trusted) {
    return {.trusted = trusted,
            .frontmostPid = 600,
            .displays = {{1, "Built-in", Rect{0, 0, 1440, 900}, 2880, 1800},
                         {2, "Side", Rect{-1920, -200.5, 1920, 1080}, 1920, 1080}},
            .mainDisplay = 1,
            .windows = {{20, 600, "Chat", Rect{500, 300, 500, 500}, 0, true},
                        {10, 500, "Editor", Rect{100, 50, 800, 600}, 0, true}},
            .eventTrace = {},
            .overlayImages = {}};
}
const Target editor{target::WindowSurface{10}, "Editor", 500};
const Target mainDisplay{DisplaySurface{1}, "Built-in", std::nullopt};
const Target sideDisplay{DisplaySurface{2}, "Side", std::nullopt};
const Modifiers shift{true, false, false, false}, alt{false, true, false, false};
const Modifiers ctrl{false, false, true, false}, meta{false, false, false, true};

// clang-format off
Button press(double x, double y, std::int64_t button = 0, std::int64_t clicks = 1) { return {true, x, y, button, clicks}; }
Button release(double x, double y, std::int64_t button = 0) { return {false, x, y, button, 1}; }
Key keyDown(std::string code, std::string key) { return {true, std::move(key), std::move(code), false}; }

// What a test does to the injector: one reviewer's event, time passing (with `late`, only the wall clock: the
// replay's timer still waits behind queued work), a release of everything, or what Do names.
struct Step {
    template <typename Event> requires std::is_constructible_v<Input, Event>
    Step(Event event, Target target = mainDisplay, Modifiers mods = {}) : input(event), target(target), mods(mods) {}
    Input input; Target target; Modifiers mods;
};
struct Wait { int ms; bool late = false; };
struct ReleaseAll { std::optional<Target> target; };
enum class Do { mark, forget, closeEditor, failPosting, postAgain, destroy };
using Action = std::variant<Step, Wait, ReleaseAll, Do>;
// clang-format on

class InjectorTest : public ::testing::Test {
  protected:
    // What the desktop was given since the last call, one event each: "left-down 720,450 center x2 +shift";
    // a key event shows its code and text, a scroll its vertical and horizontal values.
    std::string events() {
        std::ostringstream out;
        for (const auto& e : desktop.postedEvents()) {
            EXPECT_EQ(e.userData, velmTag);
            out << (out.tellp() > 0 ? "; " : "") << describe(e.type);
            if (!e.keyboard()) out << ' ' << e.location.x << ',' << e.location.y;
            if (const auto* m = e.mouse(); m && m->button != platform::mac::MouseButton::left)
                out << (m->button == platform::mac::MouseButton::right ? " right" : " center");
            if (const auto* m = e.mouse(); m && m->clickState) out << " x" << m->clickState;
            if (const auto* k = e.keyboard()) out << " k" << k->keyCode << (k->text.empty() ? "" : " '");
            for (const char16_t u : e.keyboard() ? e.keyboard()->text : u"")
                (u >= 0x20 && u < 0x7f ? out << char(u) : out << "\\u" << std::hex << int(u)) << std::dec;
            if (const auto* s = e.scroll())
                out << ' ' << s->wheel1 << ',' << s->wheel2
                    << (s->unit == platform::mac::ScrollUnit::pixel ? "" : " lines");
            for (int bit = 17; bit <= 20; ++bit)  // Shift, Control, Option and Command, in this order
                if (e.flags >> bit & 1) out << " +" << std::array{"shift", "ctrl", "alt", "cmd"}[bit - 17];
        }
        desktop.clearPostedEvents();
        return out.str();
    }
    // Runs the actions on a fresh injector; gives every event posted, with "|" where Do::mark stood.
    std::string run(const std::vector<Action>& actions, bool dryRun = false) {
        injector = Injector::create(desktop, dryRun);
        std::string log;
        for (const auto& action : actions) {
            const auto what = std::holds_alternative<Do>(action) ? std::get<Do>(action) : Do::postAgain;
            if (const auto* s = std::get_if<Step>(&action)) injector->apply(s->input, s->mods, s->target);
            if (const auto* w = std::get_if<Wait>(&action))
                w->late ? loop.shiftWallClock(ms(w->ms)) : loop.advance(ms(w->ms));
            if (const auto* r = std::get_if<ReleaseAll>(&action)) injector->releaseAll(r->target);
            if (what == Do::mark) log += events() + "|";
            if (what == Do::forget) events();
            if (what == Do::closeEditor)
                std::erase_if(desktop.scene().windows, [](auto& w) { return w.id == 10; });
            if (what == Do::destroy) injector.reset();
            desktop.failEventCreation =
                what == Do::failPosting || (desktop.failEventCreation && !std::get_if<Do>(&action));
        }
        return log + events();
    }
    using ms = std::chrono::milliseconds;

    platform::MainLoop loop{platform::MainLoop::Time::manual};
    platform::sim::SimDesktop desktop{loop, scene(true)};
    std::shared_ptr<Injector> injector;
};

// Each row on a fresh injector. Buttons belong to the injector, not to a target. A wheel turn moves the
// pointer there first, then scrolls by the pixels rounded half away from zero and negated, saturating at 32
// bits. Modifier keys travel only as flags; Control and Command chords and control characters carry no text.
TEST_F(InjectorTest, events_as_the_desktop_gets_them) {
    const Step leftOnSide{press(0.1, 0.1), sideDisplay}, rightOnSide{press(0.1, 0.1, 2), sideDisplay};
    const Step middleOnSide{press(0.1, 0.1, 1), sideDisplay};
    const Step covered{press(0.75, 0.75), editor}, coveredUp{release(0.75, 0.75), editor};
    const auto wheel = [](double dx, double dy) { return Step{Wheel{0.25, 0.25, dx, dy}, editor}; };
    // clang-format off
    struct Case { std::vector<Action> actions; std::string expected; std::size_t raises = 0; bool raiseTakes = true; };
    for (const auto& c : std::vector<Case>{
        {{leftOnSide, middleOnSide, Do::forget, Move{0.5, 0.25}}, "left-drag 720,225 center"},
        {{leftOnSide, rightOnSide, release(0, 0), Do::forget, Move{0.5, 0.25}}, "right-drag 720,225 right"},
        {{rightOnSide, middleOnSide, release(0, 0, 2), Do::forget, Move{0.5, 0.25}}, "other-drag 720,225 center"},
        {{Step{press(0.5, 0.5, 0, 2), mainDisplay, shift}}, "left-down 720,450 x2 +shift"},
        {{Step{press(0.5, 0.5, 1, 3), mainDisplay, alt}}, "other-down 720,450 center x3 +alt"},
        {{Step{press(0.5, 0.5, 2), mainDisplay, ctrl}}, "right-down 720,450 right x1 +ctrl"},
        {{Step{Move{0.5, 1}, sideDisplay}}, "move -960,879.5"},
        {{Step{Move{7, std::numeric_limits<double>::quiet_NaN()}, editor}}, "move 900,50"},
        {{leftOnSide, Do::forget, wheel(-0.4, 120.5)}, "move 300,200; scroll 300,200 -121,0"},
        {{wheel(2.5, -2.5)}, "move 300,200; scroll 300,200 3,-3"},
        {{wheel(-2147483648.4, 2147483648.4)}, "move 300,200; scroll 300,200 -2147483648,2147483647"},
        {{Step{keyDown("KeyA", "A"), mainDisplay, shift}}, "key-down k0 'A +shift"},
        {{Step{keyDown("KeyC", "c"), mainDisplay, ctrl}}, "key-down k8 +ctrl"},
        {{Step{keyDown("KeyE", "\xc3\xa9"), mainDisplay, alt}}, "key-down k14 '\\ue9 +alt"},
        {{Key{false, "a", "KeyA", true}}, "key-up k0 'a"},
        {{keyDown("IntlBackslash", "e\xcc\x81")}, "key-down k0 'e\\u301"},
        {{Step{keyDown("IntlRo", "\xe3\x82\x8d"), mainDisplay, meta}}, "key-down k0 +cmd"},
        {{keyDown("Space", " ")}, "key-down k49 ' "},
        {{keyDown("Enter", "Enter")}, "key-down k36"},
        {{keyDown("Tab", "\t")}, "key-down k48"},
        // A press, wheel turn or key-down aimed at another application raises it; that event and every later one,
        // for any target, is held for the settle, then replayed in order without a second look. Releases and
        // moves are never tested, wheel turns are.
        {{covered, Wait{50}, Move{0.5, 0.5}, Step{Wheel{0.8, 0.8, 0, 5}, editor}, Step{keyDown("KeyA", "a"), sideDisplay}, Step{release(0.8, 0.8), editor},
          Wait{99}, Do::mark, Wait{150}}, "|left-down 700,500 x1; left-drag 720,450; move 740,530; scroll 740,530 -5,0; key-down k0 'a; left-up 740,530 x1", 1, false},
        {{coveredUp, Step{Move{0.75, 0.75}, editor}, Do::mark, Step{Wheel{0.75, 0.75, 0, 0}, editor}, Do::mark, Wait{150}},
         "left-up 700,500 x1; move 700,500||move 700,500; scroll 700,500 0,0", 1, false},
        {{covered, Wait{150}, Do::forget, covered}, "left-down 700,500 x1", 1},  // the raise took
        // An event after the settle but before the replay goes behind the held ones, and is tested as usual.
        {{covered, coveredUp, Wait{200, true}, Move{0.5, 0.5}, Step{press(0.75, 0.75, 2), editor}, Do::mark, Wait{150}, Wait{150}},
         "left-down 700,500 x1; left-up 700,500 x1; move 720,450|right-down 700,500 right x1", 2, false},
        // releaseAll drops the hold, and the replay scheduled before it cannot end a later hold early.
        {{press(0.1, 0.1), Step{press(0.75, 0.75, 2), editor}, Wait{100}, ReleaseAll{}, Do::mark, Wait{30}, covered, Wait{50}, Do::mark, Wait{100}},
         "left-down 144,90 x1; left-up 144,90||left-down 700,500 x1", 2, false},
        // A surface that has gone takes its events with it; so does an injector.
        {{covered, Move{0.5, 0.5}, Do::closeEditor, Wait{150}, Step{press(0.25, 0.25), editor}, Step{keyDown("KeyA", "a"), editor},
          Step{Wheel{0.5, 0.5, 0, 1}, editor}, Step{press(0.5, 0.5), Target{DisplaySurface{77}, "Gone", std::nullopt}}, ReleaseAll{mainDisplay}}, "move 720,450", 1},
        {{covered, Do::destroy, Wait{150}}, "", 1},
        // Only key-downs without the focus raise. Modifier keys are looked at first and never do; the focus
        // test comes before the table, so an unmapped name raises, then is dropped.
        {{Step{keyDown("ShiftLeft", "Shift"), editor}, Step{Key{false, "a", "KeyA", false}, editor}, Do::mark, Step{keyDown("MediaPlayPause", "MediaPlayPause"), editor},
          Step{keyDown("KeyA", "a"), editor}, Wait{150}, Step{keyDown("KeyB", "b"), editor}}, "key-up k0 'a|key-down k0 'a; key-down k11 'b", 1},
        // releaseAll lets go of presses the system refused, at the surface's top-left corner without a point;
        // else of the buttons, then the keys still down, at the last point, also when the window has closed.
        {{Do::failPosting, Step{press(0.2, 0.2, 1), editor}, Step{press(0.2, 0.2), editor}, Do::postAgain, ReleaseAll{editor}},
         "left-up 100,50; other-up 100,50 center"},
        {{keyDown("KeyA", "a"), keyDown("Enter", "Enter"), Key{false, "a", "KeyA", false}, keyDown("KeyQ", "q"), Step{press(0.5, 0.5, 2), mainDisplay, shift},
          press(0.5, 0.5, 1), Step{press(0.25, 0.25), editor, shift}, Do::closeEditor, Do::forget, ReleaseAll{editor}, ReleaseAll{editor}, Move{0.5, 0.5}},
         "left-up 300,200; right-up 300,200 right; other-up 300,200 center; key-up k12; key-up k36; move 720,450"}}) {
        // clang-format on
        SCOPED_TRACE(c.expected);
        desktop.scene() = scene(c.raiseTakes);
        const auto raisesBefore = desktop.raiseRequests().size();
        EXPECT_EQ(run(c.actions), c.expected);
        EXPECT_EQ(desktop.raiseRequests().size() - raisesBefore, c.raises);
        EXPECT_EQ(injector ? injector->heldCount() : 0u, 0u);
    }
}

TEST_F(InjectorTest, dry_run_logs_each_event_as_one_line_and_posts_checks_raises_and_holds_nothing) {
    desktop.scene().displays.push_back({4, "Odd", Rect{-0.75, -2.5, 1e20, 2}, 1, 1});
    const Target odd{DisplaySurface{4}, "Odd", std::nullopt};
    testing::StderrCapture capture;
    // A covered press, but a dry run does not look; coordinates are truncated toward zero, and printed
    // without an integer conversion that could overflow.
    // clang-format off
    EXPECT_EQ(run({Step{press(0.8127, 0.4552), mainDisplay, shift}, Step{press(0.75, 0.75, 2, 2), editor}, Step{Wheel{0.25, 0.25, 0, 120.5}, editor, {true, true, true, true}},
                   Step{keyDown("KeyA", "a"), editor}, Step{keyDown("ShiftLeft", "Shift"), editor}, ReleaseAll{editor}, Step{Move{0, 0}, odd}, Step{Move{1, 1}, odd}}, true), "");
    // clang-format on
    EXPECT_EQ(std::regex_replace(capture.text(), std::regex(R"(\[[^\]]*\] )"), ""),
              "dry-run: left-down at (1170, 409) flags=131072\n"
              "dry-run: right-down at (700, 500) flags=0\n"
              "dry-run: move at (300, 200) flags=1966080\n"
              "dry-run: scroll at (300, 200) flags=1966080\n"
              "dry-run: key-down at (0, 0) flags=0\n"
              "dry-run: left-up at (300, 200) flags=0\n"
              "dry-run: right-up at (300, 200) flags=0\n"
              "dry-run: key-up at (0, 0) flags=0\n"
              "dry-run: move at (0, -2) flags=0\n"
              "dry-run: move at (100000000000000000000, 0) flags=0\n");
    EXPECT_TRUE(desktop.raiseRequests().empty());
    EXPECT_EQ(injector->heldCount(), 0u);
}

}  // namespace
}  // namespace velmora::input
