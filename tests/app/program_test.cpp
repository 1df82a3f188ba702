// The real velmora-helper binary, run as a child on the sim desktop.
#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "build_config.hpp"
#include "support/child_process.hpp"
#include "support/ws_client.hpp"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

namespace velmora {
namespace {

using namespace std::chrono_literals;
using boost::json::object;
using testing::ChildProcess;
using testing::WsClient;

// A port that was free a moment ago.
std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

class SceneDirectory {
  public:
    SceneDirectory() {
        char name[] = "/tmp/velmora-program-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~SceneDirectory() { std::filesystem::remove_all(path_); }
    std::string scene() const { return path_ + "/scene.json"; }

    // Replaces the scene file atomically, as the helper expects.
    void write(bool trusted) const {
        const std::string temporary = path_ + "/scene.json.new";
        std::ofstream(temporary) << R"({"trusted": )" << (trusted ? "true" : "false")
                                 << R"(, "frontmostPid": 501,
            "displays": [{"id": 1, "name": "Built-in Display", "bounds": [0, 0, 1512, 982], "main": true}],
            "windows": [{"id": 4242, "pid": 501, "owner": "Slides", "bounds": [100, 120, 1200, 760], "layer": 0}]})";
        std::filesystem::rename(temporary, scene());
    }

