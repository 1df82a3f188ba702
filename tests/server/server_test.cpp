// The server over real loopback connections: real WebSocket pages, and raw HTTP for what no browser sends.
#include "server/server.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <ranges>
#include <sstream>

#include "support/stderr_capture.hpp"
#include "support/ws_client.hpp"

namespace velmora::server {
namespace {

using namespace std::string_literals;
using namespace velmora::testing;
using Lines = std::vector<std::string>;
using tcp = net::ip::tcp;
const std::string refused = "rejected connection from origin ";

// Everything the server answers to a verbatim request before it closes; "(open)" when it is silent for 10 s
// without closing. Plain recv, since Asio's blocking reads wait on past SO_RCVTIMEO.
std::string rawHttp(std::uint16_t port, const std::string& request) {
    net::io_context io;
    tcp::socket socket(io, tcp::v4());
    socket.connect({net::ip::address_v4::loopback(), port});
    const timeval deadline{10, 0};
    ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &deadline, sizeof deadline);
    ::send(socket.native_handle(), request.data(), request.size(), MSG_NOSIGNAL);  // failing or not
    std::string reply;
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(socket.native_handle(), buffer, sizeof buffer, 0)) > 0)
        reply.append(buffer, static_cast<std::size_t>(n));
    return reply + (n == 0 || errno == ECONNRESET ? "" : "(open)");
}

std::string upgrade(const std::string& extra, const std::string& origin = "http://localhost",
                    const std::string& key = "dGhlIHNhbXBsZSBub25jZQ==") {
    return "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: "
           "Upgrade\r\nSec-WebSocket-Key: " +
           key + "\r\nSec-WebSocket-Version: 13\r\nOrigin: " + origin + "\r\n" + extra + "\r\n";
}

struct Event {
    enum Kind { connected, received, disconnected } kind;
    std::shared_ptr<Client> client;
    Message message;
};

class ServerTest : public ::testing::Test {
  protected:
    void start(std::uint16_t port = 0, std::chrono::milliseconds idleTimeout = std::chrono::minutes(5)) {
        server = Server::create(port, loop);
        server->setIdleTimeout(idleTimeout);
        server->onListening = [this](bool ready) { listening = ready; };
        server->onConnect = [this](const auto& c) { events.push_back({Event::connected, c, {}}); };
        server->onDisconnect = [this](const auto& c) { events.push_back({Event::disconnected, c, {}}); };
        server->onMessage = [this](const auto& c, const auto& m) {
            events.push_back({Event::received, c, m});
        };
        server->start();
        ASSERT_TRUE(loop.runUntil([this] { return listening.has_value(); }));
    }
    std::uint16_t port() const { return server->boundPort().value(); }
    std::size_t count(Event::Kind kind) const { return std::ranges::count(events, kind, &Event::kind); }
    bool awaitCount(Event::Kind kind, std::size_t n) {
        return loop.runUntil([&] { return count(kind) >= n; });
    }
    // The server's thread handles connections one event at a time: once a fresh page's message has reached
    // the main thread, everything the server did for earlier connections has too. The page is known by its
    // message, not as the latest connection, since earlier connections may still be arriving.
    void barrier() {
        const auto page = WsClient::connect(port());
        page->sendJson({{"barrier", true}});
        const auto isBarrier = [](const Event& e) { return e.message.contains("barrier"); };
        ASSERT_TRUE(loop.runUntil([&] { return std::ranges::any_of(events, isBarrier); }));
        const auto client = std::ranges::find_if(events, isBarrier)->client;
        page->close();
        const auto gone = [&](const Event& e) { return e.client == client && e.kind == Event::disconnected; };
        ASSERT_TRUE(loop.runUntil([&] { return std::ranges::any_of(events, gone); }));
        std::erase_if(events, [&](const Event& e) { return e.client == client; });
    }
    // The log's lines without their "[2026-03-01T14:05:09Z] " stamps.
    Lines logged() const {
        Lines lines;
        std::istringstream text(capture.text());
        for (std::string line; std::getline(text, line);) {
            lines.push_back(line.substr(std::min<std::size_t>(23, line.size())));
        }
        return lines;
    }
    std::string listeningLine() const {
        return "listening on ws://127.0.0.1:" + std::to_string(server->port());
    }

