#pragma once

#include <memory>
#include <string>
#include <thread>

#include "platform/terminal/status_item.hpp"

namespace velmora::platform::terminal {

// The menu bar on a terminal, for desktops without one of their own. Whenever the status item's button or
// menu changes it prints one block (changes made in one turn of the main loop, such as a whole menu rebuild,
// give one block showing the result):
//
//     [menu] title="<button title>" tint=<default|orange>
//       <disabled item title>
//       ----
//       > <enabled item title> [<key equivalent, when it has one>]
//     [end]
//
// A line read from the input that equals an enabled item's title or key equivalent chooses that item;
// other lines are ignored, and the end of the input changes nothing. Lines are read on a thread of the
// menu's own and handed to the main loop, as clicks in a real menu bar would be.
//
// Printing never waits for the reader of the output: what cannot be written now waits for the output to
// drain, and only the block being written and the latest one are kept, so a reader that falls behind
// misses intermediate menus but never sees half a block, and always gets the latest menu in the end.
class TerminalStatusMenu {
  public:
    // `input` and `output` (standard input and output in a headless run) stay open and owned by the caller.
    TerminalStatusMenu(StatusItemHost& host, MainLoop& loop, int input, int output);
    ~TerminalStatusMenu();
    TerminalStatusMenu(const TerminalStatusMenu&) = delete;
    TerminalStatusMenu& operator=(const TerminalStatusMenu&) = delete;

    // The block for the item as it is now.
    static std::string format(const TerminalStatusItem& item);

  private:
    class Output;
    void changed();
    void print();
    void choose(const std::string& line);
    void readLines();

    StatusItemHost& host_;
    MainLoop& loop_;
    int input_;
    std::unique_ptr<Output> output_;
    int wake_[2] = {-1, -1};  // written to on destruction, so the reader stops waiting for input
    bool printPending_ = false;
    // Tasks posted to the main loop hold this weakly: they do nothing once the menu is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::thread reader_;
};

}  // namespace velmora::platform::terminal
