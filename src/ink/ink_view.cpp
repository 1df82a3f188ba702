#include "ink/ink_view.hpp"

#include <cmath>
#include <utility>

#include "ink/stroke_geometry.hpp"

namespace velmora::ink {

InkView::InkView(Clock clock) : clock_(std::move(clock)) {}

void InkView::draw(platform::Canvas& canvas, const platform::Rect& bounds) {
    const platform::Size size{std::fabs(bounds.width), std::fabs(bounds.height)};
    const auto now = clock_();
    if (rendering_ == Rendering::direct) {
        drawStrokesDirectly(canvas, strokes, size, now);
        return;
    }
    cache_.draw(canvas, strokes, size, now);
}

void InkView::setRendering(Rendering rendering) {
    rendering_ = rendering;
    if (rendering_ == Rendering::direct) cache_.clear();
}

}  // namespace velmora::ink
