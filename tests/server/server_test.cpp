#include "server/server.hpp"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/websocket/error.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string_view>
#include <thread>
#include <vector>

#include "build_config.hpp"
#include "support/stderr_capture.hpp"
#include "support/ws_client.hpp"

namespace velmora::server {
namespace {

using namespace std::string_literals;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using velmora::testing::rawHttp;
using velmora::testing::WsClient;
using velmora::testing::WsRequest;
using Lines = std::vector<std::string>;

// Whether `line` starts with "[2026-03-01T14:05:09Z] ": digits where digits go, the rest exactly.
bool hasTimestamp(std::string_view line) {
    constexpr std::string_view shape = "[dddd-dd-ddTdd:dd:ddZ] ";
    if (line.size() < shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool ok =
            shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0 : line[i] == shape[i];
        if (!ok) return false;
    }
    return true;
}

// The messages `log` wrote, each line checked for its timestamp and stripped of it.
Lines logMessages(const std::string& text) {
    constexpr std::size_t stampLength = 23;
    Lines messages;
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "unterminated log line: " << text.substr(start);
            break;
        }
        const std::string line = text.substr(start, end - start);
        if (!hasTimestamp(line)) {
            ADD_FAILURE() << "log line without a timestamp: " << line;
        } else {
            messages.push_back(line.substr(stampLength));
        }
        start = end + 1;
    }
    return messages;
}

WsRequest fromOrigin(std::optional<std::string> origin,
                     std::vector<std::pair<std::string, std::string>> headers = {}) {
    WsRequest request;
    request.origin = std::move(origin);
    request.headers = std::move(headers);
    return request;
}

std::string upgradeRequest(const std::string& extraHeaders, const std::string& origin = "http://localhost",
                           const std::string& key = "dGhlIHNhbXBsZSBub25jZQ==") {
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
           "Sec-WebSocket-Key: " +
           key + "\r\nSec-WebSocket-Version: 13\r\nOrigin: " + origin + "\r\n" + extraHeaders + "\r\n";
}

