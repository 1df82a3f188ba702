// A plain X client for the tests to aim input at: it maps one window and prints one JSON line per event it
// receives, so a test can see exactly what landed where. Commands on standard input move, resize, raise,
// iconify or end it. Only Xlib and xkbcommon, so that what it reports is what any X client would see.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <langinfo.h>
#include <poll.h>
#include <unistd.h>
#include <xkbcommon/xkbcommon.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct Options {
    std::string title = "Velmora X test app";
    std::string windowClass = "VelmoraXTestApp";
    unsigned width = 400, height = 300;
    int x = 100, y = 100;
    bool setPid = true;
    unsigned long color = 0xf0f0f0;
};

[[noreturn]] void usage(const char* problem) {
    std::fprintf(stderr,
                 "velmora-x-test-app: %s\nusage: velmora-x-test-app [--title T] [--geometry WxH+X+Y] "
                 "[--class NAME] [--no-pid] [--color RRGGBB]\n",
                 problem);
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&]() -> const char* {
            if (i + 1 >= argc) usage("an option lacks its value");
            return argv[++i];
        };
        if (arg == "--title") {
            options.title = value();
        } else if (arg == "--class") {
            options.windowClass = value();
        } else if (arg == "--no-pid") {
            options.setPid = false;
        } else if (arg == "--geometry") {
            const int all = WidthValue | HeightValue | XValue | YValue;
            const int given =
                XParseGeometry(value(), &options.x, &options.y, &options.width, &options.height);
            if ((given & all) != all || (given & (XNegative | YNegative)) != 0) {
                usage("--geometry wants WxH+X+Y");
            }
        } else if (arg == "--color") {
            char* end = nullptr;
            const char* text = value();
            options.color = std::strtoul(text, &end, 16);
            if (std::strlen(text) != 6 || *end != '\0') usage("--color wants RRGGBB");
        } else {
            usage("unknown option");
        }
    }
    return options;
}

// One JSON line, written and flushed at once so that a reader never sees half of it.
class Line {
  public:
    explicit Line(const char* event) { text_ << "{\"event\":\"" << event << '"'; }
    Line& number(const char* key, long long value) {
        text_ << ",\"" << key << "\":" << value;
        return *this;
    }
    Line& boolean(const char* key, bool value) {
        text_ << ",\"" << key << "\":" << (value ? "true" : "false");
        return *this;
    }
    Line& string(const char* key, std::string_view value) {
        text_ << ",\"" << key << "\":\"";
        for (const unsigned char c : value) {
            if (c == '"' || c == '\\') {
                text_ << '\\' << c;
            } else if (c < 0x20) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                text_ << escaped;
            } else {
                text_ << c;
            }
        }
        text_ << '"';
        return *this;
    }
    ~Line() {
        text_ << "}\n";
        const std::string line = text_.str();
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }

  private:
    std::ostringstream text_;
};

class TestWindow {
  public:
    TestWindow(Display* display, const Options& options, int argc, char** argv) : display_(display) {
        const int screen = DefaultScreen(display);
        root_ = RootWindow(display, screen);
        XColor background{};
        background.red = static_cast<unsigned short>(((options.color >> 16) & 0xff) * 0x101);
        background.green = static_cast<unsigned short>(((options.color >> 8) & 0xff) * 0x101);
        background.blue = static_cast<unsigned short>((options.color & 0xff) * 0x101);
        if (!XAllocColor(display, DefaultColormap(display, screen), &background)) {
            background.pixel = WhitePixel(display, screen);
        }
        window_ = XCreateSimpleWindow(display, root_, options.x, options.y, options.width, options.height, 0,
                                      0, background.pixel);
        XSelectInput(display, window_,
                     ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask | KeyReleaseMask |
                         StructureNotifyMask | FocusChangeMask);
        setProperties(options, argc, argv);
        openInputContext();
        XMapWindow(display, window_);
    }
    ~TestWindow() {
        if (inputContext_) XDestroyIC(inputContext_);
        if (inputMethod_) XCloseIM(inputMethod_);
        XDestroyWindow(display_, window_);
    }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    // False once the window should go away.
    bool handle(XEvent& event) {
        // An input method may consume a key press as part of a composed character.
        if (XFilterEvent(&event, None)) return true;
        switch (event.type) {
            case MapNotify:
                if (!ready_) {
                    ready_ = true;
                    Line("ready").number("window", static_cast<long long>(window_));
                }
                break;
            case ButtonPress:
            case ButtonRelease: {
                const XButtonEvent& b = event.xbutton;
                Line(event.type == ButtonPress ? "press" : "release")
                    .number("button", b.button)
                    .number("x", b.x)
                    .number("y", b.y)
                    .number("state", b.state);
                break;
            }
            case MotionNotify:
                Line("motion")
                    .number("x", event.xmotion.x)
                    .number("y", event.xmotion.y)
                    .number("state", event.xmotion.state);
                break;
            case KeyPress:
            case KeyRelease:
                reportKey(event.xkey);
                break;
            case FocusIn:
            case FocusOut:
                reportFocus(event.xfocus);
                break;
            case ConfigureNotify:
                reportConfigure(event.xconfigure);
                break;
            case MappingNotify:
                // Tests remap spare keycodes to type characters the keyboard lacks.
                XRefreshKeyboardMapping(&event.xmapping);
                break;
            case ClientMessage:
                if (static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow_) return false;
                break;
            default:
                break;
        }
        return true;
    }

