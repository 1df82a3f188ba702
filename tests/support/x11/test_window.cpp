// A window owned by a process of its own, for tests of the X11 backend that need windows of other clients.
//
//   velmora-x11-test-window [--at X,Y,W,H] [--class CLASS] [--instance NAME] [--pid N | --own-pid]
//                           [--dock] [--above] [--override-redirect]
//
// Prints "window <id>" once the window is mapped, then waits; it closes the window and ends when its
// standard input ends.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

void setAtoms(Display* display, Window window, const char* property, const char* value) {
    const Atom item = XInternAtom(display, value, False);
    XChangeProperty(display, window, XInternAtom(display, property, False), XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&item), 1);
}

}  // namespace

int main(int argc, char** argv) {
    int x = 10, y = 10;
    unsigned width = 200, height = 150;
    std::string windowClass = "VelmoraTest", instance = "velmora-test";
    std::optional<long> pid;
    bool dock = false, above = false, overrideRedirect = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--at" && std::sscanf(next, "%d,%d,%u,%u", &x, &y, &width, &height) == 4) {
            ++i;
        } else if (arg == "--class") {
            windowClass = next, ++i;
        } else if (arg == "--instance") {
            instance = next, ++i;
        } else if (arg == "--pid") {
            pid = std::atol(next), ++i;
        } else if (arg == "--own-pid") {
            pid = static_cast<long>(::getpid());
        } else if (arg == "--dock") {
            dock = true;
        } else if (arg == "--above") {
            above = true;
        } else if (arg == "--override-redirect") {
            overrideRedirect = true;
        } else {
            std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
            return 2;
        }
    }
    // A loaded server refuses a connection now and then while its queue of new ones is full.
    Display* display = nullptr;
    for (int attempt = 0; attempt < 20 && display == nullptr; ++attempt)
        display = XOpenDisplay(nullptr);
    if (display == nullptr) return 1;

    XSetWindowAttributes attributes{};
    attributes.override_redirect = overrideRedirect;
    attributes.event_mask = StructureNotifyMask;
    attributes.background_pixel = WhitePixel(display, DefaultScreen(display));
    const Window window = XCreateWindow(display, DefaultRootWindow(display), x, y, width, height, 0,
                                        CopyFromParent, InputOutput, CopyFromParent,
                                        CWOverrideRedirect | CWEventMask | CWBackPixel, &attributes);
    // Empty strings stay empty, so that a test can make a window without a class.
    std::vector<char> className(windowClass.begin(), windowClass.end()),
        name(instance.begin(), instance.end());
    className.push_back('\0');
    name.push_back('\0');
    XClassHint hint{name.data(), className.data()};
    XSetClassHint(display, window, &hint);
    // Asking for the position as the user's keeps a window manager from placing the window elsewhere.
    XSizeHints size{};
    size.flags = USPosition | USSize;
    size.x = x, size.y = y, size.width = int(width), size.height = int(height);
    XSetWMNormalHints(display, window, &size);
    if (pid) {
        XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&*pid), 1);
    }
    if (dock) setAtoms(display, window, "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_DOCK");
    if (above) setAtoms(display, window, "_NET_WM_STATE", "_NET_WM_STATE_ABOVE");
    XMapWindow(display, window);
    for (XEvent event; XNextEvent(display, &event) == 0;) {
        if (event.type == MapNotify && event.xmap.window == window) break;
    }
    XSelectInput(display, window, NoEventMask);
    XFlush(display);
    std::printf("window %lu\n", window);
    std::fflush(stdout);

    char line[256];
    while (std::fgets(line, sizeof line, stdin) != nullptr) {
    }
    XDestroyWindow(display, window);
    XCloseDisplay(display);
    return 0;
}