// Waits, without running the main loop, for `done` to hold.
bool awaitWithoutLoop(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string errorText(boost::system::error_code ec) {
    return ec.message();
}

struct Event {
    enum class Kind { connect, message, disconnect };
    Kind kind;
    std::shared_ptr<Client> client;
    Message message;
};
using Kind = Event::Kind;

class ServerTest : public ::testing::Test {
  protected:
    void start(std::uint16_t port = 0) {
        server = Server::create(port, loop);
        if (idleTimeout) server->setIdleTimeout(*idleTimeout);
        server->onListening = [this](bool ready) { listening = ready; };
        server->onConnect = [this](const auto& client) { events.push_back({Kind::connect, client, {}}); };
        server->onDisconnect = [this](const auto& client) {
            events.push_back({Kind::disconnect, client, {}});
        };
        server->onMessage = [this](const auto& client, const Message& message) {
            events.push_back({Kind::message, client, message});
        };
        server->start();
        ASSERT_TRUE(loop.runUntil([this] { return listening.has_value(); }));
    }

    std::uint16_t port() const { return server->boundPort().value(); }

    std::optional<std::chrono::milliseconds> idleTimeout;

    std::size_t count(Kind kind) const {
        return static_cast<std::size_t>(
            std::count_if(events.begin(), events.end(), [kind](const Event& e) { return e.kind == kind; }));
    }
    bool awaitCount(Kind kind, std::size_t n) {
        return loop.runUntil([&] { return count(kind) >= n; });
    }
    std::vector<Message> messagesReceived() const {
        std::vector<Message> result;
        for (const auto& e : events) {
            if (e.kind == Kind::message) result.push_back(e.message);
        }
        return result;
    }

    // The server's thread handles connections one event at a time: once a fresh page's message has
    // reached the main thread, everything the server did for earlier connections has too. The page is
    // known by its message, not as the latest connection, since earlier connections may still be arriving.
    void barrier() {
        const auto page = WsClient::connect(port());
        ASSERT_TRUE(page->accepted());
        ASSERT_TRUE(page->sendJson({{"type", "barrier"}}));
        const auto isBarrier = [](const Event& e) {
            return e.kind == Kind::message && e.message.contains("type") && e.message.at("type") == "barrier";
        };
        ASSERT_TRUE(loop.runUntil([&] { return std::any_of(events.begin(), events.end(), isBarrier); }));
        const auto client = std::find_if(events.begin(), events.end(), isBarrier)->client;
        page->close();
        ASSERT_TRUE(loop.runUntil([&] {
            return std::any_of(events.begin(), events.end(), [&](const Event& e) {
                return e.kind == Kind::disconnect && e.client == client;
            });
        }));
        std::erase_if(events, [&](const Event& e) { return e.client == client; });
    }

    Lines logged() const { return logMessages(capture.text()); }
    std::string listeningLine() const {
        return "listening on ws://127.0.0.1:" + std::to_string(server->port());
    }

    velmora::testing::StderrCapture capture;
    platform::MainLoop loop;
    std::shared_ptr<Server> server;
    std::optional<bool> listening;
    std::vector<Event> events;
};

TEST_F(ServerTest, listening_is_reported_and_logged_with_the_configured_port) {
    start(0);
    EXPECT_EQ(listening, true);
    ASSERT_TRUE(server->boundPort());
    EXPECT_NE(*server->boundPort(), 0);
    // Port 0 binds some free port, but the line names the configured one.
    EXPECT_EQ(logged(), Lines{"listening on ws://127.0.0.1:0"});
}

TEST_F(ServerTest, a_fixed_port_is_bound_and_logged) {
    std::uint16_t freePort;
    {
        net::io_context io;
        tcp::acceptor probe(io, tcp::endpoint(net::ip::address_v4::loopback(), 0));
        freePort = probe.local_endpoint().port();
    }
    start(freePort);
    EXPECT_EQ(listening, true);
    EXPECT_EQ(server->boundPort(), freePort);
    EXPECT_EQ(logged(), Lines{"listening on ws://127.0.0.1:" + std::to_string(freePort)});
}

TEST_F(ServerTest, a_port_in_use_is_logged_and_reported_not_thrown) {
    net::io_context io;
    tcp::acceptor holder(io, tcp::endpoint(net::ip::address_v4::loopback(), 0));
    const auto taken = holder.local_endpoint().port();

    ASSERT_NO_THROW(start(taken));
    EXPECT_EQ(listening, false);
    EXPECT_FALSE(server->boundPort());
    EXPECT_EQ(logged(), Lines{"listener failed: " + errorText(net::error::address_in_use)});
}

TEST_F(ServerTest, listens_on_the_ipv4_loopback_address_only) {
    start();
    EXPECT_TRUE(velmora::testing::tcpConnects("127.0.0.1", port()));
    EXPECT_FALSE(velmora::testing::tcpConnects("127.0.0.2", port()));
    EXPECT_FALSE(velmora::testing::tcpConnects("::1", port()));
}

TEST_F(ServerTest, origin_policy_decides_each_handshake) {
    start();
    const std::string production = build::productionHost;
    const std::string staging = build::stagingHost;
    const std::string refused = "rejected connection from origin ";
    struct Case {
        std::string what;
        WsRequest request;
        std::optional<std::string> logLine;  // none when accepted
    };
    const std::vector<Case> cases{
        {"loopback name with port", fromOrigin("http://localhost:3000"), {}},
        {"IPv4 loopback", fromOrigin("http://127.0.0.1:8080"), {}},
        {"IPv6 loopback", fromOrigin("http://[::1]:5173"), {}},
        {"production over https", fromOrigin("https://" + production), {}},
        {"staging over https with port", fromOrigin("https://" + staging + ":443"), {}},
        {"production over http", fromOrigin("http://" + production), refused + "http://" + production},
        {"other host", fromOrigin("https://evil.example"), refused + "https://evil.example"},
        {"a host that starts like loopback", fromOrigin("http://127.0.0.1.evil.example"),
         refused + "http://127.0.0.1.evil.example"},
        {"an allowed origin with a path", fromOrigin("https://" + production + "/review"),
         refused + "https://" + production + "/review"},
        {"percent-encoded loopback", fromOrigin("http://%6cocalhost"), refused + "http://%6cocalhost"},
        {"no origin", fromOrigin(std::nullopt), refused + "(none)"},
        {"the text null", fromOrigin("null"), refused + "null"},
        {"empty origin", fromOrigin(""), refused},
        {"name in lower case", fromOrigin(std::nullopt, {{"origin", "http://localhost"}}), {}},
        {"name in capitals", fromOrigin(std::nullopt, {{"ORIGIN", "http://localhost"}}), {}},
        {"first of two allows", fromOrigin("http://localhost", {{"Origin", "https://evil.example"}}), {}},
        {"first of two refuses", fromOrigin("https://evil.example", {{"origin", "http://localhost"}}),
         refused + "https://evil.example"},
    };

    Lines expectedLog{listeningLine()};
    std::vector<std::unique_ptr<WsClient>> admitted;
    for (const Case& c : cases) {
        auto client = WsClient::connect(port(), c.request);
        const bool allowed = !c.logLine;
        EXPECT_EQ(client->accepted(), allowed) << c.what;
        EXPECT_EQ(client->status(), allowed ? 101u : 403u) << c.what;
        // The line is written before the refusal is answered.
        if (c.logLine) expectedLog.push_back(*c.logLine);
        EXPECT_EQ(logged(), expectedLog) << c.what;
        if (allowed) admitted.push_back(std::move(client));
    }
    barrier();
    ASSERT_EQ(events.size(), admitted.size());
    for (const auto& e : events)
        EXPECT_EQ(e.kind, Kind::connect);
    EXPECT_EQ(server->clientCount(), admitted.size());
    EXPECT_EQ(logged(), expectedLog);
}

TEST_F(ServerTest, a_requested_subprotocol_is_not_selected) {
    start();
    const auto client = WsClient::connect(
        port(), fromOrigin("http://localhost", {{"Sec-WebSocket-Protocol", "velmora, chat"}}));
    EXPECT_TRUE(client->accepted());
    EXPECT_EQ(client->responseHeader("Sec-WebSocket-Protocol"), std::nullopt);
}

TEST_F(ServerTest, ordinary_cookies_pass_and_what_no_browser_sends_is_answered) {
    start();
    const auto withCookies = WsClient::connect(
        port(), fromOrigin("http://localhost", {{"Cookie", "session=" + std::string(4000, 'c')}}));
    EXPECT_TRUE(withCookies->accepted());
    ASSERT_TRUE(awaitCount(Kind::connect, 1));

    const std::string refused = "rejected connection from origin ";
    struct Case {
        std::string what;
        std::string request;
        unsigned status;
        std::optional<std::string> logLine;
    };
    const std::vector<Case> cases{
        {"NUL in the origin", upgradeRequest("", std::string("http://local\0host", 17)), 403,
         refused + "http://local\\x00host"},
        {"0x01 in the origin", upgradeRequest("", "http://localhost\x01"), 403,
         refused + "http://localhost\\x01"},
        {"VT in the origin", upgradeRequest("", "http://local\x0bhost"), 403,
         refused + "http://local\\x0bhost"},
        {"FF in the origin", upgradeRequest("", "http://localhost\x0c"), 403,
         refused + "http://localhost\\x0c"},
        {"DEL in the origin", upgradeRequest("", "http://localhost\x7f"), 403,
         refused + "http://localhost\\x7f"},
        {"a forged log line", upgradeRequest("", "http://a\r[2026-03-01T14:05:09Z] x"), 403,
         refused + "http://a\\x0d[2026-03-01T14:05:09Z] x"},
        {"a tab in the origin", upgradeRequest("", "http://local\thost"), 403,
         refused + "http://local\\x09host"},
        {"a control character elsewhere", upgradeRequest("X-Note: a\x01b\r\n"), 400, {}},
        {"a refused origin before one", upgradeRequest("X-Note: a\x01b\r\n", "https://evil.example"), 403,
         refused + "https://evil.example"},
        {"a header block over the limit", upgradeRequest("Cookie: " + std::string(64 * 1024, 'c') + "\r\n"),
         431, "rejected connection with a request header over 8192 bytes"},
        {"a short key", upgradeRequest("", "http://localhost", "c2hvcnQ="), 400, {}},
        {"a key of 17 bytes",
         upgradeRequest("", "http://localhost", "dGhlIHNhbXBsZSBub25jZQ=="s.substr(0, 22) + "A="),
         400,
         {}},
        {"a key that is not base64",
         upgradeRequest("", "http://localhost", "dGhlIHNhbXBsZSBub25jZ!=="),
         400,
         {}},
        {"a key with bits past 16 bytes",
         upgradeRequest("", "http://localhost", "dGhlIHNhbXBsZSBub25jZR=="),
         400,
         {}},
        {"no key", upgradeRequest("", "http://localhost", ""), 400, {}},
    };
    Lines expectedLog{listeningLine()};
    for (const Case& c : cases) {
        const auto reply = rawHttp(port(), c.request);
        EXPECT_TRUE(reply.closed) << c.what;
        EXPECT_EQ(reply.bytes.rfind("HTTP/1.1 " + std::to_string(c.status) + " ", 0), 0u)
            << c.what << ": " << reply.bytes;
        if (c.logLine) expectedLog.push_back(*c.logLine);
        EXPECT_EQ(logged(), expectedLog) << c.what;
    }
    barrier();
    EXPECT_EQ(events.size(), 1u);
    EXPECT_EQ(logged(), expectedLog);
}

TEST_F(ServerTest, a_request_that_is_not_an_upgrade_is_refused_without_effect) {
    start();
    const auto reply =
        rawHttp(port(), "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://evil.example\r\n\r\n");
    EXPECT_TRUE(reply.closed);
    EXPECT_EQ(reply.bytes.rfind("HTTP/1.1 400 ", 0), 0u) << reply.bytes;

    barrier();
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(logged(), Lines{listeningLine()});
}

TEST_F(ServerTest, connect_messages_and_disconnect_arrive_in_order) {
    start();
    const auto client = WsClient::connect(port());
    constexpr int sent = 50;
    for (int i = 0; i < sent; ++i)
        ASSERT_TRUE(client->sendJson({{"n", i}}));
    client->close();
    ASSERT_TRUE(awaitCount(Kind::disconnect, 1));
    loop.drain();

    ASSERT_EQ(events.size(), sent + 2u);
    const auto who = events.front().client;
    EXPECT_EQ(events.front().kind, Kind::connect);
    EXPECT_EQ(who->origin(), "page");
    for (int i = 0; i < sent; ++i) {
        const Event& e = events[i + 1];
        ASSERT_EQ(e.kind, Kind::message);
        EXPECT_EQ(e.client, who);
        EXPECT_EQ(e.message.at("n").as_int64(), i);
    }
    EXPECT_EQ(events.back().kind, Kind::disconnect);
    EXPECT_EQ(events.back().client, who);
    EXPECT_EQ(server->clientCount(), 0u);
    EXPECT_TRUE(client->awaitServerClosed());

    // Sending to a client that is gone does nothing.
    who->send({{"type", "late"}});
    barrier();
    EXPECT_EQ(count(Kind::disconnect), 1u);
    // A close frame is an ordinary end: nothing logged.
    EXPECT_EQ(logged(), Lines{listeningLine()});
}

// A page open while nobody draws sends nothing for minutes; it must not be taken for a dead connection.
TEST_F(ServerTest, a_quiet_page_is_pinged_and_stays_connected_past_the_idle_timeout) {
    idleTimeout = std::chrono::milliseconds(200);
    start();
    const auto client = WsClient::connect(port());
    ASSERT_TRUE(awaitCount(Kind::connect, 1));
    ASSERT_TRUE(loop.runUntil([&] { return client->pingsReceived() >= 4; }));  // two idle timeouts
    EXPECT_EQ(count(Kind::disconnect), 0u);
    ASSERT_TRUE(client->sendJson({{"n", 1}}));
    EXPECT_TRUE(awaitCount(Kind::message, 1));
}

TEST_F(ServerTest, a_binary_json_object_is_delivered_like_text) {
    start();
    const auto client = WsClient::connect(port());
    ASSERT_TRUE(client->sendBinary(R"({"type":"input","streamIndex":1})"));
    ASSERT_TRUE(awaitCount(Kind::message, 1));
    const Message expected{{"type", "input"}, {"streamIndex", 1}};
    const auto received = messagesReceived();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received.front(), expected);
}

