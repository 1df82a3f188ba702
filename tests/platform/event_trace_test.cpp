#include "platform/sim/event_trace.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/json/parse.hpp>
#include <cerrno>
#include <sstream>
#include <string>

#include "platform/sim/sim_desktop.hpp"
#include "platform_test_support.hpp"
#include "support/stderr_capture.hpp"

namespace velmora::platform::sim {
namespace {

using platform::testing::TempDir;
using namespace velmora::platform::mac;
using SyntheticEvent = mac::Event;

SyntheticInput moveTo(double x) {
    return SyntheticInput{PointerMotion{{x, 0}, {}}, {}, 0};
}

SyntheticEvent mouse(EventType type, Point at, MouseButton button, std::int64_t clicks) {
    SyntheticEvent event;
    event.type = type;
    event.location = at;
    event.fields = MouseFields{button, clicks};
    return event;
}

SyntheticEvent key(std::uint16_t code, bool down, std::u16string text) {
    SyntheticEvent event;
    event.type = down ? EventType::keyDown : EventType::keyUp;
    event.location = {5, 6};
    event.fields = KeyboardFields{code, down, std::move(text)};
    return event;
}

SyntheticEvent scroll(std::int32_t wheel1, std::int32_t wheel2) {
    SyntheticEvent event;
    event.type = EventType::scrollWheel;
    event.location = {1.5, -2};
    event.fields = ScrollFields{ScrollUnit::pixel, 2, wheel1, wheel2, 0};
    return event;
}

SyntheticEvent tagged(SyntheticEvent event, std::uint64_t flags) {
    event.flags = flags;
    event.userData = 0x56656C6D;
    return event;
}

TEST(EventTrace, each_kind_of_event_is_one_json_line_with_its_own_fields) {
    struct Case {
        SyntheticEvent event;
        std::string line;
    };
    const Case cases[] = {
        {tagged(mouse(EventType::leftMouseDown, {100, 200.5}, MouseButton::left, 2), 0),
         R"({"type":1,"x":100,"y":200.5,"flags":0,"userData":1449487469,"button":0,"clickState":2})"},
        {mouse(EventType::otherMouseDragged, {-0.25, 1e21}, MouseButton::center, 0),
         R"({"type":27,"x":-0.25,"y":1e+21,"flags":0,"userData":0,"button":2,"clickState":0})"},
        {tagged(key(0, true, u"a"), 0x20000),
         R"({"type":10,"x":5,"y":6,"flags":131072,"userData":1449487469,"keyCode":0,"keyDown":true,"text":"a"})"},
        {key(36, false, u""),
         R"({"type":11,"x":5,"y":6,"flags":0,"userData":0,"keyCode":36,"keyDown":false})"},
        {key(0, true, u"\"\\\u00e9\U0001F600\xD800"),
         "{\"type\":10,\"x\":5,\"y\":6,\"flags\":0,\"userData\":0,\"keyCode\":0,\"keyDown\":true,"
         "\"text\":\"\\\"\\\\\u00e9\U0001F600\uFFFD\"}"},
        {scroll(-3, 7),
         R"({"type":22,"x":1.5,"y":-2,"flags":0,"userData":0,"unit":0,"wheel1":-3,"wheel2":7})"},
        {mouse(EventType::mouseMoved, {std::nan(""), 1}, MouseButton::left, 0),
         R"({"type":5,"x":null,"y":1,"flags":0,"userData":0,"button":0,"clickState":0})"},
    };
    for (const auto& c : cases) {
        const auto line = traceLine(c.event);
        EXPECT_EQ(line, c.line + "\n");
        EXPECT_NO_THROW(boost::json::parse(line)) << line;
    }
}

TEST(EventTrace, posted_events_are_appended_to_the_scenes_trace_file) {
    TempDir dir;
    MainLoop loop(MainLoop::Time::manual);
    SimScene scene;
    scene.eventTrace = (dir / "events.jsonl").string();
    SimDesktop desktop(loop, scene);
    std::vector<std::string> seen;
    desktop.onEventPosted = [&](const SyntheticEvent& event) {
        seen.push_back(platform::testing::readFile(dir / "events.jsonl"));
        EXPECT_EQ(event.type, EventType::mouseMoved);
    };
    for (int i = 0; i < 3; ++i) {
        desktop.postInput(moveTo(double(i)));
    }
    std::istringstream lines(platform::testing::readFile(dir / "events.jsonl"));
    std::string line;
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_EQ(boost::json::parse(line).at("x").to_number<double>(), count);
        ++count;
    }
    EXPECT_EQ(count, 3);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(std::count(seen[0].begin(), seen[0].end(), '\n'), 1)
        << "the line is on disk before onEventPosted";
}

void postMove(SimDesktop& desktop, double x) {
    desktop.postInput(moveTo(x));
}

// A benchmark times each event by reading the trace from a named pipe: the pipe must see one writer from
// the first event on, not one per event (its reader would see the end of the file after each line).
TEST(EventTrace, the_trace_stays_open_until_the_scene_names_another_file) {
    TempDir dir;
    const auto fifo = dir / "events.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    MainLoop loop(MainLoop::Time::manual);
    SimScene scene;
    scene.eventTrace = fifo.string();
    SimDesktop desktop(loop, scene);
    postMove(desktop, 0);
    postMove(desktop, 1);
    char buffer[4096];
    const ssize_t n = ::read(reader, buffer, sizeof buffer);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::count(buffer, buffer + n, '\n'), 2);
    EXPECT_EQ(::read(reader, buffer, sizeof buffer), -1) << "the pipe still has its writer";
    EXPECT_EQ(errno, EAGAIN);

    desktop.scene().eventTrace = (dir / "events.jsonl").string();
    postMove(desktop, 2);
    EXPECT_EQ(::read(reader, buffer, sizeof buffer), 0) << "the pipe is closed for the other file";
    EXPECT_EQ(platform::testing::readFile(dir / "events.jsonl"), traceLine(eventFor(moveTo(2), {})));
    ::close(reader);
}

TEST(EventTrace, a_trace_that_cannot_be_written_is_logged_and_the_event_still_posted) {
    TempDir dir;
    const auto fifo = dir / "unread.fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // The pipe has no reader: opening it to write must not wait for one.
    for (const auto& path : {dir / "no-such-dir" / "events.jsonl", fifo}) {
        MainLoop loop(MainLoop::Time::manual);
        SimScene scene;
        scene.eventTrace = path.string();
        SimDesktop desktop(loop, scene);
        velmora::testing::StderrCapture log;
        desktop.postInput(SyntheticInput{KeyStroke{1, true, {}}, {}, 0});
        EXPECT_EQ(desktop.postedEvents().size(), 1u);
        EXPECT_NE(log.text().find("sim: cannot append to the event trace " + path.string()),
                  std::string::npos)
            << path;
    }
}

}  // namespace
}  // namespace velmora::platform::sim
