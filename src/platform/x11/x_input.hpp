#pragma once

#include <bitset>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <unordered_map>
#include <vector>

#include "platform/input_event.hpp"

// Xlib's own declaration, so that including this header does not bring in Xlib and its macros.
typedef struct _XDisplay Display;

namespace velmora::platform::x11 {

// Wheel deltas as whole notches, the only amount an X wheel turns by (a click of button 4 to 7). What is
// left over is kept and added to the next delta in the same direction, so that a trackpad's stream of small
// pixel deltas still scrolls; a delta the other way, or in another unit, starts afresh.
class WheelNotches {
  public:
    // About the distance a browser on X scrolls for one notch.
    static constexpr std::int32_t pixelsPerNotch = 40;
    // Browsers that count lines (Firefox) report three for a notch, and X toolkits scroll three per notch.
    static constexpr std::int32_t linesPerNotch = 3;
    // No wheel turns further in one event; a larger delta is cut here rather than flooding the server.
    static constexpr std::int32_t maxNotchesPerEvent = 100;

    // The whole notches now due, with the sign of `delta`.
    std::int32_t add(std::int32_t delta, WheelUnit unit);

  private:
    std::int32_t kept_ = 0;
    WheelUnit unit_ = WheelUnit::pixel;
};

// Keycodes that carry no keysym on this keyboard, lent to characters that no key types. A lent keycode keeps
// its character until it is lent again, least recently used first: the client looks the character up only
// when it reads the key event, which may be after an immediate restore would already have taken it away.
class SpareKeycodes {
  public:
    explicit SpareKeycodes(std::vector<std::uint8_t> keycodes);

    // The least recently used spare keycode that is not held down, now the most recently used.
    std::optional<std::uint8_t> take(const std::function<bool(std::uint8_t)>& held);
    // Marks a spare keycode found carrying the wanted character as just used, so it is the last one taken.
    void touch(std::uint8_t keycode);
    // The keycodes taken at least once, which must get their empty mapping back.
    std::vector<std::uint8_t> lent() const;

  private:
    struct Spare {
        std::uint8_t keycode;
        bool lent;
    };
    std::vector<Spare> byUse_;  // least recently used first
};

// Posts the program's synthetic input to an X server through the XTest extension. Presses made through XTest
// outlive this process, so the object remembers every button and key it holds down and releases them all on
// `releaseAll` and when it is destroyed.
class XInput {
  public:
    // Nothing when the server lacks XTest. `display` is not owned and must outlive the object.
    static std::unique_ptr<XInput> create(Display* display);
    ~XInput();
    XInput(const XInput&) = delete;
    XInput& operator=(const XInput&) = delete;

    // Sends `input` to the server at once; false when it cannot be expressed (a key with neither a known
    // code nor text, a modifier key the keyboard lacks).
    bool post(const SyntheticInput& input);
    void releaseAll();

  private:
    struct KeyPlan;
    class KeyboardMap;

    XInput(Display* display, std::vector<std::uint8_t> spareKeycodes, bool xkb);

    void moveTo(Point at);
    void moveToUnlessThere(Point at);
    void button(unsigned xButton, bool down);
    void key(std::uint8_t keycode, bool down);
    void scroll(const WheelScroll& wheel);
    std::optional<KeyPlan> planKeyDown(const KeyStroke& stroke, const KeyboardMap& map, bool shiftHeld);
    void strike(std::uint16_t virtualCode, const KeyPlan& plan);

    Display* display_;
    int screen_;
    bool xkb_;  // the keyboard extension, for the keyboard group and Caps Lock
    SpareKeycodes spare_;
    WheelNotches vertical_;
    WheelNotches horizontal_;
    std::bitset<8> buttonsDown_;
    std::bitset<256> keysDown_;
    // The keycode each virtual key code went down as, released as such whatever the mapping became since.
    std::unordered_map<std::uint16_t, std::uint8_t> strokes_;
};

}  // namespace velmora::platform::x11
