#include "server/server.hpp"

#include <pthread.h>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json/monotonic_resource.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <deque>
#include <mutex>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/log.hpp"
#include "server/origin_policy.hpp"

namespace velmora::server {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;

namespace {

// Beast's own accept reads the upgrade request into 1.5 KiB and resets anything longer; a browser's
// ordinary cookies for 127.0.0.1 must fit, an endless header must not.
constexpr std::uint32_t requestHeaderLimit = 8 * 1024;
// The same bound Beast suggests for the WebSocket handshake, applied to the HTTP request before it.
constexpr auto requestDeadline = std::chrono::seconds(30);
// After a failed accept (out of descriptors, say), wait a little instead of spinning on the error.
constexpr auto acceptRetryDelay = std::chrono::milliseconds(100);
// What a refused page may still send after the answer, read and dropped before the connection closes.
constexpr std::size_t refusedLeftoverLimit = 1024 * 1024;
// Freeing a parsed message of this many payload bytes or more is left to the server's thread: unmapping
// the memory of a 16 MiB stroke takes the main thread some 10 ms, most of a frame.
constexpr std::size_t largeMessageBytes = 64 * 1024;

// Client::waiting_: the payload bytes in the low bits, the message count above them.
constexpr int waitingCountShift = 40;
constexpr std::uint64_t waitingBytesMask = (std::uint64_t{1} << waitingCountShift) - 1;

std::uint64_t waitingWeight(std::size_t bytes) {
    return (std::uint64_t{1} << waitingCountShift) + bytes;
}

bool waitingFull(std::uint64_t waiting) {
    return (waiting >> waitingCountShift) >= Server::waitingMessageLimit ||
           (waiting & waitingBytesMask) >= Server::waitingByteLimit;
}

bool isValidUtf8(std::string_view text) {
    static constexpr std::uint32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t extra;
        std::uint32_t code;
        if (lead < 0x80) {
            ++i;
            continue;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1, code = lead & 0x1Fu;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, code = lead & 0x0Fu;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, code = lead & 0x07u;
        } else {
            return false;
        }
        if (text.size() - i <= extra) return false;
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            code = (code << 6) | (next & 0x3Fu);
        }
        if (code < smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

bool encodable(const boost::json::object& object);

// The serialiser writes infinities as 1e99999 and NaN as null, and copies invalid UTF-8 through; a
// browser fails the whole connection on a text frame that is not UTF-8. Such a message is not sent.
bool encodable(const boost::json::value& value) {
    switch (value.kind()) {
        case boost::json::kind::double_:
            return std::isfinite(value.get_double());
        case boost::json::kind::string:
            return isValidUtf8(value.get_string());
        case boost::json::kind::array: {
            const auto& array = value.get_array();
            return std::all_of(array.begin(), array.end(),
                               [](const boost::json::value& v) { return encodable(v); });
        }
        case boost::json::kind::object:
            return encodable(value.get_object());
        default:
            return true;
    }
}

bool encodable(const boost::json::object& object) {
    return std::all_of(object.begin(), object.end(), [](const boost::json::key_value_pair& member) {
        return isValidUtf8(member.key()) && encodable(member.value());
    });
}

std::shared_ptr<const std::string> encode(const Message& message) {
    return std::make_shared<const std::string>(encodable(message) ? boost::json::serialize(message) : "{}");
}

// The first header field named Origin, in any letter case; later ones are ignored.
std::optional<std::string> firstOrigin(const http::fields& fields) {
    for (const auto& field : fields) {
        if (beast::iequals(field.name_string(), "Origin")) return std::string(field.value());
    }
    return std::nullopt;
}

// The value of the first line of `text` (up to its CRLF) if that line is an Origin field. Beast's parser
// refuses a field value with control characters and leaves the line it stopped at first in the buffer,
// unparsed.
std::optional<std::string> originOfRawLine(std::string_view text) {
    const auto line = text.substr(0, text.find("\r\n"));
    const auto colon = line.find(':');
    if (colon == std::string_view::npos || !beast::iequals(line.substr(0, colon), "Origin"))
        return std::nullopt;
    auto value = line.substr(colon + 1);
    const auto first = value.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::string();
    value = value.substr(first);
    return std::string(value.substr(0, value.find_last_not_of(" \t") + 1));
}

// A request the parser refused, as opposed to a connection that ended or timed out before it was whole.
bool isMalformed(error_code ec) {
    return ec.category() == http::make_error_code(http::error::bad_value).category() &&
           ec != http::error::end_of_stream && ec != http::error::partial_message;
}

// What a browser sends: 16 random bytes in base64, which is 22 characters of its alphabet, the last of
// them with its 4 low bits clear, and "==".
bool isWebSocketKey(std::string_view key) {
    constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    return key.size() == 24 && key.ends_with("==") &&
           key.substr(0, 22).find_first_not_of(alphabet) == std::string_view::npos &&
           std::string_view("AQgw").find(key[21]) != std::string_view::npos;
}

}  // namespace

namespace detail {

// The io_context and the thread that runs it. Kept apart from everything the network handlers can reach,
// so that whoever destroys the server is never that thread itself.
class Engine {
  public:
    Engine() : work_(net::make_work_guard(io_)) {}
    ~Engine() { stopAndJoin(); }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    net::io_context& io() { return io_; }

