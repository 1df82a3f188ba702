#include "app/command_line.hpp"

#include "base/decimal.hpp"

#include <algorithm>

namespace velmora::app {

std::optional<std::uint16_t> parsePort(std::string_view text) {
    const auto value = parseUnsigned(text, 65535);
    if (!value) return std::nullopt;
    return static_cast<std::uint16_t>(*value);
}

namespace {
// The value after the first occurrence of `name`, when there is one.
std::optional<std::string> valueOf(const std::vector<std::string>& arguments, std::string_view name) {
    const auto option = std::find(arguments.begin(), arguments.end(), name);
    if (option == arguments.end() || std::next(option) == arguments.end()) return std::nullopt;
    return *std::next(option);
}
}  // namespace

CommandLine CommandLine::read(const std::vector<std::string>& arguments) {
    CommandLine result;
    result.dryRun = std::find(arguments.begin(), arguments.end(), "--dry-run") != arguments.end();
    result.capturableInk =
        std::find(arguments.begin(), arguments.end(), "--capturable-ink") != arguments.end();
    if (const auto port = valueOf(arguments, "--port")) result.port = parsePort(*port).value_or(defaultPort);
    result.backend = valueOf(arguments, "--backend");
    result.simScene = valueOf(arguments, "--sim-scene");
    return result;
}

}  // namespace velmora::app
