#include "base/log.hpp"

#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace velmora {

std::string logLine(std::chrono::system_clock::time_point at, std::string_view message) {
    const std::time_t seconds =
        std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(at));
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    const std::size_t length = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &utc);

    std::string line;
    line.reserve(length + message.size() + 4);
    line += '[';
    line.append(stamp, length);
    line += "] ";
    line += message;
    line += '\n';
    return line;
}

void log(std::string_view message) {
    const std::string line = logLine(std::chrono::system_clock::now(), message);
    // One write hands the whole line to the kernel, so lines from the main thread and the server's
    // thread never interleave. A short write (a full pipe) is finished rather than lost.
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(STDERR_FILENO, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace velmora
