#include "platform/sim/sim_desktop.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/backend.hpp"
#include "platform/sim/event_trace.hpp"
#include "platform/sim/scene_file.hpp"
#include "platform_test_support.hpp"
#include "support/stderr_capture.hpp"

namespace velmora::platform::sim {
namespace {

using namespace velmora::platform::mac;
using Ids = std::vector<WindowId>;

struct Desk {
    MainLoop loop{MainLoop::Time::manual};
    std::unique_ptr<SimDesktop> desktop = std::make_unique<SimDesktop>(loop, defaultScene());
    Ids listed() const {
        Ids out;
        const auto list = desktop->onScreenWindows();
        for (const auto& entry : *list)
            out.push_back(entry.number);
        return out;
    }
};

SyntheticInput input(decltype(SyntheticInput::action) action, KeyModifiers mods = {}, std::int64_t tag = 0) {
    return SyntheticInput{std::move(action), mods, tag};
}

// A run posts an event per pointer move for as long as it lasts: only the latest records are kept. A
// menu-bar window of a higher level stays in front of the overlay, as on a real desktop. A window closed
// before its display runs, and the program's objects outliving the desktop, are left alone.
TEST(SimDesktop, raising_needs_the_permission_and_overlays_are_listed_as_this_process_floating_windows) {
    Desk desk;
    auto& desktop = *desk.desktop;
    const std::size_t kept = desktop.recordsKept, total = 10 * kept + 3;
    for (std::size_t i = 0; i < total; ++i) {
        desktop.postInput(input(PointerMotion{{static_cast<double>(i), 0}, {}}));
        desktop.raiseWindow(501, 4243);  // not that process's window: nothing moves
    }
    const auto& events = desktop.postedEvents();
    EXPECT_LE(events.capacity() + desktop.raiseRequests().capacity(), 4 * kept);
    EXPECT_TRUE(events.front().location.x == total - events.size() && events.back().location.x == total - 1)
        << "the latest events, oldest first";
    desktop.postInput(input(KeyStroke{0, true, u"a"}));
    EXPECT_EQ(events.back().location.x, total - 1) << "keys land where the pointer is";
    for (const bool trusted : {false, true}) {
        desktop.scene().trusted = trusted;
        desktop.raiseWindow(502, 4243);
        EXPECT_EQ(desk.listed(), (trusted ? Ids{4243, 4242} : Ids{4242, 4243}));
    }

    auto& windows = desktop.scene().windows;
    windows.insert(windows.begin(), {{5, 0, "Window Server", Rect{0, 0, 1512, 24}, 25, true},
                                     {6, 602, "Palette", Rect{0, 0, 9, 9}, 3, true}});
    auto window = desktop.createOverlayWindow({}), closed = desktop.createOverlayWindow({});
    const WindowId number = window->windowNumber(), closedNumber = closed->windowNumber();
    int displayed = 0;
    desktop.onOverlayDisplayed = [&](const SimOverlayWindow&) { ++displayed; };
    window->setFrame(Rect{100, 120, -1200, 720}, false);
    window->show();
    EXPECT_EQ(desk.listed(), (Ids{5, 6, number, 4243, 4242}));
    const auto own = *desktop.windowEntry(number);
    EXPECT_TRUE(own.ownerPid == ::getpid() && own.layer == 3 && own.bounds == (Rect{-1100, 120, 1200, 720}));
    window->setNeedsDisplay();
    closed->show();
    closed.reset();
    desk.loop.drain();
    EXPECT_EQ(displayed, 1);
    EXPECT_FALSE(desktop.windowEntry(closedNumber).has_value());
    window->hide();
    EXPECT_EQ(desk.listed(), (Ids{5, 6, 4243, 4242}));
    auto item = desktop.createStatusItem();
    window->show();
    desk.desktop.reset();
    desk.loop.drain();
    item->setTitle(" Controlled");
    window->setNeedsDisplay();
    window->hide();
}

// The benchmark and the browser tests read these lines: the keys, their order and the number forms count.
// The benchmark reads them from a named pipe, which must see one writer, not one per event. A pipe without
// a reader must not hold the program up: that is logged once and the events still posted.
TEST(EventTrace, each_event_is_one_json_line_in_a_trace_that_stays_open_and_a_failure_is_logged_once) {
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
    platform::testing::TempDir dir;
    const auto fifo = dir / "events.fifo", file = dir / "events.jsonl";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    Desk desk;
    auto& desktop = *desk.desktop;
    const auto move = [&](const std::filesystem::path& trace) {
        desktop.scene().eventTrace = trace.string();
        return desktop.postInput(input(PointerMotion{{1, 0}, {}}));
    };
    std::uintmax_t onDisk = 0;
    desktop.onEventPosted = [&](const Event&) { onDisk = std::filesystem::file_size(file); };
    move(file);
    EXPECT_EQ(onDisk, traceLine(desktop.postedEvents().back()).size())
        << "the line is on disk before the callback";
    desktop.onEventPosted = nullptr;
    std::filesystem::remove(file);
    move(file);
    EXPECT_FALSE(std::filesystem::exists(file)) << "the trace was opened again";
    velmora::testing::StderrCapture log;
    EXPECT_TRUE(move(fifo) && move(fifo));
    const auto text = log.text();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("sim: cannot append to the event trace " + fifo.string()), std::string::npos);
}

// Replaces the file the way a careful writer does: a new file renamed over the old one.
void replaceFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path.string() + ".new", std::ios::binary) << text;
    std::filesystem::rename(path.string() + ".new", path);
}

