// How long the main thread goes without getting a turn while a page sends to the helper. A 1 ms repeating
// timer on the main loop records the longest gap between its firings while one page sends to the real
// controller on the sim desktop, its stream 1 showing a window: 16 MiB stroke messages (parsed on the
// server's thread, their points taken by the overlay a turn's worth at a time), then a flood of small
// input messages (at most the waiting bound queued on the main loop at once). The gap is given in wall time,
// which includes time the thread was not scheduled on a busy machine, and in the main thread's own CPU
// time, which is what the server's work costs it.
//
//   cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
//   ninja -C build server_bench && build/bench/server_bench
//
// Prints one line per case: messages, longest gap between timer firings (wall, CPU), messages per second.

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "control/controller.hpp"
#include "platform/main_loop.hpp"
#include "platform/sim/scene_file.hpp"
#include "platform/sim/sim_desktop.hpp"

namespace {

namespace net = boost::asio;
namespace websocket = boost::beast::websocket;
using Clock = std::chrono::steady_clock;

double threadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

void sendAll(std::uint16_t port, const std::string& payload, int count) {
    net::io_context io;
    websocket::stream<net::ip::tcp::socket> ws(io);
    ws.next_layer().connect({net::ip::address_v4::loopback(), port});
    ws.set_option(websocket::stream_base::decorator(
        [](websocket::request_type& request) { request.set("Origin", "http://localhost"); }));
    ws.handshake("127.0.0.1", "/");
    ws.text(true);
    ws.write(net::buffer(std::string(R"({"type":"target","streamIndex":1,"label":"window:4242:0"})")));
    ws.write(net::buffer(std::string(R"({"type":"allow","streamIndex":1,"allowed":true})")));
    for (int i = 0; i < count; ++i)
        ws.write(net::buffer(payload));
    ws.close(websocket::close_code::normal);
}

void run(const char* name, const std::string& payload, int count) {
    velmora::platform::MainLoop loop;
    velmora::platform::sim::SimDesktop desktop(loop, velmora::platform::sim::defaultScene());
    const auto controller = velmora::control::Controller::create(desktop, 0, false);
    controller->start();
    auto& server = controller->server();
    int received = -2;  // the target and the grant come first
    server.onMessage = [&, inner = server.onMessage](const auto& client, auto& message) {
        inner(client, message);
        ++received;
    };
    loop.runUntil([&] { return controller->listening(); });
    controller->checkTrust(false);

    const auto start = Clock::now();
    std::thread page(sendAll, *server.boundPort(), std::cref(payload), count);
    auto last = Clock::now();
    Clock::duration longest{};
    double lastCpu = threadCpuMs(), longestCpu = 0;
    const auto timer = loop.repeat(std::chrono::milliseconds(1), [&] {
        const auto now = Clock::now();
        const double cpu = threadCpuMs();
        longest = std::max(longest, now - last);
        longestCpu = std::max(longestCpu, cpu - lastCpu);
        last = now;
        lastCpu = cpu;
    });
    loop.runUntil([&] { return received == count; }, std::chrono::minutes(5));
    // The overlay may still be taking points; the loop keeps turning until it has them all.
    loop.runUntil(
        [&] {
            const auto* stream = controller->stream(1);
            return stream == nullptr || !stream->overlay || stream->overlay->pendingPoints() == 0;
        },
        std::chrono::minutes(5));
    const std::chrono::duration<double> took = Clock::now() - start;
    page.join();
    std::printf("%-22s %7d messages  longest main-thread gap %6.1f ms wall %6.1f ms CPU  %9.0f messages/s\n",
                name, received, std::chrono::duration<double, std::milli>(longest).count(), longestCpu,
                received / took.count());
}

std::string strokeOf(std::size_t bytes) {
    std::string text = R"({"type":"stroke","streamIndex":1,"id":"s","points":[)";
    while (text.size() + 64 < bytes)
        text += R"({"x":0.123456,"y":0.654321},)";
    return text + R"({"x":0,"y":0}]})";
}

}  // namespace

int main() {
    run("16 MiB strokes", strokeOf(16 * 1024 * 1024 - 16), 4);
    run("small input messages", R"({"type":"input","streamIndex":1,"input":{"kind":"move","x":0.5,"y":0.5}})",
        200000);
}
