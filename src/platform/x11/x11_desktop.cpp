#include "platform/x11/x11_desktop.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/terminal/terminal_menu.hpp"
#include "platform/x11/x_connection.hpp"
#include "platform/x11/x_input.hpp"
#include "platform/x11/x_overlay.hpp"
#include "platform/x11/x_windows.hpp"

namespace velmora::platform::x11 {

// The program's overlay window over an XOverlay. Draws are coalesced to one per turn of the loop, like a
// window server's display cycle.
class X11OverlayWindow : public OverlayWindow {
  public:
    // A window the server could not make (`overlay` nothing) takes every call and shows nothing, so the ink
    // goes on working without a picture rather than failing the page.
    X11OverlayWindow(X11Desktop& desktop, std::unique_ptr<XOverlay> overlay)
        : desktop_(&desktop), overlay_(std::move(overlay)) {}
    ~X11OverlayWindow() override {
        *alive_ = false;
        if (desktop_ != nullptr) desktop_->forget(this);
    }

    WindowId windowNumber() const override {
        return overlay_ ? static_cast<WindowId>(overlay_->windowId()) : 0;
    }
    void setContentView(std::shared_ptr<View> view) override {
        if (overlay_) overlay_->setContentView(std::move(view));
    }
    Rect frame() const override { return overlay_ ? overlay_->frame() : frame_; }
    void setFrame(const Rect& frame, bool display) override {
        if (frame == this->frame()) return;
        frame_ = frame;
        if (overlay_) overlay_->setFrame(frame);
        if (display) setNeedsDisplay();
    }
    bool isVisible() const override { return overlay_ ? overlay_->isVisible() : visible_; }
    void show() override {
        visible_ = true;
        if (!overlay_) return;
        overlay_->show();
        setNeedsDisplay();
    }
    void hide() override {
        visible_ = false;
        if (overlay_) overlay_->hide();
    }
    void setNeedsDisplay() override {
        if (!overlay_) return;
        overlay_->setNeedsDisplay();
        if (scheduled_ || desktop_ == nullptr) return;
        scheduled_ = true;
        desktop_->loop().post([alive = std::weak_ptr<bool>(alive_), this] {
            const auto live = alive.lock();
            if (!live || !*live) return;
            scheduled_ = false;
            overlay_->displayIfNeeded();
        });
    }

    void handleEvent(const XEvent& event) {
        if (overlay_ && event.xany.window == overlay_->windowId()) overlay_->handleEvent(event);
    }
    void detach() { desktop_ = nullptr; }

