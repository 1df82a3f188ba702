#include "input/injector.hpp"

#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "base/log.hpp"
#include "base/overloaded.hpp"
#include "input/text.hpp"
#include "platform/mac_terms.hpp"

namespace velmora::input {

using platform::Point;
using platform::PointerButton;

namespace {

platform::KeyModifiers modifiersOf(const Modifiers& mods) {
    return {mods.shift, mods.ctrl, mods.alt, mods.meta};
}

// Positions are clamped into the surface once more here, so that an Input built in code rather than parsed
// cannot aim outside it; a NaN lands on the near edge.
double unit(double v) {
    if (!(v > 0)) return 0;
    if (v > 1) return 1;
    return v;
}

Point pointIn(const platform::Rect& rect, double x, double y) {
    return {rect.minX() + rect.absWidth() * unit(x), rect.minY() + rect.absHeight() * unit(y)};
}

std::optional<Point> pointOf(const Input& input, const platform::Rect& rect) {
    return std::visit(Overloaded{
                          [&](const Move& m) -> std::optional<Point> { return pointIn(rect, m.x, m.y); },
                          [&](const Button& b) -> std::optional<Point> { return pointIn(rect, b.x, b.y); },
                          [&](const Wheel& w) -> std::optional<Point> { return pointIn(rect, w.x, w.y); },
                          [](const Key&) -> std::optional<Point> { return std::nullopt; },
                      },
                      input);
}

// A browser delta in pixels as a wheel value: rounded half away from zero and negated, because a positive
// browser delta moves the content the way a negative wheel value does. A value beyond the signed 32-bit
// range (over two thousand million pixels in one event) saturates at its end rather than wrapping, so it
// still scrolls as far as it can in the direction the reviewer turned.
std::int32_t wheelValue(double delta) {
    const double v = -std::round(delta);
    if (std::isnan(v)) return 0;
    if (v >= static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
        return std::numeric_limits<std::int32_t>::max();
    }
    if (v <= static_cast<double>(std::numeric_limits<std::int32_t>::min())) {
        return std::numeric_limits<std::int32_t>::min();
    }
    return static_cast<std::int32_t>(v);
}

// A coordinate truncated toward zero, in plain decimal. Printed from the double so that no location,
// however far off, goes through an integer conversion that could overflow.
std::string truncatedDecimal(double v) {
    const double whole = std::trunc(v) + 0.0;  // + 0.0 turns -0 into 0
    char buffer[400];  // the longest finite double in fixed notation is 309 digits and a sign
    std::snprintf(buffer, sizeof buffer, "%.0f", whole);
    return buffer;
}

}  // namespace

std::shared_ptr<Injector> Injector::create(platform::Platform& platform, bool dryRun) {
    return std::shared_ptr<Injector>(new Injector(platform, dryRun));
}

Injector::Injector(platform::Platform& platform, bool dryRun) : platform_(platform), dryRun_(dryRun) {}

void Injector::apply(const Input& input, const Modifiers& mods, const target::Target& target) {
    auto& loop = platform_.loop();
    if (!held_.empty()) {
        if (loop.wallNow() < holdUntil_) {
            held_.push_back({input, mods, target});
            return;
        }
        // The settle time is over but the replay has not run yet (its timer waits behind queued messages):
        // the held events go first, so that nothing newer overtakes them.
        flush();
    }
    if (!perform(input, mods, target, true)) return;

    // The target was raised instead. This event goes first in the queue, and everything that arrives while
    // the window comes forward waits behind it.
    holdUntil_ = loop.wallNow() + std::chrono::duration_cast<platform::WallTime::duration>(settle);
    held_.push_back({input, mods, target});
    scheduleReplay();
}

void Injector::scheduleReplay() {
    platform_.loop().postAfter(settle, [weak = weak_from_this(), generation = ++replayGeneration_] {
        auto self = weak.lock();
        if (self && self->replayGeneration_ == generation) self->flush();
    });
}

void Injector::flush() {
    holdUntil_ = platform::WallTime::min();
    ++replayGeneration_;
    const auto events = std::exchange(held_, {});
    // No second check: if the raise did not take, the events still go where the reviewer aimed them.
    for (const auto& h : events)
        perform(h.input, h.mods, h.target, false);
}

void Injector::releaseAll(const std::optional<target::Target>& target) {
    held_.clear();
    holdUntil_ = platform::WallTime::min();
    ++replayGeneration_;

    // Released even when the surface has gone: the press was posted to the system, not to the window, and
    // stays down until something lets go of it.
    std::optional<Point> point = lastPoint_;
    if (!point && target) {
        if (const auto bounds = target->currentBounds(platform_))
            point = Point{bounds->minX(), bounds->minY()};
    }
    // Without any point no pointer event was ever posted, so there is nothing down to let go of.
    const auto release = [&](bool& down, PointerButton button) {
        if (!std::exchange(down, false) || !point) return;
        post(platform::PointerPress{*point, button, false, 0}, {});
    };
    release(leftDown_, PointerButton::left);
    release(rightDown_, PointerButton::right);
    release(otherDown_, PointerButton::middle);
    for (const auto code : std::exchange(keysDown_, {}))
        post(platform::KeyStroke{code, false, {}}, {});
    // Whatever the system still holds for the helper beyond what it pressed on the reviewer's behalf.
    if (!dryRun_) platform_.releaseHeldInput();
}

bool Injector::perform(const Input& input, const Modifiers& mods, const target::Target& target,
                       bool mayRaise) {
    // Looked up for every event, keys included, so that a surface that has gone takes its events with it
    // and one that moved is followed without any notification.
    const auto bounds = target.currentBounds(platform_);
    if (!bounds) return false;
    const auto keyMods = modifiersOf(mods);
    const auto point = pointOf(input, *bounds);
    return std::visit(
        Overloaded{
            [&](const Move&) {
                post(platform::PointerMotion{*point, heldButtons()}, keyMods);
                return false;
            },
            [&](const Button& b) { return performButton(b, keyMods, *point, target, mayRaise); },
            [&](const Wheel& w) { return performWheel(w, keyMods, *point, target, mayRaise); },
            [&](const Key& k) { return performKey(k, mods, target, mayRaise); },
        },
        input);
}

bool Injector::performButton(const Button& b, platform::KeyModifiers mods, Point point,
                             const target::Target& target, bool mayRaise) {
    if (b.down && mayRaise && !dryRun_ && !target.isFrontmost(platform_, point)) {
        target.raise(platform_);
        return true;
    }
    PointerButton button;
    bool* state;
    switch (b.button) {
        case 0:
            button = PointerButton::left;
            state = &leftDown_;
            break;
        case 1:
            button = PointerButton::middle;
            state = &otherDown_;
            break;
        case 2:
            button = PointerButton::right;
            state = &rightDown_;
            break;
        default:
            return false;  // parsing admits only 0 to 2
    }
    // Recorded before posting, which may fail, so the state follows the reviewer's presses and releases
    // rather than the platform's successes; releaseAll then still lets go of a press it could not post.
    *state = b.down;
    post(platform::PointerPress{point, button, b.down, b.clicks}, mods);
    return false;
}

bool Injector::performWheel(const Wheel& w, platform::KeyModifiers mods, Point point,
                            const target::Target& target, bool mayRaise) {
    if (mayRaise && !dryRun_ && !target.isFrontmost(platform_, point)) {
        target.raise(platform_);
        return true;
    }
    // Scroll events go to the window under the pointer, so the pointer is put there first; a plain move
    // even while a button is held.
    post(platform::PointerMotion{point, {}}, mods);
    post(platform::WheelScroll{point, wheelValue(w.dy), wheelValue(w.dx), platform::WheelUnit::pixel}, mods);
    return false;
}

bool Injector::performKey(const Key& k, const Modifiers& mods, const target::Target& target, bool mayRaise) {
    // Modifier keys reach the system only as flags on the other events; this test comes first so that
    // pressing Shift alone never raises anything.
    if (isModifierCode(k.code)) return false;
    if (k.down && mayRaise && !dryRun_ && !target.hasKeyboardFocus(platform_)) {
        target.raise(platform_);
        return true;
    }
    const bool oneCharacter = characterCount(k.key) == 1;
    auto code = keyCode(k.code);
    if (!code) {
        // A key the table does not know can still type its character through the attached text.
        if (!oneCharacter) return false;
        code = 0;
    }
    // Like the buttons, recorded whether or not the event can be made, so that releaseAll lets go of it.
    if (k.down) {
        keysDown_.insert(*code);
    } else {
        keysDown_.erase(*code);
    }
    // Control and Command chords are shortcuts, not typing; control characters are never text.
    const bool withText = oneCharacter && !mods.ctrl && !mods.meta && *firstCodePoint(k.key) >= U'\u0020';
    post(platform::KeyStroke{*code, k.down, withText ? utf16Units(k.key) : std::u16string{}},
         modifiersOf(mods));
    return false;
}

void Injector::post(decltype(platform::SyntheticInput::action) action, platform::KeyModifiers mods) {
    const platform::SyntheticInput input{std::move(action), mods, velmTag};
    const auto at = input.location();
    if (!dryRun_) {
        if (platform_.postInput(input) && at) lastPoint_ = at;
        return;
    }
    if (at) lastPoint_ = at;
    // The dry-run line names the event the system would be given, with its flags. Nothing has moved the
    // pointer in a dry run, so key events, which the system places at the pointer, show the origin.
    const auto event = platform::mac::eventFor(input, Point{});
    log("dry-run: " + platform::mac::describe(event.type) + " at (" + truncatedDecimal(event.location.x) +
        ", " + truncatedDecimal(event.location.y) + ") flags=" + std::to_string(event.flags));
}

}  // namespace velmora::input
