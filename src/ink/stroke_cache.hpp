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

// Draws the ink as drawStrokesDirectly() does, fast enough for 60 frames a second, and never doing more
// than a bounded amount of work in one frame.
//
// Each stroke's coverage is kept in a mask and, on every frame, composited in the stroke's colour at its
// current opacity; the straightforward drawing unites a stroke's coverage in a mask too, so the pixels
// come out the same. A stroke's groups of pieces are stroked into its mask one over the other, in order,
// as the straightforward drawing does. Only the groups at its end change when points arrive, so before
// they are stroked the mask's pixels under them are saved, and when the stroke changes they are put back
// and the end is stroked again, as it now is: the mask then holds exactly what stroking every group in order
// gives. Compositing is restricted to the grid cells the stroke paints, so a long thin stroke costs about
// its own area rather than its bounding box's.
//
// Work is counted in units of about one short piece (see PieceGroup::work). Each frame strokes the
// groups that fit in workPerFrame, and at least one; what is left (a stroke of many points, or one sent
// whole) is stroked over the following frames, and the stroke shows what has been stroked so far.
class StrokeCache {
  public:
    // Masks and saved pixels are kept up to this many bytes in all; a stroke that finds no room is left
    // out until strokes that fade give theirs back. 64 MiB holds 32 strokes each as large as a view of
    // 1920 × 1080, or 8 on one of 3840 × 2160; a reviewer's strokes are a fraction of that.
    static constexpr std::size_t defaultBudget = std::size_t{64} << 20;
    // About 6 ms of stroking on a laptop core of today: a frame keeps room for compositing.
    static constexpr double workPerFrame = 6000;

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
    // Whether the last draw left strokes, or parts of them, still to be stroked.
    bool behind() const { return behind_; }
    // What the last draw stroked: its work and its groups.
    double lastWork() const { return lastWork_; }
    std::size_t lastGroups() const { return lastGroups_; }

  private:
    struct Entry;
    struct PixelRect {
        int x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // half-open
        bool isEmpty() const { return x0 >= x1 || y0 >= y1; }
    };

    void reset(platform::Canvas& canvas, platform::Size size);
    Entry& entryFor(const std::shared_ptr<InkStroke>& stroke);
    // Brings the entry's mask towards the stroke's points within the frame's work; false when the stroke
    // has nothing to show.
    bool update(platform::Canvas& canvas, Entry& entry, const InkStroke& stroke);
    void restart(Entry& entry, double lineWidth);
    bool ensureMask(platform::Canvas& canvas, Entry& entry, const PixelRect& needed);
    void putBack(Entry& entry);
    void markCells(Entry& entry, const PixelRect& paints);
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
    double work_ = 0;
    double lastWork_ = 0;
    std::size_t lastGroups_ = 0;
    bool behind_ = false;
    bool toldOverBudget_ = false;
    std::unordered_map<const InkStroke*, std::unique_ptr<Entry>> entries_;
};

}  // namespace velmora::ink
