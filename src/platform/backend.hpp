#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/main_loop.hpp"
#include "platform/platform.hpp"

// The one place that picks the desktop the program runs on. The backends themselves (src/platform/sim,
// src/platform/x11) are included by nothing outside src/platform.
namespace velmora::platform {

struct BackendOptions {
    std::optional<std::string> backend;   // "--backend NAME": that one or none
    std::optional<std::string> simScene;  // "--sim-scene FILE": implies the sim
};

struct Backend {
    const char* name;
    // Nothing when the desktop cannot be reached (no X display); throws std::runtime_error with a readable
    // message when it can be reached but not used (a scene file that does not parse).
    std::unique_ptr<Platform> (*connect)(MainLoop& loop, const BackendOptions& options);
};

// The backends built into this program, in the order they are tried: a real desktop first, the sim last.
const std::vector<Backend>& backends();

// The backend the options name, or else the first that connects. Throws std::runtime_error with a readable
// message when the named one is unknown or cannot connect.
std::unique_ptr<Platform> createPlatform(MainLoop& loop, const BackendOptions& options);

}  // namespace velmora::platform
