// Drives the helper and, in the same run, a small Node.js `ws` server doing the same job for an input
// message, each as a real process on a sim scene whose event trace is a FIFO read here: every posted
// event is timed on the clock its move was sent with. Nothing is asserted; the figures are printed, each
// beside the baseline's and their ratio, as the median of the runs.
//
//   load_client --helper build/velmora-helper --baseline bench/baseline [--runs 3] [--seconds 20]
//               [--rate 1000] [--flood-seconds 10] [--clients 1000] [--targets 200]
//               [--only helper|baseline] [--phases start,moves,ink,flood] [--ink-images] [--quick]
//
// Each move carries its sequence number in its point (x and y in whole points of the target window), so
// the trace line it becomes says which move it was: a missing number is a lost move, a number out of turn
// a reordered one.
//
// Phases, each on a fresh process of each server:
//   start  spawn → the port accepts; resident memory once idle; then memory per idle client with --clients
//          pages connected and greeted.
//   moves  "target" request → answer (--targets times); then moves at --rate per second for --seconds,
//          send → posted; with `ink` also the same again while ten 500-point strokes fade on the overlay
//          (one new stroke every 250 ms, each fading for 2.5 s).
//          The sim draws ink only into overlay images (--ink-images), and encoding them as PNG dominates.
//   flood  one page sends moves as fast as its socket takes them for --flood-seconds: sent and posted per
//          second, lost and reordered once everything is posted, resident memory during and after.

#include <fcntl.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/json/src.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace fs = std::filesystem;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The one window of the scene. Its size gives the range of sequence numbers a point can carry.
constexpr int windowLeft = 100, windowTop = 120, windowWidth = 1200, windowHeight = 760;
constexpr std::uint32_t sequenceRange = std::uint32_t{windowWidth} * windowHeight;
constexpr std::uint32_t unreadable = UINT32_MAX;
// A flood is cut short rather than let a server take the machine's memory.
constexpr long floodRssCapKiB = 4L * 1024 * 1024;

struct Options {
    std::string helper;
    std::string baseline;
    std::string node = "node";
    int runs = 3;
    double seconds = 20;
    double rate = 1000;
    double floodSeconds = 10;
    int clients = 1000;
    int targets = 200;
    bool inkImages = false;
    std::vector<std::string> servers{"helper", "baseline"};
    std::vector<std::string> phases{"start", "moves", "ink", "flood"};
};

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool has(const std::vector<std::string>& list, std::string_view item) {
    return std::find(list.begin(), list.end(), item) != list.end();
}

std::vector<std::string> splitCommas(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    for (std::string part; std::getline(stream, part, ',');)
        if (!part.empty()) parts.push_back(part);
    return parts;
}

std::string machineLoad() {
    std::ifstream file("/proc/loadavg");
    std::string a, b, c;
    file >> a >> b >> c;
    return "load average " + a + " " + b + " " + c + " on " +
           std::to_string(std::thread::hardware_concurrency()) + " CPUs";
}

struct Memory {
    long rssKiB = 0;
    long hwmKiB = 0;
};

// VmRSS and VmHWM of a running process; zeros once it has gone.
Memory memoryOf(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/status");
    Memory memory;
    for (std::string line; std::getline(file, line);) {
        if (line.starts_with("VmRSS:")) memory.rssKiB = std::atol(line.c_str() + 6);
        if (line.starts_with("VmHWM:")) memory.hwmKiB = std::atol(line.c_str() + 6);
    }
    return memory;
}

double mib(long kib) {
    return static_cast<double>(kib) / 1024;
}

// ---- the event trace -----------------------------------------------------------------------------------

struct Arrival {
    std::uint32_t sequence;
    Clock::time_point at;
};

std::optional<double> numberAfter(std::string_view line, std::string_view key) {
    const auto at = line.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    double value;
    const char* begin = line.data() + at + key.size();
    if (std::from_chars(begin, line.data() + line.size(), value).ec != std::errc{}) return std::nullopt;
    return value;
}

