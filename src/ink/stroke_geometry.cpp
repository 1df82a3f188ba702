#include "ink/stroke_geometry.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>

namespace velmora::ink {

using platform::Point;
using platform::Rect;

namespace {

Point midpoint(Point a, Point b) {
    return Point{(a.x + b.x) / 2, (a.y + b.y) / 2};
}

// a + (2/3)·(b − a): a control point of the quadratic from a with control b, raised to a cubic.
Point twoThirdsTowards(Point a, Point b) {
    return Point{a.x + 2.0 / 3.0 * (b.x - a.x), a.y + 2.0 / 3.0 * (b.y - a.y)};
}

double clampUnit(double v) {
    if (v >= 0) return v <= 1 ? v : 1;
    return 0;  // also for NaN
}

// Antialiasing reaches a pixel beyond the geometry; the rest is slack for the flattening of curves and
// round ends, which may stray outside the exact outline by the rasteriser's tolerance.
constexpr double paintMargin = 2;

}  // namespace

double strokeOpacity(const std::optional<platform::WallTime>& endedAt, platform::WallTime now) {
    if (!endedAt) return 1;
    const double age = std::chrono::duration<double>(now - *endedAt).count();
    return std::min(1.0, 1 - age / fadeSeconds);
}

double lineWidth(double width, platform::Size size) {
    if (!std::isfinite(width)) return minimumLineWidth;
    const double widest = 2 * (std::fabs(size.width) + std::fabs(size.height));
    const double scaled = std::min(width * size.width / referenceWidth, widest);
    return scaled >= minimumLineWidth ? scaled : minimumLineWidth;  // a NaN fails the test too
}

Point toView(Point normalised, platform::Size size) {
    return Point{clampUnit(normalised.x) * size.width, clampUnit(normalised.y) * size.height};
}

Point pieceStart(std::span<const Point> points, std::size_t i) {
    return i == 1 ? points[0] : midpoint(points[i - 1], points[i]);
}

platform::PathElement piece(std::span<const Point> points, std::size_t i) {
    if (i + 1 == points.size()) return {platform::PathElement::Kind::lineTo, points[i], {}, {}};
    const Point from = pieceStart(points, i);
    const Point to = midpoint(points[i], points[i + 1]);
    return {platform::PathElement::Kind::curveTo, to, twoThirdsTowards(from, points[i]),
            twoThirdsTowards(to, points[i])};
}

Rect pieceBounds(std::span<const Point> points, std::size_t i, double lineWidth) {
    // A cubic lies inside the hull of its four points.
    const Point from = pieceStart(points, i);
    const auto element = piece(points, i);
    double minX = std::min(from.x, element.to.x);
    double maxX = std::max(from.x, element.to.x);
    double minY = std::min(from.y, element.to.y);
    double maxY = std::max(from.y, element.to.y);
    if (element.kind == platform::PathElement::Kind::curveTo) {
        for (const Point c : {element.control1, element.control2}) {
            minX = std::min(minX, c.x);
            maxX = std::max(maxX, c.x);
            minY = std::min(minY, c.y);
            maxY = std::max(maxY, c.y);
        }
    }
    const double reach = lineWidth / 2 + paintMargin;
    return Rect{minX - reach, minY - reach, maxX - minX + 2 * reach, maxY - minY + 2 * reach};
}

Rect dotRect(Point p, double lineWidth) {
    return Rect{p.x - lineWidth / 2, p.y - lineWidth / 2, lineWidth, lineWidth};
}

Rect dotBounds(Point p, double lineWidth) {
    const double reach = lineWidth / 2 + paintMargin;
    return Rect{p.x - reach, p.y - reach, 2 * reach, 2 * reach};
}

platform::Path inkPath(double lineWidth) {
    platform::Path path;
    path.lineWidth = lineWidth;
    path.lineCap = platform::LineCap::round;
    path.lineJoin = platform::LineJoin::round;
    return path;
}

PieceGroup pieceGroup(std::span<const Point> points, std::size_t first, platform::Size size, double lineWidth,
                      Point offset) {
    const std::size_t n = points.size();
    auto moved = [offset](Point p) { return Point{p.x - offset.x, p.y - offset.y}; };
    PieceGroup group{first, first, inkPath(lineWidth), {}, {}, 0};
    double x0 = 0, y0 = 0, x1 = 0, y1 = 0, painted = 0;
    std::array<Point, 4> view;
    for (std::size_t i = first; i < n && i < first + piecesPerGroup; ++i) {
        // Piece i from the view points it is made of: from the one before its start (a midpoint but for
        // the first piece) to the one after its end, when there is one.
        const std::size_t from = i >= 2 ? i - 2 : 0;
        const std::size_t to = std::min(i + 1, n - 1);
        for (std::size_t j = from; j <= to; ++j)
            view[j - from] = toView(points[j], size);
        const std::span<const Point> local(view.data(), to - from + 1);
        const Point start = pieceStart(local, i - from);
        auto element = piece(local, i - from);
        const Rect b = pieceBounds(local, i - from, lineWidth);
        double length = std::hypot(element.to.x - start.x, element.to.y - start.y);
        if (element.kind == platform::PathElement::Kind::curveTo) {
            length =
                std::hypot(element.control1.x - start.x, element.control1.y - start.y) +
                std::hypot(element.control2.x - element.control1.x, element.control2.y - element.control1.y) +
                std::hypot(element.to.x - element.control2.x, element.to.y - element.control2.y);
        }
        const double area =
            std::min((length + lineWidth) * (lineWidth + 2 * paintMargin), b.width * b.height);
        const double nx0 = i == first ? b.minX() : std::min(x0, b.minX());
        const double ny0 = i == first ? b.minY() : std::min(y0, b.minY());
        const double nx1 = i == first ? b.maxX() : std::max(x1, b.maxX());
        const double ny1 = i == first ? b.maxY() : std::max(y1, b.maxY());
        if (i > first && (nx1 - nx0) * (ny1 - ny0) > 4096 + 8 * (painted + area)) break;
        x0 = nx0, y0 = ny0, x1 = nx1, y1 = ny1;
        painted += area;

        if (i == first) group.path.moveTo(moved(start));
        element.to = moved(element.to);
        if (element.kind == platform::PathElement::Kind::curveTo) {
            element.control1 = moved(element.control1);
            element.control2 = moved(element.control2);
        }
        group.path.elements.push_back(element);
        group.last = i;
        group.pieceBounds.push_back(Rect{b.x - offset.x, b.y - offset.y, b.width, b.height});
        group.work += 2 + length / 6;
    }
    group.bounds = Rect{x0 - offset.x, y0 - offset.y, x1 - x0, y1 - y0};
    group.work += 10 + group.bounds.width * group.bounds.height / 1024;
    return group;
}

void drawStroke(platform::Canvas& canvas, const InkStroke& stroke, platform::Size size, double opacity) {
    const std::span<const Point> points(stroke.points);
    if (points.empty()) return;
    const double lw = lineWidth(stroke.width, size);
    const platform::Color color = stroke.color.withAlpha(opacity);
    if (points.size() == 1) {
        canvas.setColor(color);
        canvas.fillOval(dotRect(toView(points[0], size), lw));
        return;
    }

    if (!(size.width > 0 && size.height > 0)) return;
    // The groups overlap where they meet and wherever the stroke crosses itself: they are stroked at full
    // opacity into a mask, which unites their coverage, and the mask is filled once in the colour.
    double x0 = INFINITY, y0 = INFINITY, x1 = -INFINITY, y1 = -INFINITY;
    for (std::size_t first = 1; first < points.size();) {
        const auto group = pieceGroup(points, first, size, lw);
        x0 = std::min(x0, group.bounds.minX());
        y0 = std::min(y0, group.bounds.minY());
        x1 = std::max(x1, group.bounds.maxX());
        y1 = std::max(y1, group.bounds.maxY());
        first = group.last + 1;
    }
    const int left = static_cast<int>(std::floor(std::clamp(x0, 0.0, size.width)));
    const int top = static_cast<int>(std::floor(std::clamp(y0, 0.0, size.height)));
    const int right = static_cast<int>(std::ceil(std::clamp(x1, 0.0, size.width)));
    const int bottom = static_cast<int>(std::ceil(std::clamp(y1, 0.0, size.height)));
    if (right <= left || bottom <= top) return;
    auto mask = canvas.makeMask(right - left, bottom - top);
    if (mask == nullptr || mask->width() != right - left || mask->height() != bottom - top) return;
    const Point origin{static_cast<double>(left), static_cast<double>(top)};
    mask->canvas().setColor(platform::Color{0, 0, 0, 1});
    for (std::size_t first = 1; first < points.size();) {
        const auto group = pieceGroup(points, first, size, lw, origin);
        mask->canvas().strokePath(group.path);
        first = group.last + 1;
    }
    canvas.setColor(color);
    canvas.fillMask(*mask, origin);
}

void drawStrokesDirectly(platform::Canvas& canvas, const std::vector<std::shared_ptr<InkStroke>>& strokes,
                         platform::Size size, platform::WallTime now) {
    for (const auto& stroke : strokes) {
        if (stroke == nullptr || stroke->points.empty()) continue;
        const double opacity = strokeOpacity(stroke->endedAt, now);
        if (opacity <= 0) continue;
        drawStroke(canvas, *stroke, size, opacity);
    }
}

}  // namespace velmora::ink
