// The desktop contract, what the program relies on of any desktop, on the simulated one and on the X session
// in $DISPLAY (a window manager, a compositor, two monitors); then what only the X11 backend's parts do, on a
// bare server. Both with X test app windows. Xlib comes last: its macros rewrite names.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "platform/sim/sim_desktop.hpp"
#include "platform/x11/x11_desktop.hpp"
#include "support/child_process.hpp"
#include "support/stderr_capture.hpp"

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

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>

// In a test's SetUp: without a display the test is skipped, or fails when VELMORA_REQUIRE_X11=1 promised one.
#define VELMORA_NEED_X_DISPLAY()                                                                         \
    if (const char* display = std::getenv("DISPLAY"); display == nullptr || *display == '\0') {          \
        ASSERT_STRNE(std::getenv("VELMORA_REQUIRE_X11"), "1") << "VELMORA_REQUIRE_X11=1 but no DISPLAY"; \
        GTEST_SKIP() << "DISPLAY is not set; start an X session with scripts/x-session";                 \
    }

namespace velmora::platform::x11 {
namespace {

// The X test app (tests/support/apps/x_test_app.cpp) as a child, its JSON lines read as they arrive.
class XApp {
  public:
    using Event = boost::json::object;

    explicit XApp(const std::vector<std::string>& arguments)
        : process_(VELMORA_X_TEST_APP_BINARY, arguments) {
        if (const auto ready = await("ready")) window = ready->at("window").to_number<std::uint32_t>();
        EXPECT_NE(window, 0u) << process_.error();
    }
    // The next event of `kind` that matches; the events before it are passed over, into `before` if given.
    std::optional<Event> await(const std::string& kind, const std::function<bool(const Event&)>& match = {},
                               std::vector<Event>* before = nullptr) {
        std::optional<Event> found;
        EXPECT_TRUE(process_.waitFor([&] {
            for (std::size_t n; !found && (n = process_.output().find('\n', read_)) != std::string::npos;) {
                Event event = boost::json::parse(process_.output().substr(read_, n - read_)).as_object();
                read_ = n + 1;
                if (event.at("event") == kind.c_str() && (!match || match(event))) found = std::move(event);
                if (!found && before) before->push_back(std::move(event));
            }
            return found.has_value();
        })) << kind;
        return found;
    }
    void send(const std::string& command) { process_.writeLine(command); }
    long pid() const { return process_.pid(); }

    std::uint32_t window = 0;  // X ids have 29 bits

  private:
    testing::ChildProcess process_;
    std::size_t read_ = 0;
};

// Which of the windows `mine` a desktop, or the X11 backend's list of them, has on screen, front first.
std::vector<WindowId> listed(auto& desktop, const std::vector<WindowId>& mine) {
    std::vector<WindowId> order;
    for (const auto& entry : desktop.onScreenWindows().value_or(std::vector<WindowEntry>{}))
        if (std::ranges::count(mine, entry.number)) order.push_back(entry.number);
    return order;
}

class DesktopContract : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (!GetParam()) {
            sim::SimScene scene;
            scene.trusted = true;
            scene.displays = {{7, "VELMORA-LEFT", Rect{0, 0, 960, 1080}, 960, 1080},
                              {8, "VELMORA-RIGHT", Rect{960, 0, 960, 1080}, 960, 1080}};
            desktop.reset(sim = new sim::SimDesktop(loop, scene));
            return;
        }
        VELMORA_NEED_X_DISPLAY();
        // The terminal menu reads and writes a pipe nobody uses, one for the whole run.
        static int menu[2] = {-1, -1};
        ASSERT_TRUE(menu[0] >= 0 || ::pipe(menu) == 0);
        desktop = x11::X11Desktop::connect(loop, menu[0], menu[1], [] {});
        ASSERT_NE(desktop, nullptr) << "cannot open the display";
    }
    // Runs the loop until `done` holds: the X11 desktop answers through it, the sim at once.
    bool await(const std::function<bool()>& done) { return loop.runUntil(done, std::chrono::seconds(20)); }

