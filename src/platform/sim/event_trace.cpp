#include "platform/sim/event_trace.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>

namespace velmora::platform::sim {

namespace {

// Builds one flat JSON object. Doubles go through to_chars, which gives the shortest text that reads
// back to the same value ("100", "100.5") where the JSON library would write "1E2".
class ObjectWriter {
  public:
    ObjectWriter() { text_ += '{'; }

    void number(const char* key, double value) {
        if (!std::isfinite(value)) return raw(key, "null");
        char buffer[32];
        const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
        raw(key, std::string(buffer, end));
    }
    void integer(const char* key, std::int64_t value) { raw(key, std::to_string(value)); }
    void unsignedInteger(const char* key, std::uint64_t value) { raw(key, std::to_string(value)); }
    void boolean(const char* key, bool value) { raw(key, value ? "true" : "false"); }
    void string(const char* key, const std::string& value) {
        raw(key, boost::json::serialize(boost::json::string(value)));
    }
    std::string finish() { return text_ + "}\n"; }

  private:
    void raw(const char* key, const std::string& value) {
        if (text_.size() > 1) text_ += ',';
        text_ += '"';
        text_ += key;
        text_ += "\":";
        text_ += value;
    }
    std::string text_;
};

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The trace is UTF-8 JSON; a lone surrogate has no UTF-8 form and becomes U+FFFD.
std::string utf8(const std::u16string& units) {
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        const char32_t unit = units[i];
        const bool high = unit >= 0xD800 && unit < 0xDC00;
        const bool low = unit >= 0xDC00 && unit < 0xE000;
        if (high && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] < 0xE000) {
            appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
            ++i;
        } else {
            appendUtf8(out, high || low ? U'\uFFFD' : unit);
        }
    }
    return out;
}

}  // namespace

std::string traceLine(const mac::Event& event) {
    ObjectWriter line;
    line.unsignedInteger("type", static_cast<std::uint32_t>(event.type));
    line.number("x", event.location.x);
    line.number("y", event.location.y);
    line.unsignedInteger("flags", event.flags);
    line.integer("userData", event.userData);
    if (const auto* mouse = event.mouse()) {
        line.unsignedInteger("button", static_cast<std::uint32_t>(mouse->button));
        line.integer("clickState", mouse->clickState);
    } else if (const auto* key = event.keyboard()) {
        line.unsignedInteger("keyCode", key->keyCode);
        line.boolean("keyDown", key->keyDown);
        if (!key->text.empty()) line.string("text", utf8(key->text));
    } else if (const auto* scroll = event.scroll()) {
        line.unsignedInteger("unit", static_cast<std::uint32_t>(scroll->unit));
        line.integer("wheel1", scroll->wheel1);
        line.integer("wheel2", scroll->wheel2);
    }
    return line.finish();
}

bool TraceFile::append(const std::string& path, const std::string& line) {
    if (fd_ >= 0 && path != path_) close();
    if (fd_ < 0) {
        // Non-blocking only to open: a pipe without a reader fails at once instead of holding up the
        // program. Writes then block, so that no line is lost to a slow reader.
        fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
        if (fd_ < 0) return false;
        path_ = path;
        const int flags = ::fcntl(fd_, F_GETFL);
        if (flags < 0 || ::fcntl(fd_, F_SETFL, flags & ~O_NONBLOCK) < 0) {
            close();
            return false;
        }
    }
    // With O_APPEND one write() lands whole at the end of the file; a short write is only finished here
    // for the odd file system that splits it.
    const char* data = line.data();
    std::size_t left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(fd_, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            close();
            return false;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    return true;
}

void TraceFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    path_.clear();
}

}  // namespace velmora::platform::sim
