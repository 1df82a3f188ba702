#pragma once

#include <string>

namespace velmora::testing {

// Redirects this process's standard error into a temporary file while alive; text() gives what was written.
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string text() const;

  private:
    int saved_;
    int file_;
    std::string path_;
};

}  // namespace velmora::testing
