#include "ink/stroke_cache.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <string>
#include <utility>

#include "base/log.hpp"
#include "ink/stroke_geometry.hpp"

namespace velmora::ink {

using platform::Point;
using platform::Rect;

namespace {

// The grid that compositing is restricted to. Smaller cells follow a stroke more closely but cost more
// rectangles to clip with; 32 measured best for strokes of a few points' width.
constexpr int cellSize = 32;
// Views larger than this many pixels a side are drawn straight: a mask for them may not be allocatable.
constexpr double largestSide = 1 << 15;

std::size_t a8Bytes(int width, int height) {
    return static_cast<std::size_t>((width + 3) & ~3) * static_cast<std::size_t>(height);
}

}  // namespace

struct StrokeCache::Entry {
    std::weak_ptr<const InkStroke> stroke;
    // How many of the stroke's points the mask is being brought up to, and the first and last of them as
    // they were: a stroke whose list is shorter or differs at either is stroked afresh.
    std::size_t count = 0;
    Point first;
    Point last;
    double lineWidth = 0;
    std::unique_ptr<platform::Layer> mask;
    PixelRect maskRect;
    std::size_t bytes = 0;
    std::size_t nextPiece = 1;  // the first piece of the groups not yet stroked for good
    // The last group (or a one-point stroke's dot) is in the mask, and `saved` holds the mask's pixels
    // of `savedRect` from before it was stroked.
    bool tailDrawn = false;
    std::unique_ptr<platform::Layer> saved;
    PixelRect savedRect;
    std::size_t savedBytes = 0;
    std::vector<std::uint8_t> cells;  // the view's cells that the stroke paints
    std::vector<Rect> parts;          // those cells as runs along each row
    bool partsStale = false;
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
    work_ = 0;
    lastGroups_ = 0;
    behind_ = false;
    if (canvasType_ != std::type_index(typeid(canvas)) || !(size == size_)) reset(canvas, size);

    // Strokes that are gone, or no longer drawn, give their masks back first, for those that wait for room.
    std::vector<std::pair<const InkStroke*, Entry*>> drawn;
    for (const auto& stroke : strokes) {
        if (stroke == nullptr || stroke->points.empty() || strokeOpacity(stroke->endedAt, now) <= 0) continue;
        Entry& entry = entryFor(stroke);
        entry.usedIn = frame_;
        drawn.emplace_back(stroke.get(), &entry);
    }
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second->usedIn == frame_) {
            ++it;
            continue;
        }
        drop(*it->second);
        it = entries_.erase(it);
    }

    bool clipped = false;
    for (const auto& [stroke, entry] : drawn) {
        const double opacity = strokeOpacity(stroke->endedAt, now);
        if (!update(canvas, *entry, *stroke)) continue;
        canvas.setColor(stroke->color.withAlpha(opacity));
        canvas.clipToRects(parts(*entry));
        clipped = true;
        canvas.fillMask(*entry->mask, Point{static_cast<double>(entry->maskRect.x0),
                                            static_cast<double>(entry->maskRect.y0)});
    }
    if (clipped) canvas.resetClip();
    lastWork_ = work_;
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
    bytes_ -= entry.bytes + entry.savedBytes;
    entry.bytes = entry.savedBytes = 0;
    entry.mask.reset();
    entry.maskRect = {};
    entry.saved.reset();
    entry.savedRect = {};
    entry.tailDrawn = false;
}

void StrokeCache::restart(Entry& entry, double lineWidth) {
    drop(entry);
    entry.count = 0;
    entry.nextPiece = 1;
    entry.lineWidth = lineWidth;
    entry.cells.assign(static_cast<std::size_t>(columns_) * static_cast<std::size_t>(rows_), 0);
    entry.parts.clear();
    entry.partsStale = true;
}

