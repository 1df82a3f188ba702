#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/canvas.hpp"
#include "platform/color.hpp"
#include "platform/geometry.hpp"
#include "platform/input_event.hpp"
#include "platform/main_loop.hpp"

// What the program needs of the desktop it runs on, in its own terms. Backends live in the folders beside
// this file; nothing outside src/platform includes one of them.
namespace velmora::platform {

using WindowId = std::uint32_t;
using DisplayId = std::uint32_t;
using ProcessId = std::int32_t;

// One entry of the window server's list. Every field but the number may be missing, as on a real desktop;
// the owner's process id is kept as the server reports it (it may not fit a ProcessId).
struct WindowEntry {
    WindowId number = 0;
    std::optional<Rect> bounds;  // global coordinates, top-left origin, y down, points
    std::optional<std::int64_t> ownerPid;
    std::optional<std::string> ownerName;
    std::optional<std::int64_t> layer;  // 0 for ordinary application windows
};

struct Screen {
    std::optional<DisplayId> displayId;
    std::string localizedName;
};

struct MenuItem {
    std::string title;
    bool enabled = false;
    std::function<void()> action;  // empty: no action
    std::string keyEquivalent;     // "" for none; taken with the platform's default modifier
    bool isSeparator = false;

    static MenuItem separator() {
        MenuItem item;
        item.isSeparator = true;
        return item;
    }
};

struct Menu {
    std::vector<MenuItem> items;
};

enum class Tint { none, systemOrange };
// The item's image, by what it shows; each backend picks its system's picture for it.
enum class StatusIcon { pointerClick };
enum class ImagePosition { imageOnly, leading };

// The item in the menu bar: a button with an image, a title and a tint, and a menu.
class StatusItem {
  public:
    virtual ~StatusItem() = default;
    virtual bool hasButton() const = 0;
    virtual void setIcon(StatusIcon icon, const std::string& accessibilityDescription) = 0;
    virtual void setImagePosition(ImagePosition position) = 0;
    virtual void setTitle(const std::string& title) = 0;
    virtual void setContentTint(Tint tint) = 0;
    // Replaces the previous menu. Choosing an enabled item calls its action on the main loop.
    virtual void setMenu(Menu menu) = 0;
};

// A window's content. `draw` is called on the main loop when the window displays after setNeedsDisplay().
class View {
  public:
    virtual ~View() = default;
    // `bounds` is the view's own rectangle (origin 0, 0; the window's size).
    virtual void draw(Canvas& canvas, const Rect& bounds) = 0;
    // Flipped views draw with the origin at the top-left corner, y down.
    virtual bool isFlipped() const { return false; }
};

struct OverlayOptions {
    // Whether screen captures may show the overlay. Where the system cannot leave a window out of captures,
    // false is a wish the backend cannot grant.
    bool capturable = false;
};

// A borderless, transparent window above ordinary windows that clicks pass through, made hidden with an empty
// frame.
class OverlayWindow {
  public:
    virtual ~OverlayWindow() = default;
    virtual WindowId windowNumber() const = 0;
    virtual void setContentView(std::shared_ptr<View> view) = 0;
    // Global coordinates, as window bounds: top-left origin, y down.
    virtual Rect frame() const = 0;
    virtual void setFrame(const Rect& frame, bool display) = 0;
    virtual bool isVisible() const = 0;
    // Shows the window in front of every other overlay, whichever application is active.
    virtual void show() = 0;
    virtual void hide() = 0;
    virtual void setNeedsDisplay() = 0;
};

class Platform {
  public:
    virtual ~Platform() = default;

    virtual MainLoop& loop() = 0;

    // Window server. windowEntry finds a window by number also when it is hidden or minimised;
    // onScreenWindows lists the windows on screen, front to back, without desktop elements, or nothing
    // when the list cannot be had.
    virtual std::optional<WindowEntry> windowEntry(WindowId number) = 0;
    // The bounds alone of windowEntry(number), which every input event asks for; a backend whose window
    // server answers each field with a round trip answers this one with fewer.
    virtual std::optional<Rect> windowBounds(WindowId number) {
        const auto entry = windowEntry(number);
        return entry ? entry->bounds : std::nullopt;
    }
    virtual std::optional<std::vector<WindowEntry>> onScreenWindows() = 0;

    // Displays, in the same global space as windows.
    virtual std::vector<DisplayId> activeDisplays(std::size_t capacity) = 0;
    virtual Rect displayBounds(DisplayId display) = 0;  // empty when there is no such display
    virtual std::size_t displayPixelsWide(DisplayId display) = 0;
    virtual std::size_t displayPixelsHigh(DisplayId display) = 0;
    virtual DisplayId mainDisplay() = 0;
    virtual std::vector<Screen> screens() = 0;

    // Delivers the input as if it came from the hardware; false when the system could not make the event,
    // and nothing was delivered.
    virtual bool postInput(const SyntheticInput& input) = 0;
    // Lets go of every button and key the backend's posted input still holds down, where the system keeps
    // synthetic presses beyond the program's life.
    virtual void releaseHeldInput() = 0;

    // Accessibility. isProcessTrusted may show the platform's own prompt when asked to; it answers at once.
    virtual bool isProcessTrusted(bool prompt) = 0;
    // Makes window `window` of process `pid` main, focused and raised. Fails silently (no permission, no
    // such window, the application does not answer).
    virtual void raiseWindow(ProcessId pid, WindowId window) = 0;

    // Workspace and process.
    virtual std::optional<ProcessId> frontmostApplication() = 0;
    // Brings the running application with this process id to the front; false when there is none.
    virtual bool activateApplication(ProcessId pid) = 0;
    // Shows the presenter where to grant the permission isProcessTrusted asks about, where there is such a
    // place; false when there is none.
    virtual bool openPermissionSettings() = 0;
    virtual ProcessId currentProcessId() = 0;

    // Application framework.
    virtual std::unique_ptr<StatusItem> createStatusItem() = 0;
    virtual std::unique_ptr<OverlayWindow> createOverlayWindow(const OverlayOptions& options) = 0;
    // Ends the process from inside the loop, with status 0 and no shutdown step of the program's own.
    virtual void terminate() = 0;
};

}  // namespace velmora::platform