std::uint32_t sequenceOf(std::string_view line) {
    const auto x = numberAfter(line, "\"x\":");
    const auto y = numberAfter(line, "\"y\":");
    if (!x || !y) return unreadable;
    const long column = std::lround(*x - windowLeft), row = std::lround(*y - windowTop);
    if (column < 0 || column >= windowWidth || row < 0 || row >= windowHeight) return unreadable;
    return static_cast<std::uint32_t>(row * windowWidth + column);
}

// Reads the FIFO that the server under test appends its posted events to, stamping each line with the
// time its read returned. The read end is opened before the server starts, and a write end is held here
// too so that the FIFO never reports its end while the server opens and closes its own.
class TraceReader {
  public:
    explicit TraceReader(const fs::path& fifo) {
        if (::mkfifo(fifo.c_str(), 0600) != 0) throw std::runtime_error("mkfifo " + fifo.string());
        readFd_ = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        writeFd_ = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
        if (readFd_ < 0 || writeFd_ < 0) throw std::runtime_error("cannot open " + fifo.string());
        ::fcntl(readFd_, F_SETFL, 0);
        // As roomy as a pipe may be made without privileges, so that a burst waits here less than a
        // file would make it wait.
        ::fcntl(readFd_, F_SETPIPE_SZ, 1 << 20);
        thread_ = std::thread([this] { run(); });
    }
    // Call once the server has ended: the read then sees the end of the FIFO.
    ~TraceReader() {
        ::close(writeFd_);
        thread_.join();
        ::close(readFd_);
    }
    TraceReader(const TraceReader&) = delete;
    TraceReader& operator=(const TraceReader&) = delete;

    std::size_t count() const { return count_.load(std::memory_order_acquire); }
    std::vector<Arrival> take() {
        std::lock_guard lock(mutex_);
        count_.store(0, std::memory_order_release);
        return std::exchange(arrivals_, {});
    }

  private:
    void run() {
        std::vector<char> buffer(1 << 16);
        std::string pending;
        std::vector<Arrival> batch;
        for (;;) {
            const ssize_t n = ::read(readFd_, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            const auto at = Clock::now();
            pending.append(buffer.data(), static_cast<std::size_t>(n));
            std::size_t start = 0;
            for (std::size_t end; (end = pending.find('\n', start)) != std::string::npos; start = end + 1)
                batch.push_back({sequenceOf(std::string_view(pending).substr(start, end - start)), at});
            pending.erase(0, start);
            std::lock_guard lock(mutex_);
            arrivals_.insert(arrivals_.end(), batch.begin(), batch.end());
            count_.store(arrivals_.size(), std::memory_order_release);
            batch.clear();
        }
    }

    int readFd_ = -1;
    int writeFd_ = -1;
    std::mutex mutex_;
    std::vector<Arrival> arrivals_;
    std::atomic<std::size_t> count_{0};
    std::thread thread_;
};

// Waits until `want` lines have come or none came for `quiet`; the time of the last one that came.
std::optional<Clock::time_point> awaitArrivals(const TraceReader& trace, std::size_t want,
                                               std::chrono::milliseconds quiet,
                                               const std::function<void()>& sample = {}) {
    std::size_t seen = trace.count();
    auto lastProgress = Clock::now();
    std::optional<Clock::time_point> last;
    if (seen > 0) last = lastProgress;
    while (seen < want && Clock::now() - lastProgress < quiet) {
        std::this_thread::sleep_for(1ms);
        if (sample) sample();
        const auto now = trace.count();
        if (now != seen) {
            seen = now;
            lastProgress = Clock::now();
            last = lastProgress;
        }
    }
    return last;
}

bool isTrue(const boost::json::object& object, std::string_view key) {
    const auto* value = object.if_contains(key);
    return value != nullptr && value->is_bool() && value->get_bool();
}

bool isString(const boost::json::value& value, std::string_view key, std::string_view text) {
    const auto* object = value.if_object();
    const auto* member = object != nullptr ? object->if_contains(key) : nullptr;
    return member != nullptr && member->is_string() && member->get_string() == text;
}

// ---- a page --------------------------------------------------------------------------------------------

class Page {
  public:
    Page(net::io_context& io, std::uint16_t port) : io_(io), ws_(io) {
        ws_.next_layer().connect(tcp::endpoint(net::ip::address_v4::loopback(), port));
        ws_.next_layer().set_option(tcp::no_delay(true));  // as browsers do
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::request_type& request) { request.set("Origin", "http://localhost"); }));
        ws_.secure_prng(false);
        ws_.handshake("127.0.0.1:" + std::to_string(port), "/");
        ws_.text(true);
    }

    void send(std::string_view text) { ws_.write(net::buffer(text.data(), text.size())); }

    // The next message of the given type; the ones before it are skipped.
    boost::json::object await(std::string_view type, std::chrono::seconds limit = 20s) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            std::optional<beast::error_code> result;
            buffer_.clear();
            ws_.async_read(buffer_, [&](beast::error_code ec, std::size_t) { result = ec; });
            io_.restart();
            io_.run_until(deadline);
            if (!result) {
                ws_.next_layer().cancel();
                io_.restart();
                io_.run();
                throw std::runtime_error("no \"" + std::string(type) + "\" answer in time");
            }
            if (*result) throw std::runtime_error("read: " + result->message());
            auto value = boost::json::parse(beast::buffers_to_string(buffer_.cdata()));
            if (isString(value, "type", type)) return std::move(value.as_object());
        }
    }

  private:
    net::io_context& io_;
    websocket::stream<tcp::socket> ws_;
    beast::flat_buffer buffer_;
};

