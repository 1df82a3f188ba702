// GoogleTest comes before Xlib, whose macros (None, Bool) would rewrite its names.
#include <gtest/gtest.h>

#include "platform/x11/x_windows.hpp"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/x11/x_connection.hpp"
#include "platform/x11/x_display.hpp"
#include "support/child_process.hpp"
#include "support/stderr_capture.hpp"

namespace velmora::platform::x11 {
namespace {

using namespace std::chrono_literals;
using velmora::testing::ChildProcess;

// A window of another process; it goes away with the process.
struct TestWindow {
    std::unique_ptr<ChildProcess> process;
    Window id = None;
    std::int64_t pid() const { return process->pid(); }
};

// Tests against the X server in $DISPLAY. They start and stop their own window manager, so they refuse a
// server where one already runs.
class X11Test : public ::testing::Test {
  protected:
    void SetUp() override {
        VELMORA_NEED_X_DISPLAY();
        // A server started without -noreset starts afresh when its last client leaves, refusing
        // connections for a moment; one connection kept for the whole run keeps it from doing so
        // between tests. It is never closed: a death test's child shares its socket and would close
        // it at exit under the parent's feet.
        static const XConnection* keeper = connect().release();
        ASSERT_TRUE(keeper);
        x = connect();
        ASSERT_TRUE(x);
        windows = std::make_unique<XWindows>(*x);
        if (x->windowManager()) GTEST_SKIP() << "a window manager already runs on $DISPLAY";
        // Every change the tests wait for shows on the root: stacking, focus, the manager's properties.
        XSelectInput(x->display(), x->root(), PropertyChangeMask | SubstructureNotifyMask);
    }

    // A loaded Xvfb refuses a connection now and then while its queue of new ones is full; the helper
    // opens its connection once, a test run opens hundreds.
    static std::unique_ptr<XConnection> connect() {
        for (int attempt = 0; attempt < 20; ++attempt) {
            if (auto connection = XConnection::open(std::nullopt)) return connection;
        }
        return nullptr;
    }

    // Checks `done` each time the server reports something, until it holds or the deadline passes.
    bool await(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= 0s) return false;
            pollfd fd{x->fd(), POLLIN, 0};
            ::poll(
                &fd, 1,
                int(std::min<std::int64_t>(100, std::chrono::ceil<std::chrono::milliseconds>(left).count())));
            for (XEvent event; XPending(x->display()) > 0;)
                XNextEvent(x->display(), &event);
        }
        return true;
    }

    void startWindowManager() {
        const std::vector<std::string> arguments{"--config-file",
                                                 VELMORA_SOURCE_DIR "/tests/platform/x11/openbox_rc.xml"};
        openbox = std::make_unique<ChildProcess>("/usr/bin/openbox", arguments);
        ASSERT_TRUE(await([&] {
            // Started again when it could not connect (see connect()).
            if (openbox->waitForExit(0ms))
                openbox = std::make_unique<ChildProcess>("/usr/bin/openbox", arguments);
            return x->windowManager().has_value();
        })) << openbox->error();
        // The manager names itself before it takes windows on, and may drop a map request that comes in
        // between; a probe window mapped until it is managed says when test windows can come.
        const Window probe = XCreateSimpleWindow(x->display(), x->root(), 0, 0, 10, 10, 0, 0, 0);
        const Atom clients = x->atom("_NET_CLIENT_LIST");
        ASSERT_TRUE(await([&] {
            XMapWindow(x->display(), probe);
            const auto list = x->property32(x->root(), clients, XA_WINDOW);
            return list && std::ranges::find(*list, probe) != list->end();
        }));
        XDestroyWindow(x->display(), probe);
        XSync(x->display(), False);
    }

    TestWindow spawn(std::vector<std::string> arguments) {
        TestWindow window{std::make_unique<ChildProcess>(VELMORA_X11_TEST_WINDOW, arguments)};
        EXPECT_TRUE(window.process->waitFor([&] {
            return window.process->output().find('\n') != std::string::npos;
        })) << window.process->error();
        window.id =
            std::strtoul(window.process->output().c_str() + std::string("window ").size(), nullptr, 10);
        return window;
    }

