#include "platform/sim/overlay_images.hpp"

#include <system_error>

#include "base/log.hpp"
#include "platform/sim/sim_desktop.hpp"

namespace velmora::platform::sim {

OverlayImageWriter::OverlayImageWriter(MainLoop& loop, Lookup lookup)
    : loop_(loop), lookup_(std::move(lookup)) {}

std::string OverlayImageWriter::fileName(WindowId number) {
    return "overlay-" + std::to_string(number) + ".png";
}

void OverlayImageWriter::displayed(const SimOverlayWindow& window, const std::string& directory) {
    const WindowId number = window.windowNumber();
    auto [it, added] = entries_.try_emplace(number);
    Entry& entry = it->second;
    if (added) entry.generation = nextGeneration_++;

    const auto file = std::filesystem::path(directory) / fileName(number);
    if (!entry.file.empty() && entry.file != file) {
        // The scene moved the images elsewhere: the old file no longer shows anything.
        std::error_code ignored;
        std::filesystem::remove(entry.file, ignored);
        entry.lastWrite.reset();
    }
    entry.file = file;

    const TimePoint now = loop_.now();
    if (!entry.lastWrite || now - *entry.lastWrite >= interval) {
        write(window, entry);
        return;
    }
    if (entry.trailingPending) return;
    entry.trailingPending = true;
    const Duration wait = *entry.lastWrite + std::chrono::duration_cast<TimePoint::duration>(interval) - now;
    loop_.postAfter(wait, [alive = std::weak_ptr<bool>(alive_), this, number, generation = entry.generation] {
        if (alive.expired()) return;
        catchUp(number, generation);
    });
}

void OverlayImageWriter::catchUp(WindowId number, std::uint64_t generation) {
    const auto it = entries_.find(number);
    if (it == entries_.end() || it->second.generation != generation) return;
    it->second.trailingPending = false;
    const SimOverlayWindow* window = lookup_(number);
    if (window != nullptr && window->isVisible()) write(*window, it->second);
}

void OverlayImageWriter::hidden(WindowId number) {
    const auto it = entries_.find(number);
    if (it == entries_.end()) return;
    std::error_code ignored;
    std::filesystem::remove(it->second.file, ignored);
    entries_.erase(it);
}

void OverlayImageWriter::write(const SimOverlayWindow& window, Entry& entry) {
    entry.lastWrite = loop_.now();
    std::error_code error;
    if (window.frame().isEmpty()) {
        // Nothing to show and nothing a PNG can hold.
        std::filesystem::remove(entry.file, error);
        return;
    }
    std::filesystem::create_directories(entry.file.parent_path(), error);
    if (!error && window.render()->writePng(entry.file.string())) {
        entry.failureLogged = false;
        return;
    }
    // One line per window until a write succeeds again: a full disk must not flood the log 10 times a
    // second.
    if (!entry.failureLogged) velmora::log("sim: cannot write the overlay image " + entry.file.string());
    entry.failureLogged = true;
}

}  // namespace velmora::platform::sim
