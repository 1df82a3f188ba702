#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "platform/cairo/cairo_canvas.hpp"
#include "platform/platform.hpp"

namespace velmora::platform::x11 {

// Whether a compositing manager owns the screen's _NET_WM_CM_S<n> selection, that is, whether the alpha of
// a 32-bit window is honoured on screen.
bool compositorRunning(Display* display);

// The click-through window the ink is drawn on: override-redirect, ARGB, with an empty input shape so that
// every click reaches the window below. Without a compositor the alpha would show as black, so the window is
// then cut to the shape of what was drawn instead.
//
// The view is drawn with Cairo into an image in this process, cleared first, and the part that changed is
// copied to the window in one piece: the ink keeps its strokes as client-side masks, which would otherwise
// be uploaded one by one on every frame, and a single copy never shows a half-drawn frame.
class XOverlay {
  public:
    // Nothing, with the reason logged, when the server lacks what the overlay needs (the SHAPE extension
    // with input shapes, a 32-bit TrueColor visual). `display` is not owned and must outlive the overlay.
    static std::unique_ptr<XOverlay> create(Display* display, bool compositor);
    ~XOverlay();
    XOverlay(const XOverlay&) = delete;
    XOverlay& operator=(const XOverlay&) = delete;

    void setContentView(std::shared_ptr<View> view);
    // Global coordinates, top-left origin, y down, pixels.
    Rect frame() const { return frame_; }
    void setFrame(const Rect& frame);
    void show();
    void hide();
    bool isVisible() const { return visible_; }
    void setNeedsDisplay() { needsDisplay_ = true; }
    // Draws the view when it was marked since the last draw and the window is on screen.
    void displayIfNeeded();
    void handleEvent(const XEvent& event);
    Window windowId() const { return window_; }

  private:
    XOverlay(Display* display, bool compositor, const XVisualInfo& visual);

    struct Extent {
        int width = 0;
        int height = 0;
        friend bool operator==(const Extent&, const Extent&) = default;
    };
    // A rectangle of whole pixels, x1 and y1 excluded.
    struct Box {
        int x0 = 0;
        int y0 = 0;
        int x1 = 0;
        int y1 = 0;
        bool empty() const { return x1 <= x0 || y1 <= y0; }
        Box united(const Box& other) const {
            if (empty()) return other;
            if (other.empty()) return *this;
            return Box{std::min(x0, other.x0), std::min(y0, other.y0), std::max(x1, other.x1),
                       std::max(y1, other.y1)};
        }
    };
    Extent extent() const;
    bool onScreen() const { return visible_ && extent().width > 0 && extent().height > 0; }
    void display();
    void render(Extent size);
    Box inkBounds();
    void copyToWindow(const Box& wanted);
    void shapeTo(const Box& ink);

    Display* display_;
    bool compositor_;
    Colormap colormap_ = 0;
    Window window_ = 0;
    GC windowGc_ = nullptr;
    std::unique_ptr<CairoImage> frontImage_;  // the last frame drawn, copied again on Expose
    Box shownInk_;                            // where the window holds ink, in its own pixels
    std::vector<unsigned char> maskBits_;
    GC maskGc_ = nullptr;
    std::shared_ptr<View> view_;
    Rect frame_;
    bool visible_ = false;
    bool mapped_ = false;
    bool needsDisplay_ = false;
};

}  // namespace velmora::platform::x11
