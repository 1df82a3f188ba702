#include "platform/x11/x_overlay.hpp"

#include <X11/extensions/shape.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "base/log.hpp"

namespace velmora::platform::x11 {

namespace {

// The largest image Cairo makes; a larger window would have nothing to draw into.
constexpr double largestSide = 32767;

int pixels(double points) {
    const double magnitude = std::fabs(points);
    return magnitude <= largestSide ? static_cast<int>(std::lround(magnitude)) : 0;
}

int coordinate(double points) {
    return std::isfinite(points) ? static_cast<int>(std::lround(std::clamp(points, -32768.0, 32767.0))) : 0;
}

}  // namespace

bool compositorRunning(Display* display) {
    const std::string name = "_NET_WM_CM_S" + std::to_string(DefaultScreen(display));
    const Atom selection = XInternAtom(display, name.c_str(), False);
    return XGetSelectionOwner(display, selection) != None;
}

std::unique_ptr<XOverlay> XOverlay::create(Display* display, bool compositor) {
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XShapeQueryExtension(display, &eventBase, &errorBase) ||
        !XShapeQueryVersion(display, &major, &minor) || (major < 1 || (major == 1 && minor < 1))) {
        velmora::log(
            "X11: the server lacks input shapes (SHAPE 1.1), so an overlay could not let clicks through");
        return nullptr;
    }
    // Frames go to the window as Cairo draws them, so the visual must keep its pixels the same way.
    XVisualInfo visual{};
    if (!XMatchVisualInfo(display, DefaultScreen(display), 32, TrueColor, &visual) ||
        visual.red_mask != 0xff0000 || visual.green_mask != 0xff00 || visual.blue_mask != 0xff) {
        velmora::log("X11: the server has no 32-bit ARGB visual for a transparent overlay");
        return nullptr;
    }
    return std::unique_ptr<XOverlay>(new XOverlay(display, compositor, visual));
}

XOverlay::XOverlay(Display* display, bool compositor, const XVisualInfo& visual)
    : display_(display), compositor_(compositor) {
    const Window root = RootWindow(display_, visual.screen);
    colormap_ = XCreateColormap(display_, root, visual.visual, AllocNone);

    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.colormap = colormap_;
    // A visual other than the parent's needs its own border pixel, or the window cannot be made.
    attributes.border_pixel = 0;
    attributes.background_pixel = 0;
    // A resized window keeps its old pixels, and with them the old shape still fits, until the next draw.
    attributes.bit_gravity = NorthWestGravity;
    attributes.event_mask = ExposureMask;
    window_ = XCreateWindow(
        display_, root, 0, 0, 1, 1, 0, visual.depth, InputOutput, visual.visual,
        CWOverrideRedirect | CWColormap | CWBorderPixel | CWBackPixel | CWBitGravity | CWEventMask,
        &attributes);

    XClassHint hint{};
    hint.res_name = const_cast<char*>("velmora-overlay");
    hint.res_class = const_cast<char*>("Velmora");
    XSetClassHint(display_, window_, &hint);

    XShapeCombineRectangles(display_, window_, ShapeInput, 0, 0, nullptr, 0, ShapeSet, Unsorted);
    // Until something is drawn, an unshaped window would show its transparent pixels as black.
    if (!compositor_) {
        XShapeCombineRectangles(display_, window_, ShapeBounding, 0, 0, nullptr, 0, ShapeSet, Unsorted);
    }
    windowGc_ = XCreateGC(display_, window_, 0, nullptr);
    frontImage_ = std::make_unique<CairoImage>(0, 0);
}

XOverlay::~XOverlay() {
    XFreeGC(display_, windowGc_);
    if (maskGc_ != nullptr) XFreeGC(display_, maskGc_);
    XDestroyWindow(display_, window_);
    XFreeColormap(display_, colormap_);
    XFlush(display_);
}

void XOverlay::setContentView(std::shared_ptr<View> view) {
    view_ = std::move(view);
    needsDisplay_ = true;
}

XOverlay::Extent XOverlay::extent() const {
    return Extent{pixels(frame_.width), pixels(frame_.height)};
}

void XOverlay::setFrame(const Rect& frame) {
    if (frame == frame_) return;
    const Extent before = extent();
    frame_ = frame;
    const Extent size = extent();
    if (size.width > 0 && size.height > 0) {
        XMoveResizeWindow(display_, window_, coordinate(frame_.minX()), coordinate(frame_.minY()),
                          static_cast<unsigned>(size.width), static_cast<unsigned>(size.height));
    }
    if (size != before) needsDisplay_ = true;
    // X has no window of no size: an empty frame takes the window off the screen while it lasts.
    if (mapped_ && !onScreen()) {
        XUnmapWindow(display_, window_);
        mapped_ = false;
    } else if (onScreen() && !mapped_) {
        XMapRaised(display_, window_);
        mapped_ = true;
    }
    XFlush(display_);
}