TEST_F(ServerTest, numbers_and_booleans_keep_their_kinds) {
    start();
    const auto client = WsClient::connect(port());
    ASSERT_TRUE(
        client->sendText(R"({"i":2,"neg":-3,"d":2.0,"e":1e2,"f":0.25,"b":true,"z":false,"s":"1","n":null})"));
    ASSERT_TRUE(awaitCount(Kind::message, 1));
    const Message& m = events.back().message;
    EXPECT_TRUE(m.at("i").is_int64());
    EXPECT_TRUE(m.at("neg").is_int64());
    EXPECT_TRUE(m.at("d").is_double());
    EXPECT_TRUE(m.at("e").is_double());
    EXPECT_EQ(m.at("f").as_double(), 0.25);
    EXPECT_TRUE(m.at("b").is_bool());
    EXPECT_TRUE(m.at("z").is_bool());
    EXPECT_TRUE(m.at("s").is_string());
    EXPECT_TRUE(m.at("n").is_null());
}

TEST_F(ServerTest, payloads_that_are_not_objects_are_dropped_and_the_next_is_still_delivered) {
    start();
    const auto client = WsClient::connect(port());
    const std::vector<std::string> dropped{
        "[1,2]", "42", "\"text\"", "true", "null", "not json", "", " ", "{\"a\":1", "{}{}", "{\"a\":1,}",
    };
    for (std::size_t i = 0; i < dropped.size(); ++i) {
        ASSERT_TRUE(i % 2 ? client->sendBinary(dropped[i]) : client->sendText(dropped[i]));
        ASSERT_TRUE(client->sendJson({{"after", static_cast<std::int64_t>(i)}}));
    }
    ASSERT_TRUE(awaitCount(Kind::message, dropped.size()));
    barrier();
    const auto received = messagesReceived();
    ASSERT_EQ(received.size(), dropped.size());
    for (std::size_t i = 0; i < dropped.size(); ++i) {
        EXPECT_EQ(received[i], (Message{{"after", static_cast<std::int64_t>(i)}})) << "after " << dropped[i];
    }
    EXPECT_EQ(count(Kind::disconnect), 0u);
    EXPECT_EQ(logged(), Lines{listeningLine()});
}