    // False once the window should go away.
    bool command(const std::string& line) {
        std::istringstream words(line);
        std::string verb;
        words >> verb;
        long a = 0, b = 0;
        if (verb == "move" && words >> a >> b) {
            XMoveWindow(display_, window_, static_cast<int>(a), static_cast<int>(b));
        } else if (verb == "resize" && words >> a >> b && a > 0 && b > 0) {
            XResizeWindow(display_, window_, static_cast<unsigned>(a), static_cast<unsigned>(b));
        } else if (verb == "raise") {
            XRaiseWindow(display_, window_);
        } else if (verb == "iconify") {
            XIconifyWindow(display_, window_, DefaultScreen(display_));
        } else if (verb == "quit") {
            return false;
        } else if (!verb.empty()) {
            std::fprintf(stderr, "velmora-x-test-app: unknown command: %s\n", line.c_str());
        }
        XFlush(display_);
        return true;
    }

  private:
    void setProperties(const Options& options, int argc, char** argv) {
        XSizeHints* size = XAllocSizeHints();
        // User-specified, so that the window manager places the window where the test asked.
        size->flags = USPosition | USSize;
        size->x = options.x;
        size->y = options.y;
        size->width = static_cast<int>(options.width);
        size->height = static_cast<int>(options.height);
        XWMHints* hints = XAllocWMHints();
        hints->flags = InputHint | StateHint;
        hints->input = True;
        hints->initial_state = NormalState;
        XClassHint* klass = XAllocClassHint();
        std::string name = options.windowClass;
        klass->res_name = name.data();
        klass->res_class = name.data();
        // Also sets WM_CLIENT_MACHINE, which gives _NET_WM_PID its meaning.
        Xutf8SetWMProperties(display_, window_, options.title.c_str(), options.title.c_str(), argv, argc,
                             size, hints, klass);
        XFree(size);
        XFree(hints);
        XFree(klass);

        const Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
        XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_NAME", False), utf8, 8,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(options.title.data()),
                        static_cast<int>(options.title.size()));
        if (options.setPid) {
            const long pid = ::getpid();
            XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_PID", False), XA_CARDINAL, 32,
                            PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
        }
        deleteWindow_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
        XSetWMProtocols(display_, window_, &deleteWindow_, 1);
    }

    void openInputContext() {
        inputMethod_ = XOpenIM(display_, nullptr, nullptr, nullptr);
        if (!inputMethod_) return;
        inputContext_ = XCreateIC(inputMethod_, XNInputStyle, XIMPreeditNothing | XIMStatusNothing,
                                  XNClientWindow, window_, XNFocusWindow, window_, nullptr);
    }

    void reportKey(XKeyEvent& key) {
        char buffer[64];
        KeySym keysym = NoSymbol;
        int length = 0;
        // An input context is only defined for presses; a release still has its keysym and text.
        if (inputContext_ && key.type == KeyPress) {
            Status status = 0;
            length = Xutf8LookupString(inputContext_, &key, buffer, sizeof buffer - 1, &keysym, &status);
            if (status != XLookupChars && status != XLookupBoth) length = 0;
            if (status != XLookupKeySym && status != XLookupBoth) keysym = NoSymbol;
        }
        if (keysym == NoSymbol) XLookupString(&key, nullptr, 0, &keysym, nullptr);
        if (length == 0) {
            // XLookupString speaks Latin-1 only; xkbcommon knows the character of every keysym.
            length = xkb_keysym_to_utf8(static_cast<xkb_keysym_t>(keysym), buffer, sizeof buffer);
            length = length > 0 ? length - 1 : 0;  // counted with its terminating zero
        }
        Line("key")
            .boolean("down", key.type == KeyPress)
            .number("keycode", key.keycode)
            .number("keysym", static_cast<long long>(keysym))
            .string("text", std::string_view(buffer, static_cast<std::size_t>(std::max(length, 0))))
            .number("state", key.state);
    }

    void reportFocus(const XFocusChangeEvent& focus) {
        // Pointer-only focus and grab announcements do not move the keyboard focus.
        if (focus.detail == NotifyPointer || focus.mode == NotifyGrab || focus.mode == NotifyUngrab) return;
        if (inputContext_) {
            if (focus.type == FocusIn) {
                XSetICFocus(inputContext_);
            } else {
                XUnsetICFocus(inputContext_);
            }
        }
        Line("focus").boolean("in", focus.type == FocusIn);
    }

    void reportConfigure(const XConfigureEvent& configure) {
        // Under a reparenting window manager the event's position is relative to the frame; tests want
        // where the window is on the screen.
        int x = 0, y = 0;
        Window child = None;
        XTranslateCoordinates(display_, window_, root_, 0, 0, &x, &y, &child);
        Line("configure")
            .number("x", x)
            .number("y", y)
            .number("width", configure.width)
            .number("height", configure.height);
    }

    Display* display_;
    Window root_ = None;
    Window window_ = None;
    Atom deleteWindow_ = None;
    XIM inputMethod_ = nullptr;
    XIC inputContext_ = nullptr;
    bool ready_ = false;
};

