#include "control/controller.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "build_config.hpp"
#include "platform/sim/scene_file.hpp"
#include "platform/sim/sim_desktop.hpp"
#include "support/stderr_capture.hpp"
#include "support/ws_client.hpp"

namespace velmora::control {
namespace {

using boost::json::object;
using Objects = std::vector<object>;
using Strings = std::vector<std::string>;

// The page's messages and the helper's answers. The sim's default scene: "Slides" (4242) at (100, 120) sized
// 1200 × 760 in front of "Notes" (4243) at (1700, 0) sized 1600 × 1000.
// clang-format off
object target(boost::json::value k, boost::json::value label) { return {{"type", "target"}, {"streamIndex", k}, {"label", label}}; }
object allow(boost::json::value k, boost::json::value allowed) { return {{"type", "allow"}, {"streamIndex", k}, {"allowed", allowed}}; }
object input(int k, object event, object mods = {}) { return {{"type", "input"}, {"streamIndex", k}, {"input", event}, {"mods", mods}}; }
object stroke(int k) { return {{"type", "stroke"}, {"streamIndex", k}, {"id", "s"}, {"points", {{{"x", 0.1}, {"y", 0.1}}}}}; }
const object slides = target(1, "window:4242:0");
const object leftDown{{"kind", "down"}, {"x", 0.5}, {"y", 0.5}, {"button", 0}};
const object keyADown{{"kind", "key"}, {"down", true}, {"code", "KeyA"}, {"key", "a"}};
object targetOk(int k, const char* app) { return {{"type", "target"}, {"streamIndex", k}, {"ok", true}, {"app", app}}; }
object targetFailed(const char* error) { return {{"type", "target"}, {"streamIndex", 1}, {"ok", false}, {"error", error}}; }
object state(int k, bool allowed) { return {{"type", "state"}, {"streamIndex", k}, {"allowed", allowed}}; }
object refused(int k, const char* reason) { return {{"type", "state"}, {"streamIndex", k}, {"allowed", false}, {"reason", reason}}; }
// clang-format on

// A controller on the sim desktop with its server on an ephemeral loopback port, and real pages.
class ControllerTest : public ::testing::Test {
  public:
    void start(bool dryRun = false) {
        controller = Controller::create(sim, 0, dryRun);
        controller->onChange = [this] { ++changes; };
        controller->start();
        // Which server-side client each page is, and how many messages the controller has handled.
        auto& server = controller->server();
        server.onConnect = [this, inner = server.onConnect](const auto& c) { lastConnected = c, inner(c); };
        server.onMessage = [this, in = server.onMessage](const auto& c, auto& m) { in(c, m), ++handled; };
        ASSERT_TRUE(loop.runUntil([&] { return controller->listening(); }));
        controller->checkTrust(false);
    }
    // A page, once it has its greeting.
    std::unique_ptr<testing::WsClient> connect() {
        auto page = testing::WsClient::connect(*controller->server().boundPort());
        EXPECT_TRUE(loop.runUntil([&] { return page->messageCount() >= 1; }));
        pages[page.get()] = {lastConnected, 1};
        return page;
    }
    // What the page got for the messages: all that came before a marker sent after they were handled.
    Objects send(testing::WsClient& page, const Objects& messages) {
        for (const auto& m : messages)
            page.sendJson(m), ++sent;
        EXPECT_TRUE(loop.runUntil([&] { return handled >= sent; }));
        auto& [side, taken] = pages[&page];
        side->send(object{{"type", "marker"}});
        for (Objects answers; loop.runUntil([&] { return page.messageCount() > taken; });) {
            answers.push_back(boost::json::parse(page.messages()[taken++].payload).as_object());
            if (answers.back().at("type") == "marker") return answers.pop_back(), answers;
        }
        ADD_FAILURE() << "the marker never arrived";
        return {};
    }
    // A page sharing the Slides window on stream 1 under control, holding the left button and "A" down.
    std::unique_ptr<testing::WsClient> holding() {
        auto page = connect();
        send(*page, {slides, allow(1, true), input(1, leftDown), input(1, keyADown)});
        posted();
        return page;
    }
    // The events the desktop was given since the last call, and where.
    Strings posted() {
        Strings events;
        for (const auto& e : sim.postedEvents())
            events.push_back(describe(e.type) +
                             (std::ostringstream() << ' ' << e.location.x << ',' << e.location.y).str());
        sim.clearPostedEvents();
        return events;
    }
    bool nothingShown() const {
        return std::ranges::none_of(controller->streams(),
                                    [](const auto& s) { return s.second.target || s.second.overlay; });
    }

