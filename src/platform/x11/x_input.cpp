#include "platform/x11/x_input.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "base/log.hpp"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <xkbcommon/xkbcommon.h>

namespace velmora::platform::x11 {

namespace {

struct CodeKeysym {
    std::uint16_t code;
    KeySym keysym;
};

// Virtual key codes (input/key_codes.cpp: the physical keys of a US layout) and the keysym each key bears
// unshifted on that layout, by which the key is found on whatever keyboard the server has.
// clang-format off
constexpr std::array<CodeKeysym, 98> keysymsByCode{{
    {0, XK_a}, {1, XK_s}, {2, XK_d}, {3, XK_f}, {4, XK_h}, {5, XK_g}, {6, XK_z}, {7, XK_x}, {8, XK_c},
    {9, XK_v}, {11, XK_b}, {12, XK_q}, {13, XK_w}, {14, XK_e}, {15, XK_r}, {16, XK_y}, {17, XK_t},
    {31, XK_o}, {32, XK_u}, {34, XK_i}, {35, XK_p}, {37, XK_l}, {38, XK_j}, {40, XK_k}, {45, XK_n},
    {46, XK_m},
    {18, XK_1}, {19, XK_2}, {20, XK_3}, {21, XK_4}, {22, XK_6}, {23, XK_5}, {25, XK_9}, {26, XK_7},
    {28, XK_8}, {29, XK_0},
    {24, XK_equal}, {27, XK_minus}, {30, XK_bracketright}, {33, XK_bracketleft}, {39, XK_apostrophe},
    {41, XK_semicolon}, {42, XK_backslash}, {43, XK_comma}, {44, XK_slash}, {47, XK_period}, {50, XK_grave},
    {36, XK_Return}, {48, XK_Tab}, {49, XK_space}, {51, XK_BackSpace}, {53, XK_Escape}, {110, XK_Menu},
    {114, XK_Insert}, {115, XK_Home}, {116, XK_Prior}, {117, XK_Delete}, {119, XK_End}, {121, XK_Next},
    {123, XK_Left}, {124, XK_Right}, {125, XK_Down}, {126, XK_Up},
    {65, XK_KP_Decimal}, {67, XK_KP_Multiply}, {69, XK_KP_Add}, {75, XK_KP_Divide}, {76, XK_KP_Enter},
    {78, XK_KP_Subtract}, {81, XK_KP_Equal}, {82, XK_KP_0}, {83, XK_KP_1}, {84, XK_KP_2}, {85, XK_KP_3},
    {86, XK_KP_4}, {87, XK_KP_5}, {88, XK_KP_6}, {89, XK_KP_7}, {91, XK_KP_8}, {92, XK_KP_9},
    {122, XK_F1}, {120, XK_F2}, {99, XK_F3}, {118, XK_F4}, {96, XK_F5}, {97, XK_F6}, {98, XK_F7},
    {100, XK_F8}, {101, XK_F9}, {109, XK_F10}, {103, XK_F11}, {111, XK_F12}, {105, XK_F13}, {107, XK_F14},
    {113, XK_F15}, {106, XK_F16},
}};
// clang-format on

std::optional<KeySym> keysymForCode(std::uint16_t code) {
    const auto* found = std::find_if(keysymsByCode.begin(), keysymsByCode.end(),
                                     [code](const CodeKeysym& entry) { return entry.code == code; });
    if (found == keysymsByCode.end()) return std::nullopt;
    return found->keysym;
}

// The one character `text` holds, if it is exactly one and types something. Control characters are left to
// the key code: the text a browser gives Enter or Tab is the key's own business, not a character to map.
std::optional<char32_t> singleCharacter(const std::u16string& text) {
    const auto high = [](char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; };
    const auto low = [](char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; };
    char32_t character = 0;
    if (text.size() == 1 && !high(text[0]) && !low(text[0])) {
        character = text[0];
    } else if (text.size() == 2 && high(text[0]) && low(text[1])) {
        character = 0x10000 + ((char32_t{text[0]} - 0xD800) << 10) + (char32_t{text[1]} - 0xDC00);
    } else {
        return std::nullopt;
    }
    if (character < 0x20 || (character >= 0x7F && character < 0xA0)) return std::nullopt;
    return character;
}

unsigned xButton(PointerButton button) {
    switch (button) {
        case PointerButton::left:
            return 1;
        case PointerButton::middle:
            return 2;
        case PointerButton::right:
            return 3;
    }
    return 1;
}

bool isFinite(Point at) {
    return std::isfinite(at.x) && std::isfinite(at.y);
}

// X coordinates are 16-bit; anything further out is pinned to the edge of that range.
int xCoordinate(double value) {
    return static_cast<int>(std::lround(std::clamp(value, -32768.0, 32767.0)));
}

struct KeyboardState {
    int group = 0;
    bool capsLock = false;
};

}  // namespace

std::int32_t WheelNotches::add(std::int32_t delta, WheelUnit unit) {
    if (delta == 0) return 0;
    if (unit != unit_ || (kept_ != 0 && (kept_ < 0) != (delta < 0))) kept_ = 0;
    unit_ = unit;
    const std::int64_t perNotch = unit == WheelUnit::pixel ? pixelsPerNotch : linesPerNotch;
    const std::int64_t total = std::int64_t{kept_} + delta;
    // Division truncates towards zero, so what is kept has the sign of the turn.
    kept_ = static_cast<std::int32_t>(total % perNotch);
    return static_cast<std::int32_t>(
        std::clamp<std::int64_t>(total / perNotch, -maxNotchesPerEvent, maxNotchesPerEvent));
}

SpareKeycodes::SpareKeycodes(std::vector<std::uint8_t> keycodes) {
    for (const auto keycode : keycodes)
        byUse_.push_back({keycode, false});
}

std::optional<std::uint8_t> SpareKeycodes::take(const std::function<bool(std::uint8_t)>& held) {
    const auto found =
        std::find_if(byUse_.begin(), byUse_.end(), [&](const Spare& spare) { return !held(spare.keycode); });
    if (found == byUse_.end()) return std::nullopt;
    Spare taken{found->keycode, true};
    byUse_.erase(found);
    byUse_.push_back(taken);
    return taken.keycode;
}

void SpareKeycodes::touch(std::uint8_t keycode) {
    const auto found = std::find_if(byUse_.begin(), byUse_.end(),
                                    [&](const Spare& spare) { return spare.keycode == keycode; });
    if (found == byUse_.end()) return;
    const Spare touched = *found;
    byUse_.erase(found);
    byUse_.push_back(touched);
}

std::vector<std::uint8_t> SpareKeycodes::lent() const {
    std::vector<std::uint8_t> keycodes;
    for (const auto& spare : byUse_)
        if (spare.lent) keycodes.push_back(spare.keycode);
    return keycodes;
}

// The core keyboard mapping as the server has it now. It is read afresh for every key because anyone may
// change it (another layout, our own spare keycodes), and Xlib's copy is only refreshed by whoever reads this
// connection's events.
class XInput::KeyboardMap {
  public:
    struct Position {
        std::uint8_t keycode;
        int level;  // 0 unshifted, 1 with Shift
    };