bool StrokeCache::update(platform::Canvas& canvas, Entry& entry, const InkStroke& stroke) {
    if (viewPixels_.isEmpty()) return false;
    const std::span<const Point> points(stroke.points);
    const std::size_t n = points.size();
    const double lw = lineWidth(stroke.width, size_);
    const bool extended = entry.count > 0 && n >= entry.count && lw == entry.lineWidth &&
                          points[0] == entry.first && points[entry.count - 1] == entry.last;
    if (!extended) restart(entry, lw);
    if (n != entry.count) {
        if (entry.tailDrawn && entry.saved != nullptr) putBack(entry);
        if (entry.tailDrawn) restart(entry, lw);  // points added to a finished stroke: rare, drawn afresh
        entry.count = n;
        entry.first = points[0];
        entry.last = points[n - 1];
    }

    // Strokes `groups` (or the dot when there are none) into the mask, unless that would take the frame
    // beyond its work; `keep` saves the pixels they cover first.
    enum class Outcome { stroked, later, noRoom };
    auto strokeGroups = [&](std::vector<PieceGroup>& groups, bool keep) {
        double work = 1;
        std::optional<Rect> covers;
        if (groups.empty()) covers = dotBounds(toView(points[0], size_), lw);
        for (const auto& group : groups) {
            work += group.work;
            const Rect& b = group.bounds;
            if (!covers) {
                covers = b;
                continue;
            }
            const double x0 = std::min(covers->minX(), b.minX()), y0 = std::min(covers->minY(), b.minY());
            covers = Rect{x0, y0, std::max(covers->maxX(), b.maxX()) - x0,
                          std::max(covers->maxY(), b.maxY()) - y0};
        }
        if (lastGroups_ > 0 && work_ + work > workPerFrame) return Outcome::later;
        work_ += work;
        lastGroups_ += std::max<std::size_t>(groups.size(), 1);
        const PixelRect paints = outward(*covers);
        if (paints.isEmpty()) return Outcome::stroked;
        if (!ensureMask(canvas, entry, paints)) return Outcome::noRoom;
        const platform::Color opaque{0, 0, 0, 1};
        if (keep) {
            const std::size_t bytes = a8Bytes(paints.x1 - paints.x0, paints.y1 - paints.y0);
            if (bytes_ + bytes > budget_) return Outcome::noRoom;
            auto saved = canvas.makeMask(paints.x1 - paints.x0, paints.y1 - paints.y0);
            if (saved == nullptr || saved->width() != paints.x1 - paints.x0) return Outcome::noRoom;
            saved->canvas().setColor(opaque);
            saved->canvas().fillMask(*entry.mask, Point{static_cast<double>(entry.maskRect.x0 - paints.x0),
                                                        static_cast<double>(entry.maskRect.y0 - paints.y0)});
            entry.saved = std::move(saved);
            entry.savedRect = paints;
            entry.savedBytes = bytes;
            bytes_ += bytes;
        }
        const Point origin{static_cast<double>(entry.maskRect.x0), static_cast<double>(entry.maskRect.y0)};
        platform::Canvas& mask = entry.mask->canvas();
        mask.setColor(opaque);
        if (groups.empty()) {
            const Point p = toView(points[0], size_);
            mask.fillOval(dotRect(Point{p.x - origin.x, p.y - origin.y}, lw));
        }
        for (auto& group : groups) {
            for (auto& element : group.path.elements) {
                element.to = Point{element.to.x - origin.x, element.to.y - origin.y};
                element.control1 = Point{element.control1.x - origin.x, element.control1.y - origin.y};
                element.control2 = Point{element.control2.x - origin.x, element.control2.y - origin.y};
            }
            mask.strokePath(group.path);
        }
        if (groups.empty()) markCells(entry, paints);
        for (const auto& group : groups) {
            for (const Rect& b : group.pieceBounds)
                markCells(entry, outward(b));
        }
        return Outcome::stroked;
    };

    // Groups whose pieces, and the piece after them that ended them, have their final shape are stroked
    // for good; the rest (the end of the stroke, or its dot) is stroked with the pixels under it kept.
    auto outcome = Outcome::stroked;
    std::vector<PieceGroup> groups;
    while (outcome == Outcome::stroked && entry.nextPiece + 1 < n) {
        groups.assign(1, pieceGroup(points, entry.nextPiece, size_, lw));
        if (groups[0].last + 2 >= n) break;
        outcome = strokeGroups(groups, false);
        if (outcome == Outcome::stroked) entry.nextPiece = groups[0].last + 1;
    }
    if (outcome == Outcome::stroked && !entry.tailDrawn) {
        groups.clear();
        for (std::size_t first = entry.nextPiece; first < n; first = groups.back().last + 1)
            groups.push_back(pieceGroup(points, first, size_, lw));
        outcome = strokeGroups(groups, !stroke.endedAt);
        entry.tailDrawn = outcome == Outcome::stroked;
    }
    if (outcome == Outcome::later) {
        behind_ = true;
        return entry.mask != nullptr;
    }
    const bool room = outcome == Outcome::stroked;
    if (room && stroke.endedAt && entry.saved != nullptr) {
        bytes_ -= entry.savedBytes;
        entry.savedBytes = 0;
        entry.saved.reset();
        entry.savedRect = {};
    }
    if (!room) {
        // Left out, and tried again from the start at the next frame, when strokes may have faded.
        restart(entry, lw);
        if (!toldOverBudget_) {
            toldOverBudget_ = true;
            log("A page's ink needs more than " + std::to_string(budget_ >> 10) +
                " KiB of masks; strokes beyond that are not drawn until earlier ones fade.");
        }
        return false;
    }
    return entry.mask != nullptr;
}

