#include "platform/sim/sim_desktop.hpp"

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "base/log.hpp"
#include "platform/sim/event_trace.hpp"
#include "platform/sim/overlay_images.hpp"

namespace velmora::platform::sim {

namespace {

// Appends to a record that keeps the latest `kept` entries: the older half goes in one move once it holds
// twice as many, so each append costs a constant on average.
template <typename T>
void record(std::vector<T>& list, T entry, std::size_t kept) {
    if (list.size() >= 2 * std::max<std::size_t>(kept, 1)) {
        list.erase(list.begin(), list.end() - static_cast<std::ptrdiff_t>(kept));
    }
    list.push_back(std::move(entry));
}

}  // namespace

// ---- overlay windows ---------------------------------------------------------------------------------

SimOverlayWindow::SimOverlayWindow(SimDesktop& desktop, WindowId number,
                                   const mac::WindowAttributes& attributes)
    : desktop_(&desktop), number_(number), attributes_(attributes) {}

SimOverlayWindow::~SimOverlayWindow() {
    if (desktop_ != nullptr) desktop_->forget(*this);
}

void SimOverlayWindow::setFrame(const Rect& frame, bool display) {
    if (frame == frame_) return;
    frame_ = frame;
    ++frameChanges_;
    if (display) setNeedsDisplay();
}

void SimOverlayWindow::show() {
    const bool wasVisible = visible_;
    visible_ = true;
    if (desktop_ != nullptr) {
        auto& list = desktop_->overlays_;
        list.erase(std::remove(list.begin(), list.end(), this), list.end());
        list.insert(list.begin(), this);
    }
    // A window that comes on screen shows its content.
    if (!wasVisible) setNeedsDisplay();
}

void SimOverlayWindow::hide() {
    if (!visible_) return;
    visible_ = false;
    if (desktop_ != nullptr) desktop_->images_->hidden(number_);
}

// Displays are coalesced like a real window server's: many requests in one turn give one redraw, and a
// hidden window draws only once it is shown.
void SimOverlayWindow::setNeedsDisplay() {
    needsDisplay_ = true;
    scheduleDisplay();
}

void SimOverlayWindow::scheduleDisplay() {
    if (displayScheduled_ || !visible_ || desktop_ == nullptr) return;
    displayScheduled_ = true;
    desktop_->loop().post([alive = std::weak_ptr<bool>(alive_), this] {
        if (alive.expired()) return;
        displayScheduled_ = false;
        if (visible_ && needsDisplay_) display();
    });
}

void SimOverlayWindow::display() {
    needsDisplay_ = false;
    ++displays_;
    if (desktop_ == nullptr) return;
    if (const auto& directory = desktop_->scene_.overlayImages; directory && !directory->empty()) {
        desktop_->images_->displayed(*this, *directory);
    }
    if (desktop_->onOverlayDisplayed) desktop_->onOverlayDisplayed(*this);
}

std::unique_ptr<CairoImage> SimOverlayWindow::render() const {
    auto size = [](double points) {
        // Beyond the largest image Cairo makes, and for frames that are not numbers, there is no image.
        const double magnitude = std::fabs(points);
        return magnitude < 32768 ? static_cast<int>(std::lround(magnitude)) : 0;
    };
    const int width = size(frame_.width);
    const int height = size(frame_.height);
    auto image = std::make_unique<CairoImage>(width, height);
    if (view_ == nullptr || image->width() == 0 || image->height() == 0) return image;
    auto& canvas = static_cast<CairoCanvas&>(image->canvas());
    if (!view_->isFlipped()) {
        cairo_translate(canvas.context(), 0, image->height());
        cairo_scale(canvas.context(), 1, -1);
    }
    view_->draw(canvas,
                Rect{0, 0, static_cast<double>(image->width()), static_cast<double>(image->height())});
    return image;
}

// ---- desktop -----------------------------------------------------------------------------------------

SimDesktop::SimDesktop(MainLoop& loop, SimScene scene)
    : loop_(loop),
      scene_(std::move(scene)),
      trace_(std::make_unique<TraceFile>()),
      images_(std::make_unique<OverlayImageWriter>(loop, [this](WindowId number) -> const SimOverlayWindow* {
          for (const auto* window : overlays_) {
              if (window->windowNumber() == number) return window;
          }
          return nullptr;
      })) {}

// Whatever outlives the desktop (the program's status item and windows) stops reaching back into it.
SimDesktop::~SimDesktop() {
    for (auto* window : overlays_)
        window->desktop_ = nullptr;
}

void SimDesktop::forget(const SimOverlayWindow& window) {
    overlays_.erase(std::remove(overlays_.begin(), overlays_.end(), &window), overlays_.end());
    images_->hidden(window.windowNumber());
}

void SimDesktop::refresh() {
    if (refreshScene) refreshScene(scene_);
}

const SimDisplay* SimDesktop::findDisplay(DisplayId id) const {
    for (const auto& display : scene_.displays) {
        if (display.id == id) return &display;
    }
    return nullptr;
}

DisplayId SimDesktop::currentMainDisplay() const {
    if (scene_.mainDisplay && findDisplay(*scene_.mainDisplay) != nullptr) return *scene_.mainDisplay;
    return scene_.displays.empty() ? 0 : scene_.displays.front().id;
}

WindowEntry SimDesktop::overlayEntry(const SimOverlayWindow& window) const {
    const Rect f = window.frame();
    WindowEntry entry;
    entry.number = window.windowNumber();
    entry.bounds = Rect{f.minX(), f.minY(), f.absWidth(), f.absHeight()};
    entry.ownerPid = ::getpid();
    entry.ownerName = ownName;
    entry.layer = window.attributes().level;
    return entry;
}

namespace {
WindowEntry entryOf(const SimWindow& window) {
    return WindowEntry{window.id, window.bounds, window.pid, window.owner, window.layer};
}
}  // namespace

std::optional<WindowEntry> SimDesktop::windowEntry(WindowId number) {
    refresh();
    for (const auto* overlay : overlays_) {
        if (overlay->windowNumber() == number) return overlayEntry(*overlay);
    }
    for (const auto& window : scene_.windows) {
        if (window.id == number) return entryOf(window);
    }
    return std::nullopt;
}

// The window server orders by level first: the overlays float above ordinary windows but below any scene
// window of a higher level (menus, the menu bar).
std::optional<std::vector<WindowEntry>> SimDesktop::onScreenWindows() {
    refresh();
    std::vector<WindowEntry> list;
    auto overlay = overlays_.begin();
    auto addOverlaysAbove = [&](std::int64_t layer) {
        for (; overlay != overlays_.end(); ++overlay) {
            if ((*overlay)->attributes().level <= layer) break;
            if ((*overlay)->isVisible()) list.push_back(overlayEntry(**overlay));
        }
    };
    for (const auto& window : scene_.windows) {
        if (!window.onScreen) continue;
        addOverlaysAbove(window.layer.value_or(0));
        list.push_back(entryOf(window));
    }
    addOverlaysAbove(std::numeric_limits<std::int64_t>::min());
    return list;
}

std::vector<DisplayId> SimDesktop::activeDisplays(std::size_t capacity) {
    refresh();
    std::vector<DisplayId> ids;
    for (const auto& display : scene_.displays) {
        if (ids.size() >= capacity) break;
        ids.push_back(display.id);
    }
    return ids;
}

Rect SimDesktop::displayBounds(DisplayId id) {
    refresh();
    const auto* display = findDisplay(id);
    return display != nullptr ? display->bounds : Rect{};
}

std::size_t SimDesktop::displayPixelsWide(DisplayId id) {
    refresh();
    const auto* display = findDisplay(id);
    return display != nullptr ? display->pixelsWide : 0;
}

std::size_t SimDesktop::displayPixelsHigh(DisplayId id) {
    refresh();
    const auto* display = findDisplay(id);
    return display != nullptr ? display->pixelsHigh : 0;
}

DisplayId SimDesktop::mainDisplay() {
    refresh();
    return currentMainDisplay();
}

std::vector<Screen> SimDesktop::screens() {
    refresh();
    std::vector<Screen> list;
    for (const auto& display : scene_.displays) {
        if (display.name) list.push_back(Screen{display.id, *display.name});
    }
    return list;
}

bool SimDesktop::postInput(const SyntheticInput& input) {
    refresh();
    if (failEventCreation) return false;
    const auto event = mac::eventFor(input, pointer_);
    // Pointer events move the pointer; later keyboard events are located where it is.
    if (event.mouse() != nullptr) pointer_ = event.location;
    record(posted_, event, recordsKept);
    if (scene_.eventTrace && !scene_.eventTrace->empty()) {
        const bool written = trace_->append(*scene_.eventTrace, traceLine(event));
        // One line for a run of failures, not one per pointer move.
        if (!written && !traceFailureLogged_) {
            velmora::log("sim: cannot append to the event trace " + *scene_.eventTrace);
        }
        traceFailureLogged_ = !written;
    }
    if (onEventPosted) onEventPosted(event);
    return true;
}

bool SimDesktop::isProcessTrusted(bool prompt) {
    refresh();
    ++trustChecks_;
    if (prompt) ++trustPrompts_;
    return scene_.trusted;
}

// The accessibility half of bringing a window forward: it only moves the window to the front of the
// list. Its application comes to the front through activateApplication, as on a real desktop.
void SimDesktop::raiseWindow(ProcessId pid, WindowId window) {
    refresh();
    record(raiseRequests_, {pid, window}, recordsKept);
    if (!scene_.trusted) return;  // the accessibility calls fail silently without the permission
    auto& windows = scene_.windows;
    const auto it = std::find_if(windows.begin(), windows.end(), [&](const SimWindow& w) {
        return w.id == window && w.pid && *w.pid == pid;
    });
    if (it == windows.end()) return;
    std::rotate(windows.begin(), it, it + 1);
}

std::optional<ProcessId> SimDesktop::frontmostApplication() {
    refresh();
    return scene_.frontmostPid;
}

// A process counts as a running application when it is this one, it is frontmost or one of the scene's
// windows belongs to it.
bool SimDesktop::activateApplication(ProcessId pid) {
    refresh();
    const bool running = pid == currentProcessId() || (scene_.frontmostPid && *scene_.frontmostPid == pid) ||
                         std::any_of(scene_.windows.begin(), scene_.windows.end(),
                                     [&](const SimWindow& w) { return w.pid && *w.pid == pid; });
    if (!running) return false;
    record(activations_, pid, recordsKept);
    scene_.frontmostPid = pid;
    return true;
}

bool SimDesktop::openPermissionSettings() {
    record(openedURLs_, std::string(mac::accessibilitySettingsURL), recordsKept);
    return true;
}

ProcessId SimDesktop::currentProcessId() {
    return static_cast<ProcessId>(::getpid());
}

std::unique_ptr<StatusItem> SimDesktop::createStatusItem() {
    return makeStatusItem(loop_);
}

std::unique_ptr<OverlayWindow> SimDesktop::createOverlayWindow(const OverlayOptions& options) {
    std::unique_ptr<SimOverlayWindow> window(
        new SimOverlayWindow(*this, nextOverlayNumber_++, mac::overlayAttributes(options.capturable)));
    overlays_.push_back(window.get());
    return window;
}

void SimDesktop::terminate() {
    terminated_ = true;
    if (onTerminate) onTerminate();
}

}  // namespace velmora::platform::sim
