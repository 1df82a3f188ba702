#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
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
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
        int in[2], out[2], err[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        std::vector<std::string> argv{program};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        std::vector<char*> raw;
        for (auto& a : argv)
            raw.push_back(a.data());
        raw.push_back(nullptr);
        if ((pid_ = ::fork()) < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(err[1], STDERR_FILENO);
            ::execv(program.c_str(), raw.data());
            ::_exit(127);
        }
        for (int fd : {in[0], out[1], err[1]})
            ::close(fd);
        in_ = in[1], fds_[0] = out[0], fds_[1] = err[0];
        for (int fd : fds_)
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
        ::signal(SIGPIPE, SIG_IGN);
    }
    ~ChildProcess() {  // kills the child if it still runs
        if (!status_ && pid_ > 0) ::kill(pid_, SIGKILL), reap(true);
        for (int fd : {in_, fds_[0], fds_[1]})
            if (fd >= 0) ::close(fd);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void writeLine(const std::string& line) {
        const std::string text = line + "\n";
        for (std::size_t done = 0; in_ >= 0 && done < text.size();) {
            const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
            if (n < 0 && errno != EINTR) return;
            done += static_cast<std::size_t>(std::max<ssize_t>(n, 0));
        }
    }
    void closeInput() {
        if (in_ >= 0) ::close(in_);
        in_ = -1;
    }

    // False when `timeout` passed first or the child ended without `done` holding.
    bool waitFor(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            if (fds_[0] < 0 && fds_[1] < 0) return reap(true), done();
            pump(std::min(left, std::chrono::milliseconds(100)));
        }
        return true;
    }
    bool waitForOutput(const std::string& text,
                       std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return waitFor([&] { return out_[0].find(text) != std::string::npos; }, timeout);
    }
    bool waitForError(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return waitFor([&] { return out_[1].find(text) != std::string::npos; }, timeout);
    }
    // The exit status (128 + signal when killed by one), or nothing when it did not end in time.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        waitFor([&] { return reap(false), status_.has_value(); }, timeout);
        return status_;
    }

    const std::string& output() const { return out_[0]; }
    const std::string& error() const { return out_[1]; }
    pid_t pid() const { return pid_; }

  private:
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
    int in_ = -1, fds_[2] = {-1, -1};
    std::string out_[2];  // standard output, standard error
    std::optional<int> status_;
};

}  // namespace velmora::testing
