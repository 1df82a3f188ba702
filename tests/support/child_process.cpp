#include "support/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace velmora::testing {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<char*> raw;
    for (auto& a : argv)
        raw.push_back(a.data());
    raw.push_back(nullptr);

    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(in[0], STDIN_FILENO);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(err[1], STDERR_FILENO);
        ::execv(program.c_str(), raw.data());
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    in_ = in[1];
    outFd_ = out[0];
    errFd_ = err[0];
    ::fcntl(outFd_, F_SETFL, O_NONBLOCK);
    ::fcntl(errFd_, F_SETFL, O_NONBLOCK);
    ::signal(SIGPIPE, SIG_IGN);
}

ChildProcess::~ChildProcess() {
    if (!status_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        reap(true);
    }
    for (int fd : {in_, outFd_, errFd_}) {
        if (fd >= 0) ::close(fd);
    }
}

void ChildProcess::writeLine(const std::string& line) {
    if (in_ < 0) return;
    const std::string text = line + "\n";
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        done += static_cast<std::size_t>(n);
    }
}

void ChildProcess::closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
}

void ChildProcess::pump(std::chrono::milliseconds wait) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    const int ready = ::poll(fds, 2, static_cast<int>(wait.count()));
    if (ready <= 0) return;
    char buffer[8192];
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || (fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
        while (true) {
            const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
            if (n <= 0) {
                if (n == 0) {
                    // The child closed this pipe; stop polling it.
                    ::close(fds[i].fd);
                    (i == 0 ? outFd_ : errFd_) = -1;
                }
                break;
            }
            (i == 0 ? out_ : err_).append(buffer, static_cast<std::size_t>(n));
        }
    }
}

void ChildProcess::reap(bool block) {
    if (status_ || pid_ <= 0) return;
    int raw = 0;
    const pid_t r = ::waitpid(pid_, &raw, block ? 0 : WNOHANG);
    if (r == pid_) status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool ChildProcess::waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (done()) return true;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        if (outFd_ < 0 && errFd_ < 0) {
            reap(true);
            return done();
        }
        pump(std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now),
                      std::chrono::milliseconds(100)));
    }
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
    return waitFor([&] { return out_.find(text) != std::string::npos; }, timeout);
}

bool ChildProcess::waitForError(const std::string& text, std::chrono::milliseconds timeout) {
    return waitFor([&] { return err_.find(text) != std::string::npos; }, timeout);
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
    waitFor(
        [&] {
            reap(false);
            return status_.has_value();
        },
        timeout);
    return status_;
}

}  // namespace velmora::testing