    void start() {
        thread_ = std::thread([this] {
            // Thread names are limited to 15 bytes; the label's start is enough to tell it apart.
            const std::string name = std::string(Server::queueLabel).substr(0, 15);
            pthread_setname_np(pthread_self(), name.c_str());
            io_.run();
        });
    }

    void stopAndJoin() {
        work_.reset();
        io_.stop();
        if (thread_.joinable()) thread_.join();
    }

  private:
    net::io_context io_{1};
    net::executor_work_guard<net::io_context::executor_type> work_;
    std::thread thread_;
};

// What the network thread works on: the listener and the tables of clients. Owned by the Server alone;
// every network handler holds it weakly.
class Core : public std::enable_shared_from_this<Core> {
  public:
    Core(std::uint16_t port, platform::MainLoop& mainLoop, net::io_context& io)
        : port_(port), mainLoop_(mainLoop), io_(io), acceptor_(io), retryTimer_(io) {}
    ~Core() {
        for (Delivery* delivery = takeDeliveries(); delivery != nullptr;)
            delete std::exchange(delivery, delivery->next);
    }

    void setOwner(std::weak_ptr<Server> owner) { owner_ = std::move(owner); }
    // Set on the main thread before the network thread starts, read only by it afterwards.
    void setIdleTimeout(std::chrono::steady_clock::duration timeout) { idleTimeout_ = timeout; }
    std::chrono::steady_clock::duration idleTimeout() const { return idleTimeout_; }

    // Network thread.
    void listen();
    void addPending(const std::shared_ptr<Client>& client) { pending_.insert(client); }
    void forget(const std::shared_ptr<Client>& client) { pending_.erase(client); }
    void admit(const std::shared_ptr<Client>& client);
    void remove(const std::shared_ptr<Client>& client);
    // Posts the message, `bytes` long on the wire, to the main thread; true when the client now has as
    // much waiting there as it may, and its connection must stop reading.
    bool deliver(const std::shared_ptr<Client>& client, Message message, std::size_t bytes);
    // A connection that has stopped reading has no operation of its own pending to keep it alive.
    void hold(const std::shared_ptr<Connection>& connection) { paused_.insert(connection); }
    void release(const std::shared_ptr<Connection>& connection) { paused_.erase(connection); }

    // Any thread.
    std::vector<std::shared_ptr<Client>> admitted() const {
        std::lock_guard lock(clientsMutex_);
        std::vector<std::shared_ptr<Client>> result;
        result.reserve(clients_.size());
        for (const auto& entry : clients_)
            result.push_back(entry.second);
        return result;
    }
    std::size_t clientCount() const {
        std::lock_guard lock(clientsMutex_);
        return clients_.size();
    }
    std::optional<std::uint16_t> boundPort() const {
        const auto port = boundPort_.load();
        return port == 0 ? std::nullopt : std::optional(port);
    }

  private:
    // A received message, or another event, on its way to the main thread. The network thread pushes
    // them onto a stack that the main thread takes whole: one wake-up of the main thread carries every
    // message that arrived before it got its turn, no lock is taken on either side, and a page's
    // connection, messages and disconnection reach the main thread in the order they happened.
    struct Delivery {
        std::shared_ptr<Client> client;
        Message message;
        std::uint64_t weight = 0;
        std::size_t bytes = 0;
        std::function<void(Server&)> task;  // set for events other than messages
        Delivery* next = nullptr;
    };