  private:
    X11Desktop* desktop_;
    std::unique_ptr<XOverlay> overlay_;
    Rect frame_;
    bool visible_ = false;
    bool scheduled_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

std::unique_ptr<X11Desktop> X11Desktop::connect(MainLoop& loop, int input, int output,
                                                std::function<void()> onTerminate) {
    // Without a display named there is no X desktop to try, and nothing worth a log line.
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') return nullptr;
    auto connection = XConnection::open(std::nullopt);
    if (!connection) return nullptr;
    return std::unique_ptr<X11Desktop>(
        new X11Desktop(loop, std::move(connection), input, output, std::move(onTerminate)));
}

X11Desktop::X11Desktop(MainLoop& loop, std::unique_ptr<XConnection> connection, int input, int output,
                       std::function<void()> onTerminate)
    : loop_(loop),
      x_(std::move(connection)),
      windows_(std::make_unique<XWindows>(*x_)),
      input_(XInput::create(x_->display())),
      menu_(std::make_unique<terminal::TerminalStatusMenu>(*this, loop, input, output)),
      onTerminate_(std::move(onTerminate)) {
    // What the server lacks has been logged by the connection, once.
    compositor_ = x_->compositorRunning();
    watch_ = loop_.watch(x_->fd(), [this] { handleEvents(); });
    loop_.afterEachTask([alive = std::weak_ptr<bool>(alive_), this] {
        if (!alive.expired()) handleEvents();
    });
}

// Presses made through XTest stay down after the process ends, so the desktop lets go of them first.
X11Desktop::~X11Desktop() {
    *alive_ = false;
    for (auto* window : overlays_)
        window->detach();
    watch_.reset();
    menu_.reset();
    if (input_) input_->releaseAll();
    input_.reset();
}

void X11Desktop::handleEvents() {
    Display* display = x_->display();
    while (XPending(display) > 0) {
        XEvent event;
        XNextEvent(display, &event);
        for (auto* window : overlays_)
            window->handleEvent(event);
    }
}

void X11Desktop::forget(X11OverlayWindow* window) {
    overlays_.erase(std::remove(overlays_.begin(), overlays_.end(), window), overlays_.end());
}

std::optional<WindowEntry> X11Desktop::windowEntry(WindowId number) {
    return windows_->windowEntry(number);
}

std::optional<Rect> X11Desktop::windowBounds(WindowId number) {
    return windows_->windowBounds(number);
}

std::optional<std::vector<WindowEntry>> X11Desktop::onScreenWindows() {
    return windows_->onScreenWindows();
}

std::vector<DisplayId> X11Desktop::activeDisplays(std::size_t capacity) {
    std::vector<DisplayId> ids;
    for (const auto& monitor : windows_->displays()) {
        if (ids.size() >= capacity) break;
        ids.push_back(monitor.id);
    }
    return ids;
}

namespace {
template <typename Field>
auto monitorField(XWindows& windows, DisplayId id, Field field) -> decltype(field(XMonitor{})) {
    for (const auto& monitor : windows.displays()) {
        if (monitor.id == id) return field(monitor);
    }
    return {};
}
}  // namespace

Rect X11Desktop::displayBounds(DisplayId display) {
    return monitorField(*windows_, display, [](const XMonitor& m) { return m.bounds; });
}

std::size_t X11Desktop::displayPixelsWide(DisplayId display) {
    return monitorField(*windows_, display, [](const XMonitor& m) { return m.pixelsWide; });
}

std::size_t X11Desktop::displayPixelsHigh(DisplayId display) {
    return monitorField(*windows_, display, [](const XMonitor& m) { return m.pixelsHigh; });
}

DisplayId X11Desktop::mainDisplay() {
    return windows_->mainDisplay();
}

std::vector<Screen> X11Desktop::screens() {
    std::vector<Screen> list;
    for (const auto& monitor : windows_->displays())
        list.push_back(Screen{monitor.id, monitor.name});
    return list;
}

bool X11Desktop::postInput(const SyntheticInput& input) {
    return input_ != nullptr && input_->post(input);
}

void X11Desktop::releaseHeldInput() {
    if (input_) input_->releaseAll();
}

// X has no prompt and no permission list: input can be posted exactly when the server offers XTest.
bool X11Desktop::isProcessTrusted(bool) {
    return input_ != nullptr && windows_->isTrusted();
}

void X11Desktop::raiseWindow(ProcessId pid, WindowId window) {
    windows_->raiseWindow(pid, window);
}

std::optional<ProcessId> X11Desktop::frontmostApplication() {
    return windows_->frontmostPid();
}

bool X11Desktop::activateApplication(ProcessId pid) {
    return windows_->activateApplication(pid);
}

// There is nothing to grant on X: whoever may connect to the display may post input through XTest.
bool X11Desktop::openPermissionSettings() {
    return false;
}

ProcessId X11Desktop::currentProcessId() {
    return static_cast<ProcessId>(::getpid());
}

std::unique_ptr<StatusItem> X11Desktop::createStatusItem() {
    return makeStatusItem(loop_);
}

// X cannot leave a window out of a capture: a window capture never shows the overlay (it is a window of its
// own), a screen capture always does, whatever the options ask.
std::unique_ptr<OverlayWindow> X11Desktop::createOverlayWindow(const OverlayOptions&) {
    auto window = std::make_unique<X11OverlayWindow>(*this, XOverlay::create(x_->display(), compositor_));
    overlays_.push_back(window.get());
    return window;
}

void X11Desktop::terminate() {
    if (input_) input_->releaseAll();
    XFlush(x_->display());
    if (onTerminate_) onTerminate_();
}

}  // namespace velmora::platform::x11
