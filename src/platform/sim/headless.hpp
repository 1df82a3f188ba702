#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/sim/scene_file.hpp"
#include "platform/sim/sim_desktop.hpp"
#include "platform/terminal/terminal_menu.hpp"

namespace velmora::platform::sim {

// The sim desktop of a headless run: the scene comes from a live scene file (or is the default scene),
// and the status item is a terminal menu on `output` that takes its choices from `input`.
class HeadlessDesktop : public SimDesktop {
  public:
    // Throws std::runtime_error with a readable message when the scene file cannot be read or parsed.
    HeadlessDesktop(MainLoop& loop, const std::optional<std::string>& sceneFile, int input, int output);

  private:
    HeadlessDesktop(MainLoop& loop, std::unique_ptr<SceneFile> sceneFile, int input, int output);

    std::unique_ptr<SceneFile> sceneFile_;
    std::unique_ptr<terminal::TerminalStatusMenu> menu_;
};

}  // namespace velmora::platform::sim
