// The X test session (scripts/x-session) and the recording test app, checked against each other: what the
// tests of the X backend take for granted.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/x_test_app.hpp"

// After every other header, which Xlib's macros would break.
#include "platform/x11/x_display.hpp"

#include <X11/Xatom.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>
#include <X11/keysym.h>

namespace velmora::platform::x11::testing {
namespace {

using velmora::testing::XTestApp;

// Where the window's top-left corner is on the screen.
std::pair<int, int> screenOrigin(Display* display, Window window) {
    int x = 0, y = 0;
    Window child = None;
    XTranslateCoordinates(display, window, DefaultRootWindow(display), 0, 0, &x, &y, &child);
    return {x, y};
}

// Characters the keyboard lacks, each given a keycode nothing was mapped to, for as long as it lives.
class SpareKeys {
  public:
    SpareKeys(Display* display, const std::vector<KeySym>& keysyms) : display_(display) {
        int min = 0, max = 0, perCode = 0;
        XDisplayKeycodes(display, &min, &max);
        KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(min), max - min + 1, &perCode);
        for (int code = max; code >= min && codes_.size() < keysyms.size(); --code) {
            const KeySym* syms = map + (code - min) * perCode;
            if (std::all_of(syms, syms + perCode, [](KeySym s) { return s == NoSymbol; })) {
                codes_.push_back(static_cast<KeyCode>(code));
            }
        }
        XFree(map);
        for (std::size_t i = 0; i < codes_.size(); ++i)
            XChangeKeyboardMapping(display, codes_[i], 1, const_cast<KeySym*>(&keysyms[i]), 1);
        XSync(display, False);
    }
    ~SpareKeys() {
        KeySym none = NoSymbol;
        for (const KeyCode code : codes_)
            XChangeKeyboardMapping(display_, code, 1, &none, 1);
        XSync(display_, False);
    }
    SpareKeys(const SpareKeys&) = delete;
    SpareKeys& operator=(const SpareKeys&) = delete;

    const std::vector<KeyCode>& codes() const { return codes_; }

  private:
    Display* display_;
    std::vector<KeyCode> codes_;
};

class XSession : public XDisplayTest {};

TEST_F(XSession, has_a_window_manager_a_compositor_and_two_monitors_one_primary) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(display(), root(), XInternAtom(display(), "_NET_SUPPORTING_WM_CHECK", False), 0, 1,
                       False, XA_WINDOW, &type, &format, &count, &after, &data);
    EXPECT_EQ(count, 1u) << "no EWMH window manager";
    if (data != nullptr) XFree(data);
    EXPECT_NE(XGetSelectionOwner(display(), XInternAtom(display(), "_NET_WM_CM_S0", False)), None)
        << "no compositor";

    int monitorCount = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display(), root(), True, &monitorCount);
    std::vector<std::pair<std::string, bool>> seen;
    for (int i = 0; i < monitorCount; ++i) {
        char* name = XGetAtomName(display(), monitors[i].name);
        seen.emplace_back(name, monitors[i].primary != 0);
        XFree(name);
    }
    XRRFreeMonitors(monitors);
    EXPECT_EQ(seen,
              (std::vector<std::pair<std::string, bool>>{{"VELMORA-LEFT", true}, {"VELMORA-RIGHT", false}}));
}

TEST_F(XSession, test_app_reports_xtest_clicks_and_typed_text) {
    struct Key {
        KeySym keysym;
        std::string text;
    };
    const std::vector<Key> keys{{XK_a, "a"}, {XK_eacute, "\xc3\xa9"}, {XK_Cyrillic_zhe, "\xd0\xb6"}};
    std::vector<KeySym> keysyms;
    for (const Key& k : keys)
        keysyms.push_back(k.keysym);
    // Mapped before the app starts: Xlib may still look up a key sent right after a remapping in the old map.
    const SpareKeys spare(display(), keysyms);
    ASSERT_EQ(spare.codes().size(), keys.size());

    XTestApp::Options options;
    options.title = "Velmora session test";
    options.geometry = "300x200+200+150";
    XTestApp app(options);
    const auto window = app.awaitReady();
    ASSERT_TRUE(window) << app.process().error();
    const auto [left, top] = screenOrigin(display(), *window);

    struct Click {
        unsigned button;
        int x, y;
    };
    for (const Click& c : std::vector<Click>{{1, 10, 20}, {3, 150, 100}, {2, 299, 199}}) {
        SCOPED_TRACE(c.button);
        XTestFakeMotionEvent(display(), -1, left + c.x, top + c.y, CurrentTime);
        XTestFakeButtonEvent(display(), c.button, True, CurrentTime);
        XTestFakeButtonEvent(display(), c.button, False, CurrentTime);
        XFlush(display());
        const auto at = [&](const boost::json::object& e) {
            return e.at("button") == c.button && e.at("x") == c.x && e.at("y") == c.y;
        };
        const auto press = app.await("press", at);
        const auto release = app.await("release", at);
        ASSERT_TRUE(press && release) << app.process().output();
        // The state is what was held before the event: nothing, then the button itself.
        EXPECT_EQ(press->at("state"), 0);
        EXPECT_EQ(release->at("state"), Button1Mask << (c.button - 1));
    }

    // The first click focused the window, as the session's window manager is set up to do.
    ASSERT_TRUE(app.await("focus", [](const auto& e) { return e.at("in") == true; }))
        << app.process().output();

    for (std::size_t i = 0; i < keys.size(); ++i) {
        SCOPED_TRACE(keys[i].text);
        XTestFakeKeyEvent(display(), spare.codes()[i], True, CurrentTime);
        XTestFakeKeyEvent(display(), spare.codes()[i], False, CurrentTime);
        XFlush(display());
        for (const bool down : {true, false}) {
            const auto key = app.await("key", [&](const auto& e) { return e.at("down") == down; });
            ASSERT_TRUE(key) << app.process().output();
            EXPECT_EQ(key->at("keycode"), spare.codes()[i]);
            EXPECT_EQ(key->at("keysym"), keys[i].keysym);
            EXPECT_EQ(key->at("text"), keys[i].text.c_str());
        }
    }

    app.send("quit");
    EXPECT_EQ(app.process().waitForExit(), 0);
}

}  // namespace
}  // namespace velmora::platform::x11::testing
