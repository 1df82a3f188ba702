#include "control/controller.hpp"

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <functional>

#include "build_config.hpp"
#include "platform/sim/scene_file.hpp"
#include "platform/sim/sim_desktop.hpp"
#include "support/stderr_capture.hpp"
#include "support/ws_client.hpp"

namespace velmora::control {
namespace {

using namespace std::chrono_literals;
using boost::json::object;
using platform::mac::EventType;
using platform::sim::SimDesktop;
using testing::WsClient;

// The headless run's default scene: "Slides" (4242, pid 501) in front of "Notes" (4243, pid 502) on the
// built-in display 1 (1512 × 982), a second display 2 without a name.
platform::sim::SimScene scene() {
    return platform::sim::defaultScene();
}

object parse(const std::string& text) {
    return boost::json::parse(text).as_object();
}

bool nothingShown(const Controller& controller) {
    return std::ranges::none_of(
        controller.streams(), [](const auto& entry) { return entry.second.target || entry.second.overlay; });
}

// A controller on the sim desktop with its server on an ephemeral loopback port, and pages that talk to it.
class ControllerTest : public ::testing::Test {
  public:
    void start(bool dryRun = false) {
        controller = Controller::create(sim, 0, dryRun);
        controller->onChange = [this] { ++changes; };
        controller->start();
        // Watch what the controller handles and which server-side client each page is, so a test can tell
        // when a message has been dealt with and prove that it was not answered.
        auto& server = controller->server();
        server.onConnect = [this, inner = server.onConnect](const std::shared_ptr<server::Client>& c) {
            lastConnected = c;
            inner(c);
        };
        server.onMessage = [this, inner = server.onMessage](const std::shared_ptr<server::Client>& c,
                                                            server::Message& m) {
            inner(c, m);
            ++handled;
        };
        ASSERT_TRUE(loop.runUntil([&] { return controller->listening(); }));
        controller->checkTrust(false);
    }

    void stop() {
        pages.clear();
        controller.reset();
        sim.clearPostedEvents();
    }

    struct Page {
        std::shared_ptr<server::Client> serverSide;
        std::size_t taken = 0;
    };

    std::unique_ptr<WsClient> connect() {
        auto client = WsClient::connect(*controller->server().boundPort());
        EXPECT_TRUE(client->accepted());
        EXPECT_TRUE(loop.runUntil([&] { return client->messageCount() >= 1; }));  // the greeting
        pages[client.get()] = Page{lastConnected, 1};
        return client;
    }

    // The next message this page received after the ones already taken.
    std::optional<object> next(WsClient& client) {
        auto& seen = pages[&client].taken;
        if (!loop.runUntil([&] { return client.messageCount() > seen; }, 10s)) return std::nullopt;
        return parse(client.messages()[seen++].payload);
    }

    void post(WsClient& client, const object& message) {
        client.sendJson(message);
        ++sent;
    }

    // Waits until the controller has handled everything sent, then returns what the page received before
    // a marker sent straight from the server afterwards: replies go out in order, so nothing more can come.
    std::vector<object> settle(WsClient& client) {
        EXPECT_TRUE(loop.runUntil([&] { return handled >= sent; }));
        pages[&client].serverSide->send(object{{"type", "marker"}});
        std::vector<object> answers;
        while (auto reply = next(client)) {
            if (reply->at("type") == "marker") return answers;
            answers.push_back(*reply);
        }
        ADD_FAILURE() << "the marker never arrived";
        return answers;
    }

    std::vector<object> answersTo(WsClient& client, const object& message) {
        settle(client);
        post(client, message);
        return settle(client);
    }

    object send(WsClient& client, const object& message) {
        const auto answers = answersTo(client, message);
        EXPECT_EQ(answers.size(), 1u) << boost::json::serialize(message);
        return answers.empty() ? object{} : answers.front();
    }

