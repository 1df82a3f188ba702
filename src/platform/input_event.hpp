#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "platform/geometry.hpp"

// Synthetic input in the program's own terms. A backend turns each one into what its system takes (a
// posted event, an XTest request) and says whether it could.
namespace velmora::platform {

enum class PointerButton : std::uint8_t { left, right, middle };

struct KeyModifiers {
    bool shift = false;
    bool control = false;
    bool alternate = false;  // Option, Alt
    bool command = false;    // Command, Super
    bool any() const { return shift || control || alternate || command; }
    friend bool operator==(const KeyModifiers&, const KeyModifiers&) = default;
};

// The buttons the helper holds down while the pointer moves: some systems make a drag of a move.
struct HeldButtons {
    bool left = false;
    bool right = false;
    bool middle = false;
    bool any() const { return left || right || middle; }
    friend bool operator==(const HeldButtons&, const HeldButtons&) = default;
};

// The pointer goes to `at` (global coordinates: top-left origin, y down, points).
struct PointerMotion {
    Point at;
    HeldButtons held;
    friend bool operator==(const PointerMotion&, const PointerMotion&) = default;
};

// A press or release at `at`; `clickCount` is 1 for a single click, 2 for the second press of a double click.
struct PointerPress {
    Point at;
    PointerButton button = PointerButton::left;
    bool down = false;
    std::int64_t clickCount = 1;
    friend bool operator==(const PointerPress&, const PointerPress&) = default;
};

enum class WheelUnit : std::uint8_t { pixel, line };

// A wheel turn with the pointer at `at`. Positive `vertical` turns the wheel away from the user (the view
// scrolls towards the top of the content); positive `horizontal` scrolls towards its left edge.
struct WheelScroll {
    Point at;
    std::int32_t vertical = 0;
    std::int32_t horizontal = 0;
    WheelUnit unit = WheelUnit::pixel;
    friend bool operator==(const WheelScroll&, const WheelScroll&) = default;
};

// A key by its virtual key code (the numbering of input/key_codes.cpp: the physical key of a US layout),
// with the text it types, if any (UTF-16). A backend that cannot type by code types the text.
struct KeyStroke {
    std::uint16_t keyCode = 0;
    bool down = false;
    std::u16string text;
    friend bool operator==(const KeyStroke&, const KeyStroke&) = default;
};

struct SyntheticInput {
    std::variant<PointerMotion, PointerPress, WheelScroll, KeyStroke> action;
    KeyModifiers modifiers;
    // Marks the event as the helper's, where the system keeps such a tag.
    std::int64_t sourceTag = 0;

    // The pointer position the event is aimed at; none for keys.
    std::optional<Point> location() const {
        if (const auto* m = std::get_if<PointerMotion>(&action)) return m->at;
        if (const auto* p = std::get_if<PointerPress>(&action)) return p->at;
        if (const auto* w = std::get_if<WheelScroll>(&action)) return w->at;
        return std::nullopt;
    }
    friend bool operator==(const SyntheticInput&, const SyntheticInput&) = default;
};

}  // namespace velmora::platform