  private:
    std::string path_;
};

// The helper in dry run on a scene without the permission, listening on a port that was free.
struct DryRunHelper {
    SceneDirectory directory;
    std::string scene = (directory.write(false), directory.scene());
    std::uint16_t port = freePort();
    ChildProcess process{VELMORA_HELPER_BINARY,
                         {"--dry-run", "--sim-scene", scene, "--port", std::to_string(port)}};
};

// The menu blocks the terminal stand-in printed so far.
std::vector<std::string> menus(const std::string& output) {
    std::vector<std::string> blocks;
    std::size_t at = 0;
    while ((at = output.find("[menu]", at)) != std::string::npos) {
        const auto end = output.find("[end]\n", at);
        if (end == std::string::npos) break;
        blocks.push_back(output.substr(at, end + 6 - at));
        at = end;
    }
    return blocks;
}

// The last menu block printed, or nothing yet.
std::string lastMenu(const std::string& output) {
    const auto blocks = menus(output);
    return blocks.empty() ? std::string() : blocks.back();
}

object json(const std::optional<testing::WsMessage>& message) {
    if (!message) return object{{"missing", true}};
    return boost::json::parse(message->payload).as_object();
}

TEST(Program, port_option_rules_show_in_the_first_menu) {
    struct Case {
        std::vector<std::string> arguments;
        std::string port;
    };
    const std::vector<Case> cases = {
        {{"--port", "8080"}, "8080"},
        {{"--port", "+8080"}, "8080"},
        {{"--port", "08080"}, "8080"},
        {{"--port", "-0"}, "0"},
        {{"--port", "-1"}, "47831"},
        {{"--port", "65536"}, "47831"},
        {{"--port", "abc"}, "47831"},
        {{"--port", "80x"}, "47831"},
        {{"--port", " 80"}, "47831"},
        {{"--port", ""}, "47831"},
        {{"--port"}, "47831"},
        {{"--port=80"}, "47831"},
        {{"--port", "8081", "--port", "8082"}, "8081"},
        {{"--port", "--dry-run"}, "47831"},
    };
    for (const auto& c : cases) {
        std::string shown;
        for (const auto& a : c.arguments)
            shown += "[" + a + "] ";
        SCOPED_TRACE(shown);
        ChildProcess helper(VELMORA_HELPER_BINARY, c.arguments);
        ASSERT_TRUE(helper.waitFor([&] { return !menus(helper.output()).empty(); }));
        // The first menu is built before the listener reports, so it names the configured port as busy.
        EXPECT_NE(menus(helper.output())[0].find("  Velmora Helper — port " + c.port + " busy\n"),
                  std::string::npos)
            << menus(helper.output())[0];
        // Whether the port could be bound or not, the listener reports on the configured port.
        EXPECT_TRUE(helper.waitFor([&] {
            return helper.error().find("listening on ws://127.0.0.1:" + c.port + "\n") != std::string::npos ||
                   helper.error().find("listener failed: ") != std::string::npos;
        }));
        EXPECT_EQ(helper.output().find("--port"), std::string::npos);  // nothing said about options
    }
}

TEST(Program, first_menu_shows_the_port_busy_and_is_rebuilt_once_listening) {
    const auto port = std::to_string(freePort());
    ChildProcess helper(VELMORA_HELPER_BINARY, {"--port", port});
    ASSERT_TRUE(helper.waitForError("listening on ws://127.0.0.1:" + port + "\n"));
    ASSERT_TRUE(helper.waitFor([&] { return menus(helper.output()).size() >= 2; }));
    const auto blocks = menus(helper.output());
    EXPECT_EQ(blocks[0],
              "[menu] title=\"\" tint=default\n"
              "  Velmora Helper — port " +
                  port +
                  " busy\n"
                  "  ----\n"
                  "  > Quit Velmora Helper [q]\n"
                  "[end]\n");
    EXPECT_EQ(blocks.back(),
              "[menu] title=\"\" tint=default\n"
              "  Velmora Helper — waiting for " +
                  std::string(build::productionHost) +
                  "\n"
                  "  ----\n"
                  "  > Quit Velmora Helper [q]\n"
                  "[end]\n");
}

TEST(Program, a_permission_granted_while_running_is_noticed_by_the_periodic_check) {
    SceneDirectory directory;
    directory.write(false);
    const auto port = freePort();
    ChildProcess helper(VELMORA_HELPER_BINARY,
                        {"--port", std::to_string(port), "--sim-scene", directory.scene()});
    ASSERT_TRUE(helper.waitForError("listening on ws://127.0.0.1:"));
    ASSERT_TRUE(helper.waitForOutput("  > Open Accessibility settings…\n"));
    auto page = WsClient::connect(port);
    ASSERT_TRUE(page->accepted());
    EXPECT_EQ(json(page->receive()),
              (object{{"type", "hello"}, {"version", "0.1.0"}, {"trusted", false}, {"dryRun", false}}));

    directory.write(true);
    EXPECT_EQ(json(page->receive(10s)), (object{{"type", "trusted"}, {"trusted", true}}));
    ASSERT_TRUE(helper.waitFor([&] {
        const auto menu = lastMenu(helper.output());
        return !menu.empty() && menu.find("Open Accessibility settings") == std::string::npos;
    }));
    EXPECT_NE(lastMenu(helper.output()).find("  Velmora Helper — connected, control off\n"),
              std::string::npos);
}

TEST(Program, take_back_control_from_the_terminal_menu_notifies_the_pages) {
    SceneDirectory directory;
    directory.write(true);
    const auto port = freePort();
    ChildProcess helper(VELMORA_HELPER_BINARY,
                        {"--port", std::to_string(port), "--sim-scene", directory.scene()});
    ASSERT_TRUE(helper.waitForError("listening on ws://127.0.0.1:"));
    auto page = WsClient::connect(port);
    auto watcher = WsClient::connect(port);
    ASSERT_TRUE(page->accepted() && watcher->accepted());
    page->receive();
    watcher->receive();
    page->sendJson(object{{"type", "target"}, {"streamIndex", 1}, {"label", "window:4242:0"}});
    EXPECT_EQ(json(page->receive()),
              (object{{"type", "target"}, {"streamIndex", 1}, {"ok", true}, {"app", "Slides"}}));
    page->sendJson(object{{"type", "allow"}, {"streamIndex", 1}, {"allowed", true}});
    EXPECT_EQ(json(page->receive()), (object{{"type", "state"}, {"streamIndex", 1}, {"allowed", true}}));
    ASSERT_TRUE(helper.waitFor([&] {
        return lastMenu(helper.output()) ==
               "[menu] title=\" Controlled\" tint=orange\n"
               "  A reviewer is controlling your shared window\n"
               "  Screen one: Slides · controlled\n"
               "  ----\n"
               "  > Take back control\n"
               "  > Quit Velmora Helper [q]\n"
               "[end]\n";
    })) << helper.output();

    helper.writeLine("Take back control");
    const object revoked{
        {"type", "state"}, {"streamIndex", 1}, {"allowed", false}, {"reason", "presenter took back control"}};
    EXPECT_EQ(json(page->receive()), revoked);
    EXPECT_EQ(json(watcher->receive()), revoked);
    EXPECT_TRUE(helper.waitForError("] control revoked: presenter took back control\n"));
    ASSERT_TRUE(helper.waitFor(
        [&] { return lastMenu(helper.output()).find("Take back control") == std::string::npos; }));
    EXPECT_NE(lastMenu(helper.output()).find("title=\"\" tint=default"), std::string::npos);
}

TEST(Program, quit_ends_the_process_with_status_zero_by_title_or_key) {
    for (const std::string choice : {"Quit Velmora Helper", "q"}) {
        SCOPED_TRACE(choice);
        ChildProcess helper(VELMORA_HELPER_BINARY, {"--port", std::to_string(freePort())});
        ASSERT_TRUE(helper.waitForError("listening on ws://127.0.0.1:"));
        helper.writeLine("Take back control");  // not offered: ignored
        helper.writeLine(choice);
        EXPECT_EQ(helper.waitForExit(), 0);
    }
}

// Synthetic presses outlive the process: however it is asked to end, the helper first lets go of what the
// reviewer holds.
TEST(Program, quitting_and_stop_signals_release_the_held_button_and_key_first) {
    struct Case {
        std::string name;
        int signal;  // 0: the menu's Quit item
    };
    for (const auto& c :
         std::vector<Case>{{"q", 0}, {"SIGTERM", SIGTERM}, {"SIGINT", SIGINT}, {"SIGHUP", SIGHUP}}) {
        SCOPED_TRACE(c.name);
        DryRunHelper run;
        auto& helper = run.process;
        ASSERT_TRUE(helper.waitForError("listening on ws://127.0.0.1:"));
        auto page = WsClient::connect(run.port);
        page->receive();
        page->sendJson(object{{"type", "target"}, {"streamIndex", 1}, {"label", "window:4242"}});
        page->receive();
        page->sendJson(object{{"type", "allow"}, {"streamIndex", 1}, {"allowed", true}});
        page->receive();
        page->sendJson(object{{"type", "input"},
                              {"streamIndex", 1},
                              {"input", {{"kind", "down"}, {"x", 0.5}, {"y", 0.5}, {"button", 0}}}});
        page->sendJson(object{{"type", "input"},
                              {"streamIndex", 1},
                              {"input", {{"kind", "key"}, {"down", true}, {"code", "KeyA"}, {"key", "a"}}}});
        ASSERT_TRUE(helper.waitForError("] dry-run: key-down at (0, 0) flags=0\n"));
        if (c.signal == 0) {
            helper.writeLine(c.name);
        } else {
            ::kill(helper.pid(), c.signal);
        }
        EXPECT_EQ(helper.waitForExit(), c.signal == 0 ? 0 : 128 + c.signal);
        const auto& log = helper.error();
        const auto up = log.find("] dry-run: left-up at (700, 500) flags=0\n");
        EXPECT_NE(up, std::string::npos) << log;
        EXPECT_NE(log.find("] dry-run: key-up at (0, 0) flags=0\n", up), std::string::npos) << log;
        if (c.signal != 0) {
            EXPECT_NE(log.find("] received " + c.name + ", releasing held input and quitting\n"),
                      std::string::npos);
        }
    }
}

TEST(Program, end_of_input_leaves_the_helper_running) {
    const auto port = freePort();
    ChildProcess helper(VELMORA_HELPER_BINARY, {"--port", std::to_string(port)});
    ASSERT_TRUE(helper.waitForError("listening on ws://127.0.0.1:"));
    helper.closeInput();
    auto page = WsClient::connect(port);
    EXPECT_TRUE(page->accepted());
    EXPECT_EQ(json(page->receive()).at("type"), "hello");
}

TEST(Program, dry_run_logs_events_and_needs_no_permission) {
    DryRunHelper run;
    auto& helper = run.process;
    ASSERT_TRUE(helper.waitForError("listening on ws://127.0.0.1:"));
    auto page = WsClient::connect(run.port);
    EXPECT_EQ(json(page->receive()),
              (object{{"type", "hello"}, {"version", "0.1.0"}, {"trusted", false}, {"dryRun", true}}));
    page->sendJson(object{{"type", "target"}, {"streamIndex", 1}, {"label", "window:4242"}});
    page->receive();
    page->sendJson(object{{"type", "allow"}, {"streamIndex", 1}, {"allowed", true}});
    EXPECT_EQ(json(page->receive()), (object{{"type", "state"}, {"streamIndex", 1}, {"allowed", true}}));
    page->sendJson(object{{"type", "input"},
                          {"streamIndex", 1},
                          {"input", {{"kind", "down"}, {"x", 0.5}, {"y", 0.5}, {"button", 0}}},
                          {"mods", {{"shift", true}}}});
    EXPECT_TRUE(helper.waitForError("] dry-run: left-down at (700, 500) flags=131072\n"));
    // Closing the page ends control: the held button is released and logged.
    page->close();
    EXPECT_TRUE(helper.waitForError("] dry-run: left-up at (700, 500) flags=0\n"));
    EXPECT_TRUE(helper.waitForError("] control revoked: Velmora disconnected\n"));
}

}  // namespace
}  // namespace velmora