TEST_F(ServerTest, without_on_message_messages_are_read_and_discarded) {
    start();
    server->onMessage = nullptr;
    const auto client = WsClient::connect(port());
    ASSERT_TRUE(client->sendJson({{"a", 1}}));
    ASSERT_TRUE(client->sendJson({{"b", 2}}));
    // The close frame is seen only if the loop went on reading after the two messages.
    client->close();
    ASSERT_TRUE(awaitCount(Kind::disconnect, 1));
    EXPECT_EQ(events.size(), 2u);
}

TEST_F(ServerTest, a_receive_error_is_logged_and_gives_one_disconnect) {
    start();
    struct Case {
        std::string what;
        std::function<void(WsClient&)> fault;
        std::string logLine;
    };
    const std::vector<Case> cases{
        {"connection reset", [](WsClient& c) { c.drop(); },
         "receive error: " + errorText(net::error::connection_reset)},
        {"text that is not UTF-8", [](WsClient& c) { c.sendText("{\"a\":\"\xff\xfe\"}"); },
         "receive error: " + errorText(boost::beast::websocket::error::bad_frame_payload)},
        {"a message over 16 MiB", [](WsClient& c) { c.sendText(std::string(16 * 1024 * 1024 + 1, ' ')); },
         "receive error: " + errorText(boost::beast::websocket::error::message_too_big)},
    };
    Lines expectedLog{listeningLine()};
    for (const Case& c : cases) {
        events.clear();
        const auto client = WsClient::connect(port());
        ASSERT_TRUE(awaitCount(Kind::connect, 1)) << c.what;
        c.fault(*client);
        ASSERT_TRUE(awaitCount(Kind::disconnect, 1)) << c.what;
        EXPECT_TRUE(client->awaitServerClosed()) << c.what;
        barrier();
        EXPECT_EQ(events.size(), 2u) << c.what;
        expectedLog.push_back(c.logLine);
        EXPECT_EQ(logged(), expectedLog) << c.what;
        EXPECT_EQ(server->clientCount(), 0u) << c.what;
    }
}

