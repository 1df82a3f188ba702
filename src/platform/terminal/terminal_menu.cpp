#include "platform/terminal/terminal_menu.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <cerrno>
#include <optional>
#include <stdexcept>

namespace velmora::platform::terminal {

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

// A descriptor of the menu's own for `fd`, to write to without blocking. Pipes and terminals are opened
// again (a description of their own), because making the shared one non-blocking would change it for
// everyone else writing to it, the log on standard error included. A socket is written to with
// MSG_DONTWAIT instead; regular files never hold a write up.
int ownDescriptor(int fd, bool& socket) {
    struct stat info {};
    const bool known = ::fstat(fd, &info) == 0;
    socket = known && S_ISSOCK(info.st_mode);
    if (known && !S_ISREG(info.st_mode) && !socket) {
        const std::string self = "/proc/self/fd/" + std::to_string(fd);
        const int own = ::open(self.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (own >= 0) return own;
    }
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) throw std::runtime_error("cannot open the terminal menu's output");
    if (known && !S_ISREG(info.st_mode) && !socket) {
        // A pipe that cannot be opened again: the shared description it is.
        ::fcntl(own, F_SETFL, ::fcntl(own, F_GETFL) | O_NONBLOCK);
    }
    return own;
}

}  // namespace

// Writes blocks whole and in order without ever waiting: the rest of a block that did not fit is written
// when the descriptor can take more, and of the blocks shown meanwhile only the latest is kept.
class TerminalStatusMenu::Output {
  public:
    Output(MainLoop& loop, int fd) : descriptor_(loop.context()) {
        descriptor_.assign(ownDescriptor(fd, socket_));
    }

    void show(std::string block) {
        if (sent_ == 0) {
            current_ = std::move(block);
        } else {
            next_ = std::move(block);
        }
        flush();
    }

  private:
    void flush() {
        while (sent_ < current_.size()) {
            const char* data = current_.data() + sent_;
            const std::size_t size = current_.size() - sent_;
            const int fd = descriptor_.native_handle();
            const ssize_t n =
                socket_ ? ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL) : ::write(fd, data, size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return waitUntilWritable();
            if (n < 0) {
                // Nobody will read it (a closed pipe): nothing is kept for later.
                current_.clear();
                next_.reset();
                sent_ = 0;
                return;
            }
            sent_ += static_cast<std::size_t>(n);
            if (sent_ == current_.size()) {
                current_ = next_ ? std::move(*next_) : std::string();
                next_.reset();
                sent_ = 0;
            }
        }
    }

    void waitUntilWritable() {
        if (waiting_) return;
        waiting_ = true;
        descriptor_.async_wait(
            boost::asio::posix::stream_descriptor::wait_write,
            [alive = std::weak_ptr<bool>(alive_), this](const boost::system::error_code& error) {
                if (alive.expired() || error) return;
                waiting_ = false;
                flush();
            });
    }

    boost::asio::posix::stream_descriptor descriptor_;
    bool socket_ = false;
    std::string current_;  // the block being written, `sent_` bytes of it out
    std::size_t sent_ = 0;
    std::optional<std::string> next_;
    bool waiting_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

TerminalStatusMenu::TerminalStatusMenu(StatusItemHost& host, MainLoop& loop, int input, int output)
    : host_(host), loop_(loop), input_(input), output_(std::make_unique<Output>(loop, output)) {
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("cannot create the terminal menu's pipe");
    host_.onStatusItemChanged = [this](const TerminalStatusItem&) { changed(); };
    reader_ = std::thread([this] { readLines(); });
}

TerminalStatusMenu::~TerminalStatusMenu() {
    host_.onStatusItemChanged = nullptr;
    const char stop = 0;
    while (::write(wake_[1], &stop, 1) < 0 && errno == EINTR) {
    }
    reader_.join();
    ::close(wake_[0]);
    ::close(wake_[1]);
}

std::string TerminalStatusMenu::format(const TerminalStatusItem& item) {
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
    const auto* item = host_.statusItem();
    if (item == nullptr) return;
    output_->show(format(*item));
}

void TerminalStatusMenu::choose(const std::string& line) {
    if (auto* item = host_.statusItem()) item->choose(line);
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

}  // namespace velmora::platform::terminal