void XOverlay::show() {
    visible_ = true;
    if (onScreen() && !mapped_) {
        XMapRaised(display_, window_);
        mapped_ = true;
    } else if (mapped_) {
        XRaiseWindow(display_, window_);
    }
    XFlush(display_);
}

void XOverlay::hide() {
    visible_ = false;
    if (mapped_) XUnmapWindow(display_, window_);
    mapped_ = false;
    XFlush(display_);
}

void XOverlay::displayIfNeeded() {
    if (needsDisplay_ && mapped_) display();
}

void XOverlay::handleEvent(const XEvent& event) {
    if (event.type != Expose || event.xexpose.window != window_ || event.xexpose.count != 0) return;
    // The exposed pixels come back from the last frame: the view draws when its owner asks, not when the
    // server loses the window's contents.
    if (mapped_ && Extent{frontImage_->width(), frontImage_->height()} == extent()) {
        copyToWindow(Box{0, 0, frontImage_->width(), frontImage_->height()});
        XFlush(display_);
    } else {
        needsDisplay_ = true;
        displayIfNeeded();
    }
}

void XOverlay::display() {
    needsDisplay_ = false;
    render(extent());
    const Box ink = inkBounds();
    // What lies outside both the old and the new ink is transparent in the window already.
    copyToWindow(ink.united(shownInk_));
    if (!compositor_) shapeTo(ink);
    shownInk_ = ink;
    // Override-redirect windows are outside the window manager's stacking, so a window it raises later
    // would cover the ink; raising on every frame puts the ink back on top as soon as it changes.
    XRaiseWindow(display_, window_);
    XFlush(display_);
}

void XOverlay::render(Extent size) {
    if (Extent{frontImage_->width(), frontImage_->height()} != size) {
        frontImage_ = std::make_unique<CairoImage>(size.width, size.height);  // made transparent
    } else if (!shownInk_.empty()) {
        // Outside the last frame's ink the image is transparent already.
        frontImage_->canvas().clearRect(Rect{static_cast<double>(shownInk_.x0),
                                             static_cast<double>(shownInk_.y0),
                                             static_cast<double>(shownInk_.x1 - shownInk_.x0),
                                             static_cast<double>(shownInk_.y1 - shownInk_.y0)});
    }
    if (view_ == nullptr || frontImage_->width() == 0 || frontImage_->height() == 0) return;

    auto& canvas = static_cast<CairoCanvas&>(frontImage_->canvas());
    cairo_t* const cr = canvas.context();
    cairo_save(cr);
    if (!view_->isFlipped()) {
        cairo_translate(cr, 0, frontImage_->height());
        cairo_scale(cr, 1, -1);
    }
    view_->draw(canvas, Rect{0, 0, static_cast<double>(frontImage_->width()),
                             static_cast<double>(frontImage_->height())});
    cairo_restore(cr);
    cairo_surface_flush(frontImage_->surface());
}

// Without a compositor every pixel with any ink also becomes opaque, in the ink's own colour: the server
// shows the stored colour as it is, and a premultiplied edge pixel would show as a dark fringe around every
// stroke. Strokes then lose their soft edges and their fade, not their colour.
XOverlay::Box XOverlay::inkBounds() {
    Box ink;
    cairo_surface_t* const surface = frontImage_->surface();
    unsigned char* const data = cairo_image_surface_get_data(surface);
    const int stride = cairo_image_surface_get_stride(surface);
    for (int y = 0; y < frontImage_->height(); ++y) {
        auto* row = reinterpret_cast<std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y) * stride);
        for (int x = 0; x < frontImage_->width(); ++x) {
            const std::uint32_t pixel = row[x];
            const std::uint32_t alpha = pixel >> 24;
            if (alpha == 0) continue;
            ink = ink.united(Box{x, y, x + 1, y + 1});
            if (compositor_ || alpha == 255) continue;
            auto straight = [alpha](std::uint32_t c) {
                return std::min<std::uint32_t>(255, (c * 255 + alpha / 2) / alpha);
            };
            row[x] = 0xff000000u | straight((pixel >> 16) & 0xff) << 16 | straight((pixel >> 8) & 0xff) << 8 |
                     straight(pixel & 0xff);
        }
    }
    if (!compositor_) cairo_surface_mark_dirty(surface);
    return ink;
}

