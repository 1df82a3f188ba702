#include "ink/stroke_cache.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <span>
#include <utility>

#include "ink/stroke_geometry.hpp"

namespace velmora::ink {

using platform::Point;
using platform::Rect;

namespace {

// The grid that compositing is restricted to. Smaller cells follow a stroke more closely but cost more
// rectangles to clip with; 32 measured best for strokes of a few points' width.
constexpr int cellSize = 32;
// How far the scratch mask of a partial render reaches beyond the pixels it renders.
constexpr int scratchMargin = 4;
// Views larger than this many pixels a side are drawn straight: a mask for them may not be allocatable.
constexpr double largestSide = 1 << 15;

std::size_t a8Bytes(int width, int height) {
    return static_cast<std::size_t>((width + 3) & ~3) * static_cast<std::size_t>(height);
}

}  // namespace

struct StrokeCache::Entry {
    std::weak_ptr<const InkStroke> stroke;
    std::vector<Point> rendered;  // the stroke's points as they are in the mask
    std::vector<Point> points;    // the same on the view
    std::vector<Rect> bounds;     // what each piece paints, by piece number (0 is unused)
    double lineWidth = 0;
    std::unique_ptr<platform::Layer> mask;
    PixelRect maskRect;
    std::size_t bytes = 0;
    std::vector<std::uint8_t> cells;  // the view's cells that the stroke paints
    std::vector<Rect> parts;          // those cells as runs along each row
    bool partsStale = false;
    bool direct = false;  // no mask could be had: drawn straight
    std::uint64_t usedIn = 0;
};

StrokeCache::StrokeCache(std::size_t budget) : budget_(budget) {}

StrokeCache::~StrokeCache() = default;

void StrokeCache::clear() {
    entries_.clear();
    bytes_ = 0;
}

void StrokeCache::reset(platform::Canvas& canvas, platform::Size size) {
    clear();
    canvasType_ = std::type_index(typeid(canvas));
    size_ = size;
    viewPixels_ = {};
    columns_ = rows_ = 0;
    const bool drawable = size.width > 0 && size.height > 0 && size.width <= largestSide &&
                          size.height <= largestSide;  // false for NaN too
    if (!drawable) return;
    viewPixels_ = {0, 0, static_cast<int>(std::ceil(size.width)), static_cast<int>(std::ceil(size.height))};
    columns_ = (viewPixels_.x1 + cellSize - 1) / cellSize;
    rows_ = (viewPixels_.y1 + cellSize - 1) / cellSize;
}

void StrokeCache::draw(platform::Canvas& canvas, const std::vector<std::shared_ptr<InkStroke>>& strokes,
                       platform::Size size, platform::WallTime now) {
    ++frame_;
    if (canvasType_ != std::type_index(typeid(canvas)) || !(size == size_)) reset(canvas, size);

    bool clipped = false;
    for (const auto& stroke : strokes) {
        if (stroke == nullptr || stroke->points.empty()) continue;
        const double opacity = strokeOpacity(stroke->endedAt, now);
        if (opacity <= 0) continue;
        Entry& entry = entryFor(stroke);
        entry.usedIn = frame_;
        if (!update(canvas, entry, *stroke)) {
            if (clipped) canvas.resetClip();
            clipped = false;
            drawStroke(canvas, *stroke, size, opacity);
            continue;
        }
        canvas.setColor(stroke->color.withAlpha(opacity));
        canvas.clipToRects(parts(entry));
        clipped = true;
        canvas.fillMask(*entry.mask, Point{static_cast<double>(entry.maskRect.x0),
                                           static_cast<double>(entry.maskRect.y0)});
    }
    if (clipped) canvas.resetClip();

    // Strokes that are gone, or no longer drawn, give their masks back.
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second->usedIn == frame_) {
            ++it;
            continue;
        }
        drop(*it->second);
        it = entries_.erase(it);
    }
}

StrokeCache::Entry& StrokeCache::entryFor(const std::shared_ptr<InkStroke>& stroke) {
    auto& slot = entries_[stroke.get()];
    // A stroke at the address of one that has gone is a different stroke.
    if (slot != nullptr && slot->stroke.lock() != stroke) {
        drop(*slot);
        slot.reset();
    }
    if (slot == nullptr) {
        slot = std::make_unique<Entry>();
        slot->stroke = stroke;
    }
    return *slot;
}

void StrokeCache::drop(Entry& entry) {
    bytes_ -= entry.bytes;
    entry.bytes = 0;
    entry.mask.reset();
    entry.maskRect = {};
}

