#pragma once

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sim/sim_desktop.hpp"

namespace velmora::platform::sim {

// Reads a scene from the JSON text of a scene file (the format is in README.md beside this file). `name`
// names the file in error messages; relative "eventTrace" and "overlayImages" paths are taken from
// `directory` (the scene file's own). Throws std::runtime_error with a message that names the file and
// says what is wrong and where.
SimScene parseScene(std::string_view text, const std::string& name, const std::filesystem::path& directory);

// The scene of a headless run without a scene file: trusted, "Slides" (pid 501) frontmost, the built-in
// display and an unnamed external one to its right, a "Slides" window on the first and a "Notes" window
// (pid 502) behind it on the second. README.md beside this file shows it as a scene file.
SimScene defaultScene();

// A scene file that is read again whenever it changes on disk, so that a test can move or close windows,
// switch the frontmost application or grant the permission while the program runs. A change is any
// difference in the file's identity (device and inode, which an atomic replace changes), size or
// modification time (to the nanosecond).
class SceneFile {
  public:
    // Reads and parses the file; throws std::runtime_error with a readable message when it cannot.
    explicit SceneFile(const std::filesystem::path& path);

    const std::filesystem::path& path() const { return path_; }
    const SimScene& initialScene() const { return initial_; }

    // The new scene when the file changed since it was last looked at and parses; nothing when it did
    // not change, is gone or does not parse. The last two are logged once per change of the file, and the
    // caller keeps the scene it has.
    std::optional<SimScene> reloadIfChanged();

  private:
    struct Stamp {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        std::time_t seconds = 0;
        long nanoseconds = 0;
        friend bool operator==(const Stamp&, const Stamp&) = default;
    };

    // Reads the file through one descriptor, so the stamp and the text belong to the same version.
    SimScene read(Stamp& stamp) const;

    std::filesystem::path path_;
    SimScene initial_;
    std::optional<Stamp> seen_;  // none: the file was missing when last looked at
};

}  // namespace velmora::platform::sim
