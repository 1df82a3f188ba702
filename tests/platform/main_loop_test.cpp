#include "platform/main_loop.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

TEST(MainLoop, manual_clock_fires_delayed_tasks_and_timers_in_time_order_until_they_are_stopped) {
    MainLoop loop(MainLoop::Time::manual);
    const auto wall = loop.wallNow();
    std::vector<std::string> seen;
    loop.postAfter(0.375s, [&] { seen.push_back("replay"); });
    auto tick = loop.repeat(0.25s, [&] { seen.push_back("tick"); });
    std::unique_ptr<Timer> once;  // invalidates itself while it fires
    once = loop.repeat(0.625s, [&] { seen.push_back("once"), once.reset(); });
    loop.repeat(0.01s, [&] { seen.push_back("never"); }).reset();
    loop.advance(0.125s);
    EXPECT_TRUE(seen.empty());
    loop.advance(0.875s);
    EXPECT_EQ(seen, (std::vector<std::string>{"tick", "replay", "tick", "once", "tick", "tick"}));
    tick->invalidate();
    loop.advance(1s);
    loop.shiftWallClock(1s);
    EXPECT_EQ(seen.size(), 6u);
    EXPECT_EQ(loop.wallNow() - wall, 3s);
}

// A backend's connection: its callback runs on the loop while there is something to read, never after the
// watch is gone, and the hooks run after every task so events read ahead into a library's queue are seen.
TEST(MainLoop, tasks_from_other_threads_and_watched_descriptors_run_in_order_followed_by_the_hooks) {
    MainLoop loop;
    std::vector<int> posted;
    std::thread([&] {
        for (int i = 0; i < 100; ++i)
            loop.post([&posted, i] { posted.push_back(i); });
    }).join();
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string read;
    int hooks = 0;
    loop.afterEachTask([&] { ++hooks; });
    auto watch = loop.watch(fds[0], [&] {
        char c = '?';
        read += ::read(fds[0], &c, 1) == 1 ? c : '!';
    });
    ASSERT_EQ(::write(fds[1], "ab", 2), 2);
    loop.postAfter(1ms, [&] { posted.push_back(100); });
    EXPECT_TRUE(loop.runUntil([&] { return read == "ab" && posted.size() == 101; }));
    EXPECT_TRUE(std::is_sorted(posted.begin(), posted.end()));
    EXPECT_EQ(hooks, 103);
    watch.reset();
    ASSERT_EQ(::write(fds[1], "c", 1), 1);
    loop.post([&] { posted.push_back(101); });
    EXPECT_TRUE(loop.runUntil([&] { return posted.size() == 102; }));
    EXPECT_EQ(read, "ab");
    ::close(fds[0]);
    ::close(fds[1]);
}

}  // namespace
}  // namespace velmora::platform
