#include "platform/terminal/terminal_menu.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/sim/sim_desktop.hpp"

namespace velmora::platform::sim {
namespace {

// The controlled menu, shown by a terminal menu that reads a pipe we write to and prints to a pipe we read.
struct Terminal {
    Terminal() {
        EXPECT_EQ(::pipe2(input, O_CLOEXEC) | ::pipe2(output, O_CLOEXEC | O_NONBLOCK), 0);
        menu = std::make_unique<terminal::TerminalStatusMenu>(desktop, loop, input[0], output[1]);
        const auto choose = [this](std::string name) { return [this, name] { chosen.push_back(name); }; };
        Menu controlled;
        controlled.items = {{"Listening on 127.0.0.1:47831", false, choose("status"), "", false},
                            {"Stream 1 \u00b7 Slides", false, {}, "", false},
                            MenuItem::separator(),
                            {"Take back control", true, choose("take"), "", false},
                            {"Open Accessibility settings\u2026", true, choose("open"), "", false},
                            {"Quit Velmora Helper", true, choose("quit"), "q", false}};
        item->setMenu(std::move(controlled));
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
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    std::unique_ptr<terminal::TerminalStatusMenu> menu;
    std::unique_ptr<StatusItem> item = desktop.createStatusItem();
    std::vector<std::string> chosen;
    std::string out;
};

// A line break in a title would end the block early or forge a line of its own.
TEST(TerminalStatusMenu, each_change_prints_one_block_with_the_result_and_titles_stay_on_their_line) {
    Terminal t;
    t.item->setTitle(" Controlled");
    t.item->setContentTint(Tint::systemOrange);
    const std::string controlled =
        "[menu] title=\" Controlled\" tint=orange\n  Listening on 127.0.0.1:47831\n  Stream 1 \u00b7 Slides\n"
        "  ----\n  > Take back control\n  > Open Accessibility settings\u2026\n  > Quit Velmora Helper "
        "[q]\n[end]\n";
    EXPECT_EQ(t.printed(), controlled);
    Menu plain;
    plain.items.push_back({"Stream 1 \u00b7 Evil\n[end]\n  > Quit", false, {}, "", false});
    t.item->setMenu(std::move(plain));
    t.item->setTitle("");
    t.item->setContentTint(Tint::none);
    EXPECT_EQ(t.printed(),
              controlled + "[menu] title=\"\" tint=default\n  Stream 1 \u00b7 Evil [end]   > Quit\n[end]\n");
}

// Only enabled items are chosen, by their exact title or key equivalent. The lines are handled in order, so
// once the last one (a choice ended by the end of the input rather than a line break) is done, so are all.
TEST(TerminalStatusMenu,
     a_line_chooses_an_enabled_item_by_title_or_key_and_the_end_of_input_changes_nothing) {
    Terminal t;
    const auto before = t.printed();
    const std::string lines =
        "Listening on 127.0.0.1:47831\n----\nQ\n\nquit\n q\nTake back control \n"
        "Take back control\nOpen Accessibility settings\u2026\r\nq";
    ASSERT_EQ(::write(t.input[1], lines.data(), lines.size()), static_cast<ssize_t>(lines.size()));
    ::close(std::exchange(t.input[1], -1));
    ASSERT_TRUE(t.loop.runUntil([&] { return t.chosen.size() == 3; }));
    EXPECT_EQ(t.chosen, (std::vector<std::string>{"take", "open", "quit"}));
    EXPECT_EQ(t.printed(), before);
    t.item->setTitle(" Controlled");
    EXPECT_NE(t.printed(), before) << "the menu keeps printing after the input ended";
}

// Nothing reads the output while the menu changes far more than a pipe holds; the loop keeps running, and
// once the output is read it holds whole blocks, the latest last.
TEST(TerminalStatusMenu, an_unread_output_holds_nothing_up_and_gets_the_latest_menu_whole) {
    Terminal t;
    const int changes = 20;  // of blocks longer than a pipe holds, so each is written in parts
    for (int i = 0; i < changes; ++i) {
        t.item->setTitle("Stream " + std::to_string(i) + std::string(100000, '.'));
        t.loop.drain();
    }
    const auto latest = terminal::TerminalStatusMenu::format(*t.desktop.statusItem());
    EXPECT_TRUE(t.loop.runUntil([&] { return t.printed().ends_with(latest); }));
    std::size_t blocks = 0, torn = t.out.rfind("[menu] ", 0), menus = 0;
    for (auto at = t.out.find("[menu] "); at != std::string::npos; at = t.out.find("[menu] ", at + 1))
        ++menus;
    for (auto end = t.out.find("[end]\n"); end != std::string::npos; end = t.out.find("[end]\n", end + 1)) {
        ++blocks;
        torn += end + 6 != t.out.size() && t.out.compare(end + 6, 7, "[menu] ") != 0;
    }
    EXPECT_TRUE(torn == 0 && menus == blocks) << "every block is whole";
    EXPECT_LT(blocks, static_cast<std::size_t>(changes))
        << "the menus that could not be written were dropped";
}

}  // namespace
}  // namespace velmora::platform::sim
