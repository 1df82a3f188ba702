#include "platform/sim/sim_desktop.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string>
#include <vector>

#include "platform/sim/event_trace.hpp"
#include "platform/sim/scene_file.hpp"
#include "platform_test_support.hpp"
#include "support/stderr_capture.hpp"

namespace velmora::platform::sim {
namespace {

using namespace velmora::platform::mac;

struct Desk {
    MainLoop loop{MainLoop::Time::manual};
    std::unique_ptr<SimDesktop> desktop = std::make_unique<SimDesktop>(loop, defaultScene());
    std::vector<WindowId> listed() const {
        std::vector<WindowId> out;
        const auto list = desktop->onScreenWindows();
        for (const auto& entry : *list)
            out.push_back(entry.number);
        return out;
    }
};

SyntheticInput input(decltype(SyntheticInput::action) action, KeyModifiers mods = {}, std::int64_t tag = 0) {
    return SyntheticInput{std::move(action), mods, tag};
}

// A menu-bar window of a higher level stays in front of the overlay, as on a real desktop.
TEST(SimDesktop, a_shown_overlay_is_listed_as_this_process_floating_window_in_front_of_ordinary_ones) {
    Desk desk;
    auto& windows = desk.desktop->scene().windows;
    windows.insert(windows.begin(), {{5, 0, "Window Server", Rect{0, 0, 1512, 24}, 25, true},
                                     {6, 602, "Palette", Rect{0, 0, 9, 9}, 3, true}});
    auto window = desk.desktop->createOverlayWindow({});
    const WindowId number = window->windowNumber();
    window->setFrame(Rect{100, 120, -1200, 720}, false);
    EXPECT_EQ(desk.listed(), (std::vector<WindowId>{5, 6, 4242, 4243}));
    window->show();
    EXPECT_EQ(desk.listed(), (std::vector<WindowId>{5, 6, number, 4242, 4243}));
    const auto own = *desk.desktop->windowEntry(number);
    EXPECT_TRUE(own.ownerPid == ::getpid() && own.layer == 3);
    EXPECT_EQ(own.bounds, (Rect{-1100, 120, 1200, 720}));
    window->hide();
    EXPECT_EQ(desk.listed(), (std::vector<WindowId>{5, 6, 4242, 4243}));
    window.reset();
    EXPECT_FALSE(desk.desktop->windowEntry(number).has_value());
}

// A run posts an event per pointer move for as long as it lasts: only the latest records are kept.
TEST(SimDesktop, raising_needs_the_permission_and_a_long_run_keeps_only_the_latest_records) {
    for (const bool trusted : {true, false}) {
        Desk desk;
        desk.desktop->scene().trusted = trusted;
        const std::size_t kept = desk.desktop->recordsKept, total = 10 * kept + 3;
        for (std::size_t i = 0; i < total; ++i) {
            desk.desktop->postInput(input(PointerMotion{{static_cast<double>(i), 0}, {}}));
            desk.desktop->raiseWindow(501, 4243);  // not that process's window: nothing moves
        }
        desk.desktop->raiseWindow(502, 4243);
        EXPECT_EQ(desk.listed(),
                  (trusted ? std::vector<WindowId>{4243, 4242} : std::vector<WindowId>{4242, 4243}));
        const auto& events = desk.desktop->postedEvents();
        EXPECT_LE(events.capacity() + desk.desktop->raiseRequests().capacity(), 4 * kept);
        std::size_t outOfPlace = 0;
        for (std::size_t i = 0; i < events.size(); ++i)
            outOfPlace += events[i].location.x != static_cast<double>(total - events.size() + i);
        EXPECT_EQ(outOfPlace, 0u) << "the latest events, oldest first";
        desk.desktop->postInput(input(KeyStroke{0, true, u"a"}));
        EXPECT_EQ(events.back().location.x, total - 1) << "keys land where the pointer is";
    }
}

// A window closed before its display runs, and the program's objects outliving the desktop, are left alone.
TEST(SimDesktop, overlay_displays_are_coalesced_wait_until_shown_and_outlive_the_desktop) {
    Desk desk;
    auto window = desk.desktop->createOverlayWindow({});
    auto closed = desk.desktop->createOverlayWindow({});
    int displayed = 0;
    desk.desktop->onOverlayDisplayed = [&](const SimOverlayWindow&) { ++displayed; };
    window->setNeedsDisplay();
    desk.loop.drain();
    EXPECT_EQ(displayed, 0) << "hidden windows do not draw";
    window->show();
    window->setNeedsDisplay();
    closed->show();
    closed.reset();
    desk.loop.drain();
    EXPECT_EQ(displayed, 1);
    auto item = desk.desktop->createStatusItem();
    window->setNeedsDisplay();
    desk.desktop.reset();
    desk.loop.drain();
    item->setTitle(" Controlled");
    window->setNeedsDisplay();
    window->hide();
}

// The benchmark and the browser tests read these lines: the keys, their order and the number forms count.
TEST(EventTrace, each_kind_of_event_is_one_json_line_with_its_own_fields) {
    const std::pair<Event, std::string> cases[] = {
        {eventFor(input(PointerPress{{100, 200.5}, PointerButton::left, true, 2}, {}, 0x56656C6D), {}),
         R"({"type":1,"x":100,"y":200.5,"flags":0,"userData":1449487469,"button":0,"clickState":2})"},
        {eventFor(input(PointerMotion{{NAN, 1e21}, {false, false, true}}), {}),
         R"({"type":27,"x":null,"y":1e+21,"flags":0,"userData":0,"button":2,"clickState":0})"},
        {eventFor(input(KeyStroke{0, true, u"\xDC00\"\\\u00e9\U0001F600\xD800"}, {true}), {5, -0.25}),
         "{\"type\":10,\"x\":5,\"y\":-0.25,\"flags\":131072,\"userData\":0,\"keyCode\":0,\"keyDown\":true,"
         "\"text\":\"\uFFFD\\\"\\\\\u00e9\U0001F600\uFFFD\"}"},
        {eventFor(input(WheelScroll{{1.5, -2}, -3, 7, WheelUnit::pixel}), {}),
         R"({"type":22,"x":1.5,"y":-2,"flags":0,"userData":0,"unit":0,"wheel1":-3,"wheel2":7})"},
    };
    for (const auto& [event, line] : cases)
        EXPECT_EQ(traceLine(event), line + "\n");
}

// A benchmark times each event by reading the trace from a named pipe: the pipe must see one writer from
// the first event on, not one per event (its reader would see the end of the file after each line). A
// pipe without a reader must not hold the program up: that is logged once and the events still posted.
TEST(EventTrace, the_trace_stays_open_until_the_scene_names_another_file_and_a_failure_is_logged_once) {
    platform::testing::TempDir dir;
    const auto fifo = dir / "events.fifo", file = dir / "events.jsonl";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    Desk desk;
    auto& desktop = *desk.desktop;
    const auto move = [&](const std::filesystem::path& trace) {
        desktop.scene().eventTrace = trace.string();
        return desktop.postInput(input(PointerMotion{{1, 0}, {}}));
    };
    move(fifo), move(fifo);
    char buffer[4096];
    EXPECT_EQ(::read(reader, buffer, sizeof buffer),
              static_cast<ssize_t>(2 * traceLine(desktop.postedEvents().back()).size()));
    EXPECT_EQ(::read(reader, buffer, sizeof buffer), -1) << "the pipe still has its writer";
    EXPECT_EQ(errno, EAGAIN);
    std::string onDisk;
    desktop.onEventPosted = [&](const Event&) { onDisk = platform::testing::readFile(file); };
    move(file);
    EXPECT_EQ(::read(reader, buffer, sizeof buffer), 0) << "the pipe is closed for the other file";
    EXPECT_EQ(onDisk, traceLine(desktop.postedEvents().back())) << "the line is on disk before the callback";
    std::filesystem::remove(file);
    move(file);
    EXPECT_FALSE(std::filesystem::exists(file)) << "the trace was opened again";
    ::close(reader);
    velmora::testing::StderrCapture log;
    EXPECT_TRUE(move(fifo) && move(fifo));
    EXPECT_EQ(desktop.postedEvents().size(), 6u);
    const auto text = log.text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("sim: cannot append to the event trace " + fifo.string()), std::string::npos);
}

}  // namespace
}  // namespace velmora::platform::sim
