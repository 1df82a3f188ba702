#include "platform/main_loop.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace velmora::platform {
namespace {

using namespace std::chrono_literals;

TEST(MainLoop, posted_tasks_run_in_order_also_from_other_threads) {
    MainLoop loop;
    std::vector<int> seen;
    std::thread producer([&] {
        for (int i = 0; i < 100; ++i)
            loop.post([&seen, i] { seen.push_back(i); });
    });
    producer.join();
    loop.drain();
    ASSERT_EQ(seen.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(seen[i], i);
}

TEST(MainLoop, manual_clock_fires_delayed_tasks_and_timers_in_time_order) {
    MainLoop loop(MainLoop::Time::manual);
    std::vector<std::string> seen;
    loop.postAfter(0.15s, [&] { seen.push_back("replay"); });
    auto timer = loop.repeat(0.1s, [&] { seen.push_back("tick"); });
    loop.advance(0.09s);
    EXPECT_TRUE(seen.empty());
    loop.advance(0.35s);  // now 0.44: ticks at 0.1, 0.2, 0.3, 0.4 and the replay at 0.15
    EXPECT_EQ(seen, (std::vector<std::string>{"tick", "replay", "tick", "tick", "tick"}));
}

TEST(MainLoop, invalidated_or_destroyed_timer_stops_firing) {
    MainLoop loop(MainLoop::Time::manual);
    int count = 0;
    auto timer = loop.repeat(1s, [&] { ++count; });
    loop.advance(2s);
    EXPECT_EQ(count, 2);
    timer->invalidate();
    loop.advance(5s);
    EXPECT_EQ(count, 2);
    auto other = loop.repeat(1s, [&] { ++count; });
    other.reset();
    loop.advance(5s);
    EXPECT_EQ(count, 2);
}

TEST(MainLoop, timer_may_invalidate_itself_while_firing) {
    MainLoop loop(MainLoop::Time::manual);
    int count = 0;
    std::unique_ptr<Timer> timer;
    timer = loop.repeat(1s, [&] {
        if (++count == 3) timer.reset();
    });
    loop.advance(10s);
    EXPECT_EQ(count, 3);
}

TEST(MainLoop, wall_clock_follows_manual_time_and_can_be_shifted_alone) {
    MainLoop loop(MainLoop::Time::manual);
    const auto wall = loop.wallNow();
    const auto mono = loop.now();
    loop.advance(2s);
    EXPECT_EQ(loop.now() - mono, 2s);
    EXPECT_EQ(loop.wallNow() - wall, 2s);
    loop.shiftWallClock(1s);
    EXPECT_EQ(loop.now() - mono, 2s);
    EXPECT_EQ(loop.wallNow() - wall, 3s);
}

TEST(MainLoop, real_clock_delivers_delayed_tasks_and_run_until_returns_when_done) {
    MainLoop loop;
    bool fired = false;
    loop.postAfter(0.01s, [&] { fired = true; });
    EXPECT_TRUE(loop.runUntil([&] { return fired; }));
}

// A backend's connection: its callback runs on the loop while there is something to read, never after the
// watch is gone, and the hooks run after every task so events read ahead into a library's queue are seen.
TEST(MainLoop, a_watched_descriptor_calls_back_until_the_watch_is_gone_and_hooks_follow_every_task) {
    MainLoop loop;
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    std::string read;
    int hooks = 0;
    loop.afterEachTask([&] { ++hooks; });
    auto watch = loop.watch(fds[0], [&] {
        char c;
        if (::read(fds[0], &c, 1) == 1) read += c;
    });
    ASSERT_EQ(::write(fds[1], "ab", 2), 2);
    EXPECT_TRUE(loop.runUntil([&] { return read == "ab"; }));
    EXPECT_GE(hooks, 2);

    const int before = hooks;
    loop.post([] {});
    loop.postAfter(Duration(0.001), [] {});
    EXPECT_TRUE(loop.runUntil([&] { return hooks >= before + 2; }));

    watch.reset();
    ASSERT_EQ(::write(fds[1], "c", 1), 1);
    bool ran = false;
    loop.post([&] { ran = true; });
    EXPECT_TRUE(loop.runUntil([&] { return ran; }));
    loop.drain();
    EXPECT_EQ(read, "ab");
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(MainLoop, stop_ends_run) {
    MainLoop loop;
    loop.post([&] { loop.stop(); });
    loop.run();
    SUCCEED();
}

}  // namespace
}  // namespace velmora::platform
