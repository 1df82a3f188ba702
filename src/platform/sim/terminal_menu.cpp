#include "platform/sim/terminal_menu.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace velmora::platform::sim {

namespace {

// A title holding a line break would end the block early or forge a line of its own.
std::string oneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    return out;
}

// Longer lines are nothing a menu could match; they are dropped rather than kept growing.
constexpr std::size_t maxLineLength = 64 * 1024;

}  // namespace

TerminalStatusMenu::TerminalStatusMenu(SimDesktop& desktop, int input, std::FILE* output)
    : desktop_(desktop), loop_(desktop.loop()), input_(input), output_(output) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("cannot create the terminal menu's pipe");
    desktop_.onStatusItemChanged = [this](const SimStatusItem&) { changed(); };
    reader_ = std::thread([this] { readLines(); });
}

TerminalStatusMenu::~TerminalStatusMenu() {
    desktop_.onStatusItemChanged = nullptr;
    const char stop = 0;
    while (::write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
    }
    reader_.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
}

std::string TerminalStatusMenu::format(const SimStatusItem& item) {
    std::string block = "[menu] title=\"" + oneLine(item.title()) + "\" tint=";
    block += item.tint() == Tint::systemOrange ? "orange" : "default";
    block += '\n';
    for (const auto& entry : item.menu().items) {
        if (entry.isSeparator) {
            block += "  ----\n";
        } else if (!entry.enabled) {
            block += "  " + oneLine(entry.title) + "\n";
        } else {
            block += "  > " + oneLine(entry.title);
            if (!entry.keyEquivalent.empty()) block += " [" + oneLine(entry.keyEquivalent) + "]";
            block += '\n';
        }
    }
    block += "[end]\n";
    return block;
}

void TerminalStatusMenu::changed() {
    if (printPending_) return;
    printPending_ = true;
    loop_.post([alive = std::weak_ptr<bool>(alive_), this] {
        if (alive.expired()) return;
        printPending_ = false;
        print();
    });
}

void TerminalStatusMenu::print() {
    const auto* item = desktop_.statusItem();
    if (item == nullptr) return;
    const std::string block = format(*item);
    std::fwrite(block.data(), 1, block.size(), output_);
    std::fflush(output_);
}

void TerminalStatusMenu::choose(const std::string& line) {
    if (auto* item = desktop_.statusItem()) item->choose(line);
}

// Runs on the reader thread: it only reads and posts.
void TerminalStatusMenu::readLines() {
    std::string pending;
    bool overlong = false;
    auto deliver = [&](std::string line) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.pop_back();
        loop_.post([alive = std::weak_ptr<bool>(alive_), this, line = std::move(line)] {
            if (alive.expired()) return;
            choose(line);
        });
    };
    char buffer[4096];
    while (true) {
        pollfd fds[2] = {{input_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        if ((fds[0].revents & POLLNVAL) != 0) return;
        const ssize_t n = ::read(input_, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] == '\n') {
                if (!overlong) deliver(std::move(pending));
                pending.clear();
                overlong = false;
            } else if (pending.size() < maxLineLength) {
                pending += buffer[i];
            } else {
                overlong = true;
            }
        }
    }
    // The end of the input: a last line without its line break still counts.
    if (!pending.empty() && !overlong) deliver(std::move(pending));
}

}  // namespace velmora::platform::sim
