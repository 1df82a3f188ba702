#include "platform/x11/x_input.hpp"
#include "platform/x11/x_display.hpp"

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

// XInput against the X server in DISPLAY. The window that receives the input belongs to a second connection,
// so events reach it as they reach any other client.
namespace velmora::platform::x11 {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto patience = std::chrono::seconds(5);

constexpr int windowX = 100;
constexpr int windowY = 100;
Point onWindow(double x, double y) {
    return {windowX + x, windowY + y};
}

SyntheticInput motion(Point at, HeldButtons held = {}, KeyModifiers modifiers = {}) {
    return {PointerMotion{at, held}, modifiers};
}
SyntheticInput press(Point at, PointerButton button, bool down, KeyModifiers modifiers = {}) {
    return {PointerPress{at, button, down}, modifiers};
}
SyntheticInput stroke(std::uint16_t code, bool down, std::u16string text = {}, KeyModifiers modifiers = {}) {
    return {KeyStroke{code, down, std::move(text)}, modifiers};
}
SyntheticInput wheel(std::int32_t vertical, std::int32_t horizontal, WheelUnit unit) {
    return {WheelScroll{onWindow(60, 60), vertical, horizontal, unit}, {}};
}

// An input event as the receiving client understood it when it read it: key events are looked up then,
// because a spare keycode may carry another character later.
struct Seen {
    int type = 0;
    std::string description;
    std::string text;  // what a key press types
    unsigned button = 0;
};

// Both connections stay open for the whole run: an Xvfb started without -noreset resets when its last client
// leaves, and refuses connections while it does.
struct Connections {
    Display* injector = XOpenDisplay(nullptr);
    Display* client = XOpenDisplay(nullptr);
};

Connections& connections() {
    static Connections opened;
    return opened;
}

class XInputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        VELMORA_NEED_X_DISPLAY();
        injector_ = connections().injector;
        client_ = connections().client;
        ASSERT_TRUE(injector_ && client_) << "cannot open display " << velmora::testing::testDisplay();
        input_ = XInput::create(injector_);
        ASSERT_TRUE(input_) << "the server has no XTest";
        sentinelKeycode_ = XKeysymToKeycode(client_, XK_Pause);
        ASSERT_NE(sentinelKeycode_, 0);

        Display* c = client_;
        XSetWindowAttributes attributes{};
        attributes.override_redirect = True;  // placed exactly where asked, whatever window manager runs
        attributes.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                                PointerMotionMask | StructureNotifyMask | FocusChangeMask;
        window_ = XCreateWindow(c, DefaultRootWindow(c), windowX, windowY, 400, 300, 0, CopyFromParent,
                                InputOutput, CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
        XMapRaised(c, window_);
        ASSERT_TRUE(awaitEvent(MapNotify));
        XSetInputFocus(c, window_, RevertToParent, CurrentTime);
        ASSERT_TRUE(awaitEvent(FocusIn));
        // Every test starts with the pointer at the same place, away from every point the tests use.
        ASSERT_TRUE(input_->post(motion(onWindow(390, 290))));
        collect();
    }

    void TearDown() override {
        input_.reset();
        if (window_ != 0) XDestroyWindow(client_, window_);
    }