TEST_F(ServerTest, broadcast_reaches_only_admitted_clients) {
    start();
    server->broadcast({{"type", "nobody"}});

    const auto first = WsClient::connect(port());
    const auto second = WsClient::connect(port());
    const auto refused = WsClient::connect(port(), fromOrigin("https://evil.example"));
    EXPECT_FALSE(refused->accepted());
    const auto late = WsClient::open(port());  // still in its handshake
    ASSERT_TRUE(awaitCount(Kind::connect, 2));

    server->broadcast({{"n", 1}});
    ASSERT_TRUE(loop.runUntil([&] { return first->messageCount() == 1 && second->messageCount() == 1; }));
    ASSERT_TRUE(late->handshake());
    ASSERT_TRUE(awaitCount(Kind::connect, 3));
    server->broadcast({{"n", 2}});
    ASSERT_TRUE(loop.runUntil([&] {
        return late->messageCount() == 1 && first->messageCount() == 2 && second->messageCount() == 2;
    }));

    for (const auto* client : {first.get(), second.get()}) {
        const auto messages = client->messages();
        ASSERT_EQ(messages.size(), 2u);
        EXPECT_EQ(messages[0].payload, R"({"n":1})");
        EXPECT_EQ(messages[1].payload, R"({"n":2})");
        EXPECT_FALSE(messages[0].binary);
    }
    EXPECT_EQ(late->messages().front().payload, R"({"n":2})");
    EXPECT_EQ(logged(), (Lines{listeningLine(), "rejected connection from origin https://evil.example"}));
}

