#pragma once

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace velmora::testing {

// Redirects this process's standard error into a temporary file while alive; text() gives what was written.
class StderrCapture {
  public:
    StderrCapture() {
        if (file_ < 0) throw std::runtime_error("mkstemp failed");
        std::fflush(stderr);
        ::dup2(file_, STDERR_FILENO);
    }
    ~StderrCapture() {
        std::fflush(stderr);
        ::dup2(saved_, STDERR_FILENO);
        ::close(saved_), ::close(file_), ::unlink(path_.c_str());
    }
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text() const {
        std::fflush(stderr);
        std::ostringstream text;
        text << std::ifstream(path_, std::ios::binary).rdbuf();
        return text.str();
    }

  private:
    std::string path_ = "/tmp/velmora-stderr-XXXXXX";
    int saved_ = ::dup(STDERR_FILENO), file_ = ::mkstemp(path_.data());
};

}  // namespace velmora::testing
