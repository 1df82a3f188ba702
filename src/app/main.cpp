#include <boost/asio/signal_set.hpp>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "app/app_delegate.hpp"
#include "app/command_line.hpp"
#include "base/log.hpp"
#include "ink/overlay.hpp"
#include "platform/backend.hpp"
#include "platform/main_loop.hpp"

int main(int argc, char** argv) {
    using namespace velmora;
    const std::vector<std::string> arguments(argv, argv + argc);
    const auto commandLine = app::CommandLine::read(arguments);
    // Read by every overlay window when it is made, so it is set before anything else exists.
    ink::overlayCapturable = commandLine.capturableInk;

    // A page or terminal that goes away must not kill the helper through a write to a closed pipe.
    std::signal(SIGPIPE, SIG_IGN);

    platform::MainLoop loop;
    std::unique_ptr<platform::Platform> platform;
    try {
        platform = platform::createPlatform(loop, {commandLine.backend, commandLine.simScene});
    } catch (const std::exception& error) {
        log(std::string("could not start the desktop: ") + error.what());
        return 1;
    }

    // The loop does not own the delegate, so it is kept alive here until the loop returns.
    auto delegate = app::AppDelegate::create(*platform, commandLine.port, commandLine.dryRun);
    std::weak_ptr<app::AppDelegate> weak = delegate;
    loop.post([weak] {
        if (auto self = weak.lock()) self->applicationDidFinishLaunching();
    });

    // Synthetic presses outlive the process, so a request to stop lets go of them before it goes; the signal
    // is then raised again with its default action, so whoever sent it sees the helper end by it.
    boost::asio::signal_set stops(loop.context(), SIGTERM, SIGINT, SIGHUP);
    stops.async_wait([weak](const boost::system::error_code& error, int number) {
        if (error) return;
        log(std::string("received ") + app::signalName(number) + ", releasing held input and quitting");
        if (auto self = weak.lock()) self->applicationWillTerminate();
        std::fflush(stdout);
        std::signal(number, SIG_DFL);
        std::raise(number);
    });
    loop.run();
    return 0;
}
