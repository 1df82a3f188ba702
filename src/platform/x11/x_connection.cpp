#include "platform/x11/x_connection.hpp"

#include <X11/Xatom.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/shape.h>

#include <cstdlib>
#include <mutex>

#include "platform/x11/x_log.hpp"

namespace velmora::platform::x11 {
namespace {

// Errors arrive on the thread that reads the connection's replies, which is the thread that made the
// requests; keeping the record per thread lets each thread's connection look at its own errors.
thread_local XErrorRecord lastErrorOnThread;
thread_local std::uint64_t errorsOnThread = 0;
thread_local int trapsOnThread = 0;

int recordError(Display* display, XErrorEvent* event) {
    lastErrorOnThread = {display, event->serial, event->error_code, event->request_code, event->resourceid};
    ++errorsOnThread;
    if (trapsOnThread == 0) {
        char text[160] = {};
        XGetErrorText(display, event->error_code, text, sizeof text);
        log("a request failed unexpectedly: " + std::string(text) + " (request " +
            std::to_string(event->request_code) + "." + std::to_string(event->minor_code) + ", resource " +
            std::to_string(event->resourceid) + ").");
    }
    return 0;
}

// Xlib gives up on a connection after an I/O error whatever the handler does, and the program cannot do
// anything useful without its desktop; so it says so in its own log and ends with a failure status.
int connectionLost(Display*) {
    log("the connection to the X server was lost; the helper ends.");
    std::exit(EXIT_FAILURE);
}

void installHandlers() {
    static std::once_flag once;
    std::call_once(once, [] {
        XSetErrorHandler(recordError);
        XSetIOErrorHandler(connectionLost);
    });
}

}  // namespace

std::unique_ptr<XConnection> XConnection::open(const std::optional<std::string>& name) {
    installHandlers();
    Display* display = XOpenDisplay(name ? name->c_str() : nullptr);
    if (display == nullptr) {
        const char* fallback = std::getenv("DISPLAY");
        log("cannot open display \"" + (name ? *name : std::string(fallback ? fallback : "")) + "\".");
        return nullptr;
    }
    auto connection = std::unique_ptr<XConnection>(new XConnection(display));
    connection->detectCapabilities();
    return connection;
}

XConnection::XConnection(Display* display)
    : display_(display), screen_(DefaultScreen(display)), root_(RootWindow(display, screen_)) {
    forgetErrors();
}

XConnection::~XConnection() {
    XCloseDisplay(display_);
    forgetErrors();
}

void XConnection::forgetErrors() const {
    // A new connection may get the address of a closed one, and its serials start again from one: an error
    // of the old connection would pass for one of the new. Forgotten too before each trap, when nothing
    // of this connection's is left to read, so that no record older than the trap can count in it.
    if (lastErrorOnThread.display == display_) lastErrorOnThread = {};
}

void XConnection::detectCapabilities() {
    int event = 0, error = 0, major = 0, minor = 0;
    capabilities_.xtest = XTestQueryExtension(display_, &event, &error, &major, &minor);
    if (!capabilities_.xtest) log("the server has no XTest extension: synthetic input cannot be posted.");

    // Monitors came with RandR 1.5; an older RandR describes outputs, which the program does not need.
    capabilities_.randrMonitors = XRRQueryExtension(display_, &event, &error) &&
                                  XRRQueryVersion(display_, &major, &minor) &&
                                  (major > 1 || (major == 1 && minor >= 5));
    if (!capabilities_.randrMonitors) {
        log("the server has no RandR 1.5 monitors: the whole screen is taken as one display.");
    }

    capabilities_.shape = XShapeQueryExtension(display_, &event, &error);
    if (!capabilities_.shape) log("the server has no Shape extension: overlays cannot let clicks through.");

    // XFixes wants every client to announce the version it speaks before its first request.
    capabilities_.xfixes =
        XFixesQueryExtension(display_, &event, &error) && XFixesQueryVersion(display_, &major, &minor);
    if (!capabilities_.xfixes) log("the server has no XFixes extension.");

    capabilities_.xresClientIds = XResQueryExtension(display_, &event, &error) &&
                                  XResQueryVersion(display_, &major, &minor) &&
                                  (major > 1 || (major == 1 && minor >= 2));
    if (!capabilities_.xresClientIds) {
        log("the server cannot name a client's process (X-Resource 1.2): windows without _NET_WM_PID have "
            "no owner.");
    }

    if (!compositorRunning()) log("no compositing manager runs: overlays are drawn without transparency.");
    if (!windowManager()) log("no window manager runs: windows are raised and focused directly.");
}

Atom XConnection::atom(const std::string& name) {
    if (const auto found = atoms_.find(name); found != atoms_.end()) return found->second;
    const Atom interned = XInternAtom(display_, name.c_str(), False);
    atoms_.emplace(name, interned);
    return interned;
}

std::optional<std::string> XConnection::atomName(Atom atom) {
    if (const auto known = atomNames_.find(atom); known != atomNames_.end()) return known->second;
    char* name = nullptr;
    if (!succeeded([&] { name = XGetAtomName(display_, atom); }) || name == nullptr) return std::nullopt;
    std::string result(name);
    XFree(name);
    atomNames_.emplace(atom, result);
    return result;
}

std::optional<std::vector<unsigned long>> XConnection::property32(Window window, Atom property, Atom type) {
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    int status = BadImplementation;
    // Long enough for any client list; the length is in 32-bit units.
    const bool ok = succeeded([&] {
        status = XGetWindowProperty(display_, window, property, 0, 1L << 20, False, type, &actualType,
                                    &actualFormat, &count, &after, &data);
    });
    if (!ok || status != Success || data == nullptr) return std::nullopt;
    std::optional<std::vector<unsigned long>> items;
    // Xlib hands 32-bit items back as longs, whatever the size of a long.
    if (actualType == type && actualFormat == 32) {
        const auto* values = reinterpret_cast<const unsigned long*>(data);
        items.emplace(values, values + count);
    }
    XFree(data);
    return items;
}

std::optional<Window> XConnection::windowManager() {
    const Atom check = atom("_NET_SUPPORTING_WM_CHECK");
    const auto named = property32(root_, check, XA_WINDOW);
    if (!named || named->empty()) return std::nullopt;
    const Window candidate = (*named)[0];
    const auto itself = property32(candidate, check, XA_WINDOW);
    if (!itself || itself->empty() || (*itself)[0] != candidate) return std::nullopt;
    return candidate;
}

bool XConnection::compositorRunning() {
    const Atom selection = atom("_NET_WM_CM_S" + std::to_string(screen_));
    return XGetSelectionOwner(display_, selection) != None;
}

bool XConnection::failedSince(unsigned long serial) const {
    return lastErrorOnThread.display == display_ && lastErrorOnThread.serial >= serial;
}

int& XConnection::trapDepth() {
    return trapsOnThread;
}

std::uint64_t XConnection::errorCount() {
    return errorsOnThread;
}

const XErrorRecord& XConnection::lastError() {
    return lastErrorOnThread;
}

}  // namespace velmora::platform::x11