    void push(Delivery* delivery);
    // The stack taken whole, turned into a list in arrival order.
    Delivery* takeDeliveries();
    // Main thread. Runs what has arrived, oldest first, handing each message to onMessage.
    void handOver(Server& server);

    void accept();
    // The task runs on the main thread only while the server still exists. The server is held weakly
    // even there, so that this thread never owns it.
    void toMain(std::function<void(Server&)> task) {
        auto* delivery = new Delivery;
        delivery->task = std::move(task);
        push(delivery);
    }

    const std::uint16_t port_;
    platform::MainLoop& mainLoop_;
    net::io_context& io_;
    std::weak_ptr<Server> owner_;
    tcp::acceptor acceptor_;
    net::steady_timer retryTimer_;
    std::atomic<std::uint16_t> boundPort_{0};
    std::atomic<Delivery*> deliveries_{nullptr};
    std::chrono::steady_clock::duration idleTimeout_ = std::chrono::seconds(300);
    std::unordered_set<std::shared_ptr<Client>> pending_;
    std::unordered_set<std::shared_ptr<Connection>> paused_;
    // Written here, read on the main thread by broadcast and clientCount.
    mutable std::mutex clientsMutex_;
    std::unordered_map<const Client*, std::shared_ptr<Client>> clients_;
};

// One TCP connection from accept to close: reads the upgrade request itself so that its Origin can be
// judged, then runs the WebSocket with one read always outstanding and one write at a time. Kept alive
// by its own pending operations.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(tcp::socket socket, std::weak_ptr<Core> core)
        : executor_(socket.get_executor()), ws_(std::move(socket)), core_(std::move(core)) {}

    // Network thread, right after the TCP accept.
    std::shared_ptr<Client> start() {
        client_ = std::shared_ptr<Client>(new Client(weak_from_this()));
        readRequest();
        return client_;
    }

    // Any thread.
    void send(std::shared_ptr<const std::string> text) {
        net::post(executor_, [self = shared_from_this(), text = std::move(text)]() mutable {
            self->enqueue(std::move(text));
        });
    }

    // Any thread, once per pause: the main thread has caught up with this page.
    void resume() {
        net::post(executor_, [self = shared_from_this()] {
            const auto core = self->core_.lock();
            if (!core) return;
            core->release(self);
            self->read();
        });
    }

  private:
    enum class State { handshake, open, closed };

    void readRequest() {
        parser_.emplace();
        parser_->header_limit(requestHeaderLimit);
        ws_.next_layer().expires_after(requestDeadline);
        http::async_read(ws_.next_layer(), buffer_, *parser_,
                         [self = shared_from_this()](error_code ec, std::size_t) { self->onRequest(ec); });
    }

    void onRequest(error_code ec) {
        const auto core = core_.lock();
        if (!core) return;
        if (ec == http::error::header_limit) {
            log("rejected connection with a request header over " + std::to_string(requestHeaderLimit) +
                " bytes");
            return refuse(http::status::request_header_fields_too_large);
        }
        if (isMalformed(ec)) return refuseMalformed();
        if (ec) return abandon(*core);

        const auto& request = parser_->get();
        if (!websocket::is_upgrade(request)) return refuse(http::status::bad_request);
        const auto origin = firstOrigin(request);
        if (!isAllowedOrigin(origin)) return refuseOrigin(origin);
        // Beast itself only checks that a key is there and not too long.
        if (!isWebSocketKey(request[http::field::sec_websocket_key]))
            return refuse(http::status::bad_request);

        ws_.next_layer().expires_never();
        auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeouts.idle_timeout = core->idleTimeout();
        timeouts.keep_alive_pings = true;
        ws_.set_option(timeouts);
        // No decorator: the answer never selects a subprotocol, even when the page asks for one.
        ws_.async_accept(request, [self = shared_from_this()](error_code ec) { self->onAccept(ec); });
    }

