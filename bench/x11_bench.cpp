// What the X11 desktop's queries cost on the display in $DISPLAY: the lookups the input path makes for
// every event (a window's bounds, a display's bounds), the whole window entry and list it makes for a
// press, and posting one move. Prints microseconds per call; the figures depend on the server and on the
// machine's load, so they are printed, never asserted.
#include <X11/Xlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>

#include "platform/x11/x11_desktop.hpp"

int main() {
    using namespace velmora::platform;
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') {
        std::puts("x11_bench: DISPLAY is not set; nothing measured");
        return 0;
    }
    MainLoop loop;
    int menu[2];
    if (::pipe(menu) != 0) return 1;
    auto desktop = x11::X11Desktop::connect(loop, menu[0], menu[1], [] {});
    if (!desktop) return 1;

    // A window of another connection, as an application's would be.
    Display* client = XOpenDisplay(name);
    if (client == nullptr) return 1;
    const Window window = XCreateSimpleWindow(client, DefaultRootWindow(client), 100, 100, 640, 480, 0, 0, 0);
    XMapWindow(client, window);
    XSync(client, False);
    loop.runUntil([&] { return desktop->windowEntry(window).has_value(); });

    constexpr int calls = 2000;
    const auto time = [&](const char* what, const std::function<void(int)>& call) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; ++i)
            call(i);
        const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
        std::printf("x11 %-28s %8.1f us per call\n", what, spent.count() / calls);
    };
    time("windowBounds (every event)", [&](int) { (void)desktop->windowBounds(window); });
    time("displayBounds (every event)", [&](int) { (void)desktop->displayBounds(desktop->mainDisplay()); });
    time("windowEntry (a press)", [&](int) { (void)desktop->windowEntry(window); });
    time("onScreenWindows (a press)", [&](int) { (void)desktop->onScreenWindows(); });
    time("postInput (one move)", [&](int i) {
        (void)desktop->postInput({PointerMotion{{200.0 + i % 50, 200}, {}}, {}, 0});
    });
    XCloseDisplay(client);
    return 0;
}