std::string fraction(double value) {
    char text[32];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

std::string moveText(std::uint64_t sequence) {
    const auto cell = static_cast<std::uint32_t>(sequence % sequenceRange);
    return R"({"type":"input","streamIndex":1,"input":{"kind":"move","x":)" +
           fraction(static_cast<double>(cell % windowWidth) / windowWidth) + R"(,"y":)" +
           fraction(static_cast<double>(cell / windowWidth) / windowHeight) + "}}";
}

const char* const targetText = R"({"type":"target","streamIndex":1,"label":"window:4242:0"})";
const char* const allowText = R"({"type":"allow","streamIndex":1,"allowed":true})";

// Strokes of 500 points as a reviewer's hand gives them: short steps that turn a little each time.
class Strokes {
  public:
    Strokes() {
        std::mt19937 random(2024);
        std::uniform_real_distribution<double> unit(0, 1), turn(-0.35, 0.35);
        for (int s = 0; s < 16; ++s) {
            double x = 0.1 + 0.8 * unit(random), y = 0.1 + 0.8 * unit(random), heading = unit(random) * 6.283;
            std::string points;
            for (int i = 0; i < 500; ++i) {
                points += (i == 0 ? "" : ",");
                points += R"({"x":)" + fraction(std::round(x * 1e4) / 1e4) + R"(,"y":)" +
                          fraction(std::round(y * 1e4) / 1e4) + "}";
                heading += turn(random);
                x = std::clamp(x + std::cos(heading) * 0.0025, 0.0, 1.0);
                y = std::clamp(y + std::sin(heading) * 0.004, 0.0, 1.0);
            }
            points_.push_back(std::move(points));
        }
    }
    std::string next() {
        const auto n = sent_++;
        return R"({"type":"stroke","streamIndex":1,"id":"bench-)" + std::to_string(n) +
               R"(","color":"#f0a","width":4,"done":true,"points":[)" + points_[n % points_.size()] + "]}";
    }

  private:
    std::vector<std::string> points_;
    std::uint64_t sent_ = 0;
};

// ---- a server under test -------------------------------------------------------------------------------