// What the sim is refused with, made with these options or from a scene's text (read as "s.json").
std::string refusal(const BackendOptions& options, const char* text = nullptr) {
    MainLoop loop(MainLoop::Time::manual);
    try {
        text ? parseScene(text, "s.json", "") : (createPlatform(loop, options), SimScene{});
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(no error)";
}

const char* const exampleText = R"({"trusted": true, "frontmostPid": 501,
  "displays": [{"id": 1, "name": "Built-in", "bounds": [0, 0, 1512, 982], "pixels": [3024, 1964]},
               {"id": 2, "bounds": [1512, -200, 2560, 1440], "main": true}],
  "windows": [{"id": 4242, "pid": 501, "owner": "Slides", "bounds": [1, 2, 3, 4], "layer": 0, "onScreen": true},
              {"id": 17, "pid": null}, {"id": 99, "onScreen": false}],
  "eventTrace": "trace.jsonl", "overlayImages": "/abs/images"})";

TEST(SceneFile, parses_a_scene_leaving_out_what_it_does_not_say_or_refuses_it_with_the_file_and_the_fault) {
    const auto scene = parseScene(exampleText, "example.json", "/scenes/a");
    ASSERT_TRUE(scene.displays.size() == 2 && scene.windows.size() == 3);
    EXPECT_TRUE(scene.trusted && scene.frontmostPid == 501 && scene.mainDisplay == 2u);
    const auto& [one, two] = std::tie(scene.displays[0], scene.displays[1]);
    EXPECT_TRUE(one.name == "Built-in" && one.pixelsWide == 3024 && one.pixelsHigh == 1964 && !two.name);
    EXPECT_TRUE(two.bounds == (Rect{1512, -200, 2560, 1440}) && two.pixelsWide == 2560 &&
                two.pixelsHigh == 1440);
    const auto& [bare, hidden] = std::tie(scene.windows[1], scene.windows[2]);
    EXPECT_FALSE(bare.pid || bare.owner || bare.bounds || bare.layer || !bare.onScreen || hidden.onScreen);
    EXPECT_EQ(scene.eventTrace, "/scenes/a/trace.jsonl") << "relative to the scene file's directory";
    EXPECT_EQ(scene.overlayImages, "/abs/images");
    const std::pair<const char*, std::string> cases[] = {
        {"{\"trusted\": true,\n  \"windows\": [}", "line 2, column 15: syntax error"},
        {R"({"windows": [{"id": -1}]})", "windows[0].id must be a whole number from 0 to 4294967295"},
        {R"({"windows": [{"id": 1}, {"id": 1}]})", "windows[1] repeats the id 1"},
        {R"({"frontmost": 501})", "the scene has an unknown key \"frontmost\""},
    };
    for (const auto& [text, fault] : cases)
        EXPECT_EQ(refusal({}, text), "scene file s.json: " + fault) << text;
    EXPECT_EQ(refusal({std::nullopt, "/nonexistent/s.json"}),
              "scene file /nonexistent/s.json: cannot be read: No such file or directory");
    EXPECT_TRUE(refusal({"quartz", std::nullopt})
                    .starts_with("no backend is called \u201cquartz\u201d (this build has "));
}

// A test changes the scene while the program runs; a broken, missing or unreadable file keeps the scene
// there was, and says so once.
TEST(SceneFile, the_next_query_sees_a_changed_file_or_else_keeps_the_previous_scene) {
    platform::testing::TempDir dir;
    const auto file = dir / "scene.json";
    replaceFile(file, exampleText);
    MainLoop loop(MainLoop::Time::manual);
    velmora::testing::StderrCapture log;  // a scene file means the sim: no other desktop is tried
    const auto desktop = createPlatform(loop, BackendOptions{std::nullopt, file.string()});
    EXPECT_TRUE(desktop->activateApplication(602) == false && desktop->frontmostApplication() == 501);
    replaceFile(file, R"({"trusted": true, "windows": [{"id": 1, "pid": 501}, {"id": 2, "pid": 602}]})");
    desktop->raiseWindow(602, 2);
    EXPECT_TRUE(desktop->activateApplication(602) && desktop->onScreenWindows()->front().number == 2);
    // In-memory changes last until the file changes. Coarse file-system clocks give two quick writes the
    // same time: the content is what counts.
    const auto written = std::filesystem::last_write_time(file);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << R"({"frontmostPid": 501})";
    std::filesystem::last_write_time(file, written);
    EXPECT_TRUE(desktop->frontmostApplication() == 501 && desktop->onScreenWindows()->empty());

    const std::pair<std::function<void()>, std::string> steps[] = {
        {[&] { replaceFile(file, R"({"frontmostPid": 602,)"); }, ": line 1, column 22: incomplete JSON"},
        {[&] { std::filesystem::remove(file); }, " is gone"},
        {[&] { ::mkfifo(file.c_str(), 0600); }, ": cannot be read: not a regular file"},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        steps[i].first();
        EXPECT_TRUE(desktop->frontmostApplication() == 501 && desktop->frontmostApplication() == 501);
        const auto text = log.text();
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), i + 1) << text;
        EXPECT_TRUE(text.ends_with("sim: scene file " + file.string() + steps[i].second +
                                   "; the previous scene stays\n"));
    }
    std::filesystem::remove(file);
    replaceFile(file, R"({"frontmostPid": 602})");
    EXPECT_EQ(desktop->frontmostApplication(), 602);
}

}  // namespace
}  // namespace velmora::platform::sim