    // An origin in the fields parsed before the failure, or on the failing line itself, is judged first,
    // as for any request; otherwise the request is simply bad.
    void refuseMalformed() {
        auto origin = firstOrigin(parser_->get());
        if (!origin) {
            const auto data = buffer_.cdata();
            origin = originOfRawLine(std::string_view(static_cast<const char*>(data.data()), data.size()));
        }
        if (origin && !isAllowedOrigin(origin)) return refuseOrigin(origin);
        refuse(http::status::bad_request);
    }

    void refuseOrigin(const std::optional<std::string>& origin) {
        log("rejected connection from origin " + originForLog(origin));
        refuse(http::status::forbidden);
    }

    void refuse(http::status status) {
        auto& response = refusal_.emplace(status, parser_->get().version());
        response.set(http::field::content_type, "text/plain; charset=utf-8");
        response.body() = std::string(http::obsolete_reason(status)) + "\n";
        response.keep_alive(false);
        response.prepare_payload();
        http::async_write(ws_.next_layer(), response,
                          [self = shared_from_this()](error_code ec, std::size_t) { self->onRefused(ec); });
    }

    // Closing with unread data resets the connection, and the page may then lose the answer (a request
    // over the header limit is still being sent): what it sends is read and dropped, within the request's
    // deadline and up to a limit, until it closes its side.
    void onRefused(error_code ec) {
        if (!ec) {
            error_code ignored;
            ws_.next_layer().socket().shutdown(tcp::socket::shutdown_send, ignored);
            buffer_.clear();
            return dropLeftovers(0);
        }
        if (const auto core = core_.lock()) abandon(*core);
    }

    void dropLeftovers(std::size_t dropped) {
        ws_.next_layer().async_read_some(buffer_.prepare(4096),
                                         [self = shared_from_this(), dropped](error_code ec, std::size_t n) {
                                             if (!ec && dropped + n <= refusedLeftoverLimit)
                                                 return self->dropLeftovers(dropped + n);
                                             if (const auto core = self->core_.lock()) self->abandon(*core);
                                         });
    }

    // The connection never became a client: it goes without a callback and without a log line.
    void abandon(Core& core) {
        state_ = State::closed;
        error_code ignored;
        ws_.next_layer().socket().shutdown(tcp::socket::shutdown_both, ignored);
        ws_.next_layer().close();
        core.forget(client_);
    }

    void onAccept(error_code ec) {
        const auto core = core_.lock();
        if (!core) return;
        parser_.reset();
        buffer_.clear();
        if (ec) return abandon(*core);

        state_ = State::open;
        core->admit(client_);
        if (!outgoing_.empty() && !writing_) write();
        read();
    }

    void read() {
        ws_.async_read(buffer_,
                       [self = shared_from_this()](error_code ec, std::size_t) { self->onRead(ec); });
    }

    void onRead(error_code ec) {
        const auto core = core_.lock();
        if (!core) return;
        if (ec) {
            // A close frame from the page (Beast has already answered it) is an ordinary end; so is a
            // connection this side cancelled.
            if (ec != websocket::error::closed && !cancelled_) log("receive error: " + ec.message());
            return finish(*core);
        }

        // Parsed here, not on the main thread: a message may be 16 MiB (Beast's default read_message_max),
        // which takes hundreds of milliseconds to parse.
        const auto data = buffer_.cdata();
        const auto bytes = data.size();
        error_code parseError;
        // In one arena per message, so that a message of a million small objects is freed in a few blocks
        // and parts of it can be kept on the main thread without copying them.
        auto value =
            boost::json::parse(std::string_view(static_cast<const char*>(data.data()), bytes), parseError,
                               boost::json::make_shared_resource<boost::json::monotonic_resource>());
        buffer_.consume(buffer_.size());
        // Arrays, scalars, invalid JSON and empty payloads are dropped; the loop goes on either way.
        if (!parseError && value.is_object() && core->deliver(client_, std::move(value.as_object()), bytes)) {
            return pause(*core);
        }
        read();
    }

    // Nothing more is read from this page, and TCP holds it back, until the main thread has handled what
    // it has waiting (Client::resumeReading); nothing is lost or reordered.
    void pause(Core& core) {
        core.hold(shared_from_this());
        if (!toldPaused_) {
            toldPaused_ = true;
            log("a page sends faster than the helper handles its messages: reading from it waits until they "
                "are handled");
        }
    }