    KeyboardMap(Display* display, int group) : group_(group) {
        XDisplayKeycodes(display, &min_, &max_);
        syms_.reset(XGetKeyboardMapping(display, static_cast<KeyCode>(min_), max_ - min_ + 1, &perKeycode_));
    }

    // Where `keysym` is on the keyboard group's first two levels, `preferredLevel` searched first. Only the
    // first two groups have columns of their own in the core mapping; in a third or fourth nothing is found
    // and the caller falls back on a spare keycode, which types the same in every group.
    std::optional<Position> find(KeySym keysym, int preferredLevel) const {
        for (const int level : {preferredLevel, 1 - preferredLevel}) {
            for (int keycode = min_; keycode <= max_; ++keycode)
                if (at(keycode, 2 * group_ + level) == keysym && keysym != NoSymbol)
                    return Position{static_cast<std::uint8_t>(keycode), level};
        }
        return std::nullopt;
    }

    std::vector<std::uint8_t> emptyKeycodes() const {
        std::vector<std::uint8_t> keycodes;
        for (int keycode = min_; keycode <= max_; ++keycode) {
            bool empty = true;
            for (int column = 0; column < perKeycode_; ++column)
                empty = empty && at(keycode, column) == NoSymbol;
            if (empty) keycodes.push_back(static_cast<std::uint8_t>(keycode));
        }
        return keycodes;
    }

  private:
    KeySym at(int keycode, int column) const {
        if (!syms_ || group_ > 1 || column >= perKeycode_) return NoSymbol;
        return syms_.get()[(keycode - min_) * perKeycode_ + column];
    }