    // A window whose content is about `r`, and its owner's process; the desktop's own bounds are what count.
    std::pair<WindowId, ProcessId> open(const std::string& owner, Rect r) {
        if (sim) {
            const WindowId id = 100 + sim->scene().windows.size();
            sim->scene().windows.insert(sim->scene().windows.begin(), {id, 7000 + id, owner, r, 0});
            return {id, 7000 + id};
        }
        const auto geometry = std::to_string(int(r.width)) + "x" + std::to_string(int(r.height)) + "+" +
                              std::to_string(int(r.x)) + "+" + std::to_string(int(r.y));
        const auto& app = apps.emplace_back(
            std::make_unique<XApp>(std::vector<std::string>{"--class", owner, "--geometry", geometry}));
        // Mapped is not yet managed: the window counts once the manager lists it.
        EXPECT_TRUE(await([&] { return listed(*desktop, {app->window}).size() == 1; }));
        return {app->window, app->pid()};
    }

    MainLoop loop;
    std::unique_ptr<Platform> desktop;
    sim::SimDesktop* sim = nullptr;
    std::vector<std::unique_ptr<XApp>> apps;  // the client processes on X11
};

// Raising brings a window forward, activating makes its process frontmost, and a minimised window is found
// by its number but not listed. Two monitors side by side, each a named screen.
TEST_P(DesktopContract, lists_windows_front_first_with_owners_and_bounds_and_displays_side_by_side) {
    const auto [back, backPid] = open("VelmoraBack", {100, 100, 400, 300});
    const auto [front, frontPid] = open("VelmoraFront", {300, 200, 320, 240});
    EXPECT_TRUE(await([&] { return listed(*desktop, {back, front}) == std::vector{front, back}; }));
    for (const auto& [id, pid, owner, size] : {std::tuple{back, backPid, "VelmoraBack", Size{400, 300}},
                                               {front, frontPid, "VelmoraFront", Size{320, 240}}}) {
        const auto entry = desktop->windowEntry(id);
        ASSERT_TRUE(entry.has_value());
        EXPECT_EQ(std::tuple(entry->ownerPid, entry->ownerName, entry->layer), std::tuple(pid, owner, 0));
        EXPECT_EQ((Size{entry->bounds.value().width, entry->bounds.value().height}), size);
        EXPECT_EQ(desktop->windowBounds(id), entry->bounds) << "the input path's lookup agrees";
    }
    EXPECT_FALSE(desktop->windowEntry(0x7ffffff0) || desktop->windowBounds(0x7ffffff0));
    desktop->raiseWindow(backPid, back);
    EXPECT_TRUE(await([&] { return listed(*desktop, {back, front}) == std::vector{back, front}; }));
    EXPECT_TRUE(desktop->activateApplication(frontPid));
    EXPECT_TRUE(await([&] { return desktop->frontmostApplication() == frontPid; }));
    sim ? void(std::ranges::find(sim->scene().windows, back, &sim::SimWindow::id)->onScreen = false)
        : apps.front()->send("iconify");
    EXPECT_TRUE(await([&] { return listed(*desktop, {back, front}) == std::vector{front}; }));
    EXPECT_TRUE(desktop->windowEntry(back).has_value());
    const auto ids = desktop->activeDisplays(16);
    const auto screens = desktop->screens();
    ASSERT_TRUE(ids.size() == 2 && screens.size() == 2);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(desktop->displayBounds(ids[i]), (Rect{960.0 * i, 0, 960, 1080}));
        EXPECT_EQ(desktop->displayPixelsWide(ids[i]) + desktop->displayPixelsHigh(ids[i]), 960u + 1080u);
        EXPECT_EQ(std::tuple(screens[i].displayId, screens[i].localizedName),
                  std::tuple(ids[i], i == 0 ? "VELMORA-LEFT" : "VELMORA-RIGHT"));
    }
    EXPECT_TRUE(desktop->displayBounds(0x7ffffff0).isEmpty());
}

