#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/color.hpp"
#include "platform/geometry.hpp"
#include "platform/main_loop.hpp"

namespace velmora::ink {

// One stroke of the reviewer's ink. The overlay keeps it in its view's list and edits it in place as
// messages arrive; the view draws it as it is at each frame.
class InkStroke {
  public:
    InkStroke(std::string id, platform::Color color, double width)
        : id(std::move(id)), color(color), width(width) {}

    // Identity within one overlay.
    const std::string id;
    // In drawing order, each coordinate in [0, 1] across the shared surface: x from its left edge, y from
    // its top edge. Points are only ever appended; the view's cached drawing relies on that to extend a
    // stroke cheaply. It notices a list that got shorter or whose first or last drawn point changed, and
    // draws such a stroke afresh.
    std::vector<platform::Point> points;
    const platform::Color color;
    // Line width in points of a surface 1280 points wide.
    const double width;
    // Absent while the stroke is being drawn; when it was finished otherwise.
    std::optional<platform::WallTime> endedAt;
};

}  // namespace velmora::ink