// Commands arrive a line at a time, possibly split across reads.
class CommandReader {
  public:
    // The complete lines read; nothing once input has ended.
    std::optional<std::vector<std::string>> read() {
        char buffer[1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) return std::vector<std::string>{};
        if (n <= 0) return std::nullopt;
        pending_.append(buffer, static_cast<std::size_t>(n));
        std::vector<std::string> lines;
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            lines.push_back(pending_.substr(0, end));
            pending_.erase(0, end + 1);
        }
        return lines;
    }

  private:
    std::string pending_;
};

// The input method turns keys into text in the locale's character set, so a UTF-8 one lets it produce any
// character: the environment's when it is UTF-8, C.UTF-8 otherwise.
void chooseLocale() {
    const bool fromEnvironment = std::setlocale(LC_CTYPE, "") != nullptr;
    if (!fromEnvironment || std::string_view(nl_langinfo(CODESET)) != "UTF-8" || !XSupportsLocale()) {
        if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr || !XSupportsLocale())
            std::setlocale(LC_CTYPE, "C");
    }
    XSetLocaleModifiers("");
}

}  // namespace

int main(int argc, char** argv) {
    const auto options = parseOptions(argc, argv);
    chooseLocale();
    Display* display = XOpenDisplay(nullptr);
    if (display == nullptr) {
        std::fprintf(stderr, "velmora-x-test-app: cannot open display %s\n", XDisplayName(nullptr));
        return 1;
    }
    int status = 0;
    {
        TestWindow window(display, options, argc, argv);
        CommandReader commands;
        bool running = true;
        while (running) {
            while (running && XPending(display) > 0) {
                XEvent event;
                XNextEvent(display, &event);
                running = window.handle(event);
            }
            if (!running) break;
            pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) {
                status = 1;
                break;
            }
            if (fds[1].revents != 0) {
                const auto lines = commands.read();
                if (!lines) break;  // whoever drove us has gone
                for (const auto& line : *lines) {
                    running = running && window.command(line);
                }
            }
        }
    }
    XCloseDisplay(display);
    return status;
}