    void target(WsClient& client, int k, const std::string& label) {
        send(client, object{{"type", "target"}, {"streamIndex", k}, {"label", label}});
    }
    void allow(WsClient& client, int k, bool allowed = true) {
        send(client, object{{"type", "allow"}, {"streamIndex", k}, {"allowed", allowed}});
    }
    // Sends messages that are not answered, and waits until the controller has handled them.
    void sendQuietly(WsClient& client, const std::vector<object>& messages) {
        for (const auto& m : messages)
            post(client, m);
        EXPECT_TRUE(settle(client).empty());
    }

    platform::MainLoop loop{platform::MainLoop::Time::manual};
    SimDesktop sim{loop, scene()};
    std::shared_ptr<Controller> controller;
    std::shared_ptr<server::Client> lastConnected;
    std::map<WsClient*, Page> pages;
    std::size_t sent = 0;
    std::size_t handled = 0;
    int changes = 0;
};

TEST_F(ControllerTest, greets_only_the_new_page_with_version_permission_and_dry_run) {
    start();
    auto first = connect();
    EXPECT_EQ(parse(first->messages()[0].payload),
              (object{{"type", "hello"}, {"version", "0.1.0"}, {"trusted", true}, {"dryRun", false}}));
    auto second = connect();
    EXPECT_TRUE(settle(*first).empty());  // the first page hears nothing of the second
    sim.scene().trusted = false;
    controller->checkTrust(false);
    auto third = connect();
    EXPECT_EQ(parse(third->messages()[0].payload),
              (object{{"type", "hello"}, {"version", "0.1.0"}, {"trusted", false}, {"dryRun", false}}));
}

object targetOk(int k, const char* app) {
    return {{"type", "target"}, {"streamIndex", k}, {"ok", true}, {"app", app}};
}
object targetFailed(int k, const char* error) {
    return {{"type", "target"}, {"streamIndex", k}, {"ok", false}, {"error", error}};
}
object state(int k, bool allowed) {
    return {{"type", "state"}, {"streamIndex", k}, {"allowed", allowed}};
}
object refused(int k, const char* reason) {
    auto answer = state(k, false);
    answer["reason"] = reason;
    return answer;
}
object targetMessage(boost::json::value k, boost::json::value label) {
    return {{"type", "target"}, {"streamIndex", k}, {"label", label}};
}
object allowMessage(boost::json::value k, boost::json::value allowed) {
    return {{"type", "allow"}, {"streamIndex", k}, {"allowed", allowed}};
}

TEST_F(ControllerTest, answers_every_message_of_the_catalogue_exactly) {
    struct Case {
        const char* name;
        bool trusted;
        bool dryRun;
        std::vector<object> before;  // sent first, answers ignored
        object message;
        std::vector<object> answers;
    };
    const object windowTarget = targetMessage(1, "window:4242:0");
    object sizedScreen = targetMessage(1, "screen:7:0");
    sizedScreen["width"] = 2560;
    sizedScreen["height"] = 1440;
    // clang-format off
    const std::vector<Case> cases = {
        {"window resolves", true, false, {}, windowTarget, {targetOk(1, "Slides")}},
        {"display resolves by name", true, false, {}, targetMessage(2, "screen:1:0"), {targetOk(2, "Built-in Display")}},
        {"display without a screen entry", true, false, {}, sizedScreen, {targetOk(1, "Display")}},
        {"tab refused", true, false, {}, targetMessage(1, "tab:12"),
         {targetFailed(1, "Only app windows and displays can be controlled — not browser tabs.")}},
        {"window gone", true, false, {}, targetMessage(1, "window:99:0"),
         {targetFailed(1, "The shared window (id 99) isn't on screen any more.")}},
        {"display not found", true, false, {}, targetMessage(1, "screen:77"),
         {targetFailed(1, "Couldn't find the shared display (id 77).")}},
        {"label not recognised", true, false, {}, targetMessage(1, "window"),
         {targetFailed(1, "Unrecognised capture label “window”. Share an app window or a display from Chrome.")}},
        {"empty label clears without answer", true, false, {windowTarget}, targetMessage(1, ""), {}},
        {"label of the wrong kind clears without answer", true, false, {windowTarget}, targetMessage(1, 5), {}},
        {"grant", true, false, {windowTarget}, allowMessage(1, true), {state(1, true)}},
        {"grant with the number 1", true, false, {windowTarget}, allowMessage(1, 1), {state(1, true)}},
        {"a string withdraws", true, false, {windowTarget}, allowMessage(1, "true"), {state(1, false)}},
        {"withdraw a stream never granted", true, false, {}, allowMessage(2, false), {state(2, false)}},
        {"grant without target", true, false, {}, allowMessage(1, true),
         {refused(1, "Nothing is shared on this screen")}},
        {"grant without permission, even without target", false, false, {}, allowMessage(1, true),
         {refused(1, "Grant Accessibility permission to Velmora Helper first")}},
        {"grant without permission in dry run", false, true, {windowTarget}, allowMessage(1, true), {state(1, true)}},
        {"a fractional stream index is truncated", true, false, {}, allowMessage(2.9, false), {state(2, false)}},
        {"stream 0 dropped", true, false, {}, allowMessage(0, false), {}},
        {"stream 3 dropped", true, false, {}, allowMessage(3, false), {}},
        {"stream -1 dropped", true, false, {}, allowMessage(-1, false), {}},
        {"stream as a string dropped", true, false, {}, allowMessage("1", false), {}},
        {"no stream dropped", true, false, {}, {{"type", "target"}, {"label", "window:4242"}}, {}},
        {"huge stream dropped", true, false, {}, allowMessage(18446744073709551615ull, false), {}},
        {"no type dropped", true, false, {}, {{"streamIndex", 1}, {"allowed", false}}, {}},
        {"type not a string dropped", true, false, {}, {{"type", 1}, {"streamIndex", 1}}, {}},
        {"type in other case dropped", true, false, {}, {{"type", "Allow"}, {"streamIndex", 1}, {"allowed", false}}, {}},
        {"unknown type dropped", true, false, {}, {{"type", "hello"}, {"streamIndex", 1}}, {}},
        {"input is never answered", true, false, {windowTarget},
         {{"type", "input"}, {"streamIndex", 1}, {"input", {{"kind", "move"}, {"x", 0.5}, {"y", 0.5}}}}, {}},
        {"stroke is never answered", true, false, {windowTarget},
         {{"type", "stroke"}, {"streamIndex", 1}, {"id", "a"}, {"points", boost::json::array{}}}, {}},
        {"clear is never answered", true, false, {windowTarget}, {{"type", "clear"}, {"streamIndex", 1}}, {}},
    };
    // clang-format on
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        sim.scene().trusted = c.trusted;
        start(c.dryRun);
        auto page = connect();
        for (const auto& m : c.before)
            post(*page, m);
        settle(*page);
        EXPECT_EQ(answersTo(*page, c.message), c.answers);
        page.reset();
        stop();
    }
}

TEST_F(ControllerTest, a_grant_survives_a_new_target_and_a_failed_target_drops_it) {
    start();
    auto page = connect();
    target(*page, 1, "window:4242:0");
    const auto firstOverlay = controller->stream(1)->overlay;
    allow(*page, 1);
    target(*page, 1, "window:4243:0");
    EXPECT_TRUE(controller->stream(1)->allowed);
    EXPECT_EQ(controller->stream(1)->target->app, "Notes");
    EXPECT_NE(controller->stream(1)->overlay, firstOverlay);
    EXPECT_EQ(controller->detailLines(), std::vector<std::string>{"Screen one: Notes · controlled"});

    EXPECT_EQ(send(*page, object{{"type", "target"}, {"streamIndex", 1}, {"label", "window:1:0"}}).at("ok"),
              false);
    EXPECT_FALSE(controller->stream(1)->allowed);
    EXPECT_FALSE(controller->stream(1)->target.has_value());
    EXPECT_FALSE((controller->stream(1)->overlay != nullptr));
}

// Every way control ends lets go of the button and the key the reviewer still holds: a synthetic press that
// outlives control stays down on the presenter's machine.
TEST_F(ControllerTest, every_path_that_ends_control_releases_the_buttons_and_keys_held) {
    using End = std::function<void(ControllerTest&, WsClient&)>;
    const auto message = [](object m) {
        return [m](ControllerTest& t, WsClient& page) { t.answersTo(page, m); };
    };
    const std::vector<std::pair<std::string, End>> paths{
        {"empty label", message({{"type", "target"}, {"streamIndex", 1}, {"label", ""}})},
        {"failing label", message({{"type", "target"}, {"streamIndex", 1}, {"label", "window:1:0"}})},
        {"allow false", message({{"type", "allow"}, {"streamIndex", 1}, {"allowed", false}})},
        {"take back control",
         [](ControllerTest& t, WsClient&) { t.controller->revokeAll("presenter", true); }},
        {"shutdown", [](ControllerTest& t, WsClient&) { t.controller->shutdown(); }},
        {"page leaves",
         [](ControllerTest& t, WsClient& page) {
             page.close();
             EXPECT_TRUE(t.loop.runUntil([&] { return t.controller->server().clientCount() == 0; }));
         }},
        {"window closes, then its label fails",
         [](ControllerTest& t, WsClient& page) {
             std::erase_if(t.sim.scene().windows, [](const auto& w) { return w.id == 4242; });
             t.answersTo(page, {{"type", "target"}, {"streamIndex", 1}, {"label", "window:4242:0"}});
         }},
    };
    for (const auto& [name, end] : paths) {
        SCOPED_TRACE(name);
        sim.scene() = scene();
        start();
        auto page = connect();
        target(*page, 1, "window:4242:0");
        allow(*page, 1);
        sendQuietly(*page, {{{"type", "input"},
                             {"streamIndex", 1},
                             {"input", {{"kind", "down"}, {"x", 0.5}, {"y", 0.5}, {"button", 0}}}},
                            {{"type", "input"},
                             {"streamIndex", 1},
                             {"input", {{"kind", "key"}, {"down", true}, {"code", "KeyA"}, {"key", "a"}}}}});
        ASSERT_TRUE(controller->injector().leftDown());
        sim.clearPostedEvents();
        end(*this, *page);
        EXPECT_FALSE(controller->injector().leftDown());
        EXPECT_TRUE(controller->injector().keysDown().empty());
        ASSERT_EQ(sim.postedEvents().size(), 2u);
        EXPECT_EQ(sim.postedEvents()[0].type, EventType::leftMouseUp);
        EXPECT_EQ(sim.postedEvents()[0].location, (platform::Point{700, 500}));
        EXPECT_EQ(sim.postedEvents()[1].type, EventType::keyUp);
        EXPECT_EQ(sim.postedEvents()[1].keyboard()->keyCode, 0);
        page.reset();
        stop();
    }
}

TEST_F(ControllerTest, events_held_for_a_raise_are_dropped_when_the_target_is_cleared) {
    start();
    sim.scene().frontmostPid = 502;
    std::swap(sim.scene().windows[0], sim.scene().windows[1]);
    sim.scene().windows[0].bounds = platform::Rect{0, 0, 1512, 982};  // Notes covers Slides
    auto page = connect();
    target(*page, 1, "window:4242:0");
    allow(*page, 1);
    sendQuietly(*page, {{{"type", "input"},
                         {"streamIndex", 1},
                         {"input", {{"kind", "down"}, {"x", 0.5}, {"y", 0.5}, {"button", 0}}}}});
    EXPECT_EQ(controller->injector().heldCount(), 1u);
    sendQuietly(*page, {{{"type", "target"}, {"streamIndex", 1}, {"label", ""}}});
    EXPECT_EQ(controller->injector().heldCount(), 0u);
    sim.clearPostedEvents();
    loop.advance(1s);
    EXPECT_TRUE(sim.postedEvents().empty());
}

TEST_F(ControllerTest, input_reaches_the_desktop_as_tagged_events_at_the_mapped_point) {
    start();
    auto page = connect();
    target(*page, 1, "window:4242:0");
    allow(*page, 1);
    sendQuietly(
        *page, {
                   {{"type", "input"},
                    {"streamIndex", 1},
                    {"input", {{"kind", "down"}, {"x", 0.5}, {"y", 0.5}, {"button", 0}, {"clicks", 2}}},
                    {"mods", {{"shift", true}}}},
                   {{"type", "input"}, {"streamIndex", 1}, {"input", {{"kind", "move"}, {"x", 1}, {"y", 1}}}},
                   {{"type", "input"},
                    {"streamIndex", 1},
                    {"input", {{"kind", "key"}, {"down", true}, {"key", "a"}, {"code", "KeyA"}}}},
                   // dropped: not an event, no input object, stream without grant
                   {{"type", "input"}, {"streamIndex", 1}, {"input", {{"kind", "jump"}}}},
                   {{"type", "input"}, {"streamIndex", 1}, {"input", "move"}},
                   {{"type", "input"}, {"streamIndex", 2}, {"input", {{"kind", "move"}, {"x", 0}, {"y", 0}}}},
               });
    const auto& events = sim.postedEvents();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].type, EventType::leftMouseDown);
    EXPECT_EQ(events[0].location, (platform::Point{700, 500}));
    EXPECT_EQ(events[0].flags, platform::mac::eventFlags::shift);
    EXPECT_EQ(events[0].mouse()->clickState, 2);
    EXPECT_EQ(events[1].type, EventType::leftMouseDragged);
    EXPECT_EQ(events[1].location, (platform::Point{1300, 880}));
    EXPECT_EQ(events[1].flags, 0u);
    EXPECT_EQ(events[2].type, EventType::keyDown);
    EXPECT_EQ(events[2].keyboard()->text, u"a");
    for (const auto& e : events)
        EXPECT_EQ(e.userData, 0x56656C6D);
}