bool StrokeCache::update(platform::Canvas& canvas, Entry& entry, const InkStroke& stroke) {
    if (entry.direct || viewPixels_.isEmpty()) return false;
    const auto& source = stroke.points;
    const double lw = lineWidth(stroke.width, size_.width);
    std::size_t m = entry.rendered.size();
    const std::size_t n = source.size();
    const bool appendedOnly =
        m <= n && lw == entry.lineWidth &&
        (m == 0 || std::memcmp(source.data(), entry.rendered.data(), m * sizeof(Point)) == 0);
    if (!appendedOnly) {
        drop(entry);
        entry.rendered.clear();
        entry.points.clear();
        entry.bounds.clear();
        entry.cells.assign(static_cast<std::size_t>(columns_) * static_cast<std::size_t>(rows_), 0);
        entry.parts.clear();
        entry.partsStale = true;
        entry.lineWidth = lw;
        m = 0;
    }
    if (m == n) return entry.mask != nullptr;

    for (std::size_t i = m; i < n; ++i) {
        entry.rendered.push_back(source[i]);
        entry.points.push_back(toView(source[i], size_));
    }
    const std::span<const Point> points(entry.points);

    // What the change paints: the dot or last line that was there, and every piece from the first one
    // that changed.
    std::optional<Rect> paints;
    auto add = [&](const Rect& r) {
        markCells(entry, r);
        if (!paints) {
            paints = r;
            return;
        }
        const double x0 = std::min(paints->minX(), r.minX()), y0 = std::min(paints->minY(), r.minY());
        const double x1 = std::max(paints->maxX(), r.maxX()), y1 = std::max(paints->maxY(), r.maxY());
        paints = Rect{x0, y0, x1 - x0, y1 - y0};
    };
    if (m == 1) add(dotBounds(points[0], lw));
    if (m >= 2) add(entry.bounds[m - 1]);
    if (n == 1) add(dotBounds(points[0], lw));
    entry.bounds.resize(n);
    for (std::size_t i = m >= 2 ? m - 1 : 1; i < n; ++i) {
        entry.bounds[i] = pieceBounds(points, i, lw);
        add(entry.bounds[i]);
    }

    const PixelRect dirty = outward(*paints);
    if (dirty.isEmpty()) return entry.mask != nullptr;
    if (!ensureMask(canvas, entry, dirty)) {
        drop(entry);
        entry.direct = true;
        return false;
    }
    render(entry, dirty, m == 0);
    return true;
}

bool StrokeCache::ensureMask(platform::Canvas& canvas, Entry& entry, const PixelRect& needed) {
    const PixelRect& have = entry.maskRect;
    if (entry.mask != nullptr && needed.x0 >= have.x0 && needed.y0 >= have.y0 && needed.x1 <= have.x1 &&
        needed.y1 <= have.y1) {
        return true;
    }
    PixelRect want = needed;
    if (entry.mask != nullptr) {
        want = {std::min(have.x0, needed.x0), std::min(have.y0, needed.y0), std::max(have.x1, needed.x1),
                std::max(have.y1, needed.y1)};
    }
    // Room to grow, so that a stroke being drawn reallocates now and then rather than at every frame.
    const int slackX = std::max(64, (want.x1 - want.x0) / 4);
    const int slackY = std::max(64, (want.y1 - want.y0) / 4);
    want = {std::max(viewPixels_.x0, want.x0 - slackX), std::max(viewPixels_.y0, want.y0 - slackY),
            std::min(viewPixels_.x1, want.x1 + slackX), std::min(viewPixels_.y1, want.y1 + slackY)};

    const int width = want.x1 - want.x0;
    const int height = want.y1 - want.y0;
    const std::size_t bytes = a8Bytes(width, height);
    if (bytes_ - entry.bytes + bytes > budget_) return false;
    auto mask = canvas.makeMask(width, height);
    if (mask == nullptr || mask->width() != width || mask->height() != height) return false;
    if (entry.mask != nullptr) {
        mask->canvas().setColor(platform::Color{0, 0, 0, 1});
        mask->canvas().fillMask(*entry.mask, Point{static_cast<double>(have.x0 - want.x0),
                                                   static_cast<double>(have.y0 - want.y0)});
    }
    bytes_ = bytes_ - entry.bytes + bytes;
    entry.bytes = bytes;
    entry.mask = std::move(mask);
    entry.maskRect = want;
    return true;
}

