#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "platform/color.hpp"
#include "platform/geometry.hpp"
#include "platform/input_event.hpp"

// What the macOS system receives for each of the program's platform operations: event type numbers, flag
// masks, window attributes, frames, the settings address. The sim records its events and overlays in these
// terms, so that what it traces is what a Mac would get; a macOS backend posts them.
namespace velmora::platform::mac {

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

namespace eventFlags {
inline constexpr std::uint64_t shift = 0x20000;
inline constexpr std::uint64_t control = 0x40000;
inline constexpr std::uint64_t alternate = 0x80000;
inline constexpr std::uint64_t command = 0x100000;
}  // namespace eventFlags

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

// One posted event as the system's event record holds it.
struct Event {
    EventType type = EventType::mouseMoved;
    Point location;
    std::uint64_t flags = 0;
    std::int64_t userData = 0;
    std::variant<MouseFields, KeyboardFields, ScrollFields> fields;

    const MouseFields* mouse() const { return std::get_if<MouseFields>(&fields); }
    const KeyboardFields* keyboard() const { return std::get_if<KeyboardFields>(&fields); }
    const ScrollFields* scroll() const { return std::get_if<ScrollFields>(&fields); }
};

std::uint64_t flagsFor(const KeyModifiers& modifiers);

// The event the system is given for `input`. Key events are located where the pointer is (`pointer`), as
// the system does for events created without a location.
Event eventFor(const SyntheticInput& input, Point pointer);

// The type's short name in log lines: "left-down", "move", "scroll"...
std::string describe(EventType type);

// Every attribute an overlay window is made with.
enum class SharingType : int { none = 0, readOnly = 1 };
struct WindowAttributes {
    Rect contentRect;             // bottom-left-origin framework coordinates
    std::uint64_t styleMask = 0;  // borderless
    int backing = 2;              // buffered
    bool deferred = false;
    bool opaque = false;
    Color backgroundColor = Color::clear();
    bool hasShadow = false;
    bool ignoresMouseEvents = true;  // clicks pass through
    bool releasedWhenClosed = false;
    int level = 3;                                // floating
    SharingType sharingType = SharingType::none;  // left out of screen capture
    std::uint64_t collectionBehavior = 0x151;     // all spaces, stationary, no cycling, full-screen auxiliary
};
WindowAttributes overlayAttributes(bool capturable);

// Window frames in the framework's coordinates grow upward from the bottom of the main display; global
// coordinates grow downward from its top. The conversion is its own inverse.
Rect frameFor(const Rect& global, double mainDisplayHeight);

inline constexpr const char* accessibilitySettingsURL =
    "x-apple.systempreferences:com.apple.preference.security?Privacy_Accessibility";
// The status item's image, a system symbol.
inline constexpr const char* statusSymbol = "cursorarrow.click.2";

}  // namespace velmora::platform::mac
