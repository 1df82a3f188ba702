#include "platform/mac_terms.hpp"

#include "base/overloaded.hpp"

namespace velmora::platform::mac {

namespace {

// A move while buttons are held is a drag; the event's type follows the left button first and its button
// argument the right one first, which is how the system itself reports a drag with two buttons down.
Event motionEvent(const PointerMotion& m) {
    EventType type = EventType::mouseMoved;
    if (m.held.left) {
        type = EventType::leftMouseDragged;
    } else if (m.held.right) {
        type = EventType::rightMouseDragged;
    } else if (m.held.middle) {
        type = EventType::otherMouseDragged;
    }
    MouseButton button = MouseButton::left;
    if (m.held.right) {
        button = MouseButton::right;
    } else if (m.held.middle) {
        button = MouseButton::center;
    }
    return Event{type, m.at, 0, 0, MouseFields{button, 0}};
}

Event pressEvent(const PointerPress& p) {
    EventType type;
    MouseButton button;
    switch (p.button) {
        case PointerButton::left:
            type = p.down ? EventType::leftMouseDown : EventType::leftMouseUp;
            button = MouseButton::left;
            break;
        case PointerButton::right:
            type = p.down ? EventType::rightMouseDown : EventType::rightMouseUp;
            button = MouseButton::right;
            break;
        case PointerButton::middle:
        default:
            type = p.down ? EventType::otherMouseDown : EventType::otherMouseUp;
            button = MouseButton::center;
            break;
    }
    return Event{type, p.at, 0, 0, MouseFields{button, p.clickCount}};
}

}  // namespace

std::uint64_t flagsFor(const KeyModifiers& mods) {
    std::uint64_t flags = 0;
    if (mods.shift) flags |= eventFlags::shift;
    if (mods.control) flags |= eventFlags::control;
    if (mods.alternate) flags |= eventFlags::alternate;
    if (mods.command) flags |= eventFlags::command;
    return flags;
}

Event eventFor(const SyntheticInput& input, Point pointer) {
    Event event = std::visit(Overloaded{
                                 [](const PointerMotion& m) { return motionEvent(m); },
                                 [](const PointerPress& p) { return pressEvent(p); },
                                 [](const WheelScroll& w) {
                                     const auto unit =
                                         w.unit == WheelUnit::line ? ScrollUnit::line : ScrollUnit::pixel;
                                     return Event{EventType::scrollWheel, w.at, 0, 0,
                                                  ScrollFields{unit, 2, w.vertical, w.horizontal, 0}};
                                 },
                                 [&](const KeyStroke& k) {
                                     return Event{k.down ? EventType::keyDown : EventType::keyUp, pointer, 0,
                                                  0, KeyboardFields{k.keyCode, k.down, k.text}};
                                 },
                             },
                             input.action);
    event.flags = flagsFor(input.modifiers);
    event.userData = input.sourceTag;
    return event;
}

std::string describe(EventType type) {
    switch (type) {
        case EventType::leftMouseDown:
            return "left-down";
        case EventType::leftMouseUp:
            return "left-up";
        case EventType::rightMouseDown:
            return "right-down";
        case EventType::rightMouseUp:
            return "right-up";
        case EventType::mouseMoved:
            return "move";
        case EventType::leftMouseDragged:
            return "left-drag";
        case EventType::rightMouseDragged:
            return "right-drag";
        case EventType::keyDown:
            return "key-down";
        case EventType::keyUp:
            return "key-up";
        case EventType::scrollWheel:
            return "scroll";
        case EventType::otherMouseDown:
            return "other-down";
        case EventType::otherMouseUp:
            return "other-up";
        case EventType::otherMouseDragged:
            return "other-drag";
    }
    return "event(" + std::to_string(static_cast<std::uint32_t>(type)) + ")";
}

WindowAttributes overlayAttributes(bool capturable) {
    WindowAttributes a;
    a.sharingType = capturable ? SharingType::readOnly : SharingType::none;
    return a;
}

Rect frameFor(const Rect& global, double mainDisplayHeight) {
    return Rect{global.minX(), mainDisplayHeight - global.maxY(), global.absWidth(), global.absHeight()};
}

}  // namespace velmora::platform::mac