    void enqueue(std::shared_ptr<const std::string> text) {
        if (state_ == State::closed || writeFailed_) return;
        if (!outgoing_.empty() && outgoingBytes_ + text->size() > Server::outgoingLimit) return cancel();
        outgoingBytes_ += text->size();
        outgoing_.push_back(std::move(text));
        if (!writing_ && state_ == State::open) write();
    }

    // The message being written stays in the queue, its buffer alive, until its write completes.
    void write() {
        writing_ = true;
        ws_.text(true);
        ws_.async_write(net::buffer(*outgoing_.front()),
                        [self = shared_from_this()](error_code ec, std::size_t) { self->onWrite(ec); });
    }

    // A failed send is not reported: the read side sees the same broken connection.
    void onWrite(error_code ec) {
        writing_ = false;
        if (ec || state_ != State::open) {
            writeFailed_ = true;
            outgoing_.clear();
            outgoingBytes_ = 0;
            return;
        }
        outgoingBytes_ -= outgoing_.front()->size();
        outgoing_.pop_front();
        if (!outgoing_.empty()) write();
    }

    // Closing the socket completes the outstanding read, which ends the client the ordinary way.
    void cancel() {
        cancelled_ = true;
        state_ = State::closed;
        ws_.next_layer().close();
    }

    void finish(Core& core) {
        state_ = State::closed;
        ws_.next_layer().close();
        core.remove(client_);
    }

    const net::any_io_executor executor_;
    websocket::stream<beast::tcp_stream> ws_;
    const std::weak_ptr<Core> core_;
    std::shared_ptr<Client> client_;
    State state_ = State::handshake;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::empty_body>> parser_;
    std::optional<http::response<http::string_body>> refusal_;
    std::deque<std::shared_ptr<const std::string>> outgoing_;
    std::size_t outgoingBytes_ = 0;
    bool writing_ = false;
    bool writeFailed_ = false;
    bool cancelled_ = false;
    bool toldPaused_ = false;
};

void Core::listen() {
    const tcp::endpoint endpoint(net::ip::address_v4::loopback(), port_);
    error_code ec;
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) acceptor_.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(net::socket_base::max_listen_connections, ec);
    if (!ec) {
        const auto bound = acceptor_.local_endpoint(ec);
        if (!ec) boundPort_ = bound.port();
    }
    if (ec) {
        log("listener failed: " + ec.message());
        error_code ignored;
        acceptor_.close(ignored);
        toMain([](Server& server) {
            if (const auto callback = server.onListening) callback(false);
        });
        return;
    }
    // The configured port, not the bound one: they differ only for port 0.
    log("listening on ws://127.0.0.1:" + std::to_string(port_));
    toMain([](Server& server) {
        if (const auto callback = server.onListening) callback(true);
    });
    accept();
}

void Core::accept() {
    acceptor_.async_accept([weak = weak_from_this()](error_code ec, tcp::socket socket) {
        const auto core = weak.lock();
        if (!core || ec == net::error::operation_aborted) return;
        if (ec) {
            core->retryTimer_.expires_after(acceptRetryDelay);
            core->retryTimer_.async_wait([weak](error_code waitError) {
                const auto core = weak.lock();
                if (core && !waitError) core->accept();
            });
            return;
        }
        const auto connection = std::make_shared<Connection>(std::move(socket), weak);
        core->addPending(connection->start());
        core->accept();
    });
}

void Core::admit(const std::shared_ptr<Client>& client) {
    pending_.erase(client);
    {
        std::lock_guard lock(clientsMutex_);
        clients_.emplace(client.get(), client);
    }
    toMain([client](Server& server) {
        if (const auto callback = server.onConnect) callback(client);
    });
}

void Core::remove(const std::shared_ptr<Client>& client) {
    pending_.erase(client);
    bool wasAdmitted;
    {
        std::lock_guard lock(clientsMutex_);
        wasAdmitted = clients_.erase(client.get()) > 0;
    }
    if (!wasAdmitted) return;
    toMain([client](Server& server) {
        if (const auto callback = server.onDisconnect) callback(client);
    });
}

bool Core::deliver(const std::shared_ptr<Client>& client, Message message, std::size_t bytes) {
    // Counted before it is handed over, so that the main thread never takes away what is not there yet.
    const auto weight = waitingWeight(bytes);
    const bool full = waitingFull(client->waiting_.fetch_add(weight) + weight);
    auto* delivery = new Delivery;
    delivery->client = client;
    delivery->message = std::move(message);
    delivery->weight = weight;
    delivery->bytes = bytes;
    push(delivery);
    return full;
}

void Core::push(Delivery* delivery) {
    Delivery* top = deliveries_.load(std::memory_order_relaxed);
    do {
        delivery->next = top;
    } while (!deliveries_.compare_exchange_weak(top, delivery, std::memory_order_release,
                                                std::memory_order_relaxed));
    // Only what finds the stack empty wakes the main thread; the rest rides along. The hand-over runs
    // only while the server exists, and holds it weakly even then, so that this thread never owns it.
    if (top == nullptr) {
        mainLoop_.post([owner = owner_, weak = weak_from_this()] {
            const auto server = owner.lock();
            const auto core = weak.lock();
            if (server && core) core->handOver(*server);
        });
    }
}

Core::Delivery* Core::takeDeliveries() {
    Delivery* newestFirst = deliveries_.exchange(nullptr, std::memory_order_acquire);
    Delivery* oldestFirst = nullptr;
    while (newestFirst != nullptr)
        oldestFirst = std::exchange(newestFirst, std::exchange(newestFirst->next, oldestFirst));
    return oldestFirst;
}

void Core::handOver(Server& server) {
    for (Delivery* next = takeDeliveries(); next != nullptr;) {
        const std::unique_ptr<Delivery> delivery(std::exchange(next, next->next));
        if (delivery->task) {
            delivery->task(server);
            continue;
        }
        if (const auto callback = server.onMessage) callback(delivery->client, delivery->message);
        if (delivery->bytes >= largeMessageBytes) server.discard(std::move(delivery->message));
        // Only the message that brings a full backlog below the limits resumes reading: the connection
        // stopped on the one that filled it, and nothing is added while it waits.
        const auto& client = delivery->client;
        const auto before = client->waiting_.fetch_sub(delivery->weight);
        if (waitingFull(before) && !waitingFull(before - delivery->weight)) client->resumeReading();
    }
}

}  // namespace detail

