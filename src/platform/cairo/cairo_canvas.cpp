#include "platform/cairo/cairo_canvas.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace velmora::platform {

// A Cairo context that meets a singular matrix or a runaway value stays in an error state and draws
// nothing ever after. Every call therefore refuses what is not finite, and shapes are built as paths in
// user space instead of through scaled matrices, so one bad stroke costs only itself.
namespace {

bool finite(Point p) {
    return std::isfinite(p.x) && std::isfinite(p.y);
}
bool finite(const Rect& r) {
    return std::isfinite(r.x) && std::isfinite(r.y) && std::isfinite(r.width) && std::isfinite(r.height);
}
double unit(double component) {
    return std::isfinite(component) ? std::clamp(component, 0.0, 1.0) : 0.0;
}

// A stroke wider than twice the distance from its path to the far corner of the clip covers every pixel
// it can reach already; Cairo's pen, though, grows without bound with the width.
double usefulLineWidth(cairo_t* cr, const Path& path) {
    double x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    cairo_clip_extents(cr, &x1, &y1, &x2, &y2);
    for (const auto& e : path.elements) {
        for (const Point p : {e.to, e.control1, e.control2}) {
            x1 = std::min(x1, p.x);
            y1 = std::min(y1, p.y);
            x2 = std::max(x2, p.x);
            y2 = std::max(y2, p.y);
        }
    }
    return std::min(path.lineWidth, 2 * std::hypot(x2 - x1, y2 - y1) + 2);
}

}  // namespace

CairoCanvas::CairoCanvas(cairo_t* cr) : cr_(cr) {}

void CairoCanvas::setColor(const Color& c) {
    cairo_set_source_rgba(cr_, unit(c.red), unit(c.green), unit(c.blue), unit(c.alpha));
}

// Four cubic quarter arcs, the usual Bezier ellipse.
void CairoCanvas::fillOval(const Rect& r) {
    if (!finite(r) || r.isEmpty()) return;
    constexpr double kappa = 0.5522847498307936;  // 4/3 (sqrt 2 - 1)
    const double rx = r.absWidth() / 2;
    const double ry = r.absHeight() / 2;
    const double cx = r.minX() + rx;
    const double cy = r.minY() + ry;
    const double kx = kappa * rx;
    const double ky = kappa * ry;
    cairo_new_path(cr_);
    cairo_move_to(cr_, cx + rx, cy);
    cairo_curve_to(cr_, cx + rx, cy + ky, cx + kx, cy + ry, cx, cy + ry);
    cairo_curve_to(cr_, cx - kx, cy + ry, cx - rx, cy + ky, cx - rx, cy);
    cairo_curve_to(cr_, cx - rx, cy - ky, cx - kx, cy - ry, cx, cy - ry);
    cairo_curve_to(cr_, cx + kx, cy - ry, cx + rx, cy - ky, cx + rx, cy);
    cairo_close_path(cr_);
    cairo_fill(cr_);
}

void CairoCanvas::fillRect(const Rect& r) {
    if (!finite(r) || r.isEmpty()) return;
    cairo_new_path(cr_);
    cairo_rectangle(cr_, r.x, r.y, r.width, r.height);
    cairo_fill(cr_);
}

void CairoCanvas::strokePath(const Path& path) {
    if (!std::isfinite(path.lineWidth) || path.lineWidth < 0) return;
    for (const auto& e : path.elements) {
        if (!finite(e.to) ||
            (e.kind == PathElement::Kind::curveTo && !(finite(e.control1) && finite(e.control2)))) {
            return;
        }
    }
    cairo_new_path(cr_);
    for (const auto& e : path.elements) {
        switch (e.kind) {
            case PathElement::Kind::moveTo:
                cairo_move_to(cr_, e.to.x, e.to.y);
                break;
            case PathElement::Kind::lineTo:
                cairo_line_to(cr_, e.to.x, e.to.y);
                break;
            case PathElement::Kind::curveTo:
                cairo_curve_to(cr_, e.control1.x, e.control1.y, e.control2.x, e.control2.y, e.to.x, e.to.y);
                break;
        }
    }
    cairo_set_line_width(cr_, usefulLineWidth(cr_, path));
    cairo_set_line_cap(cr_, path.lineCap == LineCap::round    ? CAIRO_LINE_CAP_ROUND
                            : path.lineCap == LineCap::square ? CAIRO_LINE_CAP_SQUARE
                                                              : CAIRO_LINE_CAP_BUTT);
    cairo_set_line_join(cr_, path.lineJoin == LineJoin::round   ? CAIRO_LINE_JOIN_ROUND
                             : path.lineJoin == LineJoin::bevel ? CAIRO_LINE_JOIN_BEVEL
                                                                : CAIRO_LINE_JOIN_MITER);
    cairo_stroke(cr_);
}

