#include "support/ws_client.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json/serialize.hpp>

#include <array>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace velmora::testing {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

namespace {
constexpr auto operationDeadline = std::chrono::seconds(10);
}

struct WsClient::Impl {
    net::io_context io{1};
    net::executor_work_guard<net::io_context::executor_type> work{io.get_executor()};
    websocket::stream<beast::tcp_stream> ws{io};
    beast::flat_buffer buffer;
    websocket::response_type response;
    std::thread thread;

    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<WsMessage> received;
    std::size_t taken = 0;
    std::size_t pongs = 0;
    std::size_t pings = 0;
    bool ended = false;

    ~Impl() {
        work.reset();
        io.stop();
        if (thread.joinable()) thread.join();
    }

    // Runs `start` on the client's thread and waits for the operation it starts to report completion.
    error_code await(std::function<void(std::function<void(error_code)>)> start) {
        auto done = std::make_shared<std::promise<error_code>>();
        auto result = done->get_future();
        net::post(
            io, [start = std::move(start), done] { start([done](error_code ec) { done->set_value(ec); }); });
        if (result.wait_for(operationDeadline * 2) != std::future_status::ready) {
            throw std::runtime_error("websocket test client: operation did not complete");
        }
        return result.get();
    }

    void read() {
        ws.async_read(buffer, [this](error_code ec, std::size_t) {
            {
                std::lock_guard lock(mutex);
                if (ec) {
                    ended = true;
                } else {
                    received.push_back({beast::buffers_to_string(buffer.data()), !ws.got_text()});
                    buffer.consume(buffer.size());
                }
            }
            changed.notify_all();
            if (!ec) read();
        });
    }
};

WsClient::WsClient() : impl_(std::make_unique<Impl>()) {}

WsClient::~WsClient() = default;

std::unique_ptr<WsClient> WsClient::open(std::uint16_t port) {
    std::unique_ptr<WsClient> client(new WsClient());
    client->port_ = port;
    error_code ec;
    client->impl_->ws.next_layer().socket().connect(tcp::endpoint(net::ip::address_v4::loopback(), port), ec);
    if (ec) throw std::runtime_error("websocket test client: connect failed: " + ec.message());
    auto& impl = *client->impl_;
    impl.thread = std::thread([&impl] { impl.io.run(); });
    return client;
}

std::unique_ptr<WsClient> WsClient::connect(std::uint16_t port, const WsRequest& request) {
    auto client = open(port);
    client->handshake(request);
    return client;
}

bool WsClient::handshake(const WsRequest& request) {
    auto& impl = *impl_;
    const error_code ec = impl.await([&impl, &request, port = port_](auto done) {
        impl.ws.set_option(websocket::stream_base::decorator([request](websocket::request_type& req) {
            if (request.origin) req.set(http::field::origin, *request.origin);
            for (const auto& [name, value] : request.headers)
                req.insert(name, value);
        }));
        websocket::stream_base::timeout timeout{};
        timeout.handshake_timeout = operationDeadline;
        timeout.idle_timeout = websocket::stream_base::none();
        timeout.keep_alive_pings = false;
        impl.ws.set_option(timeout);
        impl.ws.async_handshake(impl.response, "127.0.0.1:" + std::to_string(port), request.target,
                                std::move(done));
    });
    status_ = impl.response.result_int();
    accepted_ = !ec;
    if (accepted_ && request.readInBackground) {
        net::post(impl.io, [&impl] {
            impl.ws.control_callback([&impl](websocket::frame_type kind, beast::string_view) {
                if (kind == websocket::frame_type::close) return;
                {
                    std::lock_guard lock(impl.mutex);
                    ++(kind == websocket::frame_type::pong ? impl.pongs : impl.pings);
                }
                impl.changed.notify_all();
            });
            impl.read();
        });
    }
    if (!accepted_) {
        std::lock_guard lock(impl.mutex);
        impl.ended = true;
    }
    return accepted_;
}