    struct Free {
        void operator()(KeySym* syms) const { XFree(syms); }
    };
    int group_;
    int min_ = 0;
    int max_ = -1;
    int perKeycode_ = 0;
    std::unique_ptr<KeySym, Free> syms_;
};

// A key press worked out before anything is sent, so that an impossible one sends nothing.
struct XInput::KeyPlan {
    std::uint8_t keycode = 0;
    KeySym spareKeysym = NoSymbol;      // to map onto `keycode` first
    std::optional<std::uint8_t> shift;  // to hold around the press, for a character on the second level
    bool clearCapsLock = false;         // for a character, and then only if Caps Lock is on
};

std::unique_ptr<XInput> XInput::create(Display* display) {
    int event = 0, error = 0, major = 0, minor = 0;
    // The connection has said so when XTest is missing.
    if (!XTestQueryExtension(display, &event, &error, &major, &minor)) return nullptr;
    int xkbOpcode = 0, xkbMajor = XkbMajorVersion, xkbMinor = XkbMinorVersion;
    const bool xkb = XkbQueryExtension(display, &xkbOpcode, &event, &error, &xkbMajor, &xkbMinor);
    auto spare = KeyboardMap(display, 0).emptyKeycodes();
    return std::unique_ptr<XInput>(new XInput(display, std::move(spare), xkb));
}

XInput::XInput(Display* display, std::vector<std::uint8_t> spareKeycodes, bool xkb)
    : display_(display), screen_(DefaultScreen(display)), xkb_(xkb), spare_(std::move(spareKeycodes)) {}

XInput::~XInput() {
    releaseAll();
    // Lent keycodes get their empty mapping back only now; see SpareKeycodes for why not after each key.
    for (const auto keycode : spare_.lent()) {
        KeySym none = NoSymbol;
        XChangeKeyboardMapping(display_, keycode, 1, &none, 1);
    }
    XFlush(display_);
}

bool XInput::post(const SyntheticInput& input) {
    if (const auto at = input.location(); at && !isFinite(*at)) return false;
    const auto* stroke = std::get_if<KeyStroke>(&input.action);
    const bool keyDown = stroke != nullptr && stroke->down;

    KeyboardState state;
    std::optional<KeyboardMap> map;
    if (keyDown || input.modifiers.any()) {
        if (XkbStateRec xkbState{}; xkb_ && XkbGetState(display_, XkbUseCoreKbd, &xkbState) == Success)
            state = {xkbState.group, (xkbState.locked_mods & LockMask) != 0};
        map.emplace(display_, state.group);
    }

    std::vector<std::uint8_t> modifiers;
    const std::array<std::pair<bool, KeySym>, 4> wanted{{{input.modifiers.shift, XK_Shift_L},
                                                         {input.modifiers.control, XK_Control_L},
                                                         {input.modifiers.alternate, XK_Alt_L},
                                                         {input.modifiers.command, XK_Super_L}}};
    for (const auto& [on, keysym] : wanted) {
        if (!on) continue;
        const auto position = map->find(keysym, 0);
        if (!position) return false;
        modifiers.push_back(position->keycode);
    }

    std::optional<KeyPlan> plan;
    if (keyDown) {
        plan = planKeyDown(*stroke, *map, input.modifiers.shift);
        if (!plan) return false;
        plan->clearCapsLock = plan->clearCapsLock && state.capsLock;
    }

    std::vector<std::uint8_t> pressed;
    for (const auto keycode : modifiers) {
        if (keysDown_.test(keycode)) continue;
        key(keycode, true);
        pressed.push_back(keycode);
    }
    if (const auto* motion = std::get_if<PointerMotion>(&input.action)) {
        // A drag needs nothing more on X: the button pressed before is still down while the pointer moves.
        moveTo(motion->at);
    } else if (const auto* press = std::get_if<PointerPress>(&input.action)) {
        // X has no click count; the client counts clicks itself from their times and places.
        moveToUnlessThere(press->at);
        button(xButton(press->button), press->down);
    } else if (const auto* wheel = std::get_if<WheelScroll>(&input.action)) {
        scroll(*wheel);
    } else if (keyDown) {
        strike(stroke->keyCode, *plan);
    } else if (const auto found = strokes_.find(stroke->keyCode); found != strokes_.end()) {
        key(found->second, false);
        strokes_.erase(found);
    }
    for (auto keycode = pressed.rbegin(); keycode != pressed.rend(); ++keycode)
        key(*keycode, false);
    XFlush(display_);
    return true;
}

void XInput::releaseAll() {
    for (unsigned b = 0; b < buttonsDown_.size(); ++b)
        if (buttonsDown_.test(b)) button(b, false);
    for (unsigned keycode = 0; keycode < keysDown_.size(); ++keycode)
        if (keysDown_.test(keycode)) key(static_cast<std::uint8_t>(keycode), false);
    strokes_.clear();
    XFlush(display_);
}

void XInput::moveTo(Point at) {
    // The default screen's root, not -1 (the screen the pointer happens to be on): our coordinates are that
    // root's, which spans every monitor.
    XTestFakeMotionEvent(display_, screen_, xCoordinate(at.x), xCoordinate(at.y), CurrentTime);
}

void XInput::moveToUnlessThere(Point at) {
    // The server reports a motion even to where the pointer already is; a click should not bring one.
    Window root = 0, child = 0;
    int x = 0, y = 0, windowX = 0, windowY = 0;
    unsigned mask = 0;
    const bool there = XQueryPointer(display_, RootWindow(display_, screen_), &root, &child, &x, &y, &windowX,
                                     &windowY, &mask) &&
                       x == xCoordinate(at.x) && y == xCoordinate(at.y);
    if (!there) moveTo(at);
}

void XInput::button(unsigned xButton, bool down) {
    XTestFakeButtonEvent(display_, xButton, down ? True : False, CurrentTime);
    if (xButton < buttonsDown_.size()) buttonsDown_.set(xButton, down);
}

void XInput::key(std::uint8_t keycode, bool down) {
    XTestFakeKeyEvent(display_, keycode, down ? True : False, CurrentTime);
    keysDown_.set(keycode, down);
}

void XInput::scroll(const WheelScroll& wheel) {
    moveToUnlessThere(wheel.at);
    const auto click = [this](unsigned xButton, std::int32_t times) {
        for (std::int32_t i = 0; i < times; ++i) {
            button(xButton, true);
            button(xButton, false);
        }
    };
    // Buttons 4 and 5 turn the wheel up and down, 6 and 7 tilt it left and right.
    const auto vertical = vertical_.add(wheel.vertical, wheel.unit);
    click(vertical > 0 ? 4 : 5, std::abs(vertical));
    const auto horizontal = horizontal_.add(wheel.horizontal, wheel.unit);
    click(horizontal > 0 ? 6 : 7, std::abs(horizontal));
}

std::optional<XInput::KeyPlan> XInput::planKeyDown(const KeyStroke& stroke, const KeyboardMap& map,
                                                   bool shiftHeld) {
    const auto lendSpare = [this](KeySym keysym, bool text) -> std::optional<KeyPlan> {
        const auto keycode = spare_.take([this](std::uint8_t k) { return keysDown_.test(k); });
        if (!keycode) return std::nullopt;
        return KeyPlan{*keycode, keysym, std::nullopt, text};
    };

    if (const auto character = singleCharacter(stroke.text)) {
        if (const KeySym keysym = xkb_utf32_to_keysym(*character); keysym != NoSymbol) {
            // The character on a key of the current layout, on the level the Shift state reaches: with Shift
            // already held only the second level will do; otherwise Shift is added for it.
            const int level = shiftHeld ? 1 : 0;
            const auto position = map.find(keysym, level);
            const auto shift = map.find(XK_Shift_L, 0);
            if (position && (position->level == level || (position->level == 1 && shift))) {
                spare_.touch(position->keycode);
                std::optional<std::uint8_t> addShift;
                if (position->level != level) addShift = shift->keycode;
                return KeyPlan{position->keycode, NoSymbol, addShift, true};
            }
            return lendSpare(keysym, true);
        }
    }
    const auto keysym = keysymForCode(stroke.keyCode);
    if (!keysym) return std::nullopt;
    // The physical key, whatever level bears the keysym: the modifiers of the event decide what it types.
    if (const auto position = map.find(*keysym, 0)) return KeyPlan{position->keycode, NoSymbol, {}, false};
    return lendSpare(*keysym, false);
}

void XInput::strike(std::uint16_t virtualCode, const KeyPlan& plan) {
    if (plan.spareKeysym != NoSymbol) {
        // Both levels, so that Shift held for the event does not turn the character into another.
        KeySym syms[2] = {plan.spareKeysym, plan.spareKeysym};
        XChangeKeyboardMapping(display_, plan.keycode, 2, syms, 1);
    }
    // Caps Lock would make a typed 'a' an 'A'. The server stamps the modifier state on the event when it
    // makes it, so Caps Lock is needed off only for the press.
    if (plan.clearCapsLock) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, 0);
    if (plan.shift) key(*plan.shift, true);
    key(plan.keycode, true);
    if (plan.shift) key(*plan.shift, false);
    if (plan.clearCapsLock) XkbLockModifiers(display_, XkbUseCoreKbd, LockMask, LockMask);
    strokes_[virtualCode] = plan.keycode;
}

}  // namespace velmora::platform::x11
