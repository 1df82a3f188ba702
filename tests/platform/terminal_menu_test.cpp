#include "platform/terminal/terminal_menu.hpp"
#include "platform/sim/sim_desktop.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "platform_test_support.hpp"

namespace velmora::platform::sim {
namespace {

// A status item shown by a terminal menu that reads a pipe we write to and prints to a file we read.
struct Terminal {
    Terminal() {
        if (::pipe(input) != 0) throw std::runtime_error("pipe");
        menu = std::make_unique<terminal::TerminalStatusMenu>(desktop, desktop.loop(), input[0],
                                                              ::fileno(output));
        item = desktop.createStatusItem();
    }
    ~Terminal() {
        item.reset();
        menu.reset();
        closeInput();
        ::close(input[0]);
        std::fclose(output);
    }
    void type(const std::string& text) const {
        ASSERT_EQ(::write(input[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeInput() {
        if (input[1] >= 0) ::close(input[1]);
        input[1] = -1;
    }
    std::string printed() { return platform::testing::streamContents(output); }

    MainLoop loop;
    SimDesktop desktop{loop};
    int input[2] = {-1, -1};
    std::FILE* output = std::tmpfile();
    std::unique_ptr<terminal::TerminalStatusMenu> menu;
    std::unique_ptr<StatusItem> item;
    std::vector<std::string> chosen;
};

Menu controlledMenu(std::vector<std::string>& chosen) {
    Menu menu;
    menu.items.push_back({"Listening on 127.0.0.1:47831", false, {}, "", false});
    menu.items.push_back({"Stream 1 \u00b7 Slides", false, {}, "", false});
    menu.items.push_back(MenuItem::separator());
    menu.items.push_back({"Take back control", true, [&] { chosen.push_back("take"); }, "", false});
    menu.items.push_back(
        {"Open Accessibility settings\u2026", true, [&] { chosen.push_back("open"); }, "", false});
    menu.items.push_back({"Quit Velmora Helper", true, [&] { chosen.push_back("quit"); }, "q", false});
    return menu;
}

const std::string controlledBlock =
    "[menu] title=\" Controlled\" tint=orange\n"
    "  Listening on 127.0.0.1:47831\n"
    "  Stream 1 \u00b7 Slides\n"
    "  ----\n"
    "  > Take back control\n"
    "  > Open Accessibility settings\u2026\n"
    "  > Quit Velmora Helper [q]\n"
    "[end]\n";

TEST(TerminalStatusMenu, a_menu_rebuild_prints_one_block_with_the_result) {
    Terminal t;
    t.item->setMenu(controlledMenu(t.chosen));
    t.item->setTitle(" Controlled");
    t.item->setContentTint(Tint::systemOrange);
    t.loop.drain();
    EXPECT_EQ(t.printed(), controlledBlock);

    Menu plain;
    plain.items.push_back({"Waiting", false, {}, "", false});
    t.item->setMenu(std::move(plain));
    t.item->setTitle("");
    t.item->setContentTint(Tint::none);
    t.loop.drain();
    EXPECT_EQ(t.printed(), controlledBlock + "[menu] title=\"\" tint=default\n  Waiting\n[end]\n");
}

TEST(TerminalStatusMenu, a_line_break_in_a_title_cannot_forge_a_line) {
    Terminal t;
    Menu menu;
    menu.items.push_back({"Stream 1 \u00b7 Evil\n[end]\n  > Quit", false, {}, "", false});
    t.item->setMenu(std::move(menu));
    t.loop.drain();
    EXPECT_EQ(t.printed(), "[menu] title=\"\" tint=default\n  Stream 1 \u00b7 Evil [end]   > Quit\n[end]\n");
}

TEST(TerminalStatusMenu, a_line_chooses_an_enabled_item_by_title_or_key_equivalent) {
    Terminal t;
    t.item->setMenu(controlledMenu(t.chosen));
    t.type("Take back control\n");
    ASSERT_TRUE(t.loop.runUntil([&] { return t.chosen.size() == 1; }));
    t.type("Open Accessibility settings\u2026\r\nq\r\n");
    ASSERT_TRUE(t.loop.runUntil([&] { return t.chosen.size() == 3; }));
    EXPECT_EQ(t.chosen, (std::vector<std::string>{"take", "open", "quit"}));
}

TEST(TerminalStatusMenu, disabled_items_unknown_lines_and_the_end_of_input_change_nothing) {
    Terminal t;
    t.item->setMenu(controlledMenu(t.chosen));
    t.loop.drain();
    const auto before = t.printed();
    // The lines are handled in order, so once the last one (a choice, ended by the end of input) is
    // done, so are all the others.
    t.type("Listening on 127.0.0.1:47831\n----\nQ\n\nquit\n q\nTake back control \nTake back control");
    t.closeInput();
    ASSERT_TRUE(t.loop.runUntil([&] { return !t.chosen.empty(); }));
    EXPECT_EQ(t.chosen, (std::vector<std::string>{"take"}));
    EXPECT_EQ(t.printed(), before);
    t.item->setTitle(" Controlled");
    t.loop.drain();
    EXPECT_NE(t.printed(), before) << "the menu keeps printing after the input ended";
}

TEST(TerminalStatusMenu, a_last_line_without_its_line_break_still_counts) {
    Terminal t;
    t.item->setMenu(controlledMenu(t.chosen));
    t.type("q");
    t.closeInput();
    ASSERT_TRUE(t.loop.runUntil([&] { return !t.chosen.empty(); }));
    EXPECT_EQ(t.chosen, (std::vector<std::string>{"quit"}));
}

// Nothing reads the output while the menu changes far more than a pipe holds; the loop keeps running, and
// once the output is read it holds whole blocks, the latest last.
TEST(TerminalStatusMenu, an_unread_output_holds_nothing_up_and_gets_the_latest_menu_whole) {
    MainLoop loop;
    SimDesktop desktop{loop};
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    ASSERT_EQ(::pipe2(input, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(output, O_CLOEXEC | O_NONBLOCK), 0);
    auto menu = std::make_unique<terminal::TerminalStatusMenu>(desktop, desktop.loop(), input[0], output[1]);
    auto item = desktop.createStatusItem();
    std::vector<std::string> chosen;
    item->setMenu(controlledMenu(chosen));
    // Blocks longer than a pipe takes in one piece, so that some are written in parts.
    const int changes = 300;
    for (int i = 0; i < changes; ++i) {
        item->setTitle("Stream " + std::to_string(i) + std::string(6000, '.'));
        loop.drain();
    }
    const auto latest = terminal::TerminalStatusMenu::format(*desktop.statusItem());
    std::string printed;
    EXPECT_TRUE(loop.runUntil([&] {
        char buffer[65536];
        ssize_t n;
        while ((n = ::read(output[0], buffer, sizeof buffer)) > 0)
            printed.append(buffer, static_cast<std::size_t>(n));
        return printed.ends_with(latest);
    }));
    EXPECT_EQ(printed.rfind("[menu] ", 0), 0u);
    std::size_t blocks = 0;
    std::size_t torn = 0;
    for (auto end = printed.find("[end]\n"); end != std::string::npos;
         end = printed.find("[end]\n", end + 1)) {
        const auto next = end + 6;
        ++blocks;
        torn += next != printed.size() && printed.compare(next, 7, "[menu] ") != 0;
    }
    EXPECT_EQ(torn, 0u) << "every block is whole";
    EXPECT_LT(blocks, static_cast<std::size_t>(changes))
        << "the menus that could not be written were dropped";
    item.reset();
    menu.reset();
    for (const int fd : {input[0], input[1], output[0], output[1]})
        ::close(fd);
}

}  // namespace
}  // namespace velmora::platform::sim