void StrokeCache::render(Entry& entry, const PixelRect& dirty, bool fresh) {
    platform::Canvas& canvas = entry.mask->canvas();
    const std::span<const Point> points(entry.points);
    const std::size_t n = points.size();
    const double lw = entry.lineWidth;
    const platform::Color opaque{0, 0, 0, 1};
    auto local = [](const PixelRect& r, Point origin) {
        return Rect{r.x0 - origin.x, r.y0 - origin.y, static_cast<double>(r.x1 - r.x0),
                    static_cast<double>(r.y1 - r.y0)};
    };
    const Point maskOrigin{static_cast<double>(entry.maskRect.x0), static_cast<double>(entry.maskRect.y0)};

    canvas.setColor(opaque);
    if (fresh) {
        if (n == 1) {
            canvas.fillOval(dotRect(Point{points[0].x - maskOrigin.x, points[0].y - maskOrigin.y}, lw));
        } else {
            auto path = inkPath(lw);
            appendPieces(path, points, 1, n - 1, maskOrigin);
            canvas.strokePath(path);
        }
        return;
    }

    // Cairo's rasteriser decides how to compute each row of pixels from every edge that crosses the row,
    // wherever it lies, and pixels along the edge of a clip or a surface come out differently from the
    // same pixels inside one. So the rows of the dirty rectangle are rendered again whole, from every
    // piece that reaches into them, on a scratch mask that holds all of those pieces with room to spare,
    // and copied in. Consecutive pieces go in as one subpath so that their joins are drawn as in the whole
    // path; where a run breaks, its round cap lies inside the bounds of the piece left out, which does not
    // reach the rows.
    const double top = dirty.y0;
    const double bottom = dirty.y1;
    std::optional<Rect> reach;
    auto crossesRows = [&](std::size_t i) {
        const Rect& b = entry.bounds[i];
        if (!(b.minY() < bottom && b.maxY() > top)) return false;
        const double x0 = reach ? std::min(reach->minX(), b.minX()) : b.minX();
        const double x1 = reach ? std::max(reach->maxX(), b.maxX()) : b.maxX();
        reach = Rect{x0, top, x1 - x0, bottom - top};
        return true;
    };
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    for (std::size_t i = 1; i < n; ++i) {
        if (!crossesRows(i)) continue;
        if (!runs.empty() && runs.back().second + 1 == i) {
            runs.back().second = i;
        } else {
            runs.emplace_back(i, i);
        }
    }
    if (!reach) return;
    const PixelRect rows = outward(*reach);
    const PixelRect scratchRect{
        std::max(viewPixels_.x0, rows.x0 - scratchMargin), std::max(viewPixels_.y0, rows.y0 - scratchMargin),
        std::min(viewPixels_.x1, rows.x1 + scratchMargin), std::min(viewPixels_.y1, rows.y1 + scratchMargin)};
    const Point scratchOrigin{static_cast<double>(scratchRect.x0), static_cast<double>(scratchRect.y0)};
    auto scratch = canvas.makeMask(scratchRect.x1 - scratchRect.x0, scratchRect.y1 - scratchRect.y0);
    if (scratch == nullptr) return;
    auto path = inkPath(lw);
    for (const auto& [first, last] : runs) {
        appendPieces(path, points, first, last, scratchOrigin);
    }
    scratch->canvas().setColor(opaque);
    scratch->canvas().strokePath(path);

    // Whole pixels, so that the clip has no soft edge and the copy is exact.
    const PixelRect copied{std::max(rows.x0, entry.maskRect.x0), rows.y0,
                           std::min(rows.x1, entry.maskRect.x1), rows.y1};
    const Rect target = local(copied, maskOrigin);
    canvas.clearRect(target);
    canvas.clipTo(target);
    canvas.fillMask(*scratch, Point{scratchOrigin.x - maskOrigin.x, scratchOrigin.y - maskOrigin.y});
    canvas.resetClip();
}

void StrokeCache::markCells(Entry& entry, const Rect& paints) {
    const PixelRect r = outward(paints);
    if (r.isEmpty()) return;
    for (int row = r.y0 / cellSize; row <= (r.y1 - 1) / cellSize; ++row) {
        for (int column = r.x0 / cellSize; column <= (r.x1 - 1) / cellSize; ++column) {
            auto& cell = entry.cells[static_cast<std::size_t>(row) * static_cast<std::size_t>(columns_) +
                                     static_cast<std::size_t>(column)];
            if (cell == 0) entry.partsStale = true;
            cell = 1;
        }
    }
}

const std::vector<Rect>& StrokeCache::parts(Entry& entry) {
    if (!entry.partsStale) return entry.parts;
    entry.parts.clear();
    for (int row = 0; row < rows_; ++row) {
        const auto* line =
            entry.cells.data() + static_cast<std::size_t>(row) * static_cast<std::size_t>(columns_);
        int column = 0;
        while (column < columns_) {
            if (line[column] == 0) {
                ++column;
                continue;
            }
            const int start = column;
            while (column < columns_ && line[column] != 0) {
                ++column;
            }
            entry.parts.push_back(
                Rect{static_cast<double>(start * cellSize), static_cast<double>(row * cellSize),
                     static_cast<double>((column - start) * cellSize), static_cast<double>(cellSize)});
        }
    }
    entry.partsStale = false;
    return entry.parts;
}

StrokeCache::PixelRect StrokeCache::outward(const Rect& r) const {
    // Clamped to the view before converting, so that no double outside int's range is converted.
    auto clampX = [this](double v) { return std::clamp(v, 0.0, static_cast<double>(viewPixels_.x1)); };
    auto clampY = [this](double v) { return std::clamp(v, 0.0, static_cast<double>(viewPixels_.y1)); };
    if (!(r.minX() <= r.maxX()) || !(r.minY() <= r.maxY())) return {};
    return PixelRect{
        static_cast<int>(std::floor(clampX(r.minX()))), static_cast<int>(std::floor(clampY(r.minY()))),
        static_cast<int>(std::ceil(clampX(r.maxX()))), static_cast<int>(std::ceil(clampY(r.maxY())))};
}

}  // namespace velmora::ink
