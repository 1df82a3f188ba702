#pragma once

#include <boost/json/object.hpp>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/main_loop.hpp"

namespace velmora::server {

using Message = boost::json::object;

namespace detail {
class Connection;
class Core;
class Engine;
}  // namespace detail

// One admitted connection. Its identity is the object itself; it outlives its connection harmlessly
// (sending to a client that is gone does nothing).
class Client {
  public:
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Main thread. Never blocks: the text is queued on the server's thread and written in order. A
    // message that cannot be encoded goes out as "{}".
    void send(const Message& message);
    const std::string& origin() const { return origin_; }

  private:
    friend class detail::Connection;
    friend class detail::Core;
    friend class Server;
    explicit Client(std::weak_ptr<detail::Connection> connection);
    void sendText(std::shared_ptr<const std::string> text);
    void resumeReading();

    std::weak_ptr<detail::Connection> connection_;
    const std::string origin_ = "page";
    // The messages posted to the main loop and not yet handled, with their payload bytes: added on the
    // server's thread, taken away on the main thread, one word so that both are seen at once.
    std::atomic<std::uint64_t> waiting_{0};
};

// The loopback WebSocket listener. Every network event runs on the server's own thread; each listener
// report, connection, message and disconnection reaches the main loop by a post, so for one client the
// main thread sees its connection, then its messages in arrival order, then its disconnection. The
// callbacks are read when the posted task runs.
class Server : public std::enable_shared_from_this<Server> {
  public:
    // What one client may have waiting to be written before its connection is cancelled: a page that
    // never reads must not grow the helper's memory without bound.
    static constexpr std::size_t outgoingLimit = 8 * 1024 * 1024;
    // What one client may have waiting for the main thread: once its messages posted to the main loop and
    // not yet handled come to this many, or their payloads to this many bytes, its socket is not read
    // until the main thread has caught up, so that TCP slows the page down instead of the helper's memory
    // growing. A page sending a move per millisecond reaches it only if the main thread stalls for a second.
    static constexpr std::size_t waitingMessageLimit = 1024;
    static constexpr std::size_t waitingByteLimit = 8 * 1024 * 1024;
    // The serial queue on which all network events run: the name of the server's thread.
    static constexpr const char* queueLabel = "velmora.helper.server";

    static std::shared_ptr<Server> create(std::uint16_t port, platform::MainLoop& mainLoop);
    // Stops and joins the network thread, closing every connection. Never runs on that thread: it holds
    // the server only weakly.
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::uint16_t port() const { return port_; }
    // The port actually bound once listening (differs from port() only for port 0).
    std::optional<std::uint16_t> boundPort() const;

    std::function<void(bool)> onListening;
    std::function<void(const std::shared_ptr<Client>&)> onConnect;
    std::function<void(const std::shared_ptr<Client>&)> onDisconnect;
    std::function<void(const std::shared_ptr<Client>&, Message&)> onMessage;

    // A page that sends nothing for this long, not even the answer to a ping, is disconnected. The server
    // pings a quiet page at half of it, and browsers answer pings by themselves, so a page that is open but
    // idle (a presenter sharing while nobody draws) stays connected. Set before start().
    void setIdleTimeout(std::chrono::steady_clock::duration timeout);

    // Main thread, once (later calls do nothing). A port that cannot be bound is reported through
    // onListening(false); throws std::system_error only when the server's thread cannot be started.
    void start();
    // Main thread. Sends to every admitted client; clients still in their handshake get nothing.
    void broadcast(const Message& message);
    // Admitted clients. Main thread.
    std::size_t clientCount() const;
    // Frees a value taken from a received message on the server's thread: unmapping the memory of a
    // message of many megabytes takes the main thread most of a frame.
    void discard(boost::json::value value);

  private:
    Server(std::uint16_t port, platform::MainLoop& mainLoop);

    std::uint16_t port_;
    std::unique_ptr<detail::Engine> engine_;
    std::shared_ptr<detail::Core> core_;
    bool started_ = false;
};

}  // namespace velmora::server
