#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "platform/platform.hpp"
#include "platform/terminal/status_item.hpp"

namespace velmora::platform::terminal {
class TerminalStatusMenu;
}

namespace velmora::platform::x11 {

class XConnection;
class XWindows;
class XInput;
class X11OverlayWindow;

// A real X11 desktop: the window manager's windows, RandR's monitors, input through XTest, overlays as
// click-through ARGB windows. The status item is the terminal menu, as in a headless run.
//
// The X connection is watched by the main loop; Xlib reads events ahead into its own queue, so the queue
// is also emptied after every task of the loop.
class X11Desktop : public Platform, public terminal::StatusItemHost {
  public:
    // Nothing when no X display can be opened. `input` and `output` carry the terminal menu; `onTerminate`
    // ends the process.
    static std::unique_ptr<X11Desktop> connect(MainLoop& loop, int input, int output,
                                               std::function<void()> onTerminate);
    ~X11Desktop() override;

    MainLoop& loop() override { return loop_; }
    std::optional<WindowEntry> windowEntry(WindowId number) override;
    std::optional<Rect> windowBounds(WindowId number) override;
    std::optional<std::vector<WindowEntry>> onScreenWindows() override;
    std::vector<DisplayId> activeDisplays(std::size_t capacity) override;
    Rect displayBounds(DisplayId display) override;
    std::size_t displayPixelsWide(DisplayId display) override;
    std::size_t displayPixelsHigh(DisplayId display) override;
    DisplayId mainDisplay() override;
    std::vector<Screen> screens() override;
    bool postInput(const SyntheticInput& input) override;
    void releaseHeldInput() override;
    bool isProcessTrusted(bool prompt) override;
    void raiseWindow(ProcessId pid, WindowId window) override;
    std::optional<ProcessId> frontmostApplication() override;
    bool activateApplication(ProcessId pid) override;
    bool openPermissionSettings() override;
    ProcessId currentProcessId() override;
    std::unique_ptr<StatusItem> createStatusItem() override;
    std::unique_ptr<OverlayWindow> createOverlayWindow(const OverlayOptions& options) override;
    void terminate() override;

  private:
    friend class X11OverlayWindow;
    X11Desktop(MainLoop& loop, std::unique_ptr<XConnection> connection, int input, int output,
               std::function<void()> onTerminate);
    void handleEvents();
    void forget(X11OverlayWindow* window);

    MainLoop& loop_;
    std::unique_ptr<XConnection> x_;
    std::unique_ptr<XWindows> windows_;
    std::unique_ptr<XInput> input_;
    std::unique_ptr<terminal::TerminalStatusMenu> menu_;
    std::unique_ptr<FdWatch> watch_;
    std::vector<X11OverlayWindow*> overlays_;
    std::function<void()> onTerminate_;
    bool compositor_ = false;
    // Tasks posted to the loop and the loop's hook hold this weakly: they do nothing once the desktop is
    // gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace velmora::platform::x11
