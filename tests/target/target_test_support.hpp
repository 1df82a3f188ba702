#pragma once

#include <memory>
#include <ostream>
#include <variant>

#include "platform/main_loop.hpp"
#include "platform/sim/scene_file.hpp"
#include "platform/sim/sim_desktop.hpp"
#include "target/target.hpp"

namespace velmora::target {

// Readable failures: found by argument-dependent lookup from GoogleTest.
inline void PrintTo(const Surface& surface, std::ostream* os) {
    if (const auto* window = std::get_if<WindowSurface>(&surface)) {
        *os << "window(" << window->id << ")";
    } else {
        *os << "display(" << std::get<DisplaySurface>(surface).id << ")";
    }
}
inline void PrintTo(const Target& target, std::ostream* os) {
    *os << "Target{";
    PrintTo(target.surface, os);
    *os << ", \"" << target.app << "\", ";
    if (target.pid) {
        *os << "pid " << *target.pid;
    } else {
        *os << "no pid";
    }
    *os << "}";
}
inline void PrintTo(const TargetError& error, std::ostream* os) {
    *os << "TargetError{\"" << error.message << "\"}";
}

}  // namespace velmora::target

namespace velmora::target::testing {

// The scene most target tests start from: the built-in display and a second, unnamed one; the shared
// window 4242 of "Slides" (pid 501) in front, a "Mail" window behind it.
inline platform::sim::SimScene baseScene() {
    using platform::Rect;
    auto scene = platform::sim::defaultScene();
    scene.windows = {
        {4242, 501, "Slides", Rect{100, 120, 1200, 760}, 0, true},
        {7, 602, "Mail", Rect{0, 0, 800, 600}, 0, true},
    };
    return scene;
}

// A sim desktop with its loop, built per test.
struct Desk {
    explicit Desk(platform::sim::SimScene scene = baseScene())
        : desktop(std::make_unique<platform::sim::SimDesktop>(loop, std::move(scene))) {}
    platform::MainLoop loop{platform::MainLoop::Time::manual};
    std::unique_ptr<platform::sim::SimDesktop> desktop;
};

}  // namespace velmora::target::testing
