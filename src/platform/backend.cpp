#include "platform/backend.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "platform/sim/headless.hpp"

namespace velmora::platform {

BackendOptions BackendOptions::fromArguments(const std::vector<std::string>& arguments) {
    BackendOptions options;
    const auto scene = std::find(arguments.begin(), arguments.end(), "--sim-scene");
    if (scene != arguments.end() && scene + 1 != arguments.end()) options.simScene = *(scene + 1);
    return options;
}

std::unique_ptr<Platform> createPlatform(MainLoop& loop, const BackendOptions& options) {
    auto desktop =
        std::make_unique<sim::HeadlessDesktop>(loop, options.simScene, STDIN_FILENO, STDOUT_FILENO);
    // The program has no shutdown step of its own: the menu's last block is flushed and the process ends
    // where it stands, without running destructors.
    desktop->onTerminate = [] {
        std::fflush(stdout);
        std::_Exit(0);
    };
    return desktop;
}

}  // namespace velmora::platform
