#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/main_loop.hpp"
#include "platform/platform.hpp"

// The one place that picks the desktop the program runs on. The backends themselves (src/platform/sim,
// later src/platform/x11) are included by nothing outside src/platform.
namespace velmora::platform {

struct BackendOptions {
    std::optional<std::string> simScene;  // "--sim-scene FILE"

    // Reads the backend options from the whole argument list (index 0 included) by the program's rule:
    // options are whole arguments, the first occurrence counts, a value is the next argument.
    static BackendOptions fromArguments(const std::vector<std::string>& arguments);
};

// The headless sim desktop: scene file (or the default scene), terminal status item on stdout/stdin,
// overlay images, terminate() = flush stdout and std::_Exit(0). Throws std::runtime_error with a
// readable message when the scene file cannot be read.
std::unique_ptr<Platform> createPlatform(MainLoop& loop, const BackendOptions& options);

}  // namespace velmora::platform
