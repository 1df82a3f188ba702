#pragma once

#include <boost/json/object.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velmora::testing {

// What a test page puts into its opening handshake.
struct WsRequest {
    // Sent first as "Origin"; none sends no such field.
    std::optional<std::string> origin = "http://localhost";
    // Further fields after it, in order, names written exactly as given (a second "origin", "ORIGIN",
    // "Sec-WebSocket-Protocol", "Cookie", …).
    std::vector<std::pair<std::string, std::string>> headers;
    std::string target = "/";
    // False makes a page that never reads what the server sends.
    bool readInBackground = true;
};

struct WsMessage {
    std::string payload;
    bool binary = false;
};

// A real WebSocket client over loopback for tests. Received messages are collected by the client's own
// thread, so a test whose main loop runs on the test thread can await them with
// `loop.runUntil([&] { return client.messageCount() >= n; })`; receive() blocks for tests without one.
// Sending, closing and dropping block until done (or failed), so what follows happens after them.
class WsClient {
  public:
    // Opens the TCP connection only: the server now has a connection in its handshake. Throws
    // std::runtime_error when the connection cannot be made.
    static std::unique_ptr<WsClient> open(std::uint16_t port);
    // open() followed by handshake().
    static std::unique_ptr<WsClient> connect(std::uint16_t port, const WsRequest& request = {});
    ~WsClient();
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    // Performs the opening handshake; true when the server switched protocols.
    bool handshake(const WsRequest& request = {});
    bool accepted() const { return accepted_; }
    // The HTTP status of the handshake answer: 101 when accepted, 0 when there was no answer.
    unsigned status() const { return status_; }
    // A header field of the handshake answer, if present.
    std::optional<std::string> responseHeader(std::string_view name) const;

    // False when the message could not be written.
    bool sendText(std::string_view text);
    bool sendBinary(std::string_view bytes);
    bool sendJson(const boost::json::object& object);
    // Sends a ping and waits for its pong, so the server has read everything sent before it. Needs the
    // background reading.
    bool ping();

    std::size_t messageCount() const;
    // Pings from the server, which the client answers by itself.
    std::size_t pingsReceived() const;
    std::vector<WsMessage> messages() const;
    // The next message not yet taken by receive(), waiting up to `timeout`.
    std::optional<WsMessage> receive(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Sends a close frame and waits (bounded) for the server's answer.
    void close();
    // Resets the TCP connection without a close frame.
    void drop();
    // The server ended the connection (close frame, reset or end of stream) and reading has stopped.
    bool serverClosed() const;
    // Waits up to `timeout` for serverClosed().
    bool awaitServerClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10));

  private:
    struct Impl;
    WsClient();
    bool send(std::string_view data, bool binary);

    std::unique_ptr<Impl> impl_;
    std::uint16_t port_ = 0;
    bool accepted_ = false;
    unsigned status_ = 0;
};

// What a raw HTTP exchange gave back: everything the server wrote before it closed, and whether it closed
// (rather than the deadline passing).
struct RawReply {
    std::string bytes;
    bool closed = false;
};

// Writes `request` verbatim to 127.0.0.1:port and reads until the server closes or `timeout` passes.
RawReply rawHttp(std::uint16_t port, std::string_view request,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));

// Whether a TCP connection to address:port is accepted.
bool tcpConnects(const std::string& address, std::uint16_t port);

}  // namespace velmora::testing