TEST_F(ControllerTest, input_without_permission_is_dropped_and_the_grant_stays) {
    start();
    auto page = connect();
    target(*page, 1, "window:4242:0");
    allow(*page, 1);
    sim.scene().trusted = false;
    controller->checkTrust(false);
    EXPECT_EQ(next(*page), (object{{"type", "trusted"}, {"trusted", false}}));
    sendQuietly(*page,
                {{{"type", "input"}, {"streamIndex", 1}, {"input", {{"kind", "move"}, {"x", 0}, {"y", 0}}}}});
    EXPECT_TRUE(sim.postedEvents().empty());
    EXPECT_TRUE(controller->stream(1)->allowed);
    EXPECT_EQ(controller->statusLine(), "Velmora Helper — needs Accessibility permission");
}

TEST_F(ControllerTest, dry_run_logs_each_event_instead_of_posting_it) {
    sim.scene().trusted = false;
    start(true);
    auto page = connect();
    target(*page, 1, "window:4242:0");
    allow(*page, 1);
    testing::StderrCapture capture;
    sendQuietly(*page, {{{"type", "input"},
                         {"streamIndex", 1},
                         {"input", {{"kind", "down"}, {"x", 0.5}, {"y", 0.5}, {"button", 0}}},
                         {"mods", {{"shift", true}}}}});
    EXPECT_TRUE(sim.postedEvents().empty());
    const auto text = capture.text();
    ASSERT_EQ(text.size(), 23u + std::string("dry-run: left-down at (700, 500) flags=131072\n").size())
        << text;
    EXPECT_EQ(text.substr(23), "dry-run: left-down at (700, 500) flags=131072\n");
}