// The frame goes to the window as one image request for the box rather than through a Cairo surface on the
// window: Cairo 1.16 sends such uploads through shared memory and leaves an allocation behind for some
// overlays it draws on, which LeakSanitizer reports.
void XOverlay::copyToWindow(const Box& wanted) {
    // Ink shown before the window shrank may lie beyond the new frame.
    const Box box{std::max(wanted.x0, 0), std::max(wanted.y0, 0), std::min(wanted.x1, frontImage_->width()),
                  std::min(wanted.y1, frontImage_->height())};
    if (box.empty()) return;
    XImage image{};
    image.width = frontImage_->width();
    image.height = frontImage_->height();
    image.format = ZPixmap;
    image.data = reinterpret_cast<char*>(cairo_image_surface_get_data(frontImage_->surface()));
    // Cairo keeps each pixel as a native 32-bit word; Xlib swaps the bytes if the server wants another order.
    image.byte_order = std::endian::native == std::endian::little ? LSBFirst : MSBFirst;
    image.bitmap_unit = 32;
    image.bitmap_bit_order = image.byte_order;
    image.bitmap_pad = 32;
    image.depth = 32;
    image.bytes_per_line = cairo_image_surface_get_stride(frontImage_->surface());
    image.bits_per_pixel = 32;
    image.red_mask = 0xff0000;
    image.green_mask = 0xff00;
    image.blue_mask = 0xff;
    XInitImage(&image);
    XPutImage(display_, window_, windowGc_, &image, box.x0, box.y0, box.x0, box.y0,
              static_cast<unsigned>(box.x1 - box.x0), static_cast<unsigned>(box.y1 - box.y0));
}

// The bounding shape is made from a bitmap of the ink's box only: the server turns the whole bitmap into a
// region on every frame, and ink seldom covers more than a small part of the screen.
void XOverlay::shapeTo(const Box& ink) {
    if (ink.empty()) {
        XShapeCombineRectangles(display_, window_, ShapeBounding, 0, 0, nullptr, 0, ShapeSet, Unsorted);
        return;
    }
    const int width = ink.x1 - ink.x0;
    const int height = ink.y1 - ink.y0;
    const int rowBytes = (width + 7) / 8;
    maskBits_.assign(static_cast<std::size_t>(rowBytes) * height, 0);
    unsigned char* const data = cairo_image_surface_get_data(frontImage_->surface());
    const int stride = cairo_image_surface_get_stride(frontImage_->surface());
    for (int y = 0; y < height; ++y) {
        const auto* row =
            reinterpret_cast<const std::uint32_t*>(data + static_cast<std::ptrdiff_t>(y + ink.y0) * stride);
        unsigned char* const bits = maskBits_.data() + static_cast<std::ptrdiff_t>(y) * rowBytes;
        for (int x = 0; x < width; ++x) {
            if ((row[x + ink.x0] >> 24) != 0) bits[x / 8] |= static_cast<unsigned char>(1u << (x % 8));
        }
    }

    const Pixmap mask =
        XCreatePixmap(display_, window_, static_cast<unsigned>(width), static_cast<unsigned>(height), 1);
    if (maskGc_ == nullptr) {
        // A bitmap is drawn in the GC's colours: set bits in the foreground, clear ones in the background.
        XGCValues colours{};
        colours.foreground = 1;
        colours.background = 0;
        maskGc_ = XCreateGC(display_, mask, GCForeground | GCBackground, &colours);
    }
    // Rows of whole bytes, least significant bit leftmost: Xlib converts to the server's order if it differs.
    XImage image{};
    image.width = width;
    image.height = height;
    image.format = XYBitmap;
    image.data = reinterpret_cast<char*>(maskBits_.data());
    image.byte_order = LSBFirst;
    image.bitmap_unit = 8;
    image.bitmap_bit_order = LSBFirst;
    image.bitmap_pad = 8;
    image.depth = 1;
    image.bytes_per_line = rowBytes;
    image.bits_per_pixel = 1;
    XInitImage(&image);
    XPutImage(display_, mask, maskGc_, &image, 0, 0, 0, 0, static_cast<unsigned>(width),
              static_cast<unsigned>(height));
    // The server makes the region when the request arrives, so the bitmap is not needed past it.
    XShapeCombineMask(display_, window_, ShapeBounding, ink.x0, ink.y0, mask, ShapeSet);
    XFreePixmap(display_, mask);
}

}  // namespace velmora::platform::x11