void CairoCanvas::clearRect(const Rect& r) {
    if (!finite(r) || r.isEmpty()) return;
    cairo_save(cr_);
    cairo_set_operator(cr_, CAIRO_OPERATOR_CLEAR);
    cairo_new_path(cr_);
    cairo_rectangle(cr_, r.x, r.y, r.width, r.height);
    cairo_fill(cr_);
    cairo_restore(cr_);
}

// A clip that is not a rectangle of numbers lets nothing through, rather than everything.
void CairoCanvas::clipTo(const Rect& r) {
    cairo_reset_clip(cr_);
    cairo_new_path(cr_);
    if (finite(r)) {
        cairo_rectangle(cr_, r.x, r.y, r.width, r.height);
    } else {
        cairo_rectangle(cr_, 0, 0, 0, 0);
    }
    cairo_clip(cr_);
}

// Rectangles that are not numbers are left out of the union.
void CairoCanvas::clipToRects(const std::vector<Rect>& rects) {
    cairo_reset_clip(cr_);
    cairo_new_path(cr_);
    cairo_rectangle(cr_, 0, 0, 0, 0);
    for (const auto& r : rects) {
        if (finite(r)) cairo_rectangle(cr_, r.x, r.y, r.width, r.height);
    }
    cairo_clip(cr_);
}

void CairoCanvas::resetClip() {
    cairo_reset_clip(cr_);
}

std::unique_ptr<Layer> CairoCanvas::makeLayer(int width, int height) {
    return std::make_unique<CairoImage>(width, height);
}

void CairoCanvas::drawLayer(const Layer& layer, Point at, double opacity) {
    const auto* image = dynamic_cast<const CairoImage*>(&layer);
    if (image == nullptr || !(opacity > 0) || !finite(at)) return;
    cairo_save(cr_);
    cairo_set_source_surface(cr_, image->surface(), at.x, at.y);
    cairo_paint_with_alpha(cr_, std::min(opacity, 1.0));
    cairo_restore(cr_);
}

std::unique_ptr<Layer> CairoCanvas::makeMask(int width, int height) {
    return std::make_unique<CairoImage>(width, height, CAIRO_FORMAT_A8);
}

void CairoCanvas::fillMask(const Layer& mask, Point at) {
    const auto* image = dynamic_cast<const CairoImage*>(&mask);
    if (image == nullptr || !finite(at)) return;
    cairo_mask_surface(cr_, image->surface(), at.x, at.y);
}

CairoImage::CairoImage(int width, int height, cairo_format_t format)
    : width_(std::max(width, 0)),
      height_(std::max(height, 0)),
      surface_(cairo_image_surface_create(format, width_, height_)) {
    // Too large for Cairo (over 32767 pixels a side) or for memory: an empty image rather than one whose
    // pixels cannot be read.
    if (cairo_surface_status(surface_) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface_);
        width_ = 0;
        height_ = 0;
        surface_ = cairo_image_surface_create(format, 0, 0);
    }
    cr_ = cairo_create(surface_);
    canvas_ = std::make_unique<CairoCanvas>(cr_);
}

CairoImage::~CairoImage() {
    canvas_.reset();
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
}

std::array<std::uint8_t, 4> CairoImage::pixel(int x, int y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return {0, 0, 0, 0};
    cairo_surface_flush(surface_);
    const unsigned char* data = cairo_image_surface_get_data(surface_);
    if (data == nullptr) return {0, 0, 0, 0};
    const int stride = cairo_image_surface_get_stride(surface_);
    if (cairo_image_surface_get_format(surface_) == CAIRO_FORMAT_A8) {
        return {0, 0, 0, data[static_cast<std::ptrdiff_t>(y) * stride + x]};
    }
    std::uint32_t argb = 0;
    std::memcpy(&argb, data + static_cast<std::ptrdiff_t>(y) * stride + x * 4, 4);
    const std::uint8_t a = argb >> 24;
    auto unpremultiply = [a](std::uint32_t c) -> std::uint8_t {
        if (a == 0) return 0;
        return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (c * 255 + a / 2) / a));
    };
    return {unpremultiply((argb >> 16) & 0xff), unpremultiply((argb >> 8) & 0xff), unpremultiply(argb & 0xff),
            a};
}

bool CairoImage::writePng(const std::string& path) const {
    cairo_surface_flush(surface_);
    const std::string temporary = path + ".tmp";
    if (cairo_surface_write_to_png(surface_, temporary.c_str()) != CAIRO_STATUS_SUCCESS) {
        std::remove(temporary.c_str());
        return false;
    }
    return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace velmora::platform
