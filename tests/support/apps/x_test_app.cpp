// A plain X client of its own process for the X tests: it maps one window and prints one JSON line per event
// it receives ("ready" with the window's id first). Commands on standard input: "move X Y", "iconify", "pixel
// X Y" (the colour the root shows there); it ends when its input ends. Only Xlib and xkbcommon, so that it
// reports what any X client sees. Options: --title, --geometry WxH+X+Y, --class, --instance, --color RRGGBB,
// --pid N (_NET_WM_PID; none if empty).
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <poll.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // a reader never sees half a line
    std::map<std::string, std::string> option{{"--geometry", "400x300+100+100"},
                                              {"--class", "VelmoraXTestApp"},
                                              {"--pid", std::to_string(::getpid())}};
    for (int i = 1; i + 1 < argc; i += 2)
        option[argv[i]] = argv[i + 1];
    int x = 0, y = 0;
    unsigned width = 0, height = 0;
    XParseGeometry(option["--geometry"].c_str(), &x, &y, &width, &height);
    // A loaded server refuses a connection now and then while its queue of new ones is full.
    Display* display = nullptr;
    for (int attempt = 0; attempt < 20 && display == nullptr; ++attempt)
        display = XOpenDisplay(nullptr);
    if (display == nullptr) return 1;
    const Window root = DefaultRootWindow(display);

    XSetWindowAttributes attributes{};
    attributes.background_pixel = std::strtoul(option["--color"].c_str(), nullptr, 16);  // a 24-bit TrueColor
    attributes.event_mask = ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask |
                            KeyReleaseMask | StructureNotifyMask;
    const Window window = XCreateWindow(display, root, x, y, width, height, 0, CopyFromParent, InputOutput,
                                        CopyFromParent, CWBackPixel | CWEventMask, &attributes);
    XSizeHints size{};  // user-specified, so that a window manager places the window where the test asked
    size.flags = USPosition | USSize, size.x = x, size.y = y, size.width = int(width),
    size.height = int(height);
    // Empty strings stay empty, so that a test can make a window without a class.
    std::string name = option.contains("--instance") ? option["--instance"] : option["--class"];
    XClassHint hint{name.data(), option["--class"].data()};
    const char* title = option["--title"].c_str();
    Xutf8SetWMProperties(display, window, title, title, argv, argc, &size, nullptr, &hint);
    if (const long pid = std::atol(option["--pid"].c_str()); pid != 0)
        XChangeProperty(display, window, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
    XMapWindow(display, window);

    std::string commands;
    for (bool ready = false;;) {
        for (XEvent event; XPending(display) > 0;) {
            XNextEvent(display, &event);
            const XButtonEvent& b = event.xbutton;
            if (event.type == MapNotify && !ready) {
                ready = true;
                std::printf("{\"event\":\"ready\",\"window\":%lu}\n", window);
            } else if (event.type == ButtonPress || event.type == ButtonRelease) {
                std::printf("{\"event\":\"%s\",\"button\":%u,\"x\":%d,\"y\":%d,\"state\":%u}\n",
                            b.type == ButtonPress ? "press" : "release", b.button, b.x, b.y, b.state);
            } else if (event.type == MotionNotify) {
                const XMotionEvent& m = event.xmotion;
                std::printf("{\"event\":\"motion\",\"x\":%d,\"y\":%d,\"state\":%u}\n", m.x, m.y, m.state);
            } else if (event.type == KeyPress || event.type == KeyRelease) {
                // Looked up as the event is read: a spare keycode may carry another character later.
                KeySym keysym = NoSymbol;
                XLookupString(&event.xkey, nullptr, 0, &keysym, nullptr);
                char symbol[64] = "", text[16] = "";
                xkb_keysym_get_name(static_cast<xkb_keysym_t>(keysym), symbol, sizeof symbol);
                xkb_keysym_to_utf8(static_cast<xkb_keysym_t>(keysym), text, sizeof text);
                if (static_cast<unsigned char>(text[0]) < 0x20) text[0] = '\0';  // what Return or Tab type
                const std::string typed = text[0] == '"' || text[0] == '\\' ? '\\' + std::string(text) : text;
                std::printf(
                    "{\"event\":\"key\",\"down\":%s,\"keycode\":%u,\"name\":\"%s\",\"text\":\"%s\","
                    "\"state\":%u}\n",
                    event.type == KeyPress ? "true" : "false", event.xkey.keycode, symbol, typed.c_str(),
                    event.xkey.state);
            } else if (event.type == ConfigureNotify) {
                // Relative to the frame under a reparenting manager; tests want the place on the screen.
                Window child = None;
                XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child);
                std::printf("{\"event\":\"configure\",\"x\":%d,\"y\":%d}\n", x, y);
            } else if (event.type == MappingNotify) {
                XRefreshKeyboardMapping(&event.xmapping);  // tests lend spare keycodes to characters
            }
        }
        pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        ::poll(fds, 2, -1);
        char buffer[256];
        const ssize_t n = fds[1].revents != 0 ? ::read(STDIN_FILENO, buffer, sizeof buffer) : 0;
        if (n <= 0 && fds[1].revents != 0) break;  // whoever drove us has gone
        commands.append(buffer, n > 0 ? std::size_t(n) : 0);
        for (std::size_t end; (end = commands.find('\n')) != std::string::npos; commands.erase(0, end + 1)) {
            char verb[16] = "";
            int a = 0, c = 0;
            std::sscanf(commands.c_str(), "%15s %d %d", verb, &a, &c);
            if (verb == std::string_view("move")) XMoveWindow(display, window, a, c);
            if (verb == std::string_view("iconify")) XIconifyWindow(display, window, DefaultScreen(display));
            if (verb != std::string_view("pixel")) continue;
            XImage* image = XGetImage(display, root, a, c, 1, 1, AllPlanes, ZPixmap);
            std::printf("{\"event\":\"pixel\",\"rgb\":%lu}\n", XGetPixel(image, 0, 0) & 0xffffff);
            XDestroyImage(image);
        }
        XFlush(display);
    }
    XCloseDisplay(display);
    return 0;
}