std::uint16_t freePort() {
    net::io_context io;
    tcp::acceptor acceptor(io, tcp::endpoint(net::ip::address_v4::loopback(), 0));
    return acceptor.local_endpoint().port();
}

bool accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return ok;
}

// One process of the helper or the baseline on its own scene, port and trace FIFO, from spawn to kill.
class Instance {
  public:
    Instance(const Options& options, const std::string& server) : port_(freePort()) {
        char pattern[] = "/tmp/velmora-bench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp");
        dir_ = pattern;
        const auto fifo = dir_ / "events.fifo";
        const auto scene = dir_ / "scene.json";
        using boost::json::array;
        using boost::json::object;
        object description{
            {"trusted", true},
            {"frontmostPid", 501},
            {"displays", array{object{{"id", 1},
                                      {"name", "Built-in Display"},
                                      {"bounds", array{0, 0, 1512, 982}},
                                      {"main", true}}}},
            {"windows", array{object{{"id", 4242},
                                     {"pid", 501},
                                     {"owner", "Slides"},
                                     {"bounds", array{windowLeft, windowTop, windowWidth, windowHeight}},
                                     {"layer", 0}}}},
            {"eventTrace", fifo.string()}};
        // Without images the sim draws no ink at all; with them it also encodes a PNG up to ten times a
        // second, which costs far more than the drawing.
        if (options.inkImages) description["overlayImages"] = (dir_ / "ink").string();
        std::ofstream(scene) << boost::json::serialize(description);
        trace_.emplace(fifo);

        std::vector<std::string> arguments;
        if (server == "helper") {
            arguments = {options.helper, "--port", std::to_string(port_), "--sim-scene", scene.string()};
        } else {
            arguments = {options.node, (fs::path(options.baseline) / "server.mjs").string(),
                         std::to_string(port_), scene.string()};
        }
        std::vector<char*> argv;
        for (auto& a : arguments)
            argv.push_back(a.data());
        argv.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "log.txt").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const auto spawned = Clock::now();
        const int error = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0)
            throw std::runtime_error("cannot start " + arguments[0] + ": " + std::strerror(error));
        while (!accepts(port_)) {
            int status;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                throw std::runtime_error(server + " ended before listening: " + logTail());
            }
            if (Clock::now() - spawned > 20s)
                throw std::runtime_error(server + " never listened: " + logTail());
            std::this_thread::sleep_for(50us);
        }
        startSeconds_ = secondsSince(spawned);
    }

    ~Instance() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        trace_.reset();
        std::error_code ignored;
        fs::remove_all(dir_, ignored);
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    std::uint16_t port() const { return port_; }
    pid_t pid() const { return pid_; }
    double startSeconds() const { return startSeconds_; }
    TraceReader& trace() { return *trace_; }
    Memory memory() const { return memoryOf(pid_); }

    std::string logTail() const {
        std::ifstream file(dir_ / "log.txt");
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
    }

  private:
    fs::path dir_;
    std::uint16_t port_;
    std::optional<TraceReader> trace_;
    pid_t pid_ = -1;
    double startSeconds_ = 0;
};

// ---- phases --------------------------------------------------------------------------------------------

using Figures = std::map<std::string, double>;

double percentile(const std::vector<double>& sorted, double q) {
    if (sorted.empty()) return NAN;
    const auto index =
        std::min(sorted.size() - 1, static_cast<std::size_t>(q * static_cast<double>(sorted.size())));
    return sorted[index];
}

// Lines whose number is not the one after the previous line's: a move lost or posted out of turn.
std::size_t outOfTurn(const std::vector<Arrival>& arrivals) {
    std::size_t count = 0;
    std::uint32_t expected = 0;
    for (const auto& a : arrivals) {
        if (a.sequence != expected) ++count;
        expected = (a.sequence + 1) % sequenceRange;
    }
    return count;
}

