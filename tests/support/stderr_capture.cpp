#include "support/stderr_capture.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace velmora::testing {

StderrCapture::StderrCapture() {
    char name[] = "/tmp/velmora-stderr-XXXXXX";
    file_ = ::mkstemp(name);
    if (file_ < 0) throw std::runtime_error("mkstemp failed");
    path_ = name;
    std::fflush(stderr);
    saved_ = ::dup(STDERR_FILENO);
    ::dup2(file_, STDERR_FILENO);
}

StderrCapture::~StderrCapture() {
    std::fflush(stderr);
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
    ::close(file_);
    ::unlink(path_.c_str());
}

std::string StderrCapture::text() const {
    std::fflush(stderr);
    std::string out;
    const int fd = ::open(path_.c_str(), O_RDONLY);
    if (fd < 0) return out;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
        out.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return out;
}

}  // namespace velmora::testing
