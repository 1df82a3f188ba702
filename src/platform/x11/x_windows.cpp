#include "platform/x11/x_windows.hpp"

#include <X11/Xatom.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <utility>

#include "platform/x11/x_connection.hpp"

namespace velmora::platform::x11 {
namespace {

// _NET_ACTIVE_WINDOW's source indication for a pager or taskbar: a request on the user's behalf, which
// window managers honour without their focus-stealing checks.
constexpr long activeWindowFromPager = 2;

}  // namespace

std::optional<std::vector<Window>> XWindows::clientWindows(bool managed) {
    Display* display = x_.display();
    if (managed) {
        auto stacking = x_.property32(x_.root(), x_.atom("_NET_CLIENT_LIST_STACKING"), XA_WINDOW);
        // A manager without a stacking list still has a client list, only in no particular order.
        if (!stacking) stacking = x_.property32(x_.root(), x_.atom("_NET_CLIENT_LIST"), XA_WINDOW);
        if (!stacking) return std::nullopt;
        std::vector<Window> windows(stacking->rbegin(), stacking->rend());  // listed bottom first
        return windows;
    }
    Window rootReturn = None, parent = None;
    Window* children = nullptr;
    unsigned int count = 0;
    Status status = 0;
    if (!x_.succeeded(
            [&] { status = XQueryTree(display, x_.root(), &rootReturn, &parent, &children, &count); }) ||
        status == 0) {
        return std::nullopt;
    }
    std::vector<Window> windows(children, children + count);
    if (children != nullptr) XFree(children);
    std::reverse(windows.begin(), windows.end());  // the server lists them bottom first
    return windows;
}

std::optional<std::vector<WindowEntry>> XWindows::onScreenWindows() {
    const auto windows = clientWindows(x_.windowManager().has_value());
    if (!windows) return std::nullopt;
    std::vector<WindowEntry> entries;
    for (const Window window : *windows) {
        XWindowAttributes attributes{};
        Status status = 0;
        // A window may close while the list is read; it is simply left out.
        if (!x_.succeeded([&] { status = XGetWindowAttributes(x_.display(), window, &attributes); }) ||
            status == 0) {
            continue;
        }
        if (attributes.map_state != IsViewable || attributes.c_class == InputOnly) continue;
        if (isMinimised(window)) continue;
        if (hasAtom(window, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DESKTOP")) continue;
        if (auto entry = windowEntry(window)) entries.push_back(std::move(*entry));
    }
    return entries;
}

std::optional<Rect> XWindows::windowBounds(WindowId window) {
    Window root = None, child = None;
    int gx = 0, gy = 0, x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    Status geometry = 0;
    Bool translated = False;
    if (!x_.succeeded([&] {
            geometry = XGetGeometry(x_.display(), window, &root, &gx, &gy, &width, &height, &border, &depth);
            translated = XTranslateCoordinates(x_.display(), window, x_.root(), 0, 0, &x, &y, &child);
        }) ||
        geometry == 0 || !translated) {
        return std::nullopt;
    }
    return Rect{double(x), double(y), double(width), double(height)};
}

std::optional<WindowEntry> XWindows::windowEntry(WindowId window) {
    XWindowAttributes attributes{};
    Status status = 0;
    int x = 0, y = 0;
    Window child = None;
    Bool translated = False;
    // The client's own rectangle, not the manager's frame around it: a browser captures the client window,
    // so that is the rectangle input and ink must match.
    if (!x_.succeeded([&] {
            status = XGetWindowAttributes(x_.display(), window, &attributes);
            translated = XTranslateCoordinates(x_.display(), window, x_.root(), 0, 0, &x, &y, &child);
        }) ||
        status == 0) {
        return std::nullopt;
    }
    WindowEntry entry;
    entry.number = window;
    if (translated)
        entry.bounds = Rect{double(x), double(y), double(attributes.width), double(attributes.height)};
    entry.ownerPid = ownerPid(window);
    entry.ownerName = ownerName(window);
    entry.layer = layerOf(window, attributes);
    return entry;
}

bool XWindows::isMinimised(Window window) {
    if (hasAtom(window, "_NET_WM_STATE", "_NET_WM_STATE_HIDDEN")) return true;
    const Atom wmState = x_.atom("WM_STATE");
    const auto state = x_.property32(window, wmState, wmState);
    return state && !state->empty() && (*state)[0] == IconicState;
}

std::optional<std::int64_t> XWindows::ownerPid(Window window) {
    if (const auto pid = x_.property32(window, x_.atom("_NET_WM_PID"), XA_CARDINAL); pid && !pid->empty()) {
        return static_cast<std::int64_t>((*pid)[0]);
    }
    if (!x_.capabilities().xresClientIds) return std::nullopt;
    // The server knows the process at the other end of a local connection, whatever the client says.
    XResClientIdSpec query{window, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* ids = nullptr;
    Status status = BadImplementation;
    if (!x_.succeeded([&] { status = XResQueryClientIds(x_.display(), 1, &query, &count, &ids); }) ||
        status != Success) {
        return std::nullopt;
    }
    std::optional<std::int64_t> pid;
    for (long i = 0; i < count && !pid; ++i) {
        const pid_t found = XResGetClientPid(&ids[i]);
        if (found > 0) pid = found;
    }
    XResClientIdsDestroy(count, ids);
    return pid;
}

std::optional<std::string> XWindows::ownerName(Window window) {
    XClassHint hint{nullptr, nullptr};
    Status status = 0;
    if (!x_.succeeded([&] { status = XGetClassHint(x_.display(), window, &hint); }) || status == 0) {
        return std::nullopt;
    }
    std::optional<std::string> name;
    // The class names the application ("XTerm"); the instance is only what it was started as ("xterm").
    if (hint.res_class != nullptr && hint.res_class[0] != '\0') {
        name = hint.res_class;
    } else if (hint.res_name != nullptr && hint.res_name[0] != '\0') {
        name = hint.res_name;
    }
    if (hint.res_class != nullptr) XFree(hint.res_class);
    if (hint.res_name != nullptr) XFree(hint.res_name);
    return name;
}

std::int64_t XWindows::layerOf(Window window, const XWindowAttributes& attributes) {
    if (attributes.override_redirect) return layer::overrideRedirect;
    if (hasAtom(window, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DOCK")) return layer::dock;
    if (hasAtom(window, "_NET_WM_STATE", "_NET_WM_STATE_ABOVE")) return layer::above;
    return layer::ordinary;
}

bool XWindows::hasAtom(Window window, const char* property, const char* value) {
    const auto atoms = x_.property32(window, x_.atom(property), XA_ATOM);
    return atoms && std::ranges::find(*atoms, x_.atom(value)) != atoms->end();
}

std::vector<XMonitor> XWindows::displays() {
    std::vector<XMonitor> result;
    if (x_.capabilities().randrMonitors) {
        XRRMonitorInfo* monitors = nullptr;
        int count = 0;
        x_.succeeded([&] { monitors = XRRGetMonitors(x_.display(), x_.root(), True, &count); });
        for (int i = 0; monitors != nullptr && i < count; ++i) {
            const XRRMonitorInfo& m = monitors[i];
            result.push_back({static_cast<DisplayId>(m.name), x_.atomName(m.name).value_or(""),
                              Rect{double(m.x), double(m.y), double(m.width), double(m.height)},
                              static_cast<std::size_t>(m.width), static_cast<std::size_t>(m.height),
                              m.primary != False});
        }
        if (monitors != nullptr) XRRFreeMonitors(monitors);
    }
    // Without monitors (no RandR 1.5, or every output off) the screen is still there to draw on.
    if (result.empty()) {
        const int width = DisplayWidth(x_.display(), x_.screen());
        const int height = DisplayHeight(x_.display(), x_.screen());
        result.push_back({0, "screen", Rect{0, 0, double(width), double(height)}, std::size_t(width),
                          std::size_t(height), true});
    }
    return result;
}

DisplayId XWindows::mainDisplay() {
    const auto all = displays();
    const auto primary = std::ranges::find_if(all, [](const XMonitor& d) { return d.primary; });
    return primary != all.end() ? primary->id : all.front().id;
}

bool XWindows::raiseWindow(ProcessId pid, WindowId window) {
    Display* display = x_.display();
    if (!windowEntry(window)) return false;
    bool sent = false;
    if (x_.windowManager()) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = x_.atom("_NET_ACTIVE_WINDOW");
        event.xclient.format = 32;
        event.xclient.data.l[0] = activeWindowFromPager;
        event.xclient.data.l[1] = CurrentTime;
        event.xclient.data.l[2] = None;  // we have no window of our own that is active
        sent = x_.succeeded([&] {
            XSendEvent(display, x_.root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        });
    } else {
        // Nobody manages the windows: mapping takes effect at once, so the window can take focus right away.
        sent = x_.succeeded([&] {
            XMapRaised(display, window);
            XSetInputFocus(display, window, RevertToParent, CurrentTime);
        });
    }
    if (sent) lastRaised_ = std::pair{pid, Window(window)};
    return sent;
}

std::optional<ProcessId> XWindows::frontmostPid() {
    std::optional<Window> front;
    if (x_.windowManager()) {
        const auto active = x_.property32(x_.root(), x_.atom("_NET_ACTIVE_WINDOW"), XA_WINDOW);
        if (active && !active->empty() && (*active)[0] != None) front = (*active)[0];
    } else {
        Window focus = None;
        int revert = 0;
        XGetInputFocus(x_.display(), &focus, &revert);
        if (focus != None && focus != PointerRoot) front = topLevelOf(focus);
    }
    if (!front) return std::nullopt;
    const auto pid = ownerPid(*front);
    if (!pid) return std::nullopt;
    return static_cast<ProcessId>(*pid);
}

std::optional<Window> XWindows::topLevelOf(Window window) {
    // Focus on the root belongs to no application.
    if (window == x_.root()) return std::nullopt;
    while (true) {
        Window rootReturn = None, parent = None;
        Window* children = nullptr;
        unsigned int count = 0;
        Status status = 0;
        if (!x_.succeeded([&] {
                status = XQueryTree(x_.display(), window, &rootReturn, &parent, &children, &count);
            }) ||
            status == 0) {
            return std::nullopt;
        }
        if (children != nullptr) XFree(children);
        if (parent == rootReturn || parent == None) return window;
        window = parent;
    }
}

bool XWindows::activateApplication(ProcessId pid) {
    const auto raised = std::exchange(lastRaised_, std::nullopt);
    if (raised && raised->first == pid && windowEntry(raised->second))
        return raiseWindow(pid, raised->second);
    if (const auto windows = onScreenWindows()) {
        for (const auto& entry : *windows) {
            if (entry.ownerPid == pid && entry.layer == layer::ordinary)
                return raiseWindow(pid, entry.number);
        }
    }
    // Every window of the process may be minimised; the manager still lists them, and raising one
    // brings it back. Without a manager an unmapped window may be anything, so it is left alone.
    if (!x_.windowManager()) return false;
    const auto clients = clientWindows(true);
    if (!clients) return false;
    for (const Window window : *clients) {
        if (ownerPid(window) == pid) return raiseWindow(pid, window);
    }
    return false;
}

bool XWindows::isTrusted() const {
    return x_.capabilities().xtest;
}

}  // namespace velmora::platform::x11
