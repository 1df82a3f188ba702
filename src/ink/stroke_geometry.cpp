#include "ink/stroke_geometry.hpp"

#include <algorithm>
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

double lineWidth(double width, double viewWidth) {
    const double scaled = std::min(width, maximumWidth) * viewWidth / referenceWidth;
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

void appendPieces(platform::Path& path, std::span<const Point> points, std::size_t first, std::size_t last,
                  Point offset) {
    auto moved = [offset](Point p) { return Point{p.x - offset.x, p.y - offset.y}; };
    path.moveTo(moved(pieceStart(points, first)));
    for (std::size_t i = first; i <= last; ++i) {
        auto element = piece(points, i);
        element.to = moved(element.to);
        if (element.kind == platform::PathElement::Kind::curveTo) {
            element.control1 = moved(element.control1);
            element.control2 = moved(element.control2);
        }
        path.elements.push_back(element);
    }
}

void drawStroke(platform::Canvas& canvas, const InkStroke& stroke, platform::Size size, double opacity) {
    if (stroke.points.empty()) return;
    std::vector<Point> points;
    points.reserve(stroke.points.size());
    for (const Point p : stroke.points)
        points.push_back(toView(p, size));
    const double lw = lineWidth(stroke.width, size.width);

    canvas.setColor(stroke.color.withAlpha(opacity));
    if (points.size() == 1) {
        canvas.fillOval(dotRect(points[0], lw));
        return;
    }
    auto path = inkPath(lw);
    appendPieces(path, points, 1, points.size() - 1);
    canvas.strokePath(path);
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