void startPhase(const Options& options, const std::string& server, Figures& figures) {
    Instance instance(options, server);
    figures["start_ms"] = instance.startSeconds() * 1e3;
    std::this_thread::sleep_for(500ms);
    const auto idle = instance.memory().rssKiB;
    figures["idle_mib"] = mib(idle);

    net::io_context io;
    std::vector<std::unique_ptr<Page>> pages;
    for (int i = 0; i < options.clients; ++i) {
        pages.push_back(std::make_unique<Page>(io, instance.port()));
        pages.back()->await("hello");
    }
    std::this_thread::sleep_for(500ms);
    figures["client_kib"] = static_cast<double>(instance.memory().rssKiB - idle) / options.clients;
}

// Moves at a steady rate for a while; with `strokes`, one new stroke every 250 ms after ten at once.
void pacedMoves(const Options& options, Page& page, TraceReader& trace, Strokes* strokes,
                const std::string& prefix, Figures& figures) {
    const auto count = static_cast<std::size_t>(options.seconds * options.rate);
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / options.rate));
    std::vector<Clock::time_point> sent(count);
    trace.take();
    const auto start = Clock::now() + 10ms;
    auto nextStroke = start;
    if (strokes != nullptr) {
        for (int i = 0; i < 9; ++i)
            page.send(strokes->next());
    }
    for (std::size_t i = 0; i < count; ++i) {
        const auto due = start + period * static_cast<long>(i);
        if (strokes != nullptr && due >= nextStroke) {
            page.send(strokes->next());
            nextStroke += 250ms;
        }
        std::this_thread::sleep_until(due);
        const auto text = moveText(i);
        sent[i] = Clock::now();
        page.send(text);
    }
    awaitArrivals(trace, count, 5s);
    const auto arrivals = trace.take();

    std::vector<double> micros;
    micros.reserve(arrivals.size());
    for (const auto& a : arrivals) {
        if (a.sequence < count)
            micros.push_back(std::chrono::duration<double, std::micro>(a.at - sent[a.sequence]).count());
    }
    std::sort(micros.begin(), micros.end());
    figures[prefix + "_p50"] = percentile(micros, 0.5);
    figures[prefix + "_p99"] = percentile(micros, 0.99);
    figures[prefix + "_p999"] = percentile(micros, 0.999);
    figures[prefix + "_max"] = micros.empty() ? NAN : micros.back();
    figures[prefix + "_lost"] = static_cast<double>(count) - static_cast<double>(arrivals.size());
    figures[prefix + "_reordered"] = static_cast<double>(outOfTurn(arrivals));
}

void movesPhase(const Options& options, const std::string& server, bool ink, Figures& figures) {
    Instance instance(options, server);
    net::io_context io;
    Page page(io, instance.port());
    page.await("hello");

    std::vector<double> micros;
    for (int i = 0; i < options.targets; ++i) {
        const auto sent = Clock::now();
        page.send(targetText);
        const auto answer = page.await("target");
        micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
        if (!isTrue(answer, "ok")) throw std::runtime_error(server + " refused the target");
    }
    std::sort(micros.begin(), micros.end());
    figures["target_p50"] = percentile(micros, 0.5);
    figures["target_p99"] = percentile(micros, 0.99);

    page.send(allowText);
    if (!isTrue(page.await("state"), "allowed")) throw std::runtime_error(server + " refused control");
    pacedMoves(options, page, instance.trace(), nullptr, "move", figures);
    if (ink) {
        Strokes strokes;
        pacedMoves(options, page, instance.trace(), &strokes, "ink", figures);
    }
}

