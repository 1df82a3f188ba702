#pragma once

#include <boost/json/object.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>

// The reviewer's pointer, button, wheel and key events as values. Positions are fractions of the shared
// surface (0 to 1 from its left and top edges), whatever size the page's video element has; wheel deltas
// are pixels.
namespace velmora::input {

struct Move {
    double x = 0, y = 0;
    friend bool operator==(const Move&, const Move&) = default;
};

// `button` in the browser's numbering: 0 main (left), 1 auxiliary (middle), 2 secondary (right).
// `clicks` labels a press as single, double or triple (1 to 3).
struct Button {
    bool down = false;
    double x = 0, y = 0;
    std::int64_t button = 0;
    std::int64_t clicks = 1;
    friend bool operator==(const Button&, const Button&) = default;
};

// Deltas in the browser's sense: positive `dy` scrolls the content down, positive `dx` to the right.
struct Wheel {
    double x = 0, y = 0, dx = 0, dy = 0;
    friend bool operator==(const Wheel&, const Wheel&) = default;
};

// `key` is the text the key produces, or the browser's name for a key without text ("Enter"); `code` names
// the physical key ("KeyA"). `repeat` marks an auto-repeated key-down and is carried along only.
struct Key {
    bool down = false;
    std::string key;
    std::string code;
    bool repeat = false;
    friend bool operator==(const Key&, const Key&) = default;
};

using Input = std::variant<Move, Button, Wheel, Key>;

// The event that an "input" object describes, with positions clamped to [0, 1] and the click count to 1..3;
// nothing when the object is not a valid event (unknown "kind", a missing or non-finite position, a button
// outside 0..2, a key without its strings).
std::optional<Input> makeInput(const boost::json::object& object);

struct Modifiers {
    bool shift = false, alt = false, ctrl = false, meta = false;

    // Each member that is absent or not a boolean reads as false; no object reads as all false.
    static Modifiers from(const boost::json::object* mods);

    friend bool operator==(const Modifiers&, const Modifiers&) = default;
};

// Whether the key-code name is a modifier or lock key, whose state travels as event flags instead.
bool isModifierCode(std::string_view code);

// Browser key-code names to the platform's virtual key codes: 96 entries, without modifier, lock, media or
// international keys. Built once on first use; concurrent first uses are safe.
const std::unordered_map<std::string, std::uint16_t>& keyCodes();
std::optional<std::uint16_t> keyCode(std::string_view code);

}  // namespace velmora::input
