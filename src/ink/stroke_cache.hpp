#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <typeindex>
#include <unordered_map>
#include <vector>

#include "ink/ink_stroke.hpp"
#include "platform/canvas.hpp"
#include "platform/geometry.hpp"
#include "platform/main_loop.hpp"

namespace velmora::ink {

// Draws the ink as drawStrokesDirectly() does, fast enough for 60 frames a second.
//
// Each stroke's coverage is rendered once into a mask at full opacity and, on every frame, composited in
// the stroke's colour at its current opacity; compositing coverage is how a stroke is drawn anyway, so the
// pixels come out the same. When points are appended, only the rows of pixels that the changed pieces
// paint are rendered again, from every piece that crosses those rows: with round caps and joins a
// stroke's outline is the union of its pieces' outlines, and the rasteriser treats each row of pixels on
// its own, so those rows come out as a render of the whole path would give them. Compositing is
// restricted to the grid cells the stroke paints, so a long thin stroke costs about its own area rather
// than its bounding box's.
class StrokeCache {
  public:
    // Masks are kept up to this many bytes in all; strokes beyond it are drawn straight on each frame.
    static constexpr std::size_t defaultBudget = std::size_t{256} << 20;

    explicit StrokeCache(std::size_t budget = defaultBudget);
    ~StrokeCache();
    StrokeCache(const StrokeCache&) = delete;
    StrokeCache& operator=(const StrokeCache&) = delete;

    void draw(platform::Canvas& canvas, const std::vector<std::shared_ptr<InkStroke>>& strokes,
              platform::Size size, platform::WallTime now);
    // Drops every mask; the next draw renders each stroke afresh.
    void clear();

    std::size_t maskBytes() const { return bytes_; }
    std::size_t cachedStrokes() const { return entries_.size(); }

  private:
    struct Entry;
    struct PixelRect {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // half-open
        bool isEmpty() const { return x0 >= x1 || y0 >= y1; }
    };

    void reset(platform::Canvas& canvas, platform::Size size);
    Entry& entryFor(const std::shared_ptr<InkStroke>& stroke);
    // Brings the entry's mask up to the stroke's points; false when the stroke is to be drawn straight.
    bool update(platform::Canvas& canvas, Entry& entry, const InkStroke& stroke);
    bool ensureMask(platform::Canvas& canvas, Entry& entry, const PixelRect& needed);
    void render(Entry& entry, const PixelRect& dirty, bool fresh);
    void markCells(Entry& entry, const platform::Rect& paints);
    const std::vector<platform::Rect>& parts(Entry& entry);
    void drop(Entry& entry);
    PixelRect outward(const platform::Rect& r) const;

    std::size_t budget_;
    std::size_t bytes_ = 0;
    std::optional<std::type_index> canvasType_;
    platform::Size size_;
    PixelRect viewPixels_;
    int columns_ = 0;
    int rows_ = 0;
    std::uint64_t frame_ = 0;
    std::unordered_map<const InkStroke*, std::unique_ptr<Entry>> entries_;
};

}  // namespace velmora::ink