    // The listed windows among `mine`, front first.
    std::vector<Window> listed(const std::vector<const TestWindow*>& mine) {
        std::vector<Window> result;
        for (const auto& entry : windows->onScreenWindows().value_or(std::vector<WindowEntry>{})) {
            if (std::ranges::any_of(mine, [&](const TestWindow* w) { return w->id == entry.number; }))
                result.push_back(entry.number);
        }
        return result;
    }

    std::unique_ptr<XConnection> x;
    std::unique_ptr<XWindows> windows;
    std::unique_ptr<ChildProcess> openbox;
};

class WindowServerTest : public X11Test, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        X11Test::SetUp();
        if (!IsSkipped() && !HasFatalFailure() && GetParam()) startWindowManager();
    }
};

TEST_P(WindowServerTest, ListsFrontFirstAndRaisesOnRequest) {
    auto a = spawn({"--at", "100,100,300,200", "--class", "Alpha", "--pid", "424242"});
    auto b = spawn({"--at", "200,150,300,200", "--class", "", "--instance", "beta"});
    auto c = spawn({"--at", "300,200,320,240", "--class", "Gamma", "--own-pid"});
    EXPECT_TRUE(await([&] { return listed({&a, &b, &c}) == std::vector{c.id, b.id, a.id}; }));

    // The owner comes from _NET_WM_PID when the window has one, else from the server; the name from the
    // class, else the instance.
    const struct {
        const TestWindow& window;
        std::int64_t pid;
        std::string name;
    } owners[] = {{a, 424242, "Alpha"}, {b, b.pid(), "beta"}, {c, c.pid(), "Gamma"}};
    for (const auto& expected : owners) {
        const auto entry = windows->windowEntry(expected.window.id);
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->ownerPid, expected.pid) << expected.name;
        EXPECT_EQ(entry->ownerName, expected.name);
        EXPECT_EQ(entry->layer, layer::ordinary) << expected.name;
    }

    // The client's rectangle: where it was asked for without a manager, inside the frame under one.
    const auto bounds = windows->windowEntry(c.id)->bounds.value();
    if (!GetParam()) {
        EXPECT_EQ(bounds, (Rect{300, 200, 320, 240}));
    } else {
        Window root = None, frame = c.id, parent = None, *children = nullptr;
        unsigned count = 0;
        while (XQueryTree(x->display(), frame, &root, &parent, &children, &count) && parent != root) {
            XFree(children);
            frame = parent;
        }
        XFree(children);
        int fx = 0, fy = 0;
        unsigned fw = 0, fh = 0, border = 0, depth = 0;
        XGetGeometry(x->display(), frame, &root, &fx, &fy, &fw, &fh, &border, &depth);
        EXPECT_NE(frame, c.id);
        EXPECT_EQ(bounds.width, 320);
        EXPECT_EQ(bounds.height, 240);
        EXPECT_GT(bounds.y, fy);  // below the title bar
        EXPECT_LE(bounds.x + bounds.width, fx + int(fw));
        EXPECT_LE(bounds.y + bounds.height, fy + int(fh));
    }

    EXPECT_TRUE(windows->raiseWindow(424242, a.id));
    EXPECT_TRUE(await([&] { return listed({&a, &b, &c}) == std::vector{a.id, c.id, b.id}; }));
    EXPECT_TRUE(await([&] { return windows->frontmostPid() == 424242; }));

    EXPECT_TRUE(windows->activateApplication(ProcessId(b.pid())));
    EXPECT_TRUE(await([&] { return listed({&a, &b, &c}).front() == b.id; }));
    EXPECT_TRUE(await([&] { return windows->frontmostPid() == b.pid(); }));
    EXPECT_FALSE(windows->activateApplication(ProcessId(c.pid()) + 100000));
}