TEST_F(ControllerTest, ink_creates_extends_fades_and_clears_strokes_on_the_streams_overlay) {
    start();
    auto page = connect();
    // No target: dropped.
    sendQuietly(
        *page,
        {{{"type", "stroke"}, {"streamIndex", 1}, {"id", "s"}, {"points", {{{"x", 0.1}, {"y", 0.1}}}}}});
    target(*page, 1, "window:4242:0");
    auto& overlay = *controller->stream(1)->overlay;
    sendQuietly(
        *page,
        {{{"type", "stroke"},
          {"streamIndex", 1},
          {"id", "s"},
          {"color", "#00ff00"},
          {"points", {{{"x", 0.1}, {"y", 0.1}}, {{"x", 0.2}, {"y", 0.2}}}}},
         {{"type", "stroke"}, {"streamIndex", 1}, {"id", "s"}, {"points", {{{"x", 0.3}, {"y", 0.3}}}}},
         {{"type", "stroke"}, {"streamIndex", 1}, {"id", "t"}, {"points", {{{"x", 0.5}, {"y", 0.5}}}}}});
    ASSERT_EQ(overlay.view().strokes.size(), 2u);
    EXPECT_EQ(overlay.view().strokes[0]->points.size(), 3u);
    EXPECT_TRUE(overlay.window().isVisible());
    // Window bounds (100, 120, 1200, 760) on a 982-high main display.
    EXPECT_EQ(overlay.window().frame(), (platform::Rect{100, 120, 1200, 760}));
    sendQuietly(*page, {{{"type", "stroke"},
                         {"streamIndex", 1},
                         {"id", "s"},
                         {"points", boost::json::array{}},
                         {"done", true}}});
    loop.advance(2.6s);
    ASSERT_EQ(overlay.view().strokes.size(), 1u);
    EXPECT_EQ(overlay.view().strokes[0]->id, "t");
    sendQuietly(*page, {{{"type", "clear"}, {"streamIndex", 1}}});
    EXPECT_TRUE(overlay.view().strokes.empty());
    EXPECT_FALSE(overlay.window().isVisible());
    EXPECT_FALSE(overlay.timerRunning());
}

