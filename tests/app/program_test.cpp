// The real velmora-helper binary, run as a child on the sim desktop, with real pages over loopback.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "build_config.hpp"
#include "support/child_process.hpp"
#include "support/ws_client.hpp"

namespace velmora {
namespace {

using namespace velmora::testing;
const std::string quitItem = "  ----\n  > Quit Velmora Helper [q]\n[end]\n";
const std::string idleMenu = "[menu] title=\"\" tint=default\n  Velmora Helper — ";

// Replaces the scene file atomically, as the helper expects: window 4242 of "Slides" on one display.
void writeScene(const std::filesystem::path& file, bool trusted) {
    std::ofstream(file.string() + ".new")
        << R"({"frontmostPid": 501, "trusted": )" << (trusted ? "true" : "false")
        << R"(, "displays": [{"id": 1, "bounds": [0, 0, 1512, 982], "main": true}],
        "windows": [{"id": 4242, "pid": 501, "owner": "Slides", "bounds": [100, 120, 1200, 760], "layer": 0}]})";
    std::filesystem::rename(file.string() + ".new", file);
}

// The helper on a fresh scene and a port that was free a moment ago, once it listens.
struct Helper {
    explicit Helper(bool trusted, std::vector<std::string> arguments = {}) {
        std::filesystem::create_directories(directory);
        writeScene(scene, trusted);
        arguments.insert(arguments.end(), {"--sim-scene", scene.string(), "--port", std::to_string(port)});
        process.emplace(VELMORA_HELPER_BINARY, arguments);
        EXPECT_TRUE(process->waitForError("listening on ws://127.0.0.1:" + std::to_string(port) + "\n"));
    }
    ~Helper() { std::filesystem::remove_all(directory); }
    // Whether the last menu block the terminal stand-in printed comes to be `menu`.
    ::testing::AssertionResult awaitMenu(const std::string& menu) {
        const auto last = [&](const std::string& out) {
            const auto end = out.rfind("[end]\n"), start = out.rfind("[menu]", end);
            return end == std::string::npos ? "" : out.substr(start, end + 6 - start);
        };
        if (process->waitFor([&] { return last(process->output()) == menu; }))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the last menu:\n" << last(process->output());
    }

    net::io_context io;
    std::uint16_t port =
        net::ip::tcp::acceptor(io, {net::ip::address_v4::loopback(), 0}).local_endpoint().port();
    std::filesystem::path directory =
        std::filesystem::temp_directory_path() / ("velmora-" + std::to_string(port));
    std::filesystem::path scene = directory / "scene.json";
    std::optional<ChildProcess> process;
};

const auto next = [](WsClient& page) { return page.receive().value_or(WsMessage{"(nothing)"}).payload; };

// The first menu is built before the listener reports, so it names the port read from the command line as
// busy. A permission granted while running is noticed by the periodic check; the end of standard input
// leaves the helper running. The menu under control is pinned below, the one without it by the page test.
TEST(Program, the_first_menu_names_the_port_read_from_the_command_line_and_is_rebuilt_once_listening) {
    ChildProcess busy(VELMORA_HELPER_BINARY, {"--port", "9", "--port", "8"});  // a port it may not bind
    EXPECT_TRUE(busy.waitForOutput(idleMenu + "port 9 busy\n" + quitItem));
    Helper helper(false);
    helper.process->closeInput();
    const std::string settings = "  ----\n  > Open Accessibility settings…\n" + quitItem.substr(7);
    ASSERT_TRUE(helper.awaitMenu(idleMenu + "needs Accessibility permission\n" + settings));
    const auto page = WsClient::connect(helper.port);
    EXPECT_EQ(next(*page), R"({"type":"hello","version":"0.1.0","trusted":false,"dryRun":false})");
    writeScene(helper.scene, true);
    EXPECT_EQ(next(*page), R"({"type":"trusted","trusted":true})");
    EXPECT_TRUE(helper.awaitMenu(idleMenu + "connected, control off\n" + quitItem));
}

// Holding the left button with Shift, and "A", in the shared window.
const char* const held[] = {
    R"({"type":"target","streamIndex":1,"label":"window:4242"})",
    R"({"type":"allow","streamIndex":1,"allowed":true})",
    R"({"type":"input","streamIndex":1,"input":{"kind":"down","x":0.5,"y":0.5,"button":0},"mods":{"shift":true}})",
    R"({"type":"input","streamIndex":1,"input":{"kind":"key","down":true,"code":"KeyA","key":"a"}})"};

// Synthetic presses outlive the process: however it is asked to end, the helper first lets go of what the
// reviewer holds. Closing the page ends control the same way. In a dry run, events are logged, not posted.
TEST(Program, every_way_of_ending_releases_the_held_button_and_key_first) {
    const std::vector<std::pair<std::string, int>> ends{{"q", 0},           {"Quit Velmora Helper", 0},
                                                        {"page", 0},        {"SIGTERM", SIGTERM},
                                                        {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}};
    for (const auto& [name, signal] : ends) {
        SCOPED_TRACE(name);
        Helper helper(false, {"--dry-run"});
        auto& process = *helper.process;
        const auto page = WsClient::connect(helper.port);
        EXPECT_EQ(next(*page), R"({"type":"hello","version":"0.1.0","trusted":false,"dryRun":true})");
        for (const auto message : held)
            page->sendText(message);
        ASSERT_TRUE(process.waitForError("] dry-run: left-down at (700, 500) flags=131072\n"));
        ASSERT_TRUE(process.waitForError("] dry-run: key-down at (0, 0) flags=0\n"));
        ASSERT_TRUE(helper.awaitMenu(
            "[menu] title=\" Controlled\" tint=orange\n  A reviewer is controlling your shared window\n  "
            "Screen one: "
            "Slides · controlled\n  ----\n  > Take back control\n  > Open Accessibility settings…\n" +
            quitItem.substr(7)));
        if (name == "page") {
            page->close();
            EXPECT_TRUE(process.waitForError("] control revoked: Velmora disconnected\n"));
        } else {
            signal ? ::kill(process.pid(), signal) : (process.writeLine(name), 0);
            EXPECT_EQ(process.waitForExit(), signal == 0 ? 0 : 128 + signal);
        }
        ASSERT_TRUE(process.waitForError("] dry-run: key-up at (0, 0) flags=0\n"));
        const auto& log = process.error();
        EXPECT_LT(log.find("] dry-run: left-up at (700, 500) flags=0\n"), log.find("] dry-run: key-up"))
            << log;
        EXPECT_EQ(
            log.find("] received " + name + ", releasing held input and quitting\n") != std::string::npos,
            signal != 0);
    }
}

}  // namespace
}  // namespace velmora
