#include "app/command_line.hpp"

#include <algorithm>

namespace velmora::app {

std::optional<std::uint16_t> parsePort(std::string_view text) {
    if (text.empty()) return std::nullopt;
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
        if (text.empty()) return std::nullopt;
    }
    std::uint16_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const unsigned digit = static_cast<unsigned>(c - '0');
        // Digits are subtracted from zero for a negative number, so anything but zero leaves the range.
        if (negative) {
            if (digit != 0) return std::nullopt;
            continue;
        }
        if (value > (65535u - digit) / 10u) return std::nullopt;
        value = static_cast<std::uint16_t>(value * 10u + digit);
    }
    return value;
}

CommandLine CommandLine::read(const std::vector<std::string>& arguments) {
    CommandLine result;
    result.dryRun = std::find(arguments.begin(), arguments.end(), "--dry-run") != arguments.end();
    result.capturableInk =
        std::find(arguments.begin(), arguments.end(), "--capturable-ink") != arguments.end();
    const auto option = std::find(arguments.begin(), arguments.end(), "--port");
    if (option != arguments.end() && std::next(option) != arguments.end()) {
        result.port = parsePort(*std::next(option)).value_or(defaultPort);
    }
    return result;
}

}  // namespace velmora::app
