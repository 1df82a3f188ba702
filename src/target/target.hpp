#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/platform.hpp"

namespace velmora::target {

struct WindowSurface {
    std::uint32_t id = 0;
    friend bool operator==(const WindowSurface&, const WindowSurface&) = default;
};

struct DisplaySurface {
    std::uint32_t id = 0;
    friend bool operator==(const DisplaySurface&, const DisplaySurface&) = default;
};

// The shared surface: a window of the window server or a whole display.
using Surface = std::variant<WindowSurface, DisplaySurface>;

struct TargetError {
    std::string message;
    friend bool operator==(const TargetError&, const TargetError&) = default;
};

struct WindowInfo {
    platform::Rect bounds;
    std::int32_t pid = 0;
    std::string app;
};

class Target;
using Resolution = std::variant<Target, TargetError>;

// The surface a stream shows, resolved from the browser's capture label. An immutable value.
class Target {
  public:
    Target(Surface surface, std::string app, std::optional<std::int32_t> pid)
        : surface(surface), app(std::move(app)), pid(pid) {}

    Surface surface;
    std::string app;
    std::optional<std::int32_t> pid;

    // Turns a capture label ("window:<id>:…", "screen:<id>:…") into a target, or the sentence for the page.
    static Resolution resolve(platform::Platform& platform, std::string_view label,
                              std::optional<double> width, std::optional<double> height);
    // The window's current bounds, owner pid (0 when unknown) and owner name; nothing when it is gone.
    static std::optional<WindowInfo> windowInfo(platform::Platform& platform, std::uint32_t id);
    static std::optional<std::uint32_t> displayMatching(platform::Platform& platform, std::uint32_t id,
                                                        std::optional<double> width,
                                                        std::optional<double> height);

    // The surface's current rectangle in global coordinates: the display's bounds (nothing when they are
    // empty) or the window's bounds (nothing when it is gone). Looked up afresh on every call.
    std::optional<platform::Rect> currentBounds(platform::Platform& platform) const;

    // Whether a click at `point` would reach this target's application.
    bool isFrontmost(platform::Platform& platform, platform::Point point) const;
    // Whether keystrokes would now reach this target's application.
    bool hasKeyboardFocus(platform::Platform& platform) const;
    // Brings the target's window and application to the front, without waiting for it.
    void raise(platform::Platform& platform) const;

    friend bool operator==(const Target&, const Target&) = default;
};

}  // namespace velmora::target
