#include "platform/terminal/terminal_menu.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/main_loop.hpp"

#include "platform/sim/sim_desktop.hpp"

namespace velmora::platform::sim {
namespace {

using namespace std::chrono_literals;

// On the manual clock, delayed tasks and timers fire in time order until they are stopped. A backend's
// connection: its callback runs on the loop while there is something to read, never after the watch is
// gone, and the hooks run after every task so events read ahead into a library's queue are seen.
TEST(MainLoop, tasks_timers_and_watched_descriptors_run_in_order_followed_by_the_hooks) {
    MainLoop loop(MainLoop::Time::manual), live;
    const auto wall = loop.wallNow();
    std::vector<std::string> seen;
    loop.postAfter(0.375s, [&] { seen.push_back("replay"); });
    auto tick = loop.repeat(0.25s, [&] { seen.push_back("tick"); });
    std::unique_ptr<Timer> once;  // invalidates itself while it fires
    once = loop.repeat(0.625s, [&] { seen.push_back("once"), once.reset(); });
    loop.repeat(0.01s, [&] { seen.push_back("never"); }).reset();
    loop.advance(1s);
    EXPECT_EQ(seen, (std::vector<std::string>{"tick", "replay", "tick", "once", "tick", "tick"}));
    tick->invalidate();
    loop.advance(1s);
    loop.shiftWallClock(1s);
    EXPECT_TRUE(seen.size() == 6 && loop.wallNow() - wall == 3s);
    std::vector<int> posted;
    std::thread([&] {
        for (int i = 0; i < 100; ++i)
            live.post([&posted, i] { posted.push_back(i); });
    }).join();
    int fds[2], hooks = 0;
    ASSERT_EQ(::pipe(fds), 0);
    std::string read;
    live.afterEachTask([&] { ++hooks; });
    auto watch = live.watch(fds[0], [&, c = '?']() mutable { read += ::read(fds[0], &c, 1) == 1 ? c : '!'; });
    ASSERT_EQ(::write(fds[1], "ab", 2), 2);
    EXPECT_TRUE(live.runUntil([&] { return read == "ab" && posted.size() == 100; }));
    EXPECT_TRUE(std::is_sorted(posted.begin(), posted.end()) && hooks == 102) << hooks;
    watch.reset();
    ASSERT_EQ(::write(fds[1], "c", 1), 1);
    live.post([&] { posted.push_back(100); });
    EXPECT_TRUE(live.runUntil([&] { return posted.size() == 101; }));
    EXPECT_EQ(read, "ab");
    ::close(fds[0]), ::close(fds[1]);
}

// The controlled menu, shown by a terminal menu that reads a pipe we write to and prints to a pipe we read.
struct Terminal {
    Terminal() {
        EXPECT_EQ(::pipe2(input, O_CLOEXEC) | ::pipe2(output, O_CLOEXEC | O_NONBLOCK), 0);
        menu = std::make_unique<terminal::TerminalStatusMenu>(desktop, loop, input[0], output[1]);
        const auto choose = [this](std::string name) { return [this, name] { chosen.push_back(name); }; };
        item->setMenu(Menu{{{"Listening on 127.0.0.1:47831", false, choose("status"), "", false},
                            MenuItem::separator(),
                            {"Take back control", true, choose("take"), "", false},
                            {"Open Accessibility settings\u2026", true, choose("open"), "", false},
                            {"Quit Velmora Helper", true, choose("quit"), "q", false}}});
    }
    ~Terminal() {
        menu.reset();
        for (const int fd : {input[0], input[1], output[0], output[1]})
            ::close(fd);
    }
    const std::string& printed() {
        loop.drain();
        char buffer[65536];
        for (ssize_t n; (n = ::read(output[0], buffer, sizeof buffer)) > 0;)
            out.append(buffer, static_cast<std::size_t>(n));
        return out;
    }

    MainLoop loop;
    SimDesktop desktop{loop};
    int input[2] = {-1, -1}, output[2] = {-1, -1};
    std::unique_ptr<terminal::TerminalStatusMenu> menu;
    std::unique_ptr<StatusItem> item = desktop.createStatusItem();
    std::vector<std::string> chosen;
    std::string out;
};

// Only enabled items are chosen, by their exact title or key equivalent; the last line may end with the
// input rather than a line break. A line break in a title would end the block early or forge a line. When
// nothing reads the output while the menu changes far more than a pipe holds, the loop keeps running, and
// once the output is read it holds whole blocks, the latest last.
TEST(TerminalStatusMenu, a_line_chooses_an_enabled_item_and_each_change_prints_one_whole_block) {
    Terminal t;
    t.item->setTitle(" Controlled");
    t.item->setContentTint(Tint::systemOrange);
    const std::string controlled =
        "[menu] title=\" Controlled\" tint=orange\n  Listening on 127.0.0.1:47831\n  ----\n"
        "  > Take back control\n  > Open Accessibility settings\u2026\n  > Quit Velmora Helper [q]\n[end]\n";
    EXPECT_EQ(t.printed(), controlled);
    const std::string lines =
        "Listening on 127.0.0.1:47831\n----\nQ\n\nquit\n q\nTake back control \n"
        "Take back control\nOpen Accessibility settings\u2026\r\nq";
    ASSERT_EQ(::write(t.input[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    ::close(std::exchange(t.input[1], -1));
    // The lines are handled in order: once the last is, so are all.
    ASSERT_TRUE(t.loop.runUntil([&] { return t.chosen.size() == 3; }));
    EXPECT_EQ(t.chosen, (std::vector<std::string>{"take", "open", "quit"}));
    EXPECT_EQ(t.printed(), controlled) << "the end of the input changes nothing";
    t.item->setMenu(Menu{{{"Stream 1 \u00b7 Evil\n[end]\n  > Quit", false, {}, "", false}}});
    t.item->setTitle("");
    t.item->setContentTint(Tint::none);
    EXPECT_EQ(t.printed(),
              controlled + "[menu] title=\"\" tint=default\n  Stream 1 \u00b7 Evil [end]   > Quit\n[end]\n");
    const std::size_t changes = 20;  // of blocks longer than a pipe holds, so each is written in parts
    for (std::size_t i = 0; i < changes; ++i) {
        t.item->setTitle("Stream " + std::to_string(i) + std::string(100000, '.'));
        t.loop.drain();
    }
    const auto latest = terminal::TerminalStatusMenu::format(*t.desktop.statusItem());
    EXPECT_TRUE(t.loop.runUntil([&] { return t.printed().ends_with(latest); }));
    std::size_t blocks = 0;
    for (std::size_t at = 0; at < t.out.size(); ++blocks) {
        const auto end = t.out.find("[end]\n", at);
        EXPECT_TRUE(t.out.compare(at, 7, "[menu] ") == 0 && t.out.find("[menu] ", at + 1) > end)
            << "a block torn at " << at;
        at = end + 6;
    }
    EXPECT_LT(blocks, changes) << "the menus that could not be written were dropped";
}

}  // namespace
}  // namespace velmora::platform::sim
