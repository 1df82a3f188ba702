#pragma once

#include <string>

#include "platform/events.hpp"

namespace velmora::platform::sim {

// One posted event as a line of the event trace (newline included): a JSON object with "type", "x", "y",
// "flags", "userData" and, by kind, "button" and "clickState" (mouse), "keyCode", "keyDown" and "text"
// when it has text (keyboard), or "unit", "wheel1" and "wheel2" (scroll). Whole coordinates are written
// without a fraction; a coordinate that is not finite is written as null.
std::string traceLine(const SyntheticEvent& event);

// Appends `line` to the file at `path` (created when missing) in a single write, so that a reader never
// sees half a line. False when the file cannot be opened or written.
bool appendTraceLine(const std::string& path, const std::string& line);

}  // namespace velmora::platform::sim