TEST_F(ServerTest, a_message_that_cannot_be_encoded_goes_out_as_an_empty_object) {
    start();
    const auto page = WsClient::connect(port());
    ASSERT_TRUE(awaitCount(Kind::connect, 1));
    const auto client = events.front().client;
    const double infinity = std::numeric_limits<double>::infinity();
    struct Case {
        Message message;
        std::string expected;
    };
    const std::vector<Case> cases{
        {{{"type", "hello"}, {"trusted", true}}, R"({"type":"hello","trusted":true})"},
        {{{"text", "caf\xc3\xa9 \xe2\x80\x94 \xc2\xb7"}}, "{\"text\":\"caf\xc3\xa9 \xe2\x80\x94 \xc2\xb7\"}"},
        {{{"x", std::nan("")}}, "{}"},
        {{{"x", infinity}}, "{}"},
        {{{"nested", {{"list", {1, -infinity}}}}}, "{}"},
        {{{"text", "\xff"}}, "{}"},
        {{{"text", "\xed\xa0\x80"}}, "{}"},  // a UTF-16 surrogate
        {{{"\xc0\x80", 1}}, "{}"},           // an overlong key
    };
    for (const Case& c : cases)
        client->send(c.message);
    for (const Case& c : cases) {
        const auto received = page->receive();
        ASSERT_TRUE(received) << c.expected;
        EXPECT_EQ(received->payload, c.expected);
        EXPECT_FALSE(received->binary);
    }
    EXPECT_TRUE(client->origin() == "page");
}

