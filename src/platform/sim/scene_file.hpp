#pragma once

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
// switch the frontmost application or grant the permission while the program runs. The file and its
// directory are watched (inotify), so that looking for a change costs one read(2) that finds nothing,
// and an atomic replace (a rename over the file) is seen as well as a write in place.
class SceneFile {
  public:
    // Reads and parses the file; throws std::runtime_error with a readable message when it cannot, when it
    // is not a regular file (a named pipe or a device would hold up every query) or cannot be watched.
    explicit SceneFile(const std::filesystem::path& path);
    ~SceneFile();
    SceneFile(const SceneFile&) = delete;
    SceneFile& operator=(const SceneFile&) = delete;

    const std::filesystem::path& path() const { return path_; }
    const SimScene& initialScene() const { return initial_; }

    // The new scene when the file changed since it was last looked at and parses; nothing when it did
    // not change, is gone, is not a regular file or does not parse. The last three are logged once per
    // change of the file, and the caller keeps the scene it has.
    std::optional<SimScene> reloadIfChanged();

  private:
    bool changed();
    void watchFile();
    SimScene read() const;

    std::filesystem::path path_;
    SimScene initial_;
    int inotify_ = -1;
    int fileWatch_ = -1;  // the file itself, through a symbolic link: in-place writes to its target
    int directoryWatch_ = -1;
    bool present_ = true;  // the file was there when last looked at
};

}  // namespace velmora::platform::sim
