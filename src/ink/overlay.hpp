#pragma once

#include <boost/json/array.hpp>
#include <boost/json/object.hpp>

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "ink/ink_view.hpp"
#include "platform/platform.hpp"

namespace velmora::ink {

// Whether overlay windows may appear in screen captures. Set once at start-up from "--capturable-ink",
// before any overlay exists; each overlay reads it when its window is created.
extern bool overlayCapturable;

// The ink of one stream: a transparent, click-through window kept over the shared surface, holding the
// reviewer's strokes and redrawing them 60 times a second while there is ink to show.
//
// Idle (hidden, no timer, no strokes) → a stroke arrives → Showing (visible over the surface, timer
// running) or Waiting (hidden because the surface cannot be located, timer running) → the last stroke
// fades out, is cleared or the overlay is closed → Idle.
class Overlay : public std::enable_shared_from_this<Overlay> {
  public:
    // The surface's current frame in global coordinates (top-left origin, y down), or nothing when it
    // cannot be located now.
    using BoundsFunction = std::function<std::optional<platform::Rect>()>;

    static constexpr platform::Duration tickInterval{1.0 / 60.0};
    static constexpr double defaultWidth = 4.0;

    // What one page can make an overlay hold, each far beyond what a reviewer reaches: drawing without a
    // break at 120 points a second for an hour gives 432,000 points, one pointer draws one stroke at a
    // time, and a finished stroke is gone 2.5 s later. Each is logged once per overlay when reached.
    //
    // Further points of a stroke that has this many are ignored.
    static constexpr std::size_t maxStrokePoints = 1'000'000;
    // Further points of any stroke are ignored while the strokes hold this many in all (32 MiB).
    static constexpr std::size_t maxPoints = 2'000'000;
    // A stroke started beyond this many unfinished ones finishes the oldest unfinished one (it fades).
    static constexpr std::size_t maxOpenStrokes = 16;
    // A stroke started beyond this many in all removes the oldest finished one, or the oldest.
    static constexpr std::size_t maxStrokes = 256;

    // The window starts hidden, with an empty frame, and no timer runs. `platform` must outlive the overlay.
    static std::shared_ptr<Overlay> create(platform::Platform& platform, BoundsFunction bounds);

    // Points taken from messages in one turn of the main loop; the rest of a longer message waits for the
    // following frames, so that no message holds the loop for longer than a frame.
    static constexpr std::size_t pointsPerTurn = 32'768;

    // Applies one "stroke" message: creates or extends the stroke with its id, may end it, and starts the
    // animation. A message whose "id" or "points" is unusable is ignored whole. A long "points" array is
    // taken out of the message and its points applied over the next frames; messages after it wait their
    // turn, so points and ends keep their order.
    void stroke(boost::json::object& message);
    void stroke(boost::json::object&& message) { stroke(message); }
    // Points received but not applied yet.
    std::size_t pendingPoints() const;
    // One animation step: drops the strokes that have faded out, keeps the window over the surface and
    // redraws it, or hides it; stops the timer once no stroke is left.
    void tick();
    // Stops the timer, drops every stroke and hides the window. The overlay can be used again afterwards.
    void close();

    // Where the emptied points of a long message go to be freed; freed in place when unset.
    std::function<void(boost::json::array&&)> discard;

    InkView& view() { return *view_; }
    platform::OverlayWindow& window() { return *window_; }
    bool timerRunning() const { return timer_ != nullptr; }

  private:
    struct Private {};

  public:
    Overlay(Private, platform::Platform& platform, BoundsFunction bounds);

  private:
    struct Pending {
        std::weak_ptr<InkStroke> stroke;
        boost::json::array points;
        std::size_t next = 0;
        bool done = false;
    };

    std::shared_ptr<InkStroke> strokeFor(std::string_view id, const boost::json::object& message);
    // Applies waiting points, at most pointsPerTurn of them.
    void applyPending();
    // Appends points [from, to) of `points` to the stroke, within the limits.
    void appendPoints(InkStroke& stroke, const boost::json::array& points, std::size_t from, std::size_t to);
    void makeRoomForStroke();
    void stopTimer();
    // Logs `message` the first time `flag` is raised.
    static void tellOnce(bool& flag, std::string_view message);

    platform::Platform& platform_;
    std::unique_ptr<platform::OverlayWindow> window_;
    std::shared_ptr<InkView> view_;
    std::unique_ptr<platform::Timer> timer_;
    BoundsFunction bounds_;
    std::deque<Pending> pending_;
    bool toldStrokePoints_ = false;
    bool toldPoints_ = false;
    bool toldOpenStrokes_ = false;
    bool toldStrokes_ = false;
};

}  // namespace velmora::ink