TEST_F(ControllerTest, a_page_leaving_ends_control_targets_and_ink_for_everyone) {
    start();
    auto stays = connect();
    auto leaves = connect();
    target(*leaves, 1, "window:4242:0");
    target(*stays, 2, "screen:1");
    allow(*leaves, 1);
    sendQuietly(
        *stays,
        {{{"type", "stroke"}, {"streamIndex", 2}, {"id", "s"}, {"points", {{{"x", 0.1}, {"y", 0.1}}}}}});
    auto overlay = controller->stream(2)->overlay;
    testing::StderrCapture capture;
    leaves->close();
    ASSERT_TRUE(
        loop.runUntil([&] { return controller->server().clientCount() == 1 && nothingShown(*controller); }));
    EXPECT_FALSE(overlay->window().isVisible());
    EXPECT_FALSE(controller->stream(1)->allowed);
    EXPECT_TRUE(settle(*stays).empty());  // no state message for the page that stayed
    EXPECT_EQ(capture.text().substr(23), "control revoked: Velmora disconnected\n");

    // Without a grant nothing is logged.
    auto another = connect();
    target(*another, 1, "window:4242:0");
    testing::StderrCapture quiet;
    another->drop();
    ASSERT_TRUE(loop.runUntil([&] { return nothingShown(*controller); }));
    EXPECT_EQ(quiet.text().find("control revoked"), std::string::npos);
}

