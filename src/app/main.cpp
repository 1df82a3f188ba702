#include <csignal>
#include <string>
#include <vector>

#include "app/app_delegate.hpp"
#include "app/command_line.hpp"
#include "app/log.hpp"
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
        platform = platform::createPlatform(loop, platform::BackendOptions::fromArguments(arguments));
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
    loop.run();
    return 0;
}
