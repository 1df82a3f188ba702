#include "app/command_line.hpp"

#include <gtest/gtest.h>

namespace velmora::app {
namespace {

struct Case {
    std::vector<std::string> arguments;  // after the program path
    std::uint16_t port;
    bool dryRun;
    bool capturableInk;
};

TEST(CommandLine, reads_port_dry_run_and_capturable_ink_by_the_documented_rules) {
    const std::vector<Case> cases = {
        {{}, 47831, false, false},
        {{"--port", "8080"}, 8080, false, false},
        {{"--port", "+8080"}, 8080, false, false},
        {{"--port", "08080"}, 8080, false, false},
        {{"--port", "-0"}, 0, false, false},
        {{"--port", "-000"}, 0, false, false},
        {{"--port", "0"}, 0, false, false},
        {{"--port", "65535"}, 65535, false, false},
        {{"--port", "0000065535"}, 65535, false, false},
        {{"--port", "65536"}, 47831, false, false},
        {{"--port", "99999999999999999999"}, 47831, false, false},
        {{"--port", "-1"}, 47831, false, false},
        {{"--port", "abc"}, 47831, false, false},
        {{"--port", "80x"}, 47831, false, false},
        {{"--port", " 80"}, 47831, false, false},
        {{"--port", "80 "}, 47831, false, false},
        {{"--port", ""}, 47831, false, false},
        {{"--port", "+"}, 47831, false, false},
        {{"--port", "-"}, 47831, false, false},
        {{"--port", "+-80"}, 47831, false, false},
        {{"--port", "8.0"}, 47831, false, false},
        {{"--port", "\xd9\xa8"}, 47831, false, false},  // ARABIC-INDIC DIGIT EIGHT is not an ASCII digit
        {{"--port"}, 47831, false, false},
        {{"--port=80"}, 47831, false, false},
        {{"--port", "80", "--port", "81"}, 80, false, false},
        {{"--port", "abc", "--port", "81"}, 47831, false, false},
        {{"--port", "--dry-run"}, 47831, true, false},
        {{"--dry-run", "--port", "9000"}, 9000, true, false},
        {{"--capturable-ink", "x", "--dry-run"}, 47831, true, true},
        {{"--DRY-RUN", "--Port", "80", "-p", "80"}, 47831, false, false},
        {{"--sim-scene", "scene.json", "--port", "4000"}, 4000, false, false},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"/usr/bin/velmora-helper"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const auto read = CommandLine::read(arguments);
        std::string shown;
        for (const auto& a : c.arguments)
            shown += "[" + a + "] ";
        EXPECT_EQ(read.port, c.port) << shown;
        EXPECT_EQ(read.dryRun, c.dryRun) << shown;
        EXPECT_EQ(read.capturableInk, c.capturableInk) << shown;
    }
}

// The backend options follow the same rule: whole arguments, the first occurrence, the next argument.
TEST(CommandLine, reads_the_first_backend_and_sim_scene_options_and_their_values) {
    struct Options {
        std::vector<std::string> arguments;
        std::optional<std::string> backend;
        std::optional<std::string> scene;
    };
    const Options cases[] = {
        {{}, std::nullopt, std::nullopt},
        {{"--sim-scene", "a.json"}, std::nullopt, "a.json"},
        {{"--dry-run", "--sim-scene", "a.json", "--sim-scene", "b.json"}, std::nullopt, "a.json"},
        {{"--sim-scene", "--dry-run"}, std::nullopt, "--dry-run"},
        {{"--sim-scene"}, std::nullopt, std::nullopt},
        {{"--sim-scene=a.json", "--SIM-SCENE", "b"}, std::nullopt, std::nullopt},
        {{"--sim-scene", ""}, std::nullopt, ""},
        {{"--backend", "x11", "--backend", "sim"}, "x11", std::nullopt},
        {{"--backend", "sim", "--sim-scene", "a.json"}, "sim", "a.json"},
        {{"--backend"}, std::nullopt, std::nullopt},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments{"velmora-helper"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        const auto read = CommandLine::read(arguments);
        EXPECT_EQ(read.backend, c.backend) << ::testing::PrintToString(c.arguments);
        EXPECT_EQ(read.simScene, c.scene) << ::testing::PrintToString(c.arguments);
    }
}

TEST(CommandLine, program_path_counts_as_an_argument) {
    EXPECT_TRUE(CommandLine::read({"--dry-run"}).dryRun);
    EXPECT_EQ(CommandLine::read({"--port", "1234"}).port, 1234);
}

}  // namespace
}  // namespace velmora::app
