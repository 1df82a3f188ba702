#include "platform/backend.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "base/log.hpp"
#include "platform/sim/headless.hpp"
#if VELMORA_HAS_X11
#include "platform/x11/x11_desktop.hpp"
#endif

namespace velmora::platform {

namespace {

// The program has no shutdown step of its own: what it printed is flushed and the process ends where it
// stands, without running destructors.
void endProcess() {
    std::fflush(stdout);
    std::_Exit(0);
}

std::unique_ptr<Platform> connectSim(MainLoop& loop, const BackendOptions& options) {
    auto desktop =
        std::make_unique<sim::HeadlessDesktop>(loop, options.simScene, STDIN_FILENO, STDOUT_FILENO);
    desktop->onTerminate = endProcess;
    return desktop;
}

#if VELMORA_HAS_X11
std::unique_ptr<Platform> connectX11(MainLoop& loop, const BackendOptions&) {
    return x11::X11Desktop::connect(loop, STDIN_FILENO, STDOUT_FILENO, endProcess);
}
#endif

std::string names() {
    std::string list;
    for (const auto& backend : backends())
        list += std::string(list.empty() ? "" : ", ") + backend.name;
    return list;
}

}  // namespace

const std::vector<Backend>& backends() {
    static const std::vector<Backend> table {
#if VELMORA_HAS_X11
        {"x11", connectX11},
#endif
            {"sim", connectSim},
    };
    return table;
}

std::unique_ptr<Platform> createPlatform(MainLoop& loop, const BackendOptions& options) {
    std::optional<std::string> wanted = options.backend;
    if (!wanted && options.simScene) wanted = "sim";
    if (wanted) {
        for (const auto& backend : backends()) {
            if (*wanted != backend.name) continue;
            if (auto platform = backend.connect(loop, options)) return platform;
            throw std::runtime_error("the " + *wanted + " desktop cannot be reached");
        }
        throw std::runtime_error("no backend is called \u201c" + *wanted + "\u201d (this build has " +
                                 names() + ")");
    }
    for (const auto& backend : backends()) {
        if (auto platform = backend.connect(loop, options)) {
            // A presenter who expected the real desktop should learn at once that it is not being driven.
            if (&backend != &backends().front()) log(std::string("using the ") + backend.name + " desktop");
            return platform;
        }
    }
    throw std::runtime_error("no desktop can be reached");
}

}  // namespace velmora::platform
