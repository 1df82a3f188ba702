#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace velmora::testing {

// A program run as a child with its standard input, output and error on pipes. Output is collected while
// waiting; nothing sleeps: every wait polls the pipes until its condition holds or its time is up.
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
    ~ChildProcess();  // kills the child if it still runs
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void writeLine(const std::string& line);
    void closeInput();

    // Collects output until `done` holds; false when `timeout` passed first or the child ended without it.
    bool waitFor(const std::function<bool()>& done,
                 std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool waitForError(const std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits for the child to end; its exit status, or nothing when it did not end in time or was killed.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    const std::string& output() const { return out_; }
    const std::string& error() const { return err_; }
    pid_t pid() const { return pid_; }

  private:
    // Reads what is available, waiting at most `wait` for something to arrive.
    void pump(std::chrono::milliseconds wait);
    void reap(bool block);

    pid_t pid_ = -1;
    int in_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    std::string out_;
    std::string err_;
    std::optional<int> status_;
};

}  // namespace velmora::testing
