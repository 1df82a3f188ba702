#pragma once

#include <memory>
#include <vector>

#include "platform/color.hpp"
#include "platform/geometry.hpp"

namespace velmora::platform {

enum class LineCap { butt, round, square };
enum class LineJoin { miter, round, bevel };

struct PathElement {
    enum class Kind { moveTo, lineTo, curveTo };
    Kind kind = Kind::moveTo;
    Point to;
    Point control1;  // curveTo only
    Point control2;  // curveTo only
    friend bool operator==(const PathElement&, const PathElement&) = default;
};

// A path with its stroke attributes, built up and then stroked in one call.
struct Path {
    std::vector<PathElement> elements;
    double lineWidth = 1.0;
    LineCap lineCap = LineCap::butt;
    LineJoin lineJoin = LineJoin::miter;

    void moveTo(Point p) { elements.push_back({PathElement::Kind::moveTo, p, {}, {}}); }
    void lineTo(Point p) { elements.push_back({PathElement::Kind::lineTo, p, {}, {}}); }
    void curveTo(Point to, Point control1, Point control2) {
        elements.push_back({PathElement::Kind::curveTo, to, control1, control2});
    }
};

class Layer;

// What a view draws through. Coordinates are the view's own (top-left origin for a flipped view).
class Canvas {
  public:
    virtual ~Canvas() = default;

    // The colour used by the fill and stroke calls that follow.
    virtual void setColor(const Color& color) = 0;
    virtual void fillOval(const Rect& rect) = 0;
    virtual void fillRect(const Rect& rect) = 0;
    virtual void strokePath(const Path& path) = 0;
    // Makes everything inside `rect` fully transparent.
    virtual void clearRect(const Rect& rect) = 0;

    // Restricts the calls that follow to `rect` until resetClip().
    virtual void clipTo(const Rect& rect) = 0;
    // Restricts the calls that follow to the union of `rects` (none: nothing) until resetClip(). Rectangles
    // on whole pixels clip without antialiasing, so many of them cost about what one does.
    virtual void clipToRects(const std::vector<Rect>& rects) = 0;
    virtual void resetClip() = 0;

    // A transparent offscreen of the same kind as this canvas, drawn once and composited many times.
    virtual std::unique_ptr<Layer> makeLayer(int width, int height) = 0;
    // Composites `layer` with its top-left corner at `at`, every pixel's alpha multiplied by `opacity`.
    virtual void drawLayer(const Layer& layer, Point at, double opacity) = 0;

    // A transparent offscreen that keeps coverage only: what is drawn on it keeps its alpha and loses its
    // colour. A quarter of a colour layer's memory and bandwidth, for content composited in one colour.
    virtual std::unique_ptr<Layer> makeMask(int width, int height) = 0;
    // Fills with the current colour through the alpha of `mask` (a mask or a layer of this canvas's kind),
    // with the mask's top-left corner at `at`.
    virtual void fillMask(const Layer& mask, Point at) = 0;
};

class Layer {
  public:
    virtual ~Layer() = default;
    virtual Canvas& canvas() = 0;
    virtual int width() const = 0;
    virtual int height() const = 0;
};

}  // namespace velmora::platform
