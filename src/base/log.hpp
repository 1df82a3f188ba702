#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace velmora {

// Writes "[<UTC timestamp>] <message>\n" to standard error in one write. Safe from any thread.
void log(std::string_view message);

// The exact line `log` writes for `message` at time `at`, for callers that must know it byte for byte.
std::string logLine(std::chrono::system_clock::time_point at, std::string_view message);

}  // namespace velmora