std::optional<std::string> WsClient::responseHeader(std::string_view name) const {
    const auto it = impl_->response.find(name);
    if (it == impl_->response.end()) return std::nullopt;
    return std::string(it->value());
}

bool WsClient::send(std::string_view data, bool binary) {
    auto& impl = *impl_;
    const std::string copy(data);
    const error_code ec = impl.await([&impl, &copy, binary](auto done) {
        impl.ws.binary(binary);
        impl.ws.async_write(net::buffer(copy), [done](error_code ec, std::size_t) { done(ec); });
    });
    return !ec;
}

bool WsClient::sendText(std::string_view text) {
    return send(text, false);
}

bool WsClient::sendBinary(std::string_view bytes) {
    return send(bytes, true);
}

bool WsClient::sendJson(const boost::json::object& object) {
    return sendText(boost::json::serialize(object));
}

bool WsClient::ping() {
    auto& impl = *impl_;
    std::size_t expected;
    {
        std::lock_guard lock(impl.mutex);
        expected = impl.pongs + 1;
    }
    const error_code ec = impl.await([&impl](auto done) { impl.ws.async_ping({}, std::move(done)); });
    if (ec) return false;
    std::unique_lock lock(impl.mutex);
    return impl.changed.wait_for(lock, operationDeadline, [&] { return impl.pongs >= expected; });
}

std::size_t WsClient::pingsReceived() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->pings;
}

std::size_t WsClient::messageCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->received.size();
}

std::vector<WsMessage> WsClient::messages() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->received;
}

std::optional<WsMessage> WsClient::receive(std::chrono::milliseconds timeout) {
    std::unique_lock lock(impl_->mutex);
    impl_->changed.wait_for(lock, timeout, [this] { return impl_->taken < impl_->received.size(); });
    if (impl_->taken >= impl_->received.size()) return std::nullopt;
    return impl_->received[impl_->taken++];
}

void WsClient::close() {
    auto& impl = *impl_;
    impl.await([&impl](auto done) { impl.ws.async_close(websocket::close_code::normal, std::move(done)); });
}

void WsClient::drop() {
    auto& impl = *impl_;
    impl.await([&impl](auto done) {
        auto& socket = impl.ws.next_layer().socket();
        error_code ec;
        // A zero linger turns the close into a reset: the peer learns nothing of a clean end.
        socket.set_option(net::socket_base::linger(true, 0), ec);
        socket.close(ec);
        done(ec);
    });
}

bool WsClient::serverClosed() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->ended;
}

bool WsClient::awaitServerClosed(std::chrono::milliseconds timeout) {
    std::unique_lock lock(impl_->mutex);
    return impl_->changed.wait_for(lock, timeout, [this] { return impl_->ended; });
}

RawReply rawHttp(std::uint16_t port, std::string_view request, std::chrono::milliseconds timeout) {
    net::io_context io;
    beast::tcp_stream stream(io);
    RawReply reply;
    std::array<char, 4096> chunk{};

    std::function<void()> readMore = [&] {
        stream.async_read_some(net::buffer(chunk), [&](error_code ec, std::size_t n) {
            reply.bytes.append(chunk.data(), n);
            if (ec) {
                reply.closed = ec != beast::error::timeout;
                return;
            }
            readMore();
        });
    };
    stream.expires_after(timeout);
    stream.async_connect(tcp::endpoint(net::ip::address_v4::loopback(), port), [&](error_code ec) {
        if (ec) throw std::runtime_error("raw HTTP test client: connect failed: " + ec.message());
        // Whatever the write gives, read what the server answered before it closed.
        net::async_write(stream, net::buffer(request.data(), request.size()),
                         [&](error_code, std::size_t) { readMore(); });
    });
    io.run();
    return reply;
}

bool tcpConnects(const std::string& address, std::uint16_t port) {
    net::io_context io;
    tcp::socket socket(io);
    error_code ec;
    socket.connect(tcp::endpoint(net::ip::make_address(address), port), ec);
    return !ec;
}

}  // namespace velmora::testing