Client::Client(std::weak_ptr<detail::Connection> connection) : connection_(std::move(connection)) {}

void Client::send(const Message& message) {
    sendText(encode(message));
}

void Client::sendText(std::shared_ptr<const std::string> text) {
    if (const auto connection = connection_.lock()) connection->send(std::move(text));
}

void Client::resumeReading() {
    if (const auto connection = connection_.lock()) connection->resume();
}

Server::Server(std::uint16_t port, platform::MainLoop& mainLoop)
    : port_(port),
      engine_(std::make_unique<detail::Engine>()),
      core_(std::make_shared<detail::Core>(port, mainLoop, engine_->io())) {}

std::shared_ptr<Server> Server::create(std::uint16_t port, platform::MainLoop& mainLoop) {
    auto server = std::shared_ptr<Server>(new Server(port, mainLoop));
    server->core_->setOwner(server);
    return server;
}

Server::~Server() {
    // The network thread holds nothing of the server strongly, so this never runs on it. Once it is
    // joined, the listener and the tables go first, while the io_context their sockets belong to still
    // exists; destroying the io_context then releases every connection with its pending operations.
    engine_->stopAndJoin();
    core_.reset();
    engine_.reset();
}

std::optional<std::uint16_t> Server::boundPort() const {
    return core_->boundPort();
}

void Server::start() {
    if (started_) return;
    engine_->start();
    started_ = true;
    net::post(engine_->io(), [weak = std::weak_ptr(core_)] {
        if (const auto core = weak.lock()) core->listen();
    });
}

void Server::broadcast(const Message& message) {
    const auto recipients = core_->admitted();
    if (recipients.empty()) return;
    const auto text = encode(message);
    for (const auto& client : recipients)
        client->sendText(text);
}

void Server::setIdleTimeout(std::chrono::steady_clock::duration timeout) {
    core_->setIdleTimeout(timeout);
}

void Server::discard(boost::json::value value) {
    net::post(engine_->io(), [freed = std::move(value)] {});
}

std::size_t Server::clientCount() const {
    return core_->clientCount();
}

}  // namespace velmora::server