// The ink's window covers the target exactly; the reviewer's clicks, posted at global points, must still land
// at the point inside the target, with their button, whole pixels rounded.
TEST_P(DesktopContract, posted_clicks_land_at_their_point_in_the_window_through_an_overlay_over_it) {
    const auto [id, pid] = open("VelmoraUnderInk", {200, 150, 400, 300});
    desktop->raiseWindow(pid, id);
    const Rect bounds = desktop->windowBounds(id).value();
    auto overlay = desktop->createOverlayWindow({});
    overlay->setFrame(bounds, false);
    overlay->show();
    loop.drain();
    EXPECT_TRUE(overlay->isVisible() && overlay->frame() == bounds);
    using enum PointerButton;
    for (const auto& [x, y, button] :
         {std::tuple{10.0, 20.0, left}, {399.0, 299.0, right}, {200.4, 150.6, left}}) {
        const Point at{bounds.x + x, bounds.y + y};
        for (const bool down : {true, false})
            EXPECT_TRUE(desktop->postInput({PointerPress{at, button, down}, {}, 0}));
        Point landed{-1, -1};
        if (sim) {
            const auto& e = sim->postedEvents().at(sim->postedEvents().size() - 2);
            landed = {e.location.x - bounds.x, e.location.y - bounds.y};
        } else if (const auto e = apps.back()->await("press")) {
            landed = {e->at("x").to_number<double>(), e->at("y").to_number<double>()};
            EXPECT_EQ(e->at("button"), button == left ? 1 : 3);
        }
        EXPECT_NEAR(landed.x, x, 0.5);
        EXPECT_NEAR(landed.y, y, 0.5);
    }
    overlay->hide();
    EXPECT_FALSE(overlay->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Backends, DesktopContract, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "x11" : "sim"; });

// A loaded Xvfb refuses a connection now and then while its queue of new ones is full.
std::unique_ptr<XConnection> connect() {
    for (int attempt = 0; attempt < 20; ++attempt)
        if (auto connection = XConnection::open(std::nullopt)) return connection;
    return nullptr;
}

class X11 : public ::testing::Test {
  protected:
    void SetUp() override {
        VELMORA_NEED_X_DISPLAY();
        // A server started without -noreset starts afresh when its last client leaves, refusing connections
        // for a moment; one connection kept for the whole run keeps it from doing so between tests.
        static const auto keeper = connect();
        ASSERT_TRUE(keeper && (x = connect()));
        windows = std::make_unique<XWindows>(*x);
        if (x->windowManager()) GTEST_SKIP() << "a window manager already runs on $DISPLAY";
        // Every change the tests wait for shows on the root: stacking, focus, properties.
        XSelectInput(x->display(), x->root(), PropertyChangeMask | SubstructureNotifyMask);
    }
    // Checks `done` each time the server reports something, or every tenth of a second, until it holds.
    bool await(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (pollfd fd{x->fd(), POLLIN, 0}; !done(); ::poll(&fd, 1, 100)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            for (XEvent event; XPending(x->display()) > 0;)
                if (XNextEvent(x->display(), &event), overlay) overlay->handleEvent(event);
        }
        return true;
    }