TEST_F(ControllerTest, permission_changes_are_broadcast_once_to_every_page) {
    sim.scene().trusted = false;
    start();
    auto a = connect();
    auto b = connect();
    const int before = changes;
    controller->checkTrust(false);
    EXPECT_EQ(changes, before);
    sim.scene().trusted = true;
    controller->checkTrust(false);
    EXPECT_EQ(changes, before + 1);
    for (auto* page : {a.get(), b.get()})
        EXPECT_EQ(next(*page), (object{{"type", "trusted"}, {"trusted", true}}));
    controller->checkTrust(false);
    EXPECT_TRUE(settle(*a).empty());
}

TEST_F(ControllerTest, taking_back_control_notifies_every_page_per_stream_and_logs_once) {
    start();
    auto a = connect();
    auto b = connect();
    target(*a, 1, "window:4242:0");
    target(*a, 2, "window:4243:0");
    allow(*a, 1);
    allow(*a, 2);
    testing::StderrCapture capture;
    controller->revokeAll("presenter took back control", true);
    for (auto* page : {a.get(), b.get()}) {
        for (int k : {1, 2}) {
            EXPECT_EQ(next(*page), (object{{"type", "state"},
                                           {"streamIndex", k},
                                           {"allowed", false},
                                           {"reason", "presenter took back control"}}));
        }
    }
    EXPECT_EQ(capture.text().substr(23), "control revoked: presenter took back control\n");
    const int before = changes;
    controller->revokeAll("presenter took back control", true);  // nothing left to revoke
    EXPECT_EQ(changes, before);
    EXPECT_EQ(capture.text().size(), 23u + 45u);
}