TEST_F(ServerTest, many_clients_at_once_are_separate_and_all_reached) {
    start();
    constexpr int n = 32;
    constexpr int threads = 4;
    std::vector<std::unique_ptr<WsClient>> pages(n);
    {
        std::vector<std::thread> connecting;
        for (int t = 0; t < threads; ++t) {
            connecting.emplace_back([&, t] {
                for (int i = t; i < n; i += threads) {
                    pages[i] = WsClient::connect(port());
                    pages[i]->sendJson({{"from", i}});
                }
            });
        }
        for (auto& thread : connecting)
            thread.join();
    }
    ASSERT_TRUE(loop.runUntil([&] { return count(Kind::message) == n; }));
    EXPECT_EQ(count(Kind::connect), std::size_t{n});
    EXPECT_EQ(server->clientCount(), std::size_t{n});

    std::set<const Client*> connected;
    std::map<std::int64_t, const Client*> senders;
    for (const auto& e : events) {
        if (e.kind == Kind::connect) connected.insert(e.client.get());
        if (e.kind == Kind::message) {
            EXPECT_TRUE(connected.count(e.client.get())) << "a message before its connection";
            senders[e.message.at("from").as_int64()] = e.client.get();
        }
    }
    EXPECT_EQ(connected.size(), std::size_t{n});
    std::set<const Client*> distinctSenders;
    for (const auto& [from, client] : senders)
        distinctSenders.insert(client);
    EXPECT_EQ(distinctSenders.size(), std::size_t{n});

    server->broadcast({{"type", "all"}});
    ASSERT_TRUE(loop.runUntil([&] {
        return std::all_of(pages.begin(), pages.end(), [](const auto& p) { return p->messageCount() == 1; });
    }));
    for (const auto& page : pages)
        page->close();
    ASSERT_TRUE(awaitCount(Kind::disconnect, n));
    EXPECT_EQ(server->clientCount(), 0u);
    EXPECT_EQ(logged(), Lines{listeningLine()});
}

TEST_F(ServerTest, a_page_that_never_reads_is_cut_off_past_the_outgoing_cap) {
    start();
    WsRequest stalledRequest;
    stalledRequest.readInBackground = false;
    const auto stalledPage = WsClient::connect(port(), stalledRequest);
    ASSERT_TRUE(awaitCount(Kind::connect, 1));
    const auto stalled = events.front().client;
    const auto healthy = WsClient::connect(port());
    ASSERT_TRUE(awaitCount(Kind::connect, 2));

    // Well past the cap plus whatever the kernel's socket buffers absorb.
    const Message big{{"blob", std::string(1 << 20, 'x')}};
    for (std::size_t sent = 0; sent < Server::outgoingLimit / (1 << 20) + 56; ++sent)
        stalled->send(big);
    ASSERT_TRUE(awaitCount(Kind::disconnect, 1));
    EXPECT_EQ(events.back().client, stalled);
    EXPECT_EQ(server->clientCount(), 1u);

    server->broadcast({{"still", "here"}});
    ASSERT_TRUE(loop.runUntil([&] { return healthy->messageCount() == 1; }));
    EXPECT_EQ(logged(), Lines{listeningLine()});
}

