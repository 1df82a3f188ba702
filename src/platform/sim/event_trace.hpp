#pragma once

#include <string>

#include "platform/mac_terms.hpp"

namespace velmora::platform::sim {

// One posted event as a line of the event trace (newline included): a JSON object with "type", "x", "y",
// "flags", "userData" and, by kind, "button" and "clickState" (mouse), "keyCode", "keyDown" and "text"
// when it has text (keyboard), or "unit", "wheel1" and "wheel2" (scroll). Whole coordinates are written
// without a fraction; a coordinate that is not finite is written as null.
std::string traceLine(const mac::Event& event);

// The event trace file, opened on the first line and kept open: a run posts an event per pointer move.
class TraceFile {
  public:
    TraceFile() = default;
    ~TraceFile() { close(); }
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Appends `line` to the file at `path` (created when missing) in a single write(2), unbuffered, so a
    // reader sees each line whole as soon as it is written. Another path than last time closes the file
    // and opens that one. A named pipe is written to as well, but only once it has a reader: opening it
    // never waits. False when the file cannot be opened or written; it is opened again next time.
    bool append(const std::string& path, const std::string& line);

  private:
    void close();

    std::string path_;
    int fd_ = -1;
};

}  // namespace velmora::platform::sim