    StderrCapture capture;
    platform::MainLoop loop;
    std::shared_ptr<Server> server;
    std::optional<bool> listening;
    std::vector<Event> events;
};

TEST_F(ServerTest, listens_on_ipv4_loopback_only_and_a_port_in_use_is_logged_not_thrown) {
    start(0);
    EXPECT_EQ(logged(), Lines{"listening on ws://127.0.0.1:0"});  // port 0 binds some free port
    for (const auto& [address, connects] :
         {std::pair{"127.0.0.1", true}, {"127.0.0.2", false}, {"::1", false}}) {
        tcp::socket socket(loop.context());
        error_code ec;
        socket.connect({net::ip::make_address(address), port()}, ec);
        EXPECT_EQ(!ec, connects) << address;
    }
    const auto first = std::exchange(server, nullptr);
    listening.reset();
    ASSERT_NO_THROW(start(*first->boundPort()));
    EXPECT_EQ(listening, false);
    EXPECT_FALSE(server->boundPort());
    EXPECT_EQ(logged().back(), "listener failed: " + make_error_code(net::error::address_in_use).message());
}

// The first Origin field of a handshake, in any letter case, decides it; a refusal is logged before it is
// answered. What no browser sends is answered and closed: the answer to a request over the header limit
// reaches the page although it is still sending, since the server reads what follows before it closes.
TEST_F(ServerTest, the_first_origin_field_decides_each_handshake_and_what_no_browser_sends_is_refused) {
    start();
    const std::string evil = "https://evil.example", local = "http://localhost";
    // clang-format off
    const std::vector<std::pair<WsRequest, std::optional<std::string>>> pages{  // the log line when refused
        {{"http://localhost:3000", {}}, {}},
        {{std::nullopt, {}}, refused + "(none)"},
        {{"null", {}}, refused + "null"},
        {{"", {}}, refused},
        {{std::nullopt, {{"origin", local}}}, {}},
        {{std::nullopt, {{"ORIGIN", local}}}, {}},
        {{evil, {{"origin", local}}}, refused + evil},
        {{local, {{"Cookie", std::string(4000, 'c')}}}, {}},  // browsers' ordinary cookies fit
    };
    const std::vector<std::tuple<std::string, unsigned, std::optional<std::string>>> raw{
        {upgrade("", "http://local\0host"s), 403, refused + "http://local\\x00host"},
        {upgrade("", "http://a\r[2026-03-01T14:05:09Z] x"), 403, refused + "http://a\\x0d[2026-03-01T14:05:09Z] x"},
        {upgrade("X-Note: a\x01b\r\n"), 400, {}},
        {upgrade("X-Note: a\x01b\r\n", evil), 403, refused + evil},
        {upgrade("Cookie: " + std::string(64 * 1024, 'c') + "\r\n"), 431, "rejected connection with a request header over 8192 bytes"},
        {upgrade("", local, "dGhlIHNhbXBsZSBub25jZQA="), 400, {}},  // 17 bytes
        {upgrade("", local, "dGhlIHNhbXBsZSBub25jZ!=="), 400, {}},
        {upgrade("", local, "dGhlIHNhbXBsZSBub25jZR=="), 400, {}},  // bits past 16 bytes
        {upgrade("", local, ""), 400, {}},
        {"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: https://evil.example\r\n\r\n", 400, {}},  // no upgrade
    };
    // clang-format on
    Lines expectedLog{listeningLine()};
    std::vector<std::unique_ptr<WsClient>> admitted;
    for (const auto& [request, logLine] : pages) {
        auto page = WsClient::connect(port(), request);
        EXPECT_EQ(page->status(), logLine ? 403u : 101u) << request.origin.value_or("-");
        if (logLine) expectedLog.push_back(*logLine);
        EXPECT_EQ(logged(), expectedLog);
        if (page->accepted()) admitted.push_back(std::move(page));
    }
    for (const auto& [request, status, logLine] : raw) {
        const auto reply = rawHttp(port(), request);
        EXPECT_TRUE(reply.starts_with("HTTP/1.1 " + std::to_string(status) + " ")) << request << reply;
        EXPECT_FALSE(reply.ends_with("(open)")) << request;
        if (logLine) expectedLog.push_back(*logLine);
        EXPECT_EQ(logged(), expectedLog) << request;
    }
    barrier();
    const auto n = admitted.size();
    EXPECT_EQ(std::tuple(count(Event::connected), events.size(), server->clientCount()), std::tuple(n, n, n));
}

