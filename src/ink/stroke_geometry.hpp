#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "ink/ink_stroke.hpp"
#include "platform/canvas.hpp"
#include "platform/geometry.hpp"
#include "platform/main_loop.hpp"

// How a stroke looks on a view: its fade, its line width and its smoothed path. Both ways of drawing the
// ink (straight onto the canvas, and through the view's cached masks) build their geometry here, so they
// agree to the last bit.
namespace velmora::ink {

// A finished stroke fades out over this span, then is removed.
inline constexpr double fadeSeconds = 2.5;
// Stroke widths are given in points of a surface this wide.
inline constexpr double referenceWidth = 1280;
inline constexpr double minimumLineWidth = 1.5;
// A stroke's pieces are stroked in groups, each group as its own path, one over the other in order. A
// path that crosses itself costs Cairo about the square of its crossings (a page's zigzag of 30,000
// points across the surface took seconds), and its rasteriser walks each row of pixels from a path's
// leftmost edge to its rightmost, so a group takes at most this many pieces and ends before a piece that
// would make its bounding box much larger than the area its pieces paint. The cost is then linear in the
// points and about the pixels painted. Groups also let a stroke being drawn keep all but its end.
inline constexpr std::size_t piecesPerGroup = 32;

// 1 while the stroke is being drawn, then falling linearly to 0 over fadeSeconds after `endedAt`. Never
// above 1, also when the wall clock has gone back since the stroke ended.
double strokeOpacity(const std::optional<platform::WallTime>& endedAt, platform::WallTime now);

// The width that `width` reference points are drawn at on a view of `size`; never below
// minimumLineWidth, which is also the width of a width that is not a finite number. A line twice as wide
// as the view's width and height together covers the whole view from any point of it, so wider ones are
// drawn that wide: the same pixels, and coordinates that Cairo's fixed-point numbers can hold.
double lineWidth(double width, platform::Size size);

// A normalised point on a view of `size`. Coordinates outside [0, 1], which only a caller other than the
// overlay could store, are drawn at the nearest edge; one that is not a number at 0.
platform::Point toView(platform::Point normalised, platform::Size size);

// The smoothed path of n ≥ 2 view points is made of pieces 1 … n − 1, each starting where the one
// before it ended (at p0 for the first). Pieces 1 … n − 2 are the quadratic curves from the previous
// midpoint to the midpoint of p[i] and p[i + 1] with p[i] as control point, written as cubics; piece n − 1
// is the straight line to the last point. Appending points only changes the last piece and adds new ones.
platform::Point pieceStart(std::span<const platform::Point> points, std::size_t i);
platform::PathElement piece(std::span<const platform::Point> points, std::size_t i);
// A rectangle that holds everything piece i paints at `lineWidth`, antialiasing included.
platform::Rect pieceBounds(std::span<const platform::Point> points, std::size_t i, double lineWidth);

// The rectangle of the dot that a stroke of one point is drawn as.
platform::Rect dotRect(platform::Point p, double lineWidth);
// The rectangle that holds everything a dot paints, antialiasing included.
platform::Rect dotBounds(platform::Point p, double lineWidth);

// A path of round caps and joins at `lineWidth`, empty.
platform::Path inkPath(double lineWidth);

// One group of a stroke's pieces, from its normalised points on a view, ready to stroke.
struct PieceGroup {
    std::size_t first = 0;
    std::size_t last = 0;
    platform::Path path;
    // Everything the group paints, antialiasing included, and what each of its pieces paints.
    platform::Rect bounds;
    std::vector<platform::Rect> pieceBounds;
    // What stroking it costs, in units of about a microsecond of a laptop core of today.
    double work = 0;
};
// The group of the stroke with `points` (normalised, as stored, at least two) that starts at piece
// `first`, on a view of `size` at `lineWidth`, every point moved by -`offset`. The next group starts at
// piece `last` + 1. Appending points can only change the groups from the one that holds piece n − 2.
PieceGroup pieceGroup(std::span<const platform::Point> points, std::size_t first, platform::Size size,
                      double lineWidth, platform::Point offset = {});

// Draws one stroke straight onto `canvas` at `opacity` on a view of `size`: a dot for one point, the
// smoothed path for more, its groups stroked one over the other into a mask of coverage that is then
// filled in the stroke's colour. Draws nothing for no points.
void drawStroke(platform::Canvas& canvas, const InkStroke& stroke, platform::Size size, double opacity);

// Draws every stroke in order, each from its points, as the view's drawing is defined; strokes that
// have no points or have faded out are skipped.
void drawStrokesDirectly(platform::Canvas& canvas, const std::vector<std::shared_ptr<InkStroke>>& strokes,
                         platform::Size size, platform::WallTime now);

}  // namespace velmora::ink
