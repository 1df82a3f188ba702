#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "platform/geometry.hpp"

namespace velmora::platform {

// Synthetic input events are plain values: a backend creates one (creation may fail), the caller fills in
// its fields, and the backend posts it.

enum class EventType : std::uint32_t {
    leftMouseDown = 1,
    leftMouseUp = 2,
    rightMouseDown = 3,
    rightMouseUp = 4,
    mouseMoved = 5,
    leftMouseDragged = 6,
    rightMouseDragged = 7,
    keyDown = 10,
    keyUp = 11,
    scrollWheel = 22,
    otherMouseDown = 25,
    otherMouseUp = 26,
    otherMouseDragged = 27,
};

enum class MouseButton : std::uint32_t { left = 0, right = 1, center = 2 };

enum class ScrollUnit : std::uint32_t { pixel = 0, line = 1 };

enum class EventSourceState : std::int32_t { privateState = -1, combinedSession = 0, hidSystem = 1 };

namespace eventFlags {
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t alternate = 0x80000;
inline constexpr std::uint64_t command = 0x100000;
}  // namespace eventFlags

struct EventSource {
    EventSourceState state = EventSourceState::combinedSession;
};

struct MouseFields {
    MouseButton button = MouseButton::left;
    std::int64_t clickState = 0;
};

struct KeyboardFields {
    std::uint16_t keyCode = 0;
    bool keyDown = false;
    std::u16string text;  // UTF-16 units attached to the key event; empty when none
};

struct ScrollFields {
    ScrollUnit unit = ScrollUnit::pixel;
    std::uint32_t wheelCount = 0;
    std::int32_t wheel1 = 0;  // vertical
    std::int32_t wheel2 = 0;  // horizontal
    std::int32_t wheel3 = 0;
};

struct SyntheticEvent {
    EventType type = EventType::mouseMoved;
    Point location;
    std::uint64_t flags = 0;
    std::int64_t userData = 0;
    std::variant<MouseFields, KeyboardFields, ScrollFields> fields;

    const MouseFields* mouse() const { return std::get_if<MouseFields>(&fields); }
    MouseFields* mouse() { return std::get_if<MouseFields>(&fields); }
    const KeyboardFields* keyboard() const { return std::get_if<KeyboardFields>(&fields); }
    KeyboardFields* keyboard() { return std::get_if<KeyboardFields>(&fields); }
    const ScrollFields* scroll() const { return std::get_if<ScrollFields>(&fields); }
    ScrollFields* scroll() { return std::get_if<ScrollFields>(&fields); }
};

}  // namespace velmora::platform