    std::optional<XEvent> nextEvent(Clock::time_point deadline) {
        Display* c = client_;
        while (XPending(c) == 0) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) return std::nullopt;
            pollfd fd{ConnectionNumber(c), POLLIN, 0};
            ::poll(&fd, 1, static_cast<int>(left));
        }
        XEvent event;
        XNextEvent(c, &event);
        // What every client does on MappingNotify, without which a lent spare keycode reads as nothing.
        if (event.type == MappingNotify) XRefreshKeyboardMapping(&event.xmapping);
        return event;
    }

    bool awaitEvent(int type) {
        const auto deadline = Clock::now() + patience;
        while (const auto event = nextEvent(deadline))
            if (event->type == type && event->xany.window == window_) return true;
        return false;
    }

    // The input events this test's window received up to a key press and release of our own, sent after them
    // on the injecting connection so that it arrives after everything posted before.
    std::vector<Seen> collect() {
        XTestFakeKeyEvent(injector_, sentinelKeycode_, True, CurrentTime);
        XTestFakeKeyEvent(injector_, sentinelKeycode_, False, CurrentTime);
        XFlush(injector_);
        std::vector<Seen> seen;
        const auto deadline = Clock::now() + patience;
        while (auto event = nextEvent(deadline)) {
            if ((event->type == KeyPress || event->type == KeyRelease) &&
                event->xkey.keycode == sentinelKeycode_) {
                if (event->type == KeyRelease) return seen;
                continue;
            }
            if (event->xany.window != window_) continue;
            if (auto described = describe(*event)) seen.push_back(*described);
        }
        ADD_FAILURE() << "the input did not arrive in time";
        return seen;
    }

    static std::optional<Seen> describe(XEvent& event) {
        const auto withState = [](std::string text, unsigned state) {
            const std::pair<unsigned, const char*> names[] = {
                {ShiftMask, "shift"},     {LockMask, "lock"},      {ControlMask, "control"},
                {Mod1Mask, "alt"},        {Mod4Mask, "super"},     {Button1Mask, "button1"},
                {Button2Mask, "button2"}, {Button3Mask, "button3"}};
            for (const auto& [mask, name] : names)
                if (state & mask) text += std::string(" +") + name;
            return text;
        };
        switch (event.type) {
            case MotionNotify:
                return Seen{event.type,
                            withState("motion " + std::to_string(event.xmotion.x) + "," +
                                          std::to_string(event.xmotion.y),
                                      event.xmotion.state),
                            "", 0};
            case ButtonPress:
            case ButtonRelease: {
                const std::string verb = event.type == ButtonPress ? "press " : "release ";
                return Seen{event.type,
                            withState(verb + std::to_string(event.xbutton.button), event.xbutton.state), "",
                            event.xbutton.button};
            }
            case KeyPress:
            case KeyRelease: {
                char buffer[32];
                KeySym keysym = NoSymbol;
                XLookupString(&event.xkey, buffer, sizeof buffer, &keysym, nullptr);
                // libxkbcommon's names are X's, without the string XKeysymToString leaks for Unicode keysyms.
                char name[64] = "NoSymbol";
                xkb_keysym_get_name(static_cast<xkb_keysym_t>(keysym), name, sizeof name);
                const std::string verb = event.type == KeyPress ? "key+ " : "key- ";
                char text[8] = "";
                if (event.type == KeyPress)
                    xkb_keysym_to_utf8(static_cast<xkb_keysym_t>(keysym), text, sizeof text);
                return Seen{event.type, withState(verb + name, event.xkey.state), text};
            }
            default:
                return std::nullopt;
        }
    }

    std::vector<std::string> trace(const std::vector<SyntheticInput>& inputs) {
        for (const auto& input : inputs)
            EXPECT_TRUE(input_->post(input));
        std::vector<std::string> descriptions;
        for (const auto& seen : collect())
            descriptions.push_back(seen.description);
        return descriptions;
    }

    // Each character typed as a browser sends it (key down with the text, key up), read back before the next
    // one, as a client reading its events does.
    std::string type(const std::u16string& text) {
        std::string typed;
        for (std::size_t i = 0; i < text.size();) {
            const std::size_t units = text[i] >= 0xD800 && text[i] <= 0xDBFF ? 2 : 1;  // a surrogate pair
            const auto character = text.substr(i, units);
            i += units;
            EXPECT_TRUE(input_->post(stroke(0, true, character)));
            EXPECT_TRUE(input_->post(stroke(0, false, character)));
            for (const auto& seen : collect())
                typed += seen.text;
        }
        return typed;
    }

    bool eventually(const std::function<bool()>& condition) {
        const auto deadline = Clock::now() + patience;
        while (!condition())
            if (Clock::now() > deadline) return false;
        return true;
    }

    bool capsLocked() {
        XkbStateRec state{};
        XkbGetState(client_, XkbUseCoreKbd, &state);
        return (state.locked_mods & LockMask) != 0;
    }

    void lockCaps(bool on) {
        XkbLockModifiers(client_, XkbUseCoreKbd, LockMask, on ? LockMask : 0);
        XSync(client_, False);
    }

    Display* injector_ = nullptr;
    Display* client_ = nullptr;
    std::unique_ptr<XInput> input_;
    Window window_ = 0;
    KeyCode sentinelKeycode_ = 0;
};

struct TraceCase {
    const char* name;
    std::vector<SyntheticInput> inputs;
    std::vector<std::string> expected;
};
void PrintTo(const TraceCase& c, std::ostream* out) {
    *out << c.name;
}

class PointerAndKeys : public XInputTest, public ::testing::WithParamInterface<TraceCase> {};

TEST_P(PointerAndKeys, arrive_as_the_client_sees_them) {
    EXPECT_EQ(trace(GetParam().inputs), GetParam().expected);
}

const KeyModifiers shiftControl{.shift = true, .control = true};
const KeyModifiers controlAlternate{.control = true, .alternate = true};

