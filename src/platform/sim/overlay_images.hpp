#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/main_loop.hpp"
#include "platform/platform.hpp"

namespace velmora::platform::sim {

class SimOverlayWindow;

// Keeps a PNG of what each visible overlay window shows in a directory, as overlay-<windowNumber>.png,
// so that a person can look at the ink of a headless run. An overlay redraws up to 60 times a second, so
// a window's file is written at most once per `interval`; a display inside the interval is caught up by
// one trailing write at its end, so the last state shown is always on disk. A hidden window's file is
// removed. Every file is replaced atomically, so a reader never sees half an image.
class OverlayImageWriter {
  public:
    // Finds a live overlay window by number, or gives null.
    using Lookup = std::function<const SimOverlayWindow*(WindowId)>;

    static constexpr Duration interval{0.1};

    OverlayImageWriter(MainLoop& loop, Lookup lookup);
    OverlayImageWriter(const OverlayImageWriter&) = delete;
    OverlayImageWriter& operator=(const OverlayImageWriter&) = delete;

    // `window`, which is visible, has just displayed; its image belongs in `directory`.
    void displayed(const SimOverlayWindow& window, const std::string& directory);
    // The window was hidden or closed.
    void hidden(WindowId number);

    static std::string fileName(WindowId number);

  private:
    struct Entry {
        std::uint64_t generation = 0;
        std::filesystem::path file;
        std::optional<TimePoint> lastWrite;
        bool trailingPending = false;
        bool failureLogged = false;
    };

    void write(const SimOverlayWindow& window, Entry& entry);
    void catchUp(WindowId number, std::uint64_t generation);

    MainLoop& loop_;
    Lookup lookup_;
    std::map<WindowId, Entry> entries_;
    std::uint64_t nextGeneration_ = 1;
    // Trailing writes hold this weakly: they do nothing once the writer is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace velmora::platform::sim