TEST_F(ControllerTest, on_change_is_called_once_for_each_outcome_that_the_menu_shows) {
    start();
    auto page = connect();
    struct Case {
        const char* name;
        object message;
        int changes;
    };
    const std::vector<Case> cases = {
        {"target resolves", {{"type", "target"}, {"streamIndex", 1}, {"label", "window:4242"}}, 1},
        {"grant", {{"type", "allow"}, {"streamIndex", 1}, {"allowed", true}}, 1},
        {"input",
         {{"type", "input"}, {"streamIndex", 1}, {"input", {{"kind", "move"}, {"x", 0}, {"y", 0}}}},
         0},
        {"stroke",
         {{"type", "stroke"}, {"streamIndex", 1}, {"id", "s"}, {"points", boost::json::array{}}},
         0},
        {"clear", {{"type", "clear"}, {"streamIndex", 1}}, 0},
        {"withdraw", {{"type", "allow"}, {"streamIndex", 1}, {"allowed", false}}, 1},
        {"refused grant", {{"type", "allow"}, {"streamIndex", 2}, {"allowed", true}}, 0},
        {"target fails", {{"type", "target"}, {"streamIndex", 1}, {"label", "tab:1"}}, 1},
        {"target cleared", {{"type", "target"}, {"streamIndex", 1}}, 1},
        {"dropped", {{"type", "nope"}, {"streamIndex", 1}}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int before = changes;
        answersTo(*page, c.message);
        EXPECT_EQ(changes - before, c.changes);
    }
}

TEST_F(ControllerTest, status_and_detail_lines_follow_the_state) {
    sim.scene().trusted = false;
    controller = Controller::create(sim, 0, false);
    EXPECT_EQ(controller->statusLine(), "Velmora Helper — port 0 busy");
    controller = Controller::create(sim, 47831, false);
    EXPECT_EQ(controller->statusLine(), "Velmora Helper — port 47831 busy");
    controller.reset();
    start();
    EXPECT_EQ(controller->statusLine(), "Velmora Helper — needs Accessibility permission");
    sim.scene().trusted = true;
    controller->checkTrust(false);
    EXPECT_EQ(controller->statusLine(), std::string("Velmora Helper — waiting for ") + build::productionHost);
    auto page = connect();
    EXPECT_EQ(controller->statusLine(), "Velmora Helper — connected, control off");
    EXPECT_TRUE(controller->detailLines().empty());
    target(*page, 2, "window:4243");
    target(*page, 1, "window:4242");
    allow(*page, 2);
    EXPECT_EQ(controller->statusLine(), "A reviewer is controlling your shared window");
    EXPECT_EQ(controller->detailLines(),
              (std::vector<std::string>{"Screen one: Slides", "Screen two: Notes · controlled"}));
}

TEST_F(ControllerTest, a_port_in_use_is_logged_and_the_status_line_keeps_saying_busy) {
    start();
    const auto port = *controller->server().boundPort();
    testing::StderrCapture capture;
    auto second = Controller::create(sim, port, false);
    bool reported = false;
    second->onChange = [&] { reported = true; };
    second->start();
    ASSERT_TRUE(loop.runUntil([&] { return reported; }));
    EXPECT_FALSE(second->listening());
    EXPECT_EQ(second->statusLine(), "Velmora Helper — port " + std::to_string(port) + " busy");
    EXPECT_NE(capture.text().find("listener failed: "), std::string::npos);
}

}  // namespace
}  // namespace velmora::control