INSTANTIATE_TEST_SUITE_P(
    XInput, PointerAndKeys,
    ::testing::Values(
        TraceCase{"motion_lands_at_the_mapped_pixel", {motion(onWindow(50, 70))}, {"motion 50,70"}},
        TraceCase{"drag_is_press_motion_with_the_button_held_release",
                  {press(onWindow(20, 20), PointerButton::left, true),
                   motion(onWindow(100, 110), HeldButtons{true, false, false}),
                   press(onWindow(100, 110), PointerButton::left, false)},
                  {"motion 20,20", "press 1", "motion 100,110 +button1", "release 1 +button1"}},
        TraceCase{"right_and_middle_buttons",
                  {press(onWindow(30, 30), PointerButton::right, true),
                   press(onWindow(30, 30), PointerButton::right, false),
                   press(onWindow(30, 30), PointerButton::middle, true),
                   press(onWindow(30, 30), PointerButton::middle, false)},
                  {"motion 30,30", "press 3", "release 3 +button3", "press 2", "release 2 +button2"}},
        TraceCase{"modifiers_wrap_a_click",
                  {press(onWindow(40, 40), PointerButton::left, true, shiftControl),
                   press(onWindow(40, 40), PointerButton::left, false)},
                  {"key+ Shift_L", "key+ Control_L +shift", "motion 40,40 +shift +control",
                   "press 1 +shift +control", "key- Control_L +shift +control +button1",
                   "key- Shift_L +shift +button1", "release 1 +button1"}},
        TraceCase{"modifiers_wrap_a_key_that_stays_down",
                  {stroke(1, true, u"s", controlAlternate), stroke(1, false)},
                  {"key+ Control_L", "key+ Alt_L +control", "key+ s +control +alt",
                   "key- Alt_L +control +alt", "key- Control_L +control", "key- s"}},
        TraceCase{"shift_is_added_for_a_character_on_the_second_level",
                  {stroke(0, true, u"A"), stroke(0, false, u"A")},
                  {"key+ Shift_L", "key+ A +shift", "key- Shift_L +shift", "key- a"}},
        // F13 is on no key of the test server's keyboard: it is typed on a spare keycode.
        TraceCase{"keys_without_text_by_their_code",
                  {stroke(36, true), stroke(36, false), stroke(123, true), stroke(123, false),
                   stroke(50, true), stroke(50, false), stroke(105, true), stroke(105, false)},
                  {"key+ Return", "key- Return", "key+ Left", "key- Left", "key+ grave", "key- grave",
                   "key+ F13", "key- F13"}}),
    [](const auto& info) { return std::string(info.param.name); });

struct WheelCase {
    const char* name;
    std::vector<SyntheticInput> inputs;
    std::vector<unsigned> buttons;
};
void PrintTo(const WheelCase& c, std::ostream* out) {
    *out << c.name;
}

class Wheel : public XInputTest, public ::testing::WithParamInterface<WheelCase> {};

TEST_P(Wheel, turns_by_whole_notches) {
    for (const auto& input : GetParam().inputs)
        EXPECT_TRUE(input_->post(input));
    std::vector<unsigned> buttons;
    for (const auto& seen : collect())
        if (seen.type == ButtonPress) buttons.push_back(seen.button);
    EXPECT_EQ(buttons, GetParam().buttons);
}

// A notch is 40 pixels or 3 lines.
INSTANTIATE_TEST_SUITE_P(
    XInput, Wheel,
    ::testing::Values(WheelCase{"pixel_deltas_add_up_with_the_remainder_kept",
                                {wheel(15, 0, WheelUnit::pixel), wheel(15, 0, WheelUnit::pixel),
                                 wheel(15, 0, WheelUnit::pixel), wheel(35, 0, WheelUnit::pixel)},
                                {4, 4}},
                      WheelCase{"a_turn_the_other_way_drops_the_remainder",
                                {wheel(30, 0, WheelUnit::pixel), wheel(-30, 0, WheelUnit::pixel),
                                 wheel(-30, 0, WheelUnit::pixel)},
                                {5}},
                      WheelCase{"a_large_delta_is_several_notches",
                                {wheel(-130, 0, WheelUnit::pixel), wheel(-30, 0, WheelUnit::pixel)},
                                {5, 5, 5, 5}},
                      WheelCase{"horizontal_tilts_left_for_positive",
                                {wheel(0, 40, WheelUnit::pixel), wheel(0, -100, WheelUnit::pixel)},
                                {6, 7, 7}},
                      WheelCase{"lines_three_to_a_notch",
                                {wheel(1, 0, WheelUnit::line), wheel(2, 0, WheelUnit::line),
                                 wheel(-6, 0, WheelUnit::line)},
                                {4, 5, 5}}),
    [](const auto& info) { return std::string(info.param.name); });

