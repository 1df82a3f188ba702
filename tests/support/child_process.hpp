#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace velmora::testing {

// A program run as a child with its standard input, output and error on pipes. Nothing sleeps: every wait
// polls the pipes, collecting output, until its condition holds or its time is up.
class ChildProcess {
  public:
    using Timeout = std::chrono::milliseconds;
    static constexpr Timeout patience{20000};

    ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
        int pipes[3][2];  // standard input, output, error: the child's end is [1] of each, [0] of the first
        for (auto& ends : pipes)
            if (::pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        std::vector<char*> raw{const_cast<char*>(program.c_str())};  // execv changes none of them
        for (const auto& a : arguments)
            raw.push_back(const_cast<char*>(a.c_str()));
        raw.push_back(nullptr);
        if ((pid_ = ::fork()) < 0) throw std::runtime_error("fork failed");
        for (int fd = 0; fd < 3; ++fd)
            pid_ == 0 ? ::dup2(pipes[fd][fd > 0], fd) : ::close(pipes[fd][fd > 0]);
        if (pid_ == 0) ::execv(program.c_str(), raw.data()), ::_exit(127);
        in_ = ::fdopen(pipes[0][1], "w"), fds_[0] = pipes[1][0], fds_[1] = pipes[2][0];
        for (int fd : fds_)
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
        ::signal(SIGPIPE, SIG_IGN);
    }
    ~ChildProcess() {  // kills the child if it still runs
        if (!status_ && pid_ > 0) ::kill(pid_, SIGKILL), reap(true);
        closeInput();
        for (int fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void writeLine(const std::string& line) {
        if (in_) std::fputs((line + "\n").c_str(), in_), std::fflush(in_);
    }
    void closeInput() {
        if (in_) std::fclose(std::exchange(in_, nullptr));
    }

    // False when `timeout` passed first or the child ended without `done` holding.
    bool waitFor(const std::function<bool()>& done, Timeout timeout = patience) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            const auto left = std::chrono::ceil<Timeout>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            if (fds_[0] < 0 && fds_[1] < 0) return reap(true), done();
            pump(std::min(left, Timeout(100)));
        }
        return true;
    }
    bool waitForOutput(const std::string& text, Timeout timeout = patience) {
        return waitIn(0, text, timeout);
    }
    bool waitForError(const std::string& text, Timeout timeout = patience) {
        return waitIn(1, text, timeout);
    }
    // The exit status (128 + signal when killed by one), or nothing when it did not end in time.
    std::optional<int> waitForExit(Timeout timeout = patience) {
        waitFor([&] { return reap(false), status_.has_value(); }, timeout);
        return status_;
    }

    const std::string& output() const { return out_[0]; }
    const std::string& error() const { return out_[1]; }
    pid_t pid() const { return pid_; }

  private:
    bool waitIn(int stream, const std::string& text, Timeout timeout) {
        return waitFor([&] { return out_[stream].find(text) != std::string::npos; }, timeout);
    }
    void pump(std::chrono::milliseconds wait) {
        pollfd polled[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
        if (::poll(polled, 2, static_cast<int>(wait.count())) <= 0) return;
        char buffer[8192];
        for (int i = 0; i < 2; ++i) {
            if (fds_[i] < 0 || (polled[i].revents & (POLLIN | POLLHUP)) == 0) continue;
            ssize_t n;
            while ((n = ::read(fds_[i], buffer, sizeof buffer)) > 0)
                out_[i].append(buffer, static_cast<std::size_t>(n));
            if (n == 0) ::close(std::exchange(fds_[i], -1));  // the child closed this pipe
        }
    }
    void reap(bool block) {
        int raw = 0;
        if (!status_ && pid_ > 0 && ::waitpid(pid_, &raw, block ? 0 : WNOHANG) == pid_)
            status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    }

    pid_t pid_ = -1;
    std::FILE* in_ = nullptr;
    int fds_[2] = {-1, -1};
    std::string out_[2];  // standard output, standard error
    std::optional<int> status_;
};

}  // namespace velmora::testing
