#include "platform/sim/headless.hpp"

namespace velmora::platform::sim {

HeadlessDesktop::HeadlessDesktop(MainLoop& loop, const std::optional<std::string>& sceneFile, int input,
                                 int output)
    : HeadlessDesktop(loop, sceneFile ? std::make_unique<SceneFile>(*sceneFile) : nullptr, input, output) {}

HeadlessDesktop::HeadlessDesktop(MainLoop& loop, std::unique_ptr<SceneFile> sceneFile, int input, int output)
    : SimDesktop(loop, sceneFile ? sceneFile->initialScene() : defaultScene()),
      sceneFile_(std::move(sceneFile)),
      menu_(std::make_unique<terminal::TerminalStatusMenu>(*this, loop, input, output)) {
    if (sceneFile_) {
        // The file replaces the whole scene when it changes, in-memory raises and activations included.
        refreshScene = [file = sceneFile_.get()](SimScene& scene) {
            if (auto next = file->reloadIfChanged()) scene = std::move(*next);
        };
    }
}

}  // namespace velmora::platform::sim