struct TypingCase {
    const char* name;
    std::u16string text;
    std::string utf8;
    bool capsLock;
};
void PrintTo(const TypingCase& c, std::ostream* out) {
    *out << c.name;
}

class Typing : public XInputTest, public ::testing::WithParamInterface<TypingCase> {};

TEST_P(Typing, types_each_character) {
    lockCaps(GetParam().capsLock);
    EXPECT_EQ(type(GetParam().text), GetParam().utf8);
    EXPECT_EQ(capsLocked(), GetParam().capsLock) << "Caps Lock is put back as it was";
    lockCaps(false);
}

INSTANTIATE_TEST_SUITE_P(XInput, Typing,
                         ::testing::Values(TypingCase{"on_keys_and_on_spare_keycodes", u"aé€中A1!😀",
                                                      "aé€中A1!😀", false},
                                           TypingCase{"caps_lock_does_not_change_them", u"aAé", "aAé", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(XInputTest, more_characters_than_spare_keycodes_reuse_the_least_recently_used) {
    int min = 0, max = 0, perKeycode = 0;
    XDisplayKeycodes(client_, &min, &max);
    KeySym* syms = XGetKeyboardMapping(client_, static_cast<KeyCode>(min), max - min + 1, &perKeycode);
    std::size_t spare = 0;
    for (int k = 0; k <= max - min; ++k)
        spare += std::all_of(syms + k * perKeycode, syms + (k + 1) * perKeycode,
                             [](KeySym s) { return s == NoSymbol; });
    XFree(syms);
    // Cyrillic letters are on no key of a US keyboard; each is two bytes of UTF-8.
    const std::u16string letters = u"АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюя";
    const std::string utf8 = "АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежзийклмнопрстуфхцчшщъыьэюя";
    const std::size_t count = std::min(spare + 3, letters.size());
    EXPECT_EQ(type(letters.substr(0, count)), utf8.substr(0, 2 * count));
}

TEST_F(XInputTest, refuses_what_it_cannot_express) {
    EXPECT_FALSE(input_->post(stroke(200, true))) << "a key code with no keysym and no text";
    EXPECT_FALSE(input_->post(motion({std::nan(""), 10})));
    EXPECT_TRUE(collect().empty());
}

class Release
    : public XInputTest,
      public ::testing::WithParamInterface<std::pair<const char*, void (*)(std::unique_ptr<XInput>&)>> {};

TEST_P(Release, lets_go_of_every_held_button_and_key) {
    const KeyCode a = XKeysymToKeycode(client_, XK_a);
    const auto held = [&] {
        Window root, child;
        int rootX, rootY, x, y;
        unsigned mask = 0;
        XQueryPointer(client_, window_, &root, &child, &rootX, &rootY, &x, &y, &mask);
        char keys[32];
        XQueryKeymap(client_, keys);
        return std::pair{(mask & Button1Mask) != 0, (keys[a / 8] & (1 << (a % 8))) != 0};
    };
    ASSERT_TRUE(input_->post(press(onWindow(70, 70), PointerButton::left, true)));
    ASSERT_TRUE(input_->post(stroke(0, true)));
    ASSERT_TRUE(eventually([&] { return held() == std::pair{true, true}; }));
    GetParam().second(input_);
    EXPECT_TRUE(eventually([&] { return held() == std::pair{false, false}; }));
}

INSTANTIATE_TEST_SUITE_P(
    XInput, Release,
    ::testing::Values(std::pair{"release_all", +[](std::unique_ptr<XInput>& input) { input->releaseAll(); }},
                      std::pair{"destruction", +[](std::unique_ptr<XInput>& input) { input.reset(); }}),
    [](const auto& info) { return std::string(info.param.first); });

TEST(SpareKeycodes, lends_the_least_recently_used_keycode_not_held) {
    SpareKeycodes spare({10, 11, 12});
    const auto none = [](std::uint8_t) { return false; };
    EXPECT_EQ(spare.take(none), 10);
    EXPECT_EQ(spare.take(none), 11);
    spare.touch(10);
    EXPECT_EQ(spare.take([](std::uint8_t k) { return k == 12; }), 11);
    EXPECT_EQ(spare.take(none), 12);
    EXPECT_EQ(spare.take([](std::uint8_t) { return true; }), std::nullopt);
    EXPECT_EQ(spare.lent().size(), 3u);
}

}  // namespace
}  // namespace velmora::platform::x11