// Only JSON objects reach the main thread, text or binary, between one connect and one disconnect however
// the connection ends; an end other than a close frame is logged. Their order is the flood test's.
TEST_F(ServerTest, objects_arrive_between_connect_and_disconnect_and_a_receive_error_is_logged) {
    start();
    namespace ws = beast::websocket;
    const std::vector<std::pair<std::function<void(WsClient&)>, std::optional<error_code>>> ends{
        {[](WsClient& c) { c.close(); }, {}},
        {[](WsClient& c) { c.ping(), c.drop(); }, net::error::connection_reset},  // once all is read
        {[](WsClient& c) { c.sendText("{\"a\":\"\xff\xfe\"}"); }, ws::error::bad_frame_payload},
        {[](WsClient& c) { c.sendText(std::string(16 * 1024 * 1024 + 1, ' ')); }, ws::error::message_too_big},
    };
    Lines expectedLog{listeningLine()};
    for (const auto& [end, error] : ends) {
        SCOPED_TRACE(error ? error->message() : "close");
        events.clear();
        const auto page = WsClient::connect(port());
        for (const std::string dropped :
             {"[1,2]", "42", "\"text\"", "null", "not json", "", "{\"a\":1", "{}{}"})
            page->sendBinary(dropped), page->sendText(dropped);
        page->sendBinary(R"({"type":"input"})");  // a binary JSON object is taken like text
        end(*page);
        ASSERT_TRUE(awaitCount(Event::disconnected, 1));
        EXPECT_TRUE(page->awaitServerClosed());
        barrier();
        ASSERT_EQ(events.size(), 3u);
        EXPECT_EQ(std::tuple(events[0].kind, events[1].kind, events[2].kind),
                  std::tuple(Event::connected, Event::received, Event::disconnected));
        EXPECT_EQ(events[1].message, (Message{{"type", "input"}}));
        EXPECT_TRUE(events[1].client == events[0].client && events[2].client == events[0].client);
        if (error) expectedLog.push_back("receive error: " + error->message());
        EXPECT_EQ(logged(), expectedLog);
        EXPECT_EQ(server->clientCount(), 0u);
    }
}

// A page open while nobody draws sends nothing for minutes; it must not be taken for a dead connection.
TEST_F(ServerTest, a_quiet_page_is_pinged_and_stays_connected_past_the_idle_timeout) {
    start(0, std::chrono::milliseconds(200));
    const auto page = WsClient::connect(port());
    ASSERT_TRUE(loop.runUntil([&] { return page->pingsReceived() >= 4; }));  // two idle timeouts
    page->sendJson({{"n", 1}});
    EXPECT_TRUE(awaitCount(Event::received, 1));
    EXPECT_EQ(count(Event::disconnected), 0u);
}

TEST_F(ServerTest, a_message_that_cannot_be_encoded_goes_out_as_an_empty_object) {
    start();
    const auto page = WsClient::connect(port());
    ASSERT_TRUE(awaitCount(Event::connected, 1));
    const std::vector<std::pair<Message, std::string>> cases{
        {{{"type", "hello"}, {"trusted", true}}, R"({"type":"hello","trusted":true})"},
        {{{"text", "caf\xc3\xa9 \xe2\x80\x94"}}, "{\"text\":\"caf\xc3\xa9 \xe2\x80\x94\"}"},
        {{{"x", std::nan("")}}, "{}"},
        {{{"nested", {{"list", {1, -std::numeric_limits<double>::infinity()}}}}}, "{}"},
        {{{"text", "\xff"}}, "{}"},
        {{{"text", "\xed\xa0\x80"}}, "{}"},  // a UTF-16 surrogate
        {{{"\xc0\x80", 1}}, "{}"},           // an overlong key
    };
    for (const auto& [message, text] : cases)
        events.front().client->send(message);
    for (const auto& [message, text] : cases)
        EXPECT_EQ(page->receive().value_or(WsMessage{"none"}).payload, text);
}

