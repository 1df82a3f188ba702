#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmora::platform::x11 {

// What the server offers, found once when the connection opens.
struct Capabilities {
    bool xtest = false;
    bool randrMonitors = false;  // RandR 1.5 or later
    bool shape = false;
    bool xfixes = false;
    bool xresClientIds = false;  // X-Resource 1.2 or later
};

// The last X error reported on this thread.
struct XErrorRecord {
    Display* display = nullptr;
    unsigned long serial = 0;
    unsigned char errorCode = 0;
    unsigned char requestCode = 0;
    XID resource = 0;
};

// One connection to an X server. Xlib's own error handler ends the process on any error, and a window can
// vanish between the moment we learn its id and the moment we ask about it; so the connection installs a
// handler that records errors instead, and requests that may fail run inside `succeeded`.
class XConnection {
  public:
    // Nothing when no display can be opened; `name` nothing means $DISPLAY.
    static std::unique_ptr<XConnection> open(const std::optional<std::string>& name);
    ~XConnection();
    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    Display* display() const { return display_; }
    Window root() const { return root_; }
    int screen() const { return screen_; }
    int fd() const { return ConnectionNumber(display_); }
    const Capabilities& capabilities() const { return capabilities_; }

    // Interned on first use and kept.
    Atom atom(const std::string& name);
    std::optional<std::string> atomName(Atom atom);

    // Runs `requests`, waits until the server has handled them and says whether none of them failed.
    // Errors inside are expected and not logged.
    template <typename Requests>
    bool succeeded(Requests&& requests) {
        const unsigned long first = NextRequest(display_);
        if (trapDepth() == 0) forgetErrors();
        ++trapDepth();
        requests();
        XSync(display_, False);
        --trapDepth();
        return !failedSince(first);
    }

    // The window that the window manager names on the root as its own, when that window exists and names
    // itself too. A manager that has exited leaves the root's property behind, naming a window that is gone
    // (or, worse, reused), so the properties it publishes are trusted only when this answers.
    std::optional<Window> windowManager();
    // Whether a compositing manager owns this screen's selection.
    bool compositorRunning();

    // Reads a property of 32-bit items (CARDINAL, WINDOW, ATOM); nothing when the window or property is
    // missing or has another format.
    std::optional<std::vector<unsigned long>> property32(Window window, Atom property, Atom type);

    // Every error seen on this thread, for tests and for callers that want to notice unexpected ones.
    static std::uint64_t errorCount();
    static const XErrorRecord& lastError();

  private:
    explicit XConnection(Display* display);
    void detectCapabilities();
    bool failedSince(unsigned long serial) const;
    void forgetErrors() const;
    static int& trapDepth();

    Display* display_;
    int screen_;
    Window root_;
    Capabilities capabilities_;
    std::unordered_map<std::string, Atom> atoms_;
    std::unordered_map<Atom, std::string> atomNames_;  // an atom's name never changes
};

}  // namespace velmora::platform::x11