void floodPhase(const Options& options, const std::string& server, Figures& figures) {
    Instance instance(options, server);
    net::io_context io;
    Page page(io, instance.port());
    page.await("hello");
    page.send(targetText);
    page.await("target");
    page.send(allowText);
    page.await("state");
    auto& trace = instance.trace();
    trace.take();

    std::atomic<bool> stop{false};
    std::uint64_t sent = 0;
    long peak = 0;
    const auto sample = [&] { peak = std::max(peak, instance.memory().rssKiB); };
    const auto start = Clock::now();
    std::thread sender([&] {
        while (!stop.load(std::memory_order_relaxed))
            page.send(moveText(sent++));
    });
    bool capped = false;
    while (secondsSince(start) < options.floodSeconds) {
        std::this_thread::sleep_for(20ms);
        sample();
        if (peak > floodRssCapKiB) {
            capped = true;
            break;
        }
    }
    stop = true;
    sender.join();
    const double sending = secondsSince(start);
    const auto postedWhileSending = trace.count();
    const auto last = awaitArrivals(trace, sent, 10s, sample);
    std::this_thread::sleep_for(1s);
    const auto after = instance.memory();
    const auto arrivals = trace.take();

    figures["flood_sent_rate"] = static_cast<double>(sent) / sending;
    figures["flood_posted_rate"] = static_cast<double>(postedWhileSending) / sending;
    figures["flood_lost"] = static_cast<double>(sent) - static_cast<double>(arrivals.size());
    figures["flood_reordered"] = static_cast<double>(outOfTurn(arrivals));
    figures["flood_drain_s"] =
        last ? std::max(0.0, std::chrono::duration<double>(*last - start).count() - sending) : NAN;
    figures["flood_peak_mib"] = mib(std::max(peak, after.hwmKiB));
    figures["flood_after_mib"] = mib(after.rssKiB);
    if (capped)
        std::fprintf(stderr, "  %s: flood stopped early at %.0f MiB resident\n", server.c_str(), mib(peak));
}

// ---- the table -----------------------------------------------------------------------------------------

struct Row {
    const char* key;
    const char* label;
    const char* format;
    bool ratio = true;  // counts that are mostly zero have none
};

const Row rows[] = {
    {"move_p50", "send → posted, paced moves, p50 (µs)", "%.0f"},
    {"move_p99", "  p99 (µs)", "%.0f"},
    {"move_p999", "  p99.9 (µs)", "%.0f"},
    {"move_max", "  max (µs)", "%.0f"},
    {"move_lost", "  lost", "%.0f", false},
    {"move_reordered", "  out of turn", "%.0f", false},
    {"ink_p50", "same while ink fades (10 × 500 points), p50 (µs)", "%.0f"},
    {"ink_p99", "  p99 (µs)", "%.0f"},
    {"ink_p999", "  p99.9 (µs)", "%.0f"},
    {"ink_max", "  max (µs)", "%.0f"},
    {"ink_lost", "  lost", "%.0f", false},
    {"ink_reordered", "  out of turn", "%.0f", false},
    {"target_p50", "\"target\" request → answer, p50 (µs)", "%.0f"},
    {"target_p99", "  p99 (µs)", "%.0f"},
    {"flood_posted_rate", "moves posted per second while a page floods", "%.0f"},
    {"flood_sent_rate", "  moves sent per second", "%.0f"},
    {"flood_lost", "  lost", "%.0f", false},
    {"flood_reordered", "  out of turn", "%.0f", false},
    {"flood_drain_s", "  posting after the page stopped (s)", "%.1f", false},
    {"flood_peak_mib", "resident memory while a page floods, peak (MiB)", "%.1f"},
    {"flood_after_mib", "  after it stopped (MiB)", "%.1f"},
    {"idle_mib", "resident memory idle (MiB)", "%.1f"},
    {"client_kib", "memory per idle client (KiB)", "%.1f"},
    {"start_ms", "start → listening (ms)", "%.1f"},
};

