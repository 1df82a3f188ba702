#pragma once

#include <cairo.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/canvas.hpp"

namespace velmora::platform {

// The canvas over a Cairo context. The sim renders overlays into CairoImage; a window backend draws the
// same calls on its own surface.
class CairoCanvas : public Canvas {
  public:
    explicit CairoCanvas(cairo_t* cr);  // does not take ownership

    void setColor(const Color& color) override;
    void fillOval(const Rect& rect) override;
    void fillRect(const Rect& rect) override;
    void strokePath(const Path& path) override;
    void clearRect(const Rect& rect) override;
    void clipTo(const Rect& rect) override;
    void clipToRects(const std::vector<Rect>& rects) override;
    void resetClip() override;
    std::unique_ptr<Layer> makeLayer(int width, int height) override;
    void drawLayer(const Layer& layer, Point at, double opacity) override;
    std::unique_ptr<Layer> makeMask(int width, int height) override;
    void fillMask(const Layer& mask, Point at) override;

    cairo_t* context() const { return cr_; }

  private:
    cairo_t* cr_ = nullptr;
};

// An ARGB32 image surface (or an A8 one, for masks) with a canvas on it, transparent when made.
class CairoImage : public Layer {
  public:
    CairoImage(int width, int height, cairo_format_t format = CAIRO_FORMAT_ARGB32);
    ~CairoImage() override;
    CairoImage(const CairoImage&) = delete;
    CairoImage& operator=(const CairoImage&) = delete;

    Canvas& canvas() override { return *canvas_; }
    int width() const override { return width_; }
    int height() const override { return height_; }
    cairo_surface_t* surface() const { return surface_; }

    // Straight (unpremultiplied) red, green, blue, alpha of one pixel; all zero outside the image. An A8
    // image gives its alpha with zero colour.
    std::array<std::uint8_t, 4> pixel(int x, int y) const;
    // Writes the image as PNG, replacing `path` atomically; false on failure.
    bool writePng(const std::string& path) const;

  private:
    int width_;
    int height_;
    cairo_surface_t* surface_ = nullptr;
    cairo_t* cr_ = nullptr;
    std::unique_ptr<CairoCanvas> canvas_;
};

}  // namespace velmora::platform
