#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "input/input.hpp"
#include "platform/input_event.hpp"
#include "platform/platform.hpp"
#include "target/target.hpp"

namespace velmora::input {

// The source user-data tag on every event the program posts: "Velm", first letter in the top byte.
inline constexpr std::int64_t velmTag = 0x56656C6D;

// Turns the reviewer's events into synthetic system events aimed at a shared surface.
//
// It keeps the mouse buttons and keys it holds down, so that moves become drags and control can end with
// every press released: a synthetic press that outlives the reviewer's control would stay down on the
// presenter's machine. A press, wheel turn or key-down that would land on another application raises the
// target instead; that event and every event after it, for any target, is held for a short settle
// interval and then replayed in order, always before any newer event. In dry run nothing is checked,
// raised, held or posted: each event becomes one log line.
//
// Main thread only.
class Injector : public std::enable_shared_from_this<Injector> {
  public:
    static std::shared_ptr<Injector> create(platform::Platform& platform, bool dryRun);

    Injector(const Injector&) = delete;
    Injector& operator=(const Injector&) = delete;

    bool dryRun() const { return dryRun_; }

    // Delivers one event, or holds it while a raised target settles. Failures drop the event silently.
    void apply(const Input& input, const Modifiers& mods, const target::Target& target);
    // Drops held events, cancels their replay and releases every button and key held down: at the last
    // point an event was posted, or the target's top-left corner when there is none.
    void releaseAll(const std::optional<target::Target>& target);

    // Read-only state, for tests.
    bool leftDown() const { return leftDown_; }
    bool rightDown() const { return rightDown_; }
    bool otherDown() const { return otherDown_; }
    std::optional<platform::Point> lastPoint() const { return lastPoint_; }
    std::size_t heldCount() const { return held_.size(); }
    const std::set<std::uint16_t>& keysDown() const { return keysDown_; }

    // The time a raised target is given to come forward before the held events are replayed.
    static constexpr platform::Duration settle{0.15};

  private:
    struct Held {
        Input input;
        Modifiers mods;
        target::Target target;
    };

    Injector(platform::Platform& platform, bool dryRun);

    // True exactly when it raised the target instead of delivering the event.
    bool perform(const Input& input, const Modifiers& mods, const target::Target& target, bool mayRaise);
    bool performButton(const Button& button, platform::KeyModifiers mods, platform::Point point,
                       const target::Target& target, bool mayRaise);
    bool performWheel(const Wheel& wheel, platform::KeyModifiers mods, platform::Point point,
                      const target::Target& target, bool mayRaise);
    bool performKey(const Key& key, const Modifiers& mods, const target::Target& target, bool mayRaise);
    void flush();
    void scheduleReplay();
    platform::HeldButtons heldButtons() const { return {leftDown_, rightDown_, otherDown_}; }
    void post(decltype(platform::SyntheticInput::action) action, platform::KeyModifiers mods);

    platform::Platform& platform_;
    const bool dryRun_;
    bool leftDown_ = false;
    bool rightDown_ = false;
    bool otherDown_ = false;
    std::optional<platform::Point> lastPoint_;
    // Virtual key codes of the key-downs posted without their key-up.
    std::set<std::uint16_t> keysDown_;
    std::vector<Held> held_;
    platform::WallTime holdUntil_ = platform::WallTime::min();
    // Numbers the scheduled replays, so that one scheduled before a releaseAll cannot empty a later hold.
    std::uint64_t replayGeneration_ = 0;
};

}  // namespace velmora::input
