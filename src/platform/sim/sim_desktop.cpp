#include "platform/sim/sim_desktop.hpp"

#include <unistd.h>

#include <algorithm>
#include <boost/json.hpp>
#include <cmath>
#include <cstdio>

namespace velmora::platform::sim {

// ---- status item -------------------------------------------------------------------------------------

SimStatusItem::~SimStatusItem() {
    if (desktop_.statusItem_ == this) desktop_.statusItem_ = nullptr;
}

void SimStatusItem::setImage(const std::string& symbolName, const std::string& accessibilityDescription) {
    symbolName_ = symbolName;
    accessibilityDescription_ = accessibilityDescription;
}

void SimStatusItem::setTitle(const std::string& title) {
    if (title == title_) return;
    title_ = title;
    changed();
}

void SimStatusItem::setContentTint(Tint tint) {
    if (tint == tint_) return;
    tint_ = tint;
    changed();
}

void SimStatusItem::setMenu(Menu menu) {
    menu_ = std::move(menu);
    changed();
}

bool SimStatusItem::choose(const std::string& titleOrKey) {
    for (const auto& item : menu_.items) {
        if (item.isSeparator || !item.enabled) continue;
        if (item.title == titleOrKey || (!item.keyEquivalent.empty() && item.keyEquivalent == titleOrKey)) {
            if (item.action) desktop_.loop().post(item.action);
            return true;
        }
    }
    return false;
}

void SimStatusItem::changed() {
    if (desktop_.onStatusItemChanged) desktop_.onStatusItemChanged(*this);
}

// ---- overlay windows ---------------------------------------------------------------------------------

SimOverlayWindow::SimOverlayWindow(SimDesktop& desktop, WindowId number, const WindowAttributes& attributes)
    : desktop_(&desktop), number_(number), attributes_(attributes), frame_(attributes.contentRect) {}

SimOverlayWindow::~SimOverlayWindow() {
    if (desktop_ == nullptr) return;
    auto& list = desktop_->overlays_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

void SimOverlayWindow::setFrame(const Rect& frame, bool display) {
    if (frame == frame_) return;
    frame_ = frame;
    ++frameChanges_;
    if (display) setNeedsDisplay();
}

void SimOverlayWindow::orderFrontRegardless() {
    visible_ = true;
    if (desktop_ == nullptr) return;
    auto& list = desktop_->overlays_;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    list.insert(list.begin(), this);
}

void SimOverlayWindow::orderOut() { visible_ = false; }

// Displays are coalesced like a real window server's: many requests in one turn give one redraw.
void SimOverlayWindow::setNeedsDisplay() {
    if (displayPending_ || desktop_ == nullptr) return;
    displayPending_ = true;
    auto& loop = desktop_->loop();
    // The window may be destroyed before the display runs; look it up by number then.
    SimDesktop* desktop = desktop_;
    const WindowId number = number_;
    loop.post([desktop, number] {
        for (auto* window : desktop->overlays_) {
            if (window->number_ == number) {
                window->display();
                return;
            }
        }
    });
}

void SimOverlayWindow::display() {
    displayPending_ = false;
    ++displays_;
    if (desktop_ != nullptr && desktop_->onOverlayDisplayed) desktop_->onOverlayDisplayed(*this);
}

std::unique_ptr<CairoImage> SimOverlayWindow::render() const {
    const int width = static_cast<int>(std::lround(std::fabs(frame_.width)));
    const int height = static_cast<int>(std::lround(std::fabs(frame_.height)));
    auto image = std::make_unique<CairoImage>(width, height);
    if (view_ == nullptr) return image;
    auto* canvas = dynamic_cast<CairoCanvas*>(&image->canvas());
    if (!view_->isFlipped()) {
        cairo_translate(canvas->context(), 0, height);
        cairo_scale(canvas->context(), 1, -1);
    }
    view_->draw(image->canvas(), Rect{0, 0, std::fabs(frame_.width), std::fabs(frame_.height)});
    return image;
}

// ---- desktop -----------------------------------------------------------------------------------------

SimDesktop::SimDesktop(MainLoop& loop, SimScene scene) : loop_(loop), scene_(std::move(scene)) {}

SimDesktop::~SimDesktop() {
    for (auto* window : overlays_) window->desktop_ = nullptr;
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

std::optional<WindowEntry> SimDesktop::overlayEntry(const SimOverlayWindow& window) {
    // The framework's frames are bottom-left based on the main display; the window list is top-left based.
    const double mainHeight = displayBounds(mainDisplay()).absHeight();
    const Rect f = window.frame();
    WindowEntry entry;
    entry.number = window.windowNumber();
    entry.bounds = Rect{f.minX(), mainHeight - f.maxY(), f.absWidth(), f.absHeight()};
    entry.ownerPid = currentProcessId();
    entry.ownerName = "Velmora Helper";
    entry.layer = window.attributes().level;
    return entry;
}

std::optional<WindowEntry> SimDesktop::windowEntry(WindowId number) {
    refresh();
    for (auto* overlay : overlays_) {
        if (overlay->windowNumber() == number) return overlayEntry(*overlay);
    }
    for (const auto& window : scene_.windows) {
        if (window.id != number) continue;
        return WindowEntry{window.id, window.bounds, window.pid, window.owner, window.layer};
    }
    return std::nullopt;
}

std::optional<std::vector<WindowEntry>> SimDesktop::onScreenWindows() {
    refresh();
    std::vector<WindowEntry> list;
    for (auto* overlay : overlays_) {
        if (overlay->isVisible()) list.push_back(*overlayEntry(*overlay));
    }
    for (const auto& window : scene_.windows) {
        if (window.onScreen) list.push_back({window.id, window.bounds, window.pid, window.owner, window.layer});
    }
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
    if (scene_.mainDisplay && findDisplay(*scene_.mainDisplay) != nullptr) return *scene_.mainDisplay;
    return scene_.displays.empty() ? 0 : scene_.displays.front().id;
}

std::vector<Screen> SimDesktop::screens() {
    refresh();
    std::vector<Screen> list;
    for (const auto& display : scene_.displays) {
        if (display.name) list.push_back(Screen{display.id, *display.name});
    }
    return list;
}

std::optional<EventSource> SimDesktop::createEventSource(EventSourceState state) {
    if (failEventCreation) return std::nullopt;
    return EventSource{state};
}

std::optional<SyntheticEvent> SimDesktop::createMouseEvent(const std::optional<EventSource>&, EventType type,
                                                           Point location, MouseButton button) {
    if (failEventCreation) return std::nullopt;
    SyntheticEvent event;
    event.type = type;
    event.location = location;
    event.fields = MouseFields{button, 0};
    return event;
}

std::optional<SyntheticEvent> SimDesktop::createScrollWheelEvent(const std::optional<EventSource>&,
                                                                 ScrollUnit unit, std::uint32_t wheelCount,
                                                                 std::int32_t wheel1, std::int32_t wheel2,
                                                                 std::int32_t wheel3) {
    if (failEventCreation) return std::nullopt;
    SyntheticEvent event;
    event.type = EventType::scrollWheel;
    event.location = pointer_;
    event.fields = ScrollFields{unit, wheelCount, wheel1, wheel2, wheel3};
    return event;
}

std::optional<SyntheticEvent> SimDesktop::createKeyboardEvent(const std::optional<EventSource>&,
                                                              std::uint16_t keyCode, bool keyDown) {
    if (failEventCreation) return std::nullopt;
    SyntheticEvent event;
    event.type = keyDown ? EventType::keyDown : EventType::keyUp;
    event.location = pointer_;
    event.fields = KeyboardFields{keyCode, keyDown, {}};
    return event;
}

void SimDesktop::postEvent(const SyntheticEvent& event) {
    if (event.mouse() != nullptr) pointer_ = event.location;
    posted_.push_back(event);
    appendTrace(event);
    if (onEventPosted) onEventPosted(event);
}

namespace {
std::string utf8(const std::u16string& units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        char32_t c = units[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
}  // namespace

// One JSON object per line, written and flushed at once so a test can read it while the helper runs.
void SimDesktop::appendTrace(const SyntheticEvent& event) {
    if (!scene_.eventTrace || scene_.eventTrace->empty()) return;
    boost::json::object line;
    line["type"] = static_cast<std::uint32_t>(event.type);
    line["x"] = event.location.x;
    line["y"] = event.location.y;
    line["flags"] = event.flags;
    line["userData"] = event.userData;
    if (const auto* mouse = event.mouse()) {
        line["button"] = static_cast<std::uint32_t>(mouse->button);
        line["clickState"] = mouse->clickState;
    } else if (const auto* key = event.keyboard()) {
        line["keyCode"] = key->keyCode;
        line["keyDown"] = key->keyDown;
        if (!key->text.empty()) line["text"] = utf8(key->text);
    } else if (const auto* scroll = event.scroll()) {
        line["unit"] = static_cast<std::uint32_t>(scroll->unit);
        line["wheel1"] = scroll->wheel1;
        line["wheel2"] = scroll->wheel2;
    }
    const std::string text = boost::json::serialize(line) + "\n";
    if (FILE* file = std::fopen(scene_.eventTrace->c_str(), "a")) {
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }
}

bool SimDesktop::isProcessTrusted(bool prompt) {
    refresh();
    ++trustChecks_;
    if (prompt) ++trustPrompts_;
    return scene_.trusted;
}

void SimDesktop::raiseWindow(ProcessId pid, WindowId window) {
    refresh();
    raiseRequests_.emplace_back(pid, window);
    if (!scene_.trusted) return;  // the accessibility calls fail silently without the permission
    auto& windows = scene_.windows;
    auto it = std::find_if(windows.begin(), windows.end(), [&](const SimWindow& w) {
        return w.id == window && w.pid && *w.pid == pid;
    });
    if (it == windows.end()) return;
    SimWindow raised = *it;
    windows.erase(it);
    windows.insert(windows.begin(), raised);
}

std::optional<ProcessId> SimDesktop::frontmostApplication() {
    refresh();
    return scene_.frontmostPid;
}

// A process counts as a running application when one of the scene's windows belongs to it or it is
// frontmost.
bool SimDesktop::activateApplication(ProcessId pid) {
    refresh();
    const bool running = (scene_.frontmostPid && *scene_.frontmostPid == pid) ||
                         std::any_of(scene_.windows.begin(), scene_.windows.end(),
                                     [&](const SimWindow& w) { return w.pid && *w.pid == pid; });
    if (!running) return false;
    activations_.push_back(pid);
    scene_.frontmostPid = pid;
    return true;
}

void SimDesktop::openURL(const std::string& url) { openedURLs_.push_back(url); }

ProcessId SimDesktop::currentProcessId() { return static_cast<ProcessId>(::getpid()); }

std::unique_ptr<StatusItem> SimDesktop::createStatusItem() {
    std::unique_ptr<SimStatusItem> item(new SimStatusItem(*this));
    statusItem_ = item.get();
    return item;
}

std::unique_ptr<OverlayWindow> SimDesktop::createOverlayWindow(const WindowAttributes& attributes) {
    std::unique_ptr<SimOverlayWindow> window(new SimOverlayWindow(*this, nextOverlayNumber_++, attributes));
    overlays_.push_back(window.get());
    return window;
}

void SimDesktop::terminate() {
    terminated_ = true;
    if (onTerminate) onTerminate();
}

}  // namespace velmora::platform::sim
