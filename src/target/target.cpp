#include "target/target.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "base/decimal.hpp"

namespace velmora::target {
namespace {

constexpr std::size_t displayListCapacity = 16;

std::vector<std::string_view> nonEmptyFields(std::string_view label) {
    std::vector<std::string_view> fields;
    while (!label.empty()) {
        const auto colon = label.find(':');
        const auto field = label.substr(0, colon);
        if (!field.empty()) fields.push_back(field);
        if (colon == std::string_view::npos) break;
        label.remove_prefix(colon + 1);
    }
    return fields;
}

// The owner as a process id, 0 when the entry has none we could use. An id outside 32 bits is treated as
// no owner at all: narrowing it would wrap it onto some unrelated process.
platform::ProcessId usableOwner(const platform::WindowEntry& entry) {
    if (!entry.ownerPid) return 0;
    const auto pid = *entry.ownerPid;
    if (pid < std::numeric_limits<platform::ProcessId>::min() ||
        pid > std::numeric_limits<platform::ProcessId>::max()) {
        return 0;
    }
    return static_cast<platform::ProcessId>(pid);
}

// Bounds that events and overlays can be placed with: present and made of finite numbers.
std::optional<platform::Rect> usableBounds(const std::optional<platform::Rect>& bounds) {
    if (!bounds) return std::nullopt;
    const auto& r = *bounds;
    if (!std::isfinite(r.x) || !std::isfinite(r.y) || !std::isfinite(r.width) || !std::isfinite(r.height)) {
        return std::nullopt;
    }
    return r;
}

std::string displayName(platform::Platform& platform, platform::DisplayId display) {
    for (const auto& screen : platform.screens()) {
        if (screen.displayId == display) return screen.localizedName;
    }
    return "Display";
}

const platform::ProcessId* windowOwner(const Target& target) {
    if (std::holds_alternative<DisplaySurface>(target.surface) || !target.pid) return nullptr;
    return &*target.pid;
}

}  // namespace

Resolution Target::resolve(platform::Platform& platform, std::string_view label, std::optional<double> width,
                           std::optional<double> height) {
    const auto fields = nonEmptyFields(label);
    const auto id = fields.size() >= 2 ? parseUInt32(fields[1]) : std::nullopt;
    if (!id) {
        return TargetError{"Unrecognised capture label \u201c" + std::string(label) +
                           "\u201d. Share an app window or a display from Chrome."};
    }
    const auto kind = fields[0];
    if (kind == "window") {
        const auto info = windowInfo(platform, *id);
        if (!info) {
            return TargetError{"The shared window (id " + std::to_string(*id) +
                               ") isn't on screen any more."};
        }
        return Target(WindowSurface{*id}, info->app, info->pid);
    }
    if (kind == "screen") {
        const auto display = displayMatching(platform, *id, width, height);
        if (!display)
            return TargetError{"Couldn't find the shared display (id " + std::to_string(*id) + ")."};
        return Target(DisplaySurface{*display}, displayName(platform, *display), std::nullopt);
    }
    return TargetError{"Only app windows and displays can be controlled \u2014 not browser tabs."};
}

std::optional<WindowInfo> Target::windowInfo(platform::Platform& platform, std::uint32_t id) {
    const auto entry = platform.windowEntry(id);
    if (!entry) return std::nullopt;
    const auto bounds = usableBounds(entry->bounds);
    if (!bounds) return std::nullopt;
    return WindowInfo{*bounds, usableOwner(*entry), entry->ownerName.value_or("window")};
}

std::optional<std::uint32_t> Target::displayMatching(platform::Platform& platform, std::uint32_t id,
                                                     std::optional<double> width,
                                                     std::optional<double> height) {
    auto displays = platform.activeDisplays(displayListCapacity);
    if (displays.size() > displayListCapacity) displays.resize(displayListCapacity);
    for (const auto display : displays) {
        if (display == id) return display;
    }
    // The page reports the shared display's size in pixels; the label's number need not be a display id
    // of ours, so the size is the next best clue.
    if (width && height) {
        for (const auto display : displays) {
            if (static_cast<double>(platform.displayPixelsWide(display)) == *width &&
                static_cast<double>(platform.displayPixelsHigh(display)) == *height) {
                return display;
            }
        }
    }
    if (displays.size() == 1) return displays.front();
    return std::nullopt;
}

std::optional<platform::Rect> Target::currentBounds(platform::Platform& platform) const {
    if (const auto* display = std::get_if<DisplaySurface>(&surface)) {
        const auto bounds = platform.displayBounds(display->id);
        if (bounds.isEmpty()) return std::nullopt;
        return bounds;
    }
    // The same answer as windowInfo's bounds, without asking for the owner on every event.
    return usableBounds(platform.windowBounds(std::get<WindowSurface>(surface).id));
}

bool Target::isFrontmost(platform::Platform& platform, platform::Point point) const {
    const auto* owner = windowOwner(*this);
    if (owner == nullptr) return true;
    const auto windows = platform.onScreenWindows();
    if (!windows) return true;  // without a list we cannot tell, and holding every event would be worse
    const auto own = platform.currentProcessId();
    for (const auto& entry : *windows) {
        const auto entryOwner = usableOwner(entry);
        // Our overlays lie exactly over the target and must not hide it.
        if (entryOwner == own) continue;
        // Palettes, the menu bar and the like live on other layers; raising the target could never put it
        // above them, so they are looked through.
        if (entry.layer != 0) continue;
        const auto bounds = usableBounds(entry.bounds);
        if (!bounds || !bounds->contains(point)) continue;
        // Any window of the target's application will do: it is that application the event reaches.
        return entryOwner == *owner;
    }
    return false;
}

bool Target::hasKeyboardFocus(platform::Platform& platform) const {
    const auto* owner = windowOwner(*this);
    if (owner == nullptr) return true;
    const auto frontmost = platform.frontmostApplication();
    return frontmost && *frontmost == *owner;
}

void Target::raise(platform::Platform& platform) const {
    const auto* owner = windowOwner(*this);
    if (owner == nullptr) return;
    // The window is made main before its application is activated, so that the activation brings this
    // window forward rather than whichever one the application had in front.
    platform.raiseWindow(*owner, std::get<WindowSurface>(surface).id);
    platform.activateApplication(*owner);
}

}  // namespace velmora::target
