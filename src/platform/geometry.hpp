#pragma once

#include <algorithm>
#include <cmath>

namespace velmora::platform {

struct Point {
    double x = 0;
    double y = 0;
    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width = 0;
    double height = 0;
    friend bool operator==(const Size&, const Size&) = default;
};

// A rectangle of four doubles with the platform's geometry rules: empty when either side is zero (or not a
// number); containment takes the left and top edges in and leaves the right and bottom edges out.
struct Rect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double minX() const { return std::min(x, x + width); }
    double minY() const { return std::min(y, y + height); }
    double maxX() const { return std::max(x, x + width); }
    double maxY() const { return std::max(y, y + height); }
    double absWidth() const { return std::fabs(width); }
    double absHeight() const { return std::fabs(height); }
    bool isEmpty() const { return !(std::fabs(width) > 0 && std::fabs(height) > 0); }
    bool contains(Point p) const {
        return !isEmpty() && p.x >= minX() && p.x < maxX() && p.y >= minY() && p.y < maxY();
    }
    friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace velmora::platform
