#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/cairo/cairo_canvas.hpp"
#include "platform/mac_terms.hpp"
#include "platform/platform.hpp"
#include "platform/terminal/status_item.hpp"

namespace velmora::platform::sim {

struct SimDisplay {
    DisplayId id = 0;
    std::optional<std::string> name;  // no name: the display has no screen entry
    Rect bounds;
    std::size_t pixelsWide = 0;
    std::size_t pixelsHigh = 0;
};

struct SimWindow {
    WindowId id = 0;
    std::optional<std::int64_t> pid;
    std::optional<std::string> owner;
    std::optional<Rect> bounds;
    std::optional<std::int64_t> layer;
    bool onScreen = true;
};

// Everything the simulated desktop knows. Displays are in active-list order, windows front to back.
struct SimScene {
    bool trusted = false;
    std::optional<ProcessId> frontmostPid;
    std::vector<SimDisplay> displays;
    std::optional<DisplayId> mainDisplay;  // none: the first display
    std::vector<SimWindow> windows;
    std::optional<std::string> eventTrace;  // file that every posted event is appended to, one JSON line each
    // Directory that each visible overlay window is written to as overlay-<windowNumber>.png.
    std::optional<std::string> overlayImages;
};

class SimDesktop;
class OverlayImageWriter;
class TraceFile;

using SimStatusItem = terminal::TerminalStatusItem;

class SimOverlayWindow : public OverlayWindow {
  public:
    ~SimOverlayWindow() override;
    // The attributes the system's window is made with.
    const mac::WindowAttributes& attributes() const { return attributes_; }
    WindowId windowNumber() const override { return number_; }
    void setContentView(std::shared_ptr<View> view) override { view_ = std::move(view); }
    Rect frame() const override { return frame_; }
    void setFrame(const Rect& frame, bool display) override;
    bool isVisible() const override { return visible_; }
    void show() override;
    void hide() override;
    void setNeedsDisplay() override;

    const std::shared_ptr<View>& contentView() const { return view_; }
    // What the window shows now, drawn through Cairo at one pixel per point.
    std::unique_ptr<CairoImage> render() const;
    int frameChanges() const { return frameChanges_; }
    int displays() const { return displays_; }

  private:
    friend class SimDesktop;
    SimOverlayWindow(SimDesktop& desktop, WindowId number, const mac::WindowAttributes& attributes);
    void scheduleDisplay();
    void display();

    SimDesktop* desktop_;  // cleared when the desktop goes first
    WindowId number_;
    mac::WindowAttributes attributes_;
    std::shared_ptr<View> view_;
    Rect frame_;
    bool visible_ = false;
    bool needsDisplay_ = false;
    bool displayScheduled_ = false;
    int frameChanges_ = 0;
    int displays_ = 0;
    // Posted displays hold this weakly, so a window closed before its display runs is left alone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// An in-memory desktop that answers as a real one would. Tests build scenes in code and inspect what was
// posted, shown and drawn; a headless run describes it with a scene file (see README.md beside this file).
//
// Like a real window server, it lists the program's visible overlay windows among the windows, owned by
// this process, at their floating level; it never changes the scene by itself except where the platform
// would (raising a window, activating an application).
class SimDesktop : public Platform, public terminal::StatusItemHost {
  public:
    explicit SimDesktop(MainLoop& loop, SimScene scene = {});
    ~SimDesktop() override;
    SimDesktop(const SimDesktop&) = delete;
    SimDesktop& operator=(const SimDesktop&) = delete;

    SimScene& scene() { return scene_; }
    const SimScene& scene() const { return scene_; }

    // What happened, for tests. A long run posts without end, so only the latest records are kept: at
    // least the last `recordsKept` of each kind, oldest first, never twice as many.
    // Posted input as the system's event records.
    const std::vector<mac::Event>& postedEvents() const { return posted_; }
    void clearPostedEvents() { posted_.clear(); }
    const std::vector<std::string>& openedURLs() const { return openedURLs_; }
    int trustPrompts() const { return trustPrompts_; }
    int trustChecks() const { return trustChecks_; }
    const std::vector<std::pair<ProcessId, WindowId>>& raiseRequests() const { return raiseRequests_; }
    const std::vector<ProcessId>& activations() const { return activations_; }
    bool terminated() const { return terminated_; }
    std::vector<SimOverlayWindow*> overlayWindows() const { return overlays_; }
    Point pointerLocation() const { return pointer_; }

    std::size_t recordsKept = 8192;
    // Makes the next posts fail, as the system's event creation may.
    bool failEventCreation = false;
    // Called by terminate(); a headless run sets it to end the process.
    std::function<void()> onTerminate;
    // Called each time an overlay window has displayed its view.
    std::function<void(const SimOverlayWindow&)> onOverlayDisplayed;
    // Called after each posted event (the scene's event trace is written before).
    std::function<void(const mac::Event&)> onEventPosted;

    // Platform
    MainLoop& loop() override { return loop_; }
    std::optional<WindowEntry> windowEntry(WindowId number) override;
    std::optional<std::vector<WindowEntry>> onScreenWindows() override;
    std::vector<DisplayId> activeDisplays(std::size_t capacity) override;
    Rect displayBounds(DisplayId display) override;
    std::size_t displayPixelsWide(DisplayId display) override;
    std::size_t displayPixelsHigh(DisplayId display) override;
    DisplayId mainDisplay() override;
    std::vector<Screen> screens() override;
    bool postInput(const SyntheticInput& input) override;
    void releaseHeldInput() override {}
    bool isProcessTrusted(bool prompt) override;
    void raiseWindow(ProcessId pid, WindowId window) override;
    std::optional<ProcessId> frontmostApplication() override;
    bool activateApplication(ProcessId pid) override;
    bool openPermissionSettings() override;
    ProcessId currentProcessId() override;
    std::unique_ptr<StatusItem> createStatusItem() override;
    std::unique_ptr<OverlayWindow> createOverlayWindow(const OverlayOptions& options) override;
    void terminate() override;

    // Hook for scene sources (a scene file): called before every query so the scene can be refreshed.
    std::function<void(SimScene&)> refreshScene;

    // The owner name the window list gives this process's own windows.
    static constexpr const char* ownName = "Velmora Helper";

  private:
    friend class SimOverlayWindow;
    void refresh();
    const SimDisplay* findDisplay(DisplayId id) const;
    DisplayId currentMainDisplay() const;
    WindowEntry overlayEntry(const SimOverlayWindow& window) const;
    void forget(const SimOverlayWindow& window);

    MainLoop& loop_;
    SimScene scene_;
    std::vector<mac::Event> posted_;
    std::vector<std::string> openedURLs_;
    std::vector<std::pair<ProcessId, WindowId>> raiseRequests_;
    std::vector<ProcessId> activations_;
    int trustPrompts_ = 0;
    int trustChecks_ = 0;
    bool terminated_ = false;
    Point pointer_;
    bool traceFailureLogged_ = false;
    std::vector<SimOverlayWindow*> overlays_;  // front to back among the program's own windows
    WindowId nextOverlayNumber_ = 90001;
    std::unique_ptr<TraceFile> trace_;
    std::unique_ptr<OverlayImageWriter> images_;
};

}  // namespace velmora::platform::sim