    platform::MainLoop loop{platform::MainLoop::Time::manual};
    platform::sim::SimDesktop sim{loop, platform::sim::defaultScene()};
    std::shared_ptr<Controller> controller;
    std::shared_ptr<server::Client> lastConnected;
    std::map<testing::WsClient*, std::pair<std::shared_ptr<server::Client>, std::size_t>> pages;
    std::size_t sent = 0, handled = 0;
    int changes = 0;
};

// Every message on a fresh controller: its answers, exactly, and how often the status menu is told.
TEST_F(ControllerTest, answers_every_message_of_the_catalogue_exactly) {
    EXPECT_EQ(Controller::create(sim, 47831, false)->statusLine(), "Velmora Helper — port 47831 busy");
    // clang-format off
    struct Case { const char* name; bool trusted, dryRun; Objects before; object message; Objects answers; int changes; };
    for (const auto& c : std::vector<Case>{
        {"window resolves", true, false, {}, slides, {targetOk(1, "Slides")}, 1},
        {"display resolves by name", true, false, {}, target(2, "screen:1:0"), {targetOk(2, "Built-in Display")}, 1},
        {"tab refused", true, false, {}, target(1, "tab:12"), {targetFailed("Only app windows and displays can be controlled — not browser tabs.")}, 1},
        {"window gone", true, false, {}, target(1, "window:99:0"), {targetFailed("The shared window (id 99) isn't on screen any more.")}, 1},
        {"display not found", true, false, {}, target(1, "screen:77"), {targetFailed("Couldn't find the shared display (id 77).")}, 1},
        {"label not recognised", true, false, {}, target(1, "window"), {targetFailed("Unrecognised capture label “window”. Share an app window or a display from Chrome.")}, 1},
        {"empty label clears without answer", true, false, {slides}, target(1, ""), {}, 1},
        {"grant", true, false, {slides}, allow(1, true), {state(1, true)}, 1},
        {"a string withdraws", true, false, {slides}, allow(1, "true"), {state(1, false)}, 1},
        {"withdraw a stream never granted", true, false, {}, allow(2, false), {state(2, false)}, 1},
        {"grant without target", true, false, {}, allow(1, true), {refused(1, "Nothing is shared on this screen")}, 0},
        {"grant without permission, even without target", false, false, {}, allow(1, true), {refused(1, "Grant Accessibility permission to Velmora Helper first")}, 0},
        {"grant without permission in dry run", false, true, {slides}, allow(1, true), {state(1, true)}, 1},
        {"stream 0 dropped", true, false, {}, allow(0, false), {}, 0},
        {"stream 3 dropped", true, false, {}, allow(3, false), {}, 0},
        {"input is never answered", true, false, {slides, allow(1, true)}, input(1, leftDown), {}, 0},
        {"input in a dry run needs no permission", false, true, {slides, allow(1, true)}, input(1, leftDown), {}, 0}}) {
        // clang-format on
        SCOPED_TRACE(c.name);
        sim.scene().trusted = c.trusted;
        start(c.dryRun);
        auto page = connect();
        const object hello{
            {"type", "hello"}, {"version", "0.1.0"}, {"trusted", c.trusted}, {"dryRun", c.dryRun}};
        EXPECT_EQ(boost::json::parse(page->messages()[0].payload), hello);
        send(*page, c.before);
        const int before = changes;
        EXPECT_EQ(send(*page, {c.message}), c.answers);
        EXPECT_EQ(changes - before, c.changes);
        EXPECT_EQ(controller->injector().leftDown(), c.message.at("type") == "input");
    }
}

// Every way control ends lets go of the button and the key the reviewer still holds: a synthetic press that
// outlives control stays down on the presenter's machine.
TEST_F(ControllerTest, every_path_that_ends_control_releases_the_buttons_and_keys_held) {
    // clang-format off
    for (const auto& [name, message] : std::vector<std::pair<std::string, object>>{
             {"empty label", target(1, "")}, {"failing label", target(1, "window:1:0")}, {"allow false", allow(1, false)},
             {"take back control", {}}, {"shutdown", {}}, {"page leaves", {}}}) {
        // clang-format on
        SCOPED_TRACE(name);
        sim.scene() = platform::sim::defaultScene();
        start();
        auto page = holding();
        if (!message.empty()) send(*page, {message});
        if (name == "take back control") controller->revokeAll("presenter", true);
        if (name == "shutdown") controller->shutdown();
        if (name == "page leaves") page->close();
        // The server counts a page gone before the controller hears of it; cleared targets say it has.
        ASSERT_TRUE(loop.runUntil([&] { return name != "page leaves" || nothingShown(); }));
        EXPECT_FALSE(controller->stream(1)->allowed);
        EXPECT_EQ(posted(), (Strings{"left-up 700,500", "key-up 700,500"}));
    }
}

// Clearing a stream not under control must not cut short the other's drag. Input goes only to a stream under
// control, with the permission. Taking back control tells every page, per stream, and logs once. A page
// leaving ends control, targets and ink of every stream, whoever set them, and says so only in the log.
TEST_F(ControllerTest, a_session_of_two_pages) {
    start();
    EXPECT_EQ(controller->statusLine(), std::string("Velmora Helper — waiting for ") + build::productionHost);
    auto leaves = holding();
    auto stays = connect();
    // clang-format off
    send(*leaves, {target(2, "screen:1"), target(2, ""), target(1, "window:4243:0"), target(2, "screen:1"),
                   input(1, {{"kind", "up"}, {"x", 0.5}, {"y", 0.5}, {"button", 0}}, {{"shift", true}}), input(1, {{"kind", "jump"}}),
                   {{"type", "input"}, {"streamIndex", 1}, {"input", "move"}}, input(2, {{"kind", "move"}, {"x", 0}, {"y", 0}}),
                   input(1, {{"kind", "move"}, {"x", 1}, {"y", 1}}), allow(2, true), stroke(1), stroke(2), {{"type", "clear"}, {"streamIndex", 1}}});
    // clang-format on
    EXPECT_EQ(controller->detailLines(),
              (Strings{"Screen one: Notes · controlled", "Screen two: Built-in Display · controlled"}));
    EXPECT_EQ(controller->statusLine(), "A reviewer is controlling your shared window");
    EXPECT_EQ(sim.postedEvents().at(0).flags, platform::mac::eventFlags::shift);
    EXPECT_EQ(posted(), (Strings{"left-up 2500,500", "move 3300,1000"}));
    EXPECT_FALSE(controller->stream(1)->overlay->window().isVisible());
    const auto overlay = controller->stream(2)->overlay;
    ASSERT_EQ(overlay->view().strokes.size(), 1u);

    testing::StderrCapture revoked;
    controller->revokeAll("presenter took back control", true);
    controller->revokeAll("presenter took back control", true);  // nothing left to revoke
    for (auto* page : {leaves.get(), stays.get()})
        EXPECT_EQ(send(*page, {}), (Objects{refused(1, "presenter took back control"),
                                            refused(2, "presenter took back control")}));
    EXPECT_EQ(revoked.text().substr(23), "control revoked: presenter took back control\n");
    EXPECT_EQ(controller->statusLine(), "Velmora Helper — connected, control off");
    EXPECT_EQ(posted(), Strings{"key-up 3300,1000"});
    EXPECT_EQ(controller->detailLines(), (Strings{"Screen one: Notes", "Screen two: Built-in Display"}));

    // The permission is withdrawn: every page hears it once, input is dropped and the grant stays.
    send(*stays, {allow(1, true)});
    sim.scene().trusted = false;
    controller->checkTrust(false);
    controller->checkTrust(false);
    EXPECT_EQ(send(*stays, {input(1, keyADown)}), Objects{(object{{"type", "trusted"}, {"trusted", false}})});
    EXPECT_EQ(send(*leaves, {}), Objects{(object{{"type", "trusted"}, {"trusted", false}})});
    EXPECT_TRUE(posted().empty() && controller->stream(1)->allowed);
    EXPECT_EQ(controller->statusLine(), "Velmora Helper — needs Accessibility permission");

    testing::StderrCapture disconnected;
    leaves->close();
    ASSERT_TRUE(loop.runUntil([&] { return controller->server().clientCount() == 1 && nothingShown(); }));
    EXPECT_TRUE(overlay->view().strokes.empty());
    EXPECT_TRUE(send(*stays, {}).empty());
    EXPECT_EQ(disconnected.text().substr(23), "control revoked: Velmora disconnected\n");
}

}  // namespace
}  // namespace velmora::control
