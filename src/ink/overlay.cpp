#include "ink/overlay.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "base/json_fields.hpp"
#include "base/log.hpp"
#include "ink/color_hex.hpp"
#include "ink/stroke_geometry.hpp"

namespace velmora::ink {

bool overlayCapturable = false;

Overlay::Overlay(Private, platform::Platform& platform, BoundsFunction bounds)
    : platform_(platform),
      window_(platform.createOverlayWindow(platform::OverlayOptions{overlayCapturable})),
      view_(std::make_shared<InkView>([loop = &platform.loop()] { return loop->wallNow(); })),
      bounds_(std::move(bounds)) {
    window_->setContentView(view_);
}

std::shared_ptr<Overlay> Overlay::create(platform::Platform& platform, BoundsFunction bounds) {
    return std::make_shared<Overlay>(Private{}, platform, std::move(bounds));
}

void Overlay::stroke(boost::json::object& message) {
    const auto id = readString(message, "id");
    if (!id) return;
    auto* const found = message.if_contains("points");
    auto* const points = found != nullptr ? found->if_array() : nullptr;
    if (points == nullptr) return;
    if (!std::all_of(points->begin(), points->end(), [](const auto& v) { return v.is_object(); })) return;

    const auto stroke = strokeFor(*id, message);
    const bool done = readBool(message, "done").value_or(false);
    if (pending_.empty() && points->size() <= pointsPerTurn) {
        appendPoints(*stroke, *points, 0, points->size());
        if (done) stroke->endedAt = platform_.loop().wallNow();
    } else {
        pending_.push_back(Pending{stroke, std::move(*points), 0, done});  // the tick below starts on it
    }

    if (timer_ == nullptr) {
        timer_ = platform_.loop().repeat(tickInterval, [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->tick();
        });
    }
    tick();
}

std::size_t Overlay::pendingPoints() const {
    std::size_t count = 0;
    for (const auto& p : pending_)
        count += p.points.size() - p.next;
    return count;
}

void Overlay::applyPending() {
    std::size_t budget = pointsPerTurn;
    while (!pending_.empty()) {
        auto& waiting = pending_.front();
        // A stroke cleared or pushed out meanwhile takes its waiting points with it.
        const auto stroke = waiting.stroke.lock();
        if (stroke) {
            const std::size_t to = waiting.next + std::min(budget, waiting.points.size() - waiting.next);
            appendPoints(*stroke, waiting.points, waiting.next, to);
            // Each point's object is freed as it is taken, so that freeing the message costs no more than a
            // turn either: all at once, a million of them take longer than a frame.
            for (std::size_t i = waiting.next; i < to; ++i)
                waiting.points[i].emplace_null();
            budget -= to - waiting.next;
            waiting.next = to;
            if (to < waiting.points.size()) return;
            if (waiting.done) stroke->endedAt = platform_.loop().wallNow();
        }
        if (discard) discard(std::move(waiting.points));
        pending_.pop_front();
        if (budget == 0) return;
    }
}

void Overlay::appendPoints(InkStroke& stroke, const boost::json::array& points, std::size_t from,
                           std::size_t to) {
    std::size_t held = 0;
    for (const auto& s : view_->strokes)
        held += s->points.size();
    for (std::size_t i = from; i < to; ++i) {
        if (stroke.points.size() >= maxStrokePoints) {
            tellOnce(toldStrokePoints_, "A page drew a stroke of " + std::to_string(maxStrokePoints) +
                                            " points; its further points are ignored.");
            break;
        }
        if (held >= maxPoints) {
            tellOnce(toldPoints_, "A page's ink holds " + std::to_string(maxPoints) +
                                      " points; further points are ignored until strokes fade.");
            break;
        }
        const auto& point = points[i].get_object();
        const auto x = readDouble(point, "x");
        if (!x) continue;
        const auto y = readDouble(point, "y");
        if (!y) continue;
        if (!std::isfinite(*x) || !std::isfinite(*y)) continue;
        if (stroke.points.capacity() == stroke.points.size()) {
            // One allocation for a message's points, as many as there can be room for. A stroke that
            // outgrows a turn's worth gets room for the most it may hold at once: the memory is only
            // touched as points arrive, while moving megabytes of points to a larger block would hold the
            // loop for longer than a frame.
            const std::size_t room =
                std::min({points.size() - i, maxStrokePoints - stroke.points.size(), maxPoints - held});
            const std::size_t wanted = std::max(stroke.points.size() + room, 2 * stroke.points.capacity());
            stroke.points.reserve(wanted > pointsPerTurn ? maxStrokePoints : wanted);
        }
        stroke.points.push_back(platform::Point{std::clamp(*x, 0.0, 1.0), std::clamp(*y, 0.0, 1.0)});
        ++held;
    }
}

std::shared_ptr<InkStroke> Overlay::strokeFor(std::string_view id, const boost::json::object& message) {
    auto& strokes = view_->strokes;
    const auto found =
        std::find_if(strokes.begin(), strokes.end(), [id](const auto& s) { return s->id == id; });
    if (found != strokes.end()) return *found;

    // Colour and width come from the message that starts the stroke and never change afterwards.
    const auto colorText = readString(message, "color");
    const auto color = colorFromHex(colorText.value_or(std::string_view{}));
    const double width = readDouble(message, "width").value_or(defaultWidth);
    makeRoomForStroke();
    strokes.push_back(
        std::make_shared<InkStroke>(std::string(id), color.value_or(platform::Color::systemRed()), width));
    return strokes.back();
}

void Overlay::makeRoomForStroke() {
    auto& strokes = view_->strokes;
    const auto open = [](const auto& s) { return !s->endedAt; };
    if (static_cast<std::size_t>(std::count_if(strokes.begin(), strokes.end(), open)) >= maxOpenStrokes) {
        tellOnce(toldOpenStrokes_, "A page had " + std::to_string(maxOpenStrokes) +
                                       " unfinished strokes; the oldest of them was finished.");
        (*std::find_if(strokes.begin(), strokes.end(), open))->endedAt = platform_.loop().wallNow();
    }
    if (strokes.size() >= maxStrokes) {
        tellOnce(toldStrokes_, "A page had " + std::to_string(maxStrokes) +
                                   " strokes on screen; the oldest finished one was removed.");
        const auto finished = std::find_if_not(strokes.begin(), strokes.end(), open);
        strokes.erase(finished != strokes.end() ? finished : strokes.begin());
    }
}

void Overlay::tellOnce(bool& flag, std::string_view message) {
    if (flag) return;
    flag = true;
    log(message);
}

void Overlay::tick() {
    applyPending();
    auto& strokes = view_->strokes;
    const auto now = platform_.loop().wallNow();
    for (auto& stroke : strokes) {
        // A wall clock set back would otherwise hold a fading stroke on screen for as long as it went
        // back; the fade starts over from now instead.
        if (stroke->endedAt && *stroke->endedAt > now) stroke->endedAt = now;
    }
    std::erase_if(strokes, [now](const auto& stroke) {
        if (!stroke->endedAt) return false;
        const double age = std::chrono::duration<double>(now - *stroke->endedAt).count();
        return !(age / fadeSeconds < 1);
    });

    if (!strokes.empty()) {
        if (const auto r = bounds_()) {
            const platform::Rect frame{r->minX(), r->minY(), r->absWidth(), r->absHeight()};
            if (!(window_->frame() == frame)) window_->setFrame(frame, false);
            if (!window_->isVisible()) window_->show();
            window_->setNeedsDisplay();
            return;
        }
    }
    window_->hide();
    if (strokes.empty()) {
        stopTimer();
        view_->discardCache();
    }
}

void Overlay::close() {
    stopTimer();
    if (discard) {
        for (auto& waiting : pending_)
            discard(std::move(waiting.points));
    }
    pending_.clear();
    view_->strokes.clear();
    view_->discardCache();
    window_->hide();
}

void Overlay::stopTimer() {
    if (timer_ != nullptr) timer_->invalidate();
    timer_.reset();
}

}  // namespace velmora::ink
