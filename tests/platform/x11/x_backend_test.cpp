// What only the X11 backend has, against the bare X server in $DISPLAY: the tests start and stop their own
// window manager and compositor, and the windows they look at belong to X test app processes.
// GoogleTest and Boost.JSON come before Xlib, whose macros (None, Bool) would rewrite their names.
#include <gtest/gtest.h>

#include <boost/json/serialize.hpp>

#include "x_test_support.hpp"

#include "platform/x11/x_connection.hpp"
#include "platform/x11/x_input.hpp"
#include "platform/x11/x_overlay.hpp"
#include "platform/x11/x_windows.hpp"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/extensions/XRes.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>

#include <chrono>
#include <cmath>
#include <map>

#include "support/stderr_capture.hpp"

namespace velmora::platform::x11 {
namespace {

using namespace std::chrono_literals;
using velmora::testing::ChildProcess;
using velmora::testing::XApp;

// A loaded Xvfb refuses a connection now and then while its queue of new ones is full.
std::unique_ptr<XConnection> connect() {
    for (int attempt = 0; attempt < 20; ++attempt)
        if (auto connection = XConnection::open(std::nullopt)) return connection;
    return nullptr;
}

class X11Bare : public ::testing::Test {
  protected:
    void SetUp() override {
        VELMORA_NEED_X_DISPLAY();
        // A server started without -noreset starts afresh when its last client leaves, refusing connections
        // for a moment; one connection kept for the whole run keeps it from doing so between tests. It is
        // never closed: a death test's child shares its socket and would close it at exit under our feet.
        static const XConnection* keeper = connect().release();
        ASSERT_TRUE(keeper && (x = connect()));
        windows = std::make_unique<XWindows>(*x);
        if (x->windowManager()) GTEST_SKIP() << "a window manager already runs on $DISPLAY";
        // Every change the tests wait for shows on the root: stacking, focus, the manager's properties.
        XSelectInput(x->display(), x->root(), PropertyChangeMask | SubstructureNotifyMask);
    }
    virtual void handle(const XEvent&) {}
    // Checks `done` each time the server reports something, or every tenth of a second, until it holds.
    bool await(const std::function<bool()>& done) {
        for (const auto deadline = std::chrono::steady_clock::now() + 10s; !done();) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            pollfd fd{x->fd(), POLLIN, 0};
            ::poll(&fd, 1, 100);
            for (XEvent event; XPending(x->display()) > 0; handle(event))
                XNextEvent(x->display(), &event);
        }
        return true;
    }
    void startWindowManager() {
        const std::vector<std::string> rc{"--config-file",
                                          VELMORA_SOURCE_DIR "/tests/platform/x11/openbox_rc.xml"};
        openbox = std::make_unique<ChildProcess>("/usr/bin/openbox", rc);
        ASSERT_TRUE(await([&] {
            // Started again when it could not connect (see connect()).
            if (openbox->waitForExit(0ms)) openbox = std::make_unique<ChildProcess>("/usr/bin/openbox", rc);
            return x->windowManager().has_value();
        })) << openbox->error();
        // The manager names itself before it takes windows on, and may drop a map request that comes in
        // between; a probe window mapped until it is managed says when test windows can come.
        const Window probe = XCreateSimpleWindow(x->display(), x->root(), 0, 0, 10, 10, 0, 0, 0);
        ASSERT_TRUE(await([&] {
            XMapWindow(x->display(), probe);
            const auto list = x->property32(x->root(), x->atom("_NET_CLIENT_LIST"), XA_WINDOW);
            return list && std::ranges::find(*list, probe) != list->end();
        }));
        XDestroyWindow(x->display(), probe);
        XSync(x->display(), False);
    }
    // The listed windows among `mine`, front first.
    std::vector<Window> listed(const std::vector<const XApp*>& mine) {
        std::vector<Window> result;
        for (const auto& entry : windows->onScreenWindows().value_or(std::vector<WindowEntry>{}))
            if (std::ranges::any_of(mine, [&](const XApp* w) { return w->window == entry.number; }))
                result.push_back(entry.number);
        return result;
    }

