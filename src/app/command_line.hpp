#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::app {

inline constexpr std::uint16_t defaultPort = 47831;

// What the command line asks for. Options are whole arguments matched exactly; everything else is ignored
// without a word, and no option stops the program.
struct CommandLine {
    std::uint16_t port = defaultPort;
    bool dryRun = false;
    bool capturableInk = false;
    std::optional<std::string> backend;   // "--backend NAME"
    std::optional<std::string> simScene;  // "--sim-scene FILE"

    // Reads the whole argument vector, the program path at index 0 included.
    static CommandLine read(const std::vector<std::string>& arguments);
};

// A port number as the command line spells it: one optional sign, then ASCII digits, at most 65535; a
// negative number only when it is zero.
std::optional<std::uint16_t> parsePort(std::string_view text);

}  // namespace velmora::app
