#pragma once

#include <X11/Xlib.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.hpp"

namespace velmora::platform::x11 {

class XConnection;

// Layers in the order a window manager stacks them, so that the program can look through windows that
// raising the target could never cover. Ordinary windows are 0, like an application's windows elsewhere.
namespace layer {
constexpr std::int64_t ordinary = 0;
constexpr std::int64_t above = 3;                // _NET_WM_STATE_ABOVE: kept above ordinary windows
constexpr std::int64_t dock = 20;                // panels and bars (_NET_WM_WINDOW_TYPE_DOCK)
constexpr std::int64_t overrideRedirect = 1000;  // menus, tooltips, overlays: no manager stacks them
}  // namespace layer

// One monitor, in the global space windows use.
struct XMonitor {
    DisplayId id = 0;  // the monitor's name atom, the number a browser puts in a screen's capture label
    std::string name;  // the atom's name: an output ("DP-1") or what `xrandr --setmonitor` named it
    Rect bounds;
    std::size_t pixelsWide = 0;
    std::size_t pixelsHigh = 0;
    bool primary = false;
};

// The window server and the displays, as the program asks about them, over one connection.
//
// A window manager's properties on the root (the stacking list, the active window) are used only while
// the manager runs; without one, the root's own children are the application windows and raising and
// focusing are done directly.
class XWindows {
  public:
    explicit XWindows(XConnection& connection) : x_(connection) {}

    // Application windows that can be seen, front first; nothing when the list cannot be had.
    std::optional<std::vector<WindowEntry>> onScreenWindows();
    // Any window by id, also minimised or unmapped; nothing when there is no such window.
    std::optional<WindowEntry> windowEntry(WindowId window);
    // The client rectangle alone, in two requests: asked for on every input event.
    std::optional<Rect> windowBounds(WindowId window);

    // The active monitors in the server's order; one covering the screen without RandR monitors.
    std::vector<XMonitor> displays();
    // The primary monitor, else the first.
    DisplayId mainDisplay();

    // Asks for the window to be raised, focused and un-minimised. False when the request could not be
    // made (no such window); true says nothing about whether the window manager agreed.
    bool raiseWindow(ProcessId pid, WindowId window);
    std::optional<ProcessId> frontmostPid();
    // Raises the front-most window of the process; false when it has none.
    bool activateApplication(ProcessId pid);
    // Synthetic input can be posted.
    bool isTrusted() const;

  private:
    // Top-level client windows, front first: the manager's stacking list, or the root's children.
    std::optional<std::vector<Window>> clientWindows(bool managed);
    bool isMinimised(Window window);
    std::optional<std::int64_t> ownerPid(Window window);
    std::optional<std::string> ownerName(Window window);
    std::int64_t layerOf(Window window, const XWindowAttributes& attributes);
    bool hasAtom(Window window, const char* property, const char* value);
    std::optional<Window> topLevelOf(Window window);

    XConnection& x_;
    // The raise asked for last. A window manager acts on a raise a moment later, so an activation that
    // follows at once would still see the old order and could bring another window of the same process
    // forward; it keeps the window asked for instead.
    std::optional<std::pair<ProcessId, Window>> lastRaised_;
};

}  // namespace velmora::platform::x11