TEST_P(WindowServerTest, MinimisedIsFoundByIdButNotListedUntilRaised) {
    auto w = spawn({"--at", "50,60,200,100", "--own-pid"});
    ASSERT_TRUE(await([&] { return listed({&w}).size() == 1; }));
    if (GetParam()) {
        // What a taskbar's minimise button sends.
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = w.id;
        event.xclient.message_type = XInternAtom(x->display(), "WM_CHANGE_STATE", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = IconicState;
        XSendEvent(x->display(), x->root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    } else {
        XUnmapWindow(x->display(), w.id);  // all that hiding amounts to without a manager
    }
    XFlush(x->display());
    EXPECT_TRUE(await([&] { return listed({&w}).empty(); }));
    const auto entry = windows->windowEntry(w.id);
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->ownerPid, w.pid());
    EXPECT_EQ(entry->bounds->width, 200);

    EXPECT_TRUE(windows->raiseWindow(ProcessId(w.pid()), w.id));
    EXPECT_TRUE(await([&] { return listed({&w}).size() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(X11, WindowServerTest, ::testing::Values(false, true), [](const auto& info) {
    return info.param ? "UnderOpenbox" : "WithoutWindowManager";
});

TEST_F(X11Test, LayersFollowTheWindowsKind) {
    auto ordinary = spawn({});
    auto dock = spawn({"--dock"});
    auto above = spawn({"--above"});
    auto menu = spawn({"--override-redirect"});
    const struct {
        const TestWindow& window;
        std::int64_t layer;
    } cases[] = {{ordinary, layer::ordinary},
                 {dock, layer::dock},
                 {above, layer::above},
                 {menu, layer::overrideRedirect}};
    const auto list = windows->onScreenWindows().value();
    for (const auto& expected : cases) {
        const auto entry = std::ranges::find(list, WindowId(expected.window.id), &WindowEntry::number);
        ASSERT_NE(entry, list.end());
        EXPECT_EQ(entry->layer, expected.layer);
    }
}

TEST_F(X11Test, MonitorsAreTheDisplaysAndThePrimaryIsMain) {
    if (!x->capabilities().randrMonitors) GTEST_SKIP() << "the server has no RandR 1.5 monitors";
    Display* display = x->display();
    const int width = DisplayWidth(display, x->screen()), height = DisplayHeight(display, x->screen());
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, x->root());
    ASSERT_TRUE(resources && resources->noutput > 0);
    // The left monitor takes the screen's output, so that the server's own monitor for it gives way.
    const struct {
        const char* name;
        int x;
        bool primary;
        bool output;
    } halves[] = {{"VELMORA-LEFT", 0, true, true}, {"VELMORA-RIGHT", width / 2, false, false}};
    for (const auto& half : halves) {
        XRRMonitorInfo* monitor = XRRAllocateMonitor(display, half.output ? 1 : 0);
        monitor->name = x->atom(half.name);
        monitor->x = half.x;
        monitor->width = width / 2;
        monitor->height = height;
        monitor->mwidth = 254;
        monitor->mheight = 286;
        monitor->primary = half.primary;
        if (half.output) monitor->outputs[0] = resources->outputs[0];
        XRRSetMonitor(display, x->root(), monitor);
        XRRFreeMonitors(monitor);
    }
    XRRFreeScreenResources(resources);
    XSync(display, False);

    auto displays = windows->displays();
    std::ranges::sort(displays, {}, [](const XMonitor& d) { return d.bounds.x; });
    ASSERT_EQ(displays.size(), 2u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(displays[i].id, x->atom(halves[i].name));
        EXPECT_EQ(displays[i].name, halves[i].name);
        EXPECT_EQ(displays[i].bounds, (Rect{double(halves[i].x), 0, double(width / 2), double(height)}));
        EXPECT_EQ(displays[i].pixelsWide, std::size_t(width / 2));
        EXPECT_EQ(displays[i].pixelsHigh, std::size_t(height));
    }
    EXPECT_EQ(windows->mainDisplay(), x->atom("VELMORA-LEFT"));

    for (const auto& half : halves)
        XRRDeleteMonitor(display, x->root(), x->atom(half.name));
    XSync(display, False);
    displays = windows->displays();
    ASSERT_EQ(displays.size(), 1u);
    EXPECT_EQ(displays[0].bounds, (Rect{0, 0, double(width), double(height)}));
    EXPECT_EQ(windows->mainDisplay(), displays[0].id);
}

TEST_F(X11Test, StalePropertiesOfAnExitedWindowManagerAreIgnored) {
    startWindowManager();
    auto early = spawn({"--own-pid"});
    ASSERT_TRUE(await([&] { return listed({&early}).size() == 1; }));
    openbox.reset();  // killed: it cannot tidy the root
    ASSERT_TRUE(await([&] { return !x->windowManager(); }));
    ASSERT_TRUE(x->property32(x->root(), x->atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW));

    // A window mapped now is in none of the manager's lists; the root's children are read instead.
    auto late = spawn({"--own-pid"});
    EXPECT_TRUE(await([&] { return listed({&early, &late}) == std::vector{late.id, early.id}; }));
    EXPECT_TRUE(windows->raiseWindow(ProcessId(early.pid()), early.id));
    EXPECT_TRUE(await([&] { return listed({&early, &late}).front() == early.id; }));
    EXPECT_EQ(windows->frontmostPid(), early.pid());
}

TEST_F(X11Test, WhatIsMissingIsLoggedWhenConnecting) {
    // Xvfb has every extension the backend uses.
    const auto& has = x->capabilities();
    EXPECT_TRUE(has.xtest && has.randrMonitors && has.shape && has.xfixes && has.xresClientIds);
    EXPECT_TRUE(windows->isTrusted());
    for (const bool managed : {false, true}) {
        if (managed) startWindowManager();
        velmora::testing::StderrCapture capture;
        ASSERT_TRUE(connect());
        EXPECT_EQ(capture.text().find("X11: no window manager runs") == std::string::npos, managed);
        EXPECT_EQ(capture.text().find("X11: the server has no") == std::string::npos, true);
    }
}

TEST_F(X11Test, AVanishedWindowIsAnAbsenceNotAnEnd) {
    auto other = connect();
    ASSERT_TRUE(other);
    const Window gone = XCreateSimpleWindow(other->display(), other->root(), 0, 0, 10, 10, 0, 0, 0);
    XDestroyWindow(other->display(), gone);
    XSync(other->display(), False);

    EXPECT_FALSE(windows->windowEntry(gone));
    EXPECT_FALSE(windows->raiseWindow(1, gone));
    EXPECT_FALSE(x->succeeded([&] { XMapWindow(x->display(), gone); }));
    // Outside a trap too the error is recorded (and logged), never fatal.
    const auto before = XConnection::errorCount();
    velmora::testing::StderrCapture capture;
    XMapWindow(x->display(), gone);
    XSync(x->display(), False);
    EXPECT_EQ(XConnection::errorCount(), before + 1);
    EXPECT_EQ(XConnection::lastError().errorCode, BadWindow);
    EXPECT_NE(capture.text().find("X11: a request failed unexpectedly"), std::string::npos);
    EXPECT_FALSE(XConnection::open(":4093"));
}

TEST_F(X11Test, ALostConnectionEndsTheProcessWithALogLine) {
    EXPECT_EXIT(
        {
            auto doomed = connect();
            auto killer = connect();
            const Window own = XCreateSimpleWindow(doomed->display(), doomed->root(), 0, 0, 10, 10, 0, 0, 0);
            XSync(doomed->display(), False);
            XKillClient(killer->display(), own);
            XSync(killer->display(), False);
            XSync(doomed->display(), False);
        },
        ::testing::ExitedWithCode(EXIT_FAILURE), "X11: the connection to the X server was lost");
}

}  // namespace
}  // namespace velmora::platform::x11