    // What the app received up to a press and release of Pause of our own, posted after everything before.
    std::vector<std::string> collect() {
        for (const Bool down : {True, False})
            XTestFakeKeyEvent(x->display(), XKeysymToKeycode(x->display(), XK_Pause), down, CurrentTime);
        XFlush(x->display());
        std::vector<XApp::Event> events;
        app->await(
            "key", [](const auto& e) { return e.at("name") == "Pause" && !e.at("down").as_bool(); }, &events);
        std::vector<std::string> seen;
        for (auto& e : events) {
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
    // Types each character as a browser sends it, read back before the next one as a client reads its events.
    std::string type(const std::u16string& text) {
        typed.clear();
        for (std::size_t i = 0, n = 1; i < text.size(); i += n) {
            n = text[i] >= 0xD800 && text[i] <= 0xDBFF ? 2 : 1;  // a UTF-16 surrogate pair
            EXPECT_TRUE(input->post({KeyStroke{0, true, text.substr(i, n)}, {}}) &&
                        input->post({KeyStroke{0, false, text.substr(i, n)}, {}}));
            collect();
        }
        return typed;
    }
    // The colour on screen, as the root window shows it; the overlay drawn first, as the main loop does.
    unsigned long at(int px, int py) {
        if (overlay) overlay->displayIfNeeded();
        XImage* image = XGetImage(x->display(), x->root(), px, py, 1, 1, AllPlanes, ZPixmap);
        const unsigned long pixel = XGetPixel(image, 0, 0) & 0xffffff;
        XDestroyImage(image);
        return pixel;
    }

    std::unique_ptr<XConnection> x;
    std::unique_ptr<XWindows> windows;
    std::unique_ptr<XInput> input;
    std::unique_ptr<XApp> app;
    std::string typed;
    std::unique_ptr<XOverlay> overlay;
};

// Xlib gives up on a lost connection whatever its handler does; the helper says why in its log as it ends.
TEST_F(X11, finds_owners_raises_trusts_only_a_live_manager_and_logs_a_lost_connection) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a new process: it shares no connection with this one
    EXPECT_EXIT(
        {
            // The server drops a client that kills itself. The connection stays owned here, since the
            // process ends inside Xlib with it still in use.
            const auto doomed = connect();
            XKillClient(doomed->display(),
                        XCreateSimpleWindow(doomed->display(), x->root(), 0, 0, 1, 1, 0, 0, 0));
            XSync(doomed->display(), False);
        },
        ::testing::ExitedWithCode(EXIT_FAILURE),
        "X11: the connection to the X server was lost; the helper ends\\.");
    XApp a({"--class", "Alpha", "--pid", "424242"});
    XApp b({"--class", "", "--instance", "beta", "--pid", ""});
    // The owner from _NET_WM_PID, else from the server (X-Resource); the name from the class, else the
    // instance.
    for (const auto& [app, pid, name] : {std::tuple{&a, 424242L, "Alpha"}, {&b, b.pid(), "beta"}}) {
        const auto entry = windows->windowEntry(app->window);
        ASSERT_TRUE(entry) << name;
        EXPECT_EQ(std::tuple(entry->ownerPid, entry->ownerName), std::tuple(pid, name));
    }
    // Raised and focused directly.
    EXPECT_TRUE(windows->raiseWindow(424242, a.window));
    EXPECT_TRUE(await([&] {
        return listed(*windows, {a.window, b.window}).front() == a.window &&
               windows->frontmostPid() == 424242;
    }));
    XSetInputFocus(x->display(), x->root(), RevertToNone, CurrentTime);
    EXPECT_EQ(windows->frontmostPid(), std::nullopt) << "focus on the root belongs to no application";
    // A manager that was killed leaves its window named on the root: gone, it is not trusted.
    const Window gone = XCreateSimpleWindow(x->display(), x->root(), 0, 0, 1, 1, 0, 0, 0);
    XChangeProperty(x->display(), x->root(), x->atom("_NET_SUPPORTING_WM_CHECK"), XA_WINDOW, 32,
                    PropModeReplace, reinterpret_cast<const unsigned char*>(&gone), 1);
    XDestroyWindow(x->display(), gone);
    EXPECT_EQ(x->windowManager(), std::nullopt);
    XDeleteProperty(x->display(), x->root(), x->atom("_NET_SUPPORTING_WM_CHECK"));
    // Connecting logs what is missing, after the time (Xvfb has every extension the backend uses).
    testing::StderrCapture capture;
    EXPECT_TRUE(connect());
    const std::string stamp = R"(\[[^]]+\] )";
    EXPECT_THAT(capture.text(),
                ::testing::MatchesRegex(
                    stamp + "X11: no compositing manager runs: overlays are drawn without transparency\\.\n" +
                    stamp + "X11: no window manager runs: windows are raised and focused directly\\.\n"));
}

// Inputs at points of the app's window.
SyntheticInput click(double x, double y, bool down, KeyModifiers modifiers = {},
                     PointerButton b = PointerButton::left) {
    return {PointerPress{{100 + x, 100 + y}, b, down}, modifiers};
}
SyntheticInput key(std::uint16_t code, bool down, std::u16string text = {}, KeyModifiers modifiers = {}) {
    return {KeyStroke{code, down, std::move(text)}, modifiers};
}
// At the point the rows before leave the pointer.
SyntheticInput wheel(std::int32_t vertical, std::int32_t horizontal, WheelUnit unit = WheelUnit::pixel) {
    return {WheelScroll{{140, 140}, vertical, horizontal, unit}, {}};
}
// What the app sees of a wheel turned by these buttons, a click each.
std::vector<std::string> notches(std::initializer_list<int> buttons) {
    std::vector<std::string> seen;
    for (const int b : buttons)
        seen.insert(seen.end(), {"press " + std::to_string(b), "release " + std::to_string(b)});
    return seen;
}

// Input posted through XTest as the X test app's window (400x300 at 100,100, focused) receives it.
TEST_F(X11, arrives_as_the_client_sees_it_and_types_any_character_whatever_caps_lock_says) {
    input = XInput::create(x->display());
    app = std::make_unique<XApp>(std::vector<std::string>{});
    XSetInputFocus(x->display(), app->window, RevertToParent, CurrentTime);
    ASSERT_TRUE(input->post({PointerMotion{{490, 390}, {}}, {}}));  // away from every point used below
    collect();
    const std::vector<std::pair<std::vector<SyntheticInput>, std::vector<std::string>>> rows = {
        // XTest's presses outlive the process: let go when the input goes (next row). Points are rounded.
        {{click(50.6, 60.4, true, {}, PointerButton::right), key(0, true)},
         {"motion 51,60", "press 3", "key+ a +button3"}},
        {{}, {"release 3 +button3", "key- a"}},
        // Modifiers wrap a click, and a key that stays down, let go in the reverse order.
        {{click(40, 40, true, {.shift = true, .control = true}), click(40, 40, false)},
         {"key+ Shift_L", "key+ Control_L +shift", "motion 40,40 +shift +control", "press 1 +shift +control",
          "key- Control_L +shift +control +button1", "key- Shift_L +shift +button1", "release 1 +button1"}},
        // Keys without text by their code; F13 is on no key of the server's keyboard: a spare keycode.
        {{key(36, true), key(36, false), key(105, true), key(105, false)},
         {"key+ Return", "key- Return", "key+ F13", "key- F13"}},
        // A notch is 40 pixels or 3 lines; what is left is kept for the next delta the same way and unit.
        {{wheel(15, 0), wheel(15, 0), wheel(15, 0), wheel(35, 0)}, notches({4, 4})},
        {{wheel(30, 0), wheel(-30, 0), wheel(-30, 0)}, notches({5})},
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
    input->post(wheel(400000, 0, WheelUnit::line));
    EXPECT_EQ(collect().size(), 2u * WheelNotches::maxNotchesPerEvent) << "no wheel turns further at once";
    for (const bool caps : {true, false}) {
        XkbLockModifiers(x->display(), XkbUseCoreKbd, LockMask, caps ? LockMask : 0);
        EXPECT_EQ(type(u"aé€中A1!\"\\😀"), "aé€中A1!\"\\😀");
        XkbStateRec state{};
        XkbGetState(x->display(), XkbUseCoreKbd, &state);
        EXPECT_EQ((state.locked_mods & LockMask) != 0, caps) << "Caps Lock is put back as it was";
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

// A red disc of radius 30 at (60, 50).
struct DiscView : View {
    void draw(Canvas& canvas, const Rect&) override {
        canvas.setColor(Color{1, 0, 0, 1});
        canvas.fillOval(Rect{30, 20, 60, 60});
    }
    bool isFlipped() const override { return true; }
};

// Without a compositor the window is cut to the shape of its ink (with one, on the full session, its alpha
// makes it see-through: the browser test sees that).
TEST_F(X11, ink_covers_only_where_it_is_drawn_follows_its_frame_and_frees_what_it_made) {
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
        XFree(types);
        return held.erase("ShmSeg"), held;
    };
    // The first round leaves behind what the connection keeps for good; the second, nothing more.
    std::map<std::string, int> before;
    for (const int round : {1, 2}) {
        overlay = XOverlay::create(x->display(), false);
        overlay->setContentView(std::make_shared<DiscView>());
        overlay->setFrame({100, 80, 200, 160});
        overlay->show();
        overlay->setNeedsDisplay();
        EXPECT_TRUE(await([&] { return at(160, 130) == red && at(200, 130) == blue; }));
        overlay->setFrame({300, 250, 210, 160});  // moved and wider: new buffers for the new size
        EXPECT_TRUE(
            await([&] { return at(360, 300) == red && at(400, 300) == blue && at(160, 130) == blue; }));
        overlay.reset();
        XSync(x->display(), False);
        if (round == 1) before = resources();
        EXPECT_EQ(resources(), before);
    }
}

}  // namespace
}  // namespace velmora::platform::x11
