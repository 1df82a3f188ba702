#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "ink/ink_stroke.hpp"
#include "ink/stroke_cache.hpp"
#include "platform/platform.hpp"

namespace velmora::ink {

// The content of an overlay window: the strokes, drawn in list order (later ones over earlier ones) as
// smoothed, round-capped lines scaled to the view and faded out after they end.
class InkView : public platform::View {
  public:
    using Clock = std::function<platform::WallTime()>;
    // `cached` keeps each stroke's coverage between frames (the normal way); `direct` redraws every stroke
    // from its points on every frame. Both give the same pixels.
    enum class Rendering { cached, direct };

    // `clock` gives the wall-clock time that the fade is measured against.
    explicit InkView(Clock clock);

    std::vector<std::shared_ptr<InkStroke>> strokes;

    // The dirty rectangle is not asked for: the whole list is drawn each time.
    void draw(platform::Canvas& canvas, const platform::Rect& bounds) override;
    bool isFlipped() const override { return true; }

    void setRendering(Rendering rendering);
    Rendering rendering() const { return rendering_; }
    // Gives back what the cached drawing keeps; the next frame renders every stroke afresh.
    void discardCache() { cache_.clear(); }
    const StrokeCache& cache() const { return cache_; }

  private:
    Clock clock_;
    Rendering rendering_ = Rendering::cached;
    StrokeCache cache_;
};

}  // namespace velmora::ink
