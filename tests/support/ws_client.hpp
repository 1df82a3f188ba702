#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json/serialize.hpp>

#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

namespace velmora::testing {

using namespace std::chrono_literals;
namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using error_code = boost::system::error_code;

// What a test page puts into its opening handshake: "Origin" first (none: no such field), then `headers`
// in order, names written exactly as given.
struct WsRequest {
    std::optional<std::string> origin = "http://localhost";
    std::vector<std::pair<std::string, std::string>> headers;
    bool readInBackground = true;  // false: a page that never reads what the server sends
};

struct WsMessage {
    std::string payload;
};

// A real WebSocket client over loopback. Its own thread collects what arrives, so a test running a main
// loop awaits messageCount(); receive() blocks for tests without one. Sending, closing and dropping block
// until done (or failed), so what follows happens after them.
class WsClient {
  public:
    // Connects and makes the opening handshake; accepted() tells whether the server switched protocols.
    // Throws when the connection is refused.
    static std::unique_ptr<WsClient> connect(std::uint16_t port, const WsRequest& request = {}) {
        std::unique_ptr<WsClient> client(new WsClient());
        client->handshake(port, request);
        return client;
    }
    ~WsClient() {
        work_.reset();
        io_.stop();
        if (thread_.joinable()) thread_.join();
    }

    bool accepted() const { return accepted_; }
    unsigned status() const { return response_.result_int(); }  // of the handshake answer; 0 without one

    bool sendText(std::string_view text) { return send(text, false); }
    bool sendBinary(std::string_view bytes) { return send(bytes, true); }
    bool sendJson(const boost::json::object& object) { return sendText(boost::json::serialize(object)); }
    // Sends a ping and awaits its pong: the server has then read everything sent before it.
    bool ping() {
        const std::size_t expected = (lock(), pongs_ + 1);
        return !await([this](auto done) { ws_.async_ping({}, done); }) &&
               waitFor(10s, [&] { return pongs_ >= expected; });
    }

    // Each read under a lock held to the end of the return statement, the copy made by then.
    std::size_t messageCount() const { return lock(), received_.size(); }
    std::size_t pingsReceived() const { return lock(), pings_; }  // answered by the client
    std::vector<WsMessage> messages() const { return lock(), received_; }
    // The next message not yet taken by receive().
    std::optional<WsMessage> receive(std::chrono::milliseconds timeout = 10s) {
        if (!waitFor(timeout, [&] { return taken_ < received_.size(); })) return std::nullopt;
        return lock(), received_[taken_++];
    }

    // A close frame, and (bounded) the server's answer.
    void close() {
        await([this](auto done) { ws_.async_close(websocket::close_code::normal, done); });
    }
    // A TCP reset without a close frame: a zero linger turns the close into one.
    void drop() {
        await([this](auto done) {
            error_code ec;
            ws_.next_layer().socket().set_option(net::socket_base::linger(true, 0), ec);
            ws_.next_layer().socket().close(ec);
            done(ec);
        });
    }
    // The server ended the connection and reading has stopped.
    bool awaitServerClosed(std::chrono::milliseconds timeout = 10s) {
        return waitFor(timeout, [this] { return ended_; });
    }

  private:
    WsClient() = default;

    void handshake(std::uint16_t port, const WsRequest& request) {
        error_code ec;
        ws_.next_layer().socket().connect({net::ip::address_v4::loopback(), port}, ec);
        if (ec) throw std::runtime_error("ws client: connect failed: " + ec.message());
        thread_ = std::thread([this] { io_.run(); });
        accepted_ = !await([&](auto done) {
            ws_.set_option(websocket::stream_base::decorator([request](websocket::request_type& req) {
                if (request.origin) req.set(beast::http::field::origin, *request.origin);
                for (const auto& [name, value] : request.headers)
                    req.insert(name, value);
            }));
            ws_.set_option(websocket::stream_base::timeout{10s, websocket::stream_base::none(), false});
            ws_.async_handshake(response_, "127.0.0.1:" + std::to_string(port), "/", done);
        });
        if (!accepted_) update([&] { ended_ = true; });
        if (!accepted_ || !request.readInBackground) return;
        net::post(io_, [this] {
            ws_.control_callback([this](websocket::frame_type kind, beast::string_view) {
                if (kind != websocket::frame_type::close)
                    update([&] { ++(kind == websocket::frame_type::pong ? pongs_ : pings_); });
            });
            read();
        });
    }
    // Runs `start` on the client's thread and waits for the operation it starts to call `done`.
    struct Done {
        std::shared_ptr<std::promise<error_code>> result = std::make_shared<std::promise<error_code>>();
        void operator()(error_code ec, std::size_t = 0) const { result->set_value(ec); }
    };
    error_code await(const std::function<void(Done)>& start) {
        Done done;
        auto result = done.result->get_future();
        net::post(io_, [&start, done] { start(done); });
        if (result.wait_for(20s) != std::future_status::ready) throw std::runtime_error("ws client: stuck");
        return result.get();
    }
    bool send(std::string_view data, bool binary) {
        return !await([&](auto done) {
            ws_.binary(binary);
            ws_.async_write(net::buffer(data), done);
        });
    }
    void read() {
        ws_.async_read(buffer_, [this](error_code ec, std::size_t) {
            update([&] {
                if (ec) ended_ = true;
                if (!ec) received_.push_back({beast::buffers_to_string(buffer_.data())});
                buffer_.consume(buffer_.size());
            });
            if (!ec) read();
        });
    }
    std::unique_lock<std::mutex> lock() const { return std::unique_lock(mutex_); }
    template <typename F>
    void update(F change) {
        lock(), change();
        changed_.notify_all();
    }
    template <typename F>
    bool waitFor(std::chrono::milliseconds timeout, F condition) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, condition);
    }

    net::io_context io_{1};
    net::executor_work_guard<net::io_context::executor_type> work_{io_.get_executor()};
    websocket::stream<beast::tcp_stream> ws_{io_};
    beast::flat_buffer buffer_;
    websocket::response_type response_;
    std::thread thread_;
    bool accepted_ = false, ended_ = false;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<WsMessage> received_;
    std::size_t taken_ = 0, pongs_ = 0, pings_ = 0;
};

}  // namespace velmora::testing