double median(std::vector<double> values) {
    std::erase_if(values, [](double v) { return std::isnan(v); });
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    const auto n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string cell(const char* format, double value) {
    if (std::isnan(value)) return "–";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void printTable(const Options& options, const std::map<std::string, std::vector<Figures>>& results) {
    const auto medianOf = [&](const std::string& server, const char* key) {
        std::vector<double> values;
        if (const auto found = results.find(server); found != results.end()) {
            for (const auto& figures : found->second)
                if (const auto v = figures.find(key); v != figures.end()) values.push_back(v->second);
        }
        return median(values);
    };
    std::printf(
        "\n| measure (median of %d run%s; %g moves/s for %g s, flood %g s, %d clients) | helper | Node + ws "
        "| "
        "helper / Node |\n|---|---|---|---|\n",
        options.runs, options.runs == 1 ? "" : "s", options.rate, options.seconds, options.floodSeconds,
        options.clients);
    for (const auto& row : rows) {
        const double helper = medianOf("helper", row.key), baseline = medianOf("baseline", row.key);
        if (std::isnan(helper) && std::isnan(baseline)) continue;
        const double ratio = row.ratio ? helper / baseline : NAN;
        std::printf("| %s | %s | %s | %s |\n", row.label, cell(row.format, helper).c_str(),
                    cell(row.format, baseline).c_str(),
                    std::isfinite(ratio) ? cell("%.2f", ratio).c_str() : "–");
    }
}

Options readOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::runtime_error(std::string(arg) + " needs a value");
            return argv[++i];
        };
        if (arg == "--helper")
            options.helper = value();
        else if (arg == "--baseline")
            options.baseline = value();
        else if (arg == "--node")
            options.node = value();
        else if (arg == "--runs")
            options.runs = std::stoi(value());
        else if (arg == "--seconds")
            options.seconds = std::stod(value());
        else if (arg == "--rate")
            options.rate = std::stod(value());
        else if (arg == "--flood-seconds")
            options.floodSeconds = std::stod(value());
        else if (arg == "--clients")
            options.clients = std::stoi(value());
        else if (arg == "--targets")
            options.targets = std::stoi(value());
        else if (arg == "--only")
            options.servers = {value()};
        else if (arg == "--ink-images")
            options.inkImages = true;
        else if (arg == "--phases")
            options.phases = splitCommas(value());
        else if (arg == "--quick") {
            options.runs = 1, options.seconds = 2, options.floodSeconds = 2, options.clients = 100;
            options.targets = 50;
        } else {
            throw std::runtime_error("unknown option " + std::string(arg));
        }
    }
    if (has(options.servers, "helper") && options.helper.empty())
        throw std::runtime_error("--helper is needed");
    if (has(options.servers, "baseline") && options.baseline.empty())
        throw std::runtime_error("--baseline is needed");
    if (options.runs < 1 || options.rate <= 0 || options.seconds <= 0 || options.clients < 1)
        throw std::runtime_error("runs, rate, seconds and clients must be positive");
    return options;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const auto options = readOptions(argc, argv);
        std::signal(SIGPIPE, SIG_IGN);
        // Paced sends wake on time rather than up to 50 µs late.
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        // A thousand pages need a thousand descriptors here and in the server, which inherits the limit.
        rlimit files{};
        ::getrlimit(RLIMIT_NOFILE, &files);
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);

        const auto loadBefore = machineLoad();
        std::map<std::string, std::vector<Figures>> results;
        for (int run = 1; run <= options.runs; ++run) {
            for (const auto& server : options.servers) {
                std::fprintf(stderr, "run %d/%d: %s (%s)\n", run, options.runs, server.c_str(),
                             machineLoad().c_str());
                Figures figures;
                if (has(options.phases, "start")) startPhase(options, server, figures);
                if (has(options.phases, "moves"))
                    movesPhase(options, server, has(options.phases, "ink"), figures);
                if (has(options.phases, "flood")) floodPhase(options, server, figures);
                for (const auto& [key, value] : figures)
                    std::fprintf(stderr, "  %s %s=%.1f\n", server.c_str(), key.c_str(), value);
                results[server].push_back(std::move(figures));
            }
        }
        printTable(options, results);
        std::printf("\nMachine: %s before, %s after.\n", loadBefore.c_str(), machineLoad().c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "load_client: %s\n", error.what());
        return 1;
    }
}