void StrokeCache::putBack(Entry& entry) {
    const PixelRect& r = entry.savedRect;
    platform::Canvas& mask = entry.mask->canvas();
    const Point at{static_cast<double>(r.x0 - entry.maskRect.x0),
                   static_cast<double>(r.y0 - entry.maskRect.y0)};
    mask.clearRect(Rect{at.x, at.y, static_cast<double>(r.x1 - r.x0), static_cast<double>(r.y1 - r.y0)});
    mask.setColor(platform::Color{0, 0, 0, 1});
    mask.fillMask(*entry.saved, at);
    bytes_ -= entry.savedBytes;
    entry.savedBytes = 0;
    entry.saved.reset();
    entry.savedRect = {};
    entry.tailDrawn = false;
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
    // Room to grow, so that a stroke being drawn reallocates now and then rather than at every frame;
    // none when only the room itself does not fit.
    const int slackX = std::max(64, (want.x1 - want.x0) / 4);
    const int slackY = std::max(64, (want.y1 - want.y0) / 4);
    PixelRect roomy{std::max(viewPixels_.x0, want.x0 - slackX), std::max(viewPixels_.y0, want.y0 - slackY),
                    std::min(viewPixels_.x1, want.x1 + slackX), std::min(viewPixels_.y1, want.y1 + slackY)};
    if (bytes_ - entry.bytes + a8Bytes(roomy.x1 - roomy.x0, roomy.y1 - roomy.y0) > budget_) roomy = want;

    const int width = roomy.x1 - roomy.x0;
    const int height = roomy.y1 - roomy.y0;
    const std::size_t bytes = a8Bytes(width, height);
    if (bytes_ - entry.bytes + bytes > budget_) return false;
    auto mask = canvas.makeMask(width, height);
    if (mask == nullptr || mask->width() != width || mask->height() != height) return false;
    if (entry.mask != nullptr) {
        mask->canvas().setColor(platform::Color{0, 0, 0, 1});
        mask->canvas().fillMask(*entry.mask, Point{static_cast<double>(have.x0 - roomy.x0),
                                                   static_cast<double>(have.y0 - roomy.y0)});
    }
    bytes_ = bytes_ - entry.bytes + bytes;
    entry.bytes = bytes;
    entry.mask = std::move(mask);
    entry.maskRect = roomy;
    return true;
}

void StrokeCache::markCells(Entry& entry, const PixelRect& r) {
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