    std::unique_ptr<XConnection> x;
    std::unique_ptr<XWindows> windows;
    std::unique_ptr<ChildProcess> openbox;
};

// ---- windows -----------------------------------------------------------------------------------------

class X11WindowServer : public X11Bare, public ::testing::WithParamInterface<bool> {};

TEST_P(X11WindowServer, lists_front_first_finds_owners_and_raises_and_restores_on_request) {
    const bool managed = GetParam();
    if (managed) startWindowManager();
    XApp a({"--geometry", "300x200+100+100", "--class", "Alpha", "--pid", "424242"});
    XApp b({"--geometry", "300x200+200+150", "--class", "", "--instance", "beta", "--no-pid"});
    XApp c({"--geometry", "320x240+300+200", "--class", "Gamma"});
    EXPECT_TRUE(await([&] { return listed({&a, &b, &c}) == std::vector{c.window, b.window, a.window}; }));
    // The owner from _NET_WM_PID when the window has one, else from the server (X-Resource); the name from
    // the class, else the instance.
    for (const auto& [app, pid, name] :
         {std::tuple{&a, 424242L, "Alpha"}, {&b, b.pid(), "beta"}, {&c, c.pid(), "Gamma"}}) {
        const auto entry = windows->windowEntry(app->window);
        ASSERT_TRUE(entry) << name;
        EXPECT_EQ(entry->ownerPid, pid) << name;
        EXPECT_EQ(entry->ownerName, name);
    }
    // The client's rectangle: where it was asked for without a manager, inside the frame under one.
    const auto bounds = windows->windowEntry(c.window)->bounds.value();
    Window root = None, frame = c.window, parent = None, *children = nullptr;
    unsigned count = 0, fw = 0, fh = 0, border = 0, depth = 0;
    for (; XQueryTree(x->display(), frame, &root, &parent, &children, &count) && parent != root;
         frame = parent)
        XFree(children);
    XFree(children);
    int fx = 0, fy = 0;
    XGetGeometry(x->display(), frame, &root, &fx, &fy, &fw, &fh, &border, &depth);
    EXPECT_EQ((Size{bounds.width, bounds.height}), (Size{320, 240}));
    EXPECT_EQ(bounds.x == 300 && bounds.y == 200 && frame == c.window, !managed);
    EXPECT_EQ(bounds.y > fy, managed) << "below the title bar";
    EXPECT_TRUE(bounds.x + bounds.width <= fx + int(fw) && bounds.y + bounds.height <= fy + int(fh));

    EXPECT_TRUE(windows->raiseWindow(424242, a.window));
    EXPECT_TRUE(await([&] { return listed({&a, &b, &c}) == std::vector{a.window, c.window, b.window}; }));
    EXPECT_TRUE(await([&] { return windows->frontmostPid() == 424242; }));
    EXPECT_TRUE(windows->activateApplication(ProcessId(b.pid())));
    EXPECT_TRUE(await([&] {
        return listed({&a, &b}).front() == b.window && windows->frontmostPid() == b.pid();
    }));
    EXPECT_FALSE(windows->activateApplication(ProcessId(c.pid()) + 100000));
    // Minimised by a taskbar's request, or unmapped where nobody manages windows: found, not listed.
    managed ? c.send("iconify") : void(XUnmapWindow(x->display(), c.window));
    EXPECT_TRUE(await([&] { return listed({&c}).empty() && windows->windowEntry(c.window); }));
    EXPECT_TRUE(windows->raiseWindow(ProcessId(c.pid()), c.window));
    EXPECT_TRUE(await([&] { return listed({&c}).size() == 1; }));
    if (managed) return;
    XSetInputFocus(x->display(), x->root(), RevertToNone, CurrentTime);
    EXPECT_EQ(windows->frontmostPid(), std::nullopt) << "focus on the root belongs to no application";
}

INSTANTIATE_TEST_SUITE_P(X11, X11WindowServer, ::testing::Values(false, true), [](const auto& info) {
    return info.param ? "UnderOpenbox" : "WithoutWindowManager";
});

using X11Windows = X11Bare;

TEST_F(X11Windows, stale_properties_of_an_exited_window_manager_are_ignored) {
    startWindowManager();
    XApp early({});
    ASSERT_TRUE(await([&] { return listed({&early}).size() == 1; }));
    openbox.reset();  // killed: it cannot tidy the root
    ASSERT_TRUE(await([&] { return !x->windowManager(); }));
    ASSERT_TRUE(x->property32(x->root(), x->atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW));
    // A window mapped now is in none of the manager's lists; the root's children are read instead.
    XApp late({});
    EXPECT_TRUE(await([&] { return listed({&early, &late}) == std::vector{late.window, early.window}; }));
    EXPECT_TRUE(windows->raiseWindow(ProcessId(early.pid()), early.window));
    EXPECT_TRUE(await([&] { return listed({&early, &late}).front() == early.window; }));
    EXPECT_EQ(windows->frontmostPid(), early.pid());
}

TEST_F(X11Windows, what_is_missing_is_logged_once_when_connecting) {
    // Xvfb has every extension the backend uses.
    const auto& has = x->capabilities();
    EXPECT_TRUE(has.xtest && has.randrMonitors && has.shape && has.xfixes && has.xresClientIds);
    EXPECT_TRUE(windows->isTrusted());
    for (const bool managed : {false, true}) {
        if (managed) startWindowManager();
        velmora::testing::StderrCapture capture;
        ASSERT_TRUE(connect());
        const auto text = capture.text();
        const auto once = [&](const char* line) {
            return text.find(line) != text.npos && text.find(line) == text.rfind(line);
        };
        EXPECT_EQ(once("X11: no window manager runs: windows are raised and focused directly."), !managed);
        EXPECT_TRUE(once("X11: no compositing manager runs: overlays are drawn without transparency."));
        EXPECT_EQ(text.find("X11: the server has no"), std::string::npos);
    }
}

TEST_F(X11Windows, a_lost_connection_ends_the_process_with_a_log_line) {
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

// ---- input -------------------------------------------------------------------------------------------

// Input posted through XTest as the X test app's window (400x300 at 100,100, focused) receives it.
class X11Input : public X11Bare {
  protected:
    void SetUp() override {
        X11Bare::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        input = XInput::create(x->display());
        app = std::make_unique<XApp>(std::vector<std::string>{"--override-redirect"});
        XSetInputFocus(x->display(), app->window, RevertToParent, CurrentTime);
        // Every test starts with the pointer at the same place, away from every point the tests use.
        ASSERT_TRUE(input->post({PointerMotion{{490, 390}, {}}, {}}));
        collect();
    }
    // What the app received up to a press and release of Pause of our own, posted after everything before.
    std::vector<std::string> collect() {
        const KeyCode pause = XKeysymToKeycode(x->display(), XK_Pause);
        XTestFakeKeyEvent(x->display(), pause, True, CurrentTime);
        XTestFakeKeyEvent(x->display(), pause, False, CurrentTime);
        XFlush(x->display());
        std::vector<std::string> seen;
        for (auto& e : app->until(
                 "key", [](const auto& e) { return e.at("name") == "Pause" && !e.at("down").as_bool(); })) {
            std::string text(e.at("event").as_string()), name;
            if (const auto* n = e.if_contains("name")) name = n->as_string();
            if (name == "Pause" || text == "configure") continue;
            if (text == "key") text = (e.at("down").as_bool() ? "key+ " : "key- ") + name;
            if (text.starts_with("key+")) typed += e.at("text").as_string();
            if (text == "motion") text += " " + serialize(e["x"]) + "," + serialize(e["y"]);
            if (e.contains("button")) text += " " + serialize(e["button"]);
            const char* flags[] = {" +shift", " +lock", " +control", " +alt",     "",         "",
                                   "",        "",       " +button1", " +button2", " +button3"};
            for (unsigned bit = 0; bit < std::size(flags); ++bit)
                if (e.at("state").to_number<unsigned>() & (1u << bit)) text += flags[bit];
            seen.push_back(text);
        }
        return seen;
    }
    // Each character typed as a browser sends it (key down with the text, key up) and read back before the
    // next one, as a client reading its events does; what the app's key presses typed.
    std::string type(const std::u16string& text) {
        typed.clear();
        for (std::size_t i = 0; i < text.size();) {
            const auto character = text.substr(i, text[i] >= 0xD800 && text[i] <= 0xDBFF ? 2 : 1);  // UTF-16
            i += character.size();
            EXPECT_TRUE(input->post({KeyStroke{0, true, character}, {}}));
            EXPECT_TRUE(input->post({KeyStroke{0, false, character}, {}}));
            collect();
        }
        return typed;
    }

    std::unique_ptr<XInput> input;
    std::unique_ptr<XApp> app;
    std::string typed;
};

// Inputs at points of the app's window.
SyntheticInput click(int x, int y, PointerButton button, bool down, KeyModifiers modifiers = {}) {
    return {PointerPress{{100.0 + x, 100.0 + y}, button, down}, modifiers};
}
SyntheticInput key(std::uint16_t code, bool down, std::u16string text = {}, KeyModifiers modifiers = {}) {
    return {KeyStroke{code, down, std::move(text)}, modifiers};
}
SyntheticInput wheel(std::int32_t vertical, std::int32_t horizontal, WheelUnit unit = WheelUnit::pixel) {
    return {WheelScroll{{140, 140}, vertical, horizontal, unit},
            {}};  // where the rows before leave the pointer
}
// What the app sees of a wheel turned by these buttons, a click each.
std::vector<std::string> notches(std::initializer_list<int> buttons) {
    std::vector<std::string> seen;
    for (const int b : buttons)
        seen.insert(seen.end(), {"press " + std::to_string(b), "release " + std::to_string(b)});
    return seen;
}
constexpr auto left = PointerButton::left;
using Rows = std::vector<std::pair<std::vector<SyntheticInput>, std::vector<std::string>>>;

TEST_F(X11Input, arrives_as_the_client_sees_it) {
    const Rows rows = {
        // Modifiers wrap a click, and a key that stays down.
        {{click(40, 40, left, true, {.shift = true, .control = true}), click(40, 40, left, false)},
         {"key+ Shift_L", "key+ Control_L +shift", "motion 40,40 +shift +control", "press 1 +shift +control",
          "key- Control_L +shift +control +button1", "key- Shift_L +shift +button1", "release 1 +button1"}},
        {{key(1, true, u"s", {.control = true, .alternate = true}), key(1, false)},
         {"key+ Control_L", "key+ Alt_L +control", "key+ s +control +alt", "key- Alt_L +control +alt",
          "key- Control_L +control", "key- s"}},
        {{key(0, true, u"A"), key(0, false, u"A")},
         {"key+ Shift_L", "key+ A +shift", "key- Shift_L +shift", "key- a"}},
        // Keys without text by their code; F13 is on no key of the server's keyboard: a spare keycode.
        {{key(36, true), key(36, false), key(123, true), key(123, false), key(50, true), key(50, false),
          key(105, true), key(105, false)},
         {"key+ Return", "key- Return", "key+ Left", "key- Left", "key+ grave", "key- grave", "key+ F13",
          "key- F13"}},
        // A notch is 40 pixels or 3 lines; what is left is kept for the next delta the same way and unit.
        {{wheel(15, 0), wheel(15, 0), wheel(15, 0), wheel(35, 0)}, notches({4, 4})},
        {{wheel(30, 0), wheel(-30, 0), wheel(-30, 0)}, notches({5})},
        {{wheel(-130, 0), wheel(-30, 0)}, notches({5, 5, 5, 5})},
        {{wheel(0, 40), wheel(0, -100)}, notches({6, 7, 7})},
        {{wheel(1, 0, WheelUnit::line), wheel(2, 0, WheelUnit::line), wheel(-6, 0, WheelUnit::line)},
         notches({4, 5, 5})},
        {{wheel(20, 0), wheel(1, 0, WheelUnit::line), wheel(20, 0)}, {}},
    };
    // In order, each row with an input of its own; the pointer stays where the row before left it.
    for (const auto& [inputs, expected] : rows) {
        input = XInput::create(x->display());
        for (const auto& posted : inputs)
            EXPECT_TRUE(input->post(posted));
        EXPECT_EQ(collect(), expected);
    }
    EXPECT_FALSE(input->post(key(200, true))) << "a key code with no keysym and no text";
    EXPECT_FALSE(input->post({PointerMotion{{NAN, 10}, {}}, {}}));
    input->post(wheel(400000, 0, WheelUnit::line));
    EXPECT_EQ(collect().size(), 2u * WheelNotches::maxNotchesPerEvent) << "no wheel turns further at once";
}

TEST_F(X11Input, types_each_character_on_keys_and_spare_keycodes_whatever_caps_lock_says) {
    const auto capsLocked = [&] {
        XkbStateRec state{};
        XkbGetState(x->display(), XkbUseCoreKbd, &state);
        return (state.locked_mods & LockMask) != 0;
    };
    for (const bool caps : {true, false}) {
        XkbLockModifiers(x->display(), XkbUseCoreKbd, LockMask, caps ? LockMask : 0);
        EXPECT_EQ(type(u"aé€中A1!😀"), "aé€中A1!😀");
        EXPECT_EQ(capsLocked(), caps) << "Caps Lock is put back as it was";
    }
    // More characters than the keyboard has keycodes: spare ones are lent again, least recently used first.
    std::u16string many;
    std::string utf8;
    for (char16_t c = u'一'; c < u'一' + 300; ++c) {
        many += c;
        utf8 += {char(0xE0 | c >> 12), char(0x80 | (c >> 6 & 0x3F)), char(0x80 | (c & 0x3F))};
    }
    EXPECT_EQ(type(many), utf8);
}

// Presses made through XTest outlive the process: released on request, and when the input goes.
TEST_F(X11Input, lets_go_of_every_held_button_and_key) {
    const KeyCode a = XKeysymToKeycode(x->display(), XK_a);
    const auto held = [&] {
        Window root, child;
        int rootX, rootY, wx, wy;
        unsigned mask = 0;
        char keys[32];
        XQueryPointer(x->display(), x->root(), &root, &child, &rootX, &rootY, &wx, &wy, &mask);
        XQueryKeymap(x->display(), keys);
        return std::pair{(mask & Button1Mask) != 0, (keys[a / 8] & (1 << (a % 8))) != 0};
    };
    for (const bool destroy : {false, true}) {
        ASSERT_TRUE(input->post(click(70, 70, left, true)) && input->post(key(0, true)));
        ASSERT_TRUE(await([&] { return held() == std::pair{true, true}; }));
        destroy ? input.reset() : input->releaseAll();
        EXPECT_TRUE(await([&] { return held() == std::pair{false, false}; })) << "destroyed " << destroy;
    }
}

// ---- overlay -----------------------------------------------------------------------------------------

// A red disc of radius 30 at (60, 50) in top-left coordinates, whichever way the view's own y runs.
struct DiscView : View {
    bool flipped = true;
    void draw(Canvas& canvas, const Rect& bounds) override {
        canvas.setColor(Color{1, 0, 0, 1});
        canvas.fillOval(Rect{30, (flipped ? 50 : bounds.height - 50) - 30, 60, 60});
    }
    bool isFlipped() const override { return flipped; }
};

// With a compositor the window's alpha makes it see-through; without one it is cut to the ink's shape.
class X11Overlay : public X11Bare, public ::testing::WithParamInterface<bool> {
  protected:
    void handle(const XEvent& event) override {
        if (overlay) overlay->handleEvent(event);
    }
    // The colour on screen, as the root window shows it; the overlay drawn first, as the main loop does.
    unsigned long at(int px, int py) {
        if (overlay) overlay->displayIfNeeded();
        XImage* image = XGetImage(x->display(), x->root(), px, py, 1, 1, AllPlanes, ZPixmap);
        const unsigned long pixel = XGetPixel(image, 0, 0) & 0xffffff;
        XDestroyImage(image);
        return pixel;
    }
    std::unique_ptr<XOverlay> overlay;
};

TEST_P(X11Overlay, ink_covers_only_where_it_is_drawn_follows_its_frame_and_frees_what_it_made) {
    std::optional<ChildProcess> picom;
    if (GetParam())
        picom.emplace("/usr/bin/picom",
                      std::vector<std::string>{"--backend", "xrender", "--config", "/dev/null"});
    ASSERT_TRUE(await([&] { return compositorRunning(x->display()) == GetParam(); }));
    constexpr unsigned long red = 0xff0000, blue = 0x0000ff;
    const Window below = XCreateSimpleWindow(x->display(), x->root(), 0, 0, 800, 600, 0, 0, blue);
    XMapRaised(x->display(), below);
    // What the server holds for this connection by kind; Cairo's shared memory goes with the connection.
    const auto resources = [&] {
        int count = 0;
        XResType* types = nullptr;
        XResQueryClientResources(x->display(), below, &count, &types);
        std::map<std::string, int> held;
        for (int i = 0; i < count; ++i)
            held[x->atomName(types[i].resource_type).value_or("?")] = types[i].count;
        held.erase("ShmSeg");
        XFree(types);
        return held;
    };
    // The first round leaves behind what the connection keeps for good; the second, nothing more.
    std::map<std::string, int> before;
    for (const int round : {1, 2}) {
        const auto view = std::make_shared<DiscView>();
        overlay = XOverlay::create(x->display(), GetParam());
        overlay->setContentView(view);
        overlay->setFrame({100, 80, 200, 160});
        overlay->show();
        for (const bool flipped : {true, false}) {
            view->flipped = flipped;
            overlay->setNeedsDisplay();
            EXPECT_TRUE(await([&] { return at(160, 130) == red && at(200, 130) == blue; })) << flipped;
        }
        overlay->setFrame({300, 250, 210, 160});  // moved and wider: new buffers for the new size
        EXPECT_TRUE(
            await([&] { return at(360, 300) == red && at(400, 300) == blue && at(160, 130) == blue; }));
        overlay->hide();
        EXPECT_TRUE(await([&] { return at(360, 300) == blue; }));
        overlay->show();
        EXPECT_TRUE(await([&] { return at(360, 300) == red; }));
        overlay.reset();
        XSync(x->display(), False);
        if (round == 2) EXPECT_EQ(resources(), before);
        before = resources();
    }
}

INSTANTIATE_TEST_SUITE_P(X11, X11Overlay, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "compositor" : "plain"; });

}  // namespace
}  // namespace velmora::platform::x11
