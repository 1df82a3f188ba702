#include "app/command_line.hpp"

#include <gtest/gtest.h>

namespace velmora::app {
namespace {

// Whole arguments only, the first occurrence of an option, its value the next argument; a port that is not
// one (by the decimal rules, decided by their own test, up to 65535) gives the default port.
TEST(CommandLine, reads_each_option_by_the_documented_rules) {
    struct Case {
        std::vector<std::string> arguments;  // after the program path
        std::uint16_t port = 47831;
        bool dryRun = false, capturableInk = false;
        std::optional<std::string> backend = {}, scene = {};
    };
    const std::vector<Case> cases{
        {{}},
        {{"--port", "65535"}, 65535},
        {{"--port", "65536"}},
        {{"--port", "80x"}},
        {{"--port"}},
        {{"--port", "80", "--port", "81"}, 80},
        {{"--port", "abc", "--port", "81"}},
        {{"--port", "--dry-run"}, 47831, true},
        {{"--capturable-ink", "x", "--dry-run"}, 47831, true, true},
        {{"--DRY-RUN", "--Port", "80", "-p", "80", "--sim-scene=a", "--SIM-SCENE", "b"}},
        {{"--sim-scene", "a", "--port", "4000", "--sim-scene", "b"}, 4000, false, false, {}, "a"},
        {{"--sim-scene", "--dry-run"}, 47831, true, false, {}, "--dry-run"},
        {{"--sim-scene", ""}, 47831, false, false, {}, ""},
        {{"--backend", "x11", "--backend", "sim"}, 47831, false, false, "x11"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"/usr/bin/velmora-helper"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const auto read = CommandLine::read(arguments);
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        EXPECT_EQ(std::tie(read.port, read.dryRun, read.capturableInk, read.backend, read.simScene),
                  std::tie(c.port, c.dryRun, c.capturableInk, c.backend, c.scene));
    }
    EXPECT_TRUE(CommandLine::read({"--dry-run"}).dryRun);  // the program path counts as an argument
}

}  // namespace
}  // namespace velmora::app