// While the main loop does not run, a page that keeps sending has only so much waiting for it, then is
// not read; another page still is. Once the loop runs, the flood arrives whole and in order.
TEST_F(ServerTest, a_flooding_page_waits_for_the_main_thread_while_another_is_still_heard) {
    start();
    const std::string pausedLine =
        "a page sends faster than the helper handles its messages: reading from it waits until they are "
        "handled";
    struct Case {
        std::string what;
        std::size_t padding;
        std::size_t waiting;  // what the flood has waiting when it is stopped
    };
    const std::vector<Case> cases{
        {"small messages", 16, Server::waitingMessageLimit},
        {"1 MiB messages", 1 << 20, Server::waitingByteLimit / (1 << 20)},
    };
    Lines expectedLog{listeningLine()};
    for (const Case& c : cases) {
        events.clear();
        const auto flood = WsClient::connect(port());
        const auto other = WsClient::connect(port());
        ASSERT_TRUE(awaitCount(Kind::connect, 2)) << c.what;
        const auto total = static_cast<std::int64_t>(3 * c.waiting);
        std::jthread sender([&] {
            const std::string padding(c.padding, 'x');
            for (std::int64_t n = 0; n < total && flood->sendJson({{"n", n}, {"padding", padding}}); ++n) {
            }
        });
        expectedLog.push_back(pausedLine);
        ASSERT_TRUE(awaitWithoutLoop([&] { return logged() == expectedLog; })) << c.what;
        ASSERT_TRUE(other->sendJson({{"type", "target"}}));
        ASSERT_TRUE(other->ping());

        const auto isFlood = [](const Event& e) {
            return e.kind == Kind::message && e.message.contains("n");
        };
        const auto target = [&] {
            return std::find_if(events.begin(), events.end(), [](const Event& e) {
                return e.kind == Kind::message && e.message.contains("type");
            });
        };
        ASSERT_TRUE(loop.runUntil([&] { return target() != events.end(); })) << c.what;
        EXPECT_EQ(static_cast<std::size_t>(std::count_if(events.begin(), target(), isFlood)), c.waiting)
            << c.what;

        ASSERT_TRUE(loop.runUntil([&] {
            return std::count_if(events.begin(), events.end(), isFlood) == total;
        })) << c.what;
        sender.join();
        std::int64_t next = 0;
        for (const auto& e : events) {
            if (isFlood(e)) {
                EXPECT_EQ(e.message.at("n").as_int64(), next++) << c.what;
            }
        }
        EXPECT_EQ(logged(), expectedLog) << c.what;  // once for the page, however often it was stopped
        flood->close();
        other->close();
        ASSERT_TRUE(awaitCount(Kind::disconnect, 2)) << c.what;
    }
}

TEST_F(ServerTest, destroying_the_server_with_clients_and_messages_in_flight_is_safe) {
    start();
    constexpr int n = 4;
    std::vector<std::unique_ptr<WsClient>> pages;
    for (int i = 0; i < n; ++i)
        pages.push_back(WsClient::connect(port()));
    ASSERT_TRUE(awaitCount(Kind::connect, n));
    const auto kept = events.front().client;

    std::vector<std::thread> senders;
    for (auto& page : pages) {
        senders.emplace_back([&page] {
            for (int i = 0; i < 100000 && page->sendJson({{"n", i}}); ++i) {
            }
        });
    }
    ASSERT_TRUE(awaitCount(Kind::message, 20));
    for (int i = 0; i < 200; ++i)
        server->broadcast({{"n", i}});
    for (int i = 0; i < 200; ++i)
        kept->send({{"n", i}});

    server.reset();
    for (auto& page : pages)
        EXPECT_TRUE(page->awaitServerClosed());
    for (auto& thread : senders)
        thread.join();

    kept->send({{"after", true}});
    const auto before = events.size();
    loop.drain();  // tasks posted before the end find no server and do nothing
    EXPECT_EQ(events.size(), before);
}

}  // namespace
}  // namespace velmora::server