TEST_F(ServerTest, a_page_that_never_reads_is_cut_off_past_the_outgoing_cap) {
    start();
    const auto stalledPage = WsClient::connect(port(), {"http://localhost", {}, false});
    ASSERT_TRUE(awaitCount(Event::connected, 1));
    const auto healthy = WsClient::connect(port());
    ASSERT_TRUE(awaitCount(Event::connected, 2));
    // Well past the cap plus whatever the kernel's socket buffers absorb.
    for (std::size_t sent = 0; sent < Server::outgoingLimit / (1 << 20) + 56; ++sent)
        events.front().client->send({{"blob", std::string(1 << 20, 'x')}});
    ASSERT_TRUE(awaitCount(Event::disconnected, 1));
    EXPECT_EQ(events.back().client, events.front().client);
    server->broadcast({{"still", "here"}});
    ASSERT_TRUE(loop.runUntil([&] { return healthy->messageCount() == 1; }));
    EXPECT_EQ(logged(), Lines{listeningLine()});
}

// While the main loop does not run, a page that keeps sending has exactly the bound waiting for it, then is
// not read; another page still is. Once the loop runs, the flood arrives whole and in order.
TEST_F(ServerTest, a_flooding_page_waits_for_the_main_thread_while_another_is_still_heard) {
    start();
    Lines expectedLog{listeningLine()};
    for (const auto& [padding, bound] : {std::pair<std::size_t, std::size_t>{16, Server::waitingMessageLimit},
                                         {1 << 20, Server::waitingByteLimit / (1 << 20)}}) {
        SCOPED_TRACE(padding);
        events.clear();
        const auto flood = WsClient::connect(port()), other = WsClient::connect(port());
        ASSERT_TRUE(awaitCount(Event::connected, 2));
        const auto total = static_cast<std::int64_t>(3 * bound);
        std::jthread sender([&] {
            for (std::int64_t n = 0;
                 n < total && flood->sendJson({{"n", n}, {"pad", std::string(padding, 'x')}}); ++n) {
            }
        });
        expectedLog.push_back(
            "a page sends faster than the helper handles its messages: reading from it waits until they are "
            "handled");
        // Awaited without running the main loop, which is what holds the flood up.
        for (int i = 0; i < 10000 && logged() != expectedLog; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_EQ(logged(), expectedLog);
        other->sendJson({{"type", "target"}});
        ASSERT_TRUE(other->ping());
        const auto isFlood = [](const Event& e) { return e.message.contains("n"); };
        const auto target = [&] {
            return std::ranges::find_if(events, [](auto& e) { return e.message.contains("type"); });
        };
        ASSERT_TRUE(loop.runUntil([&] { return target() != events.end(); }));
        EXPECT_EQ(static_cast<std::size_t>(std::count_if(events.begin(), target(), isFlood)), bound);
        ASSERT_TRUE(loop.runUntil([&] { return std::ranges::count_if(events, isFlood) == total; }));
        std::int64_t next = 0;
        for (const auto& e : events | std::views::filter(isFlood))
            EXPECT_EQ(e.message.at("n").as_int64(), next++);
        EXPECT_EQ(logged(), expectedLog);  // once for the page, however often it was stopped
        flood->close(), other->close();
        ASSERT_TRUE(awaitCount(Event::disconnected, 2));
    }
}

// Tasks the server posted before it went, and a client that outlives it, find no server and do nothing.
TEST_F(ServerTest, destroying_the_server_with_clients_and_messages_in_flight_is_safe) {
    start();
    const auto page = WsClient::connect(port()), other = WsClient::connect(port());
    std::jthread sender([&] {
        for (int i = 0; i < 100000 && page->sendJson({{"n", i}}); ++i) {
        }
    });
    ASSERT_TRUE(awaitCount(Event::received, 20));
    const auto kept = events.front().client;
    for (int i = 0; i < 200; ++i)
        server->broadcast({{"n", i}}), kept->send({{"n", i}});
    server.reset();
    EXPECT_TRUE(page->awaitServerClosed() && other->awaitServerClosed());
    sender.join();
    kept->send({{"after", true}});
    const auto before = events.size();
    loop.drain();
    EXPECT_EQ(events.size(), before);
}

}  // namespace
}  // namespace velmora::server
