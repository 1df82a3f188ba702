#include "platform/sim/scene_file.hpp"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/json/stream_parser.hpp>
#include <boost/json/value.hpp>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <set>
#include <stdexcept>
#include <utility>

#include "base/log.hpp"

namespace velmora::platform::sim {

namespace {

namespace json = boost::json;

// A fault in the scene, described from the member it is in ("windows[2].bounds") onwards.
struct Fault {
    std::string where;
    std::string what;
};

[[noreturn]] void fail(const std::string& where, const std::string& what) {
    throw Fault{where, what};
}

std::string member(const std::string& parent, std::string_view key) {
    return parent.empty() ? std::string(key) : parent + "." + std::string(key);
}

// Whole numbers in range, of any of the JSON library's integer kinds. A number written with a fraction or
// an exponent is not whole, even when its value is.
template <typename Int>
std::optional<Int> wholeNumber(const json::value& value) {
    if (const auto* i = value.if_int64()) {
        if (std::cmp_less(*i, std::numeric_limits<Int>::min()) ||
            std::cmp_greater(*i, std::numeric_limits<Int>::max())) {
            return std::nullopt;
        }
        return static_cast<Int>(*i);
    }
    if (const auto* u = value.if_uint64()) {
        if (std::cmp_greater(*u, std::numeric_limits<Int>::max())) return std::nullopt;
        return static_cast<Int>(*u);
    }
    return std::nullopt;
}

template <typename Int>
Int readWhole(const json::value& value, const std::string& where, const char* description) {
    const auto number = wholeNumber<Int>(value);
    if (!number) fail(where, std::string("must be ") + description);
    return *number;
}

double readNumber(const json::value& value, const std::string& where) {
    double number = 0;
    if (const auto* d = value.if_double()) {
        number = *d;
    } else if (const auto* i = value.if_int64()) {
        number = static_cast<double>(*i);
    } else if (const auto* u = value.if_uint64()) {
        number = static_cast<double>(*u);
    } else {
        fail(where, "must be a number");
    }
    if (!std::isfinite(number)) fail(where, "is too large");
    return number;
}

bool readBool(const json::value& value, const std::string& where) {
    if (!value.is_bool()) fail(where, "must be true or false");
    return value.get_bool();
}

std::string readString(const json::value& value, const std::string& where) {
    if (!value.is_string()) fail(where, "must be a string");
    return std::string(value.get_string());
}

const json::object& readObject(const json::value& value, const std::string& where) {
    if (!value.is_object()) fail(where.empty() ? "the scene" : where, "must be a JSON object");
    return value.get_object();
}

const json::array& readArray(const json::value& value, const std::string& where, std::size_t size,
                             const char* description) {
    if (!value.is_array() || (size != 0 && value.get_array().size() != size)) {
        fail(where, std::string("must be ") + description);
    }
    return value.get_array();
}

// A misspelt key would otherwise be ignored and leave the scene quietly different from what was meant.
void rejectUnknownKeys(const json::object& object, const std::string& where,
                       std::initializer_list<std::string_view> known) {
    for (const auto& entry : object) {
        if (std::find(known.begin(), known.end(), entry.key()) == known.end()) {
            fail(where.empty() ? "the scene" : where,
                 "has an unknown key \"" + std::string(entry.key()) + "\"");
        }
    }
}

Rect readBounds(const json::value& value, const std::string& where) {
    const auto& array = readArray(value, where, 4, "an array of four numbers [x, y, width, height]");
    Rect rect{readNumber(array[0], where + "[0]"), readNumber(array[1], where + "[1]"),
              readNumber(array[2], where + "[2]"), readNumber(array[3], where + "[3]")};
    if (rect.width < 0 || rect.height < 0) fail(where, "must not have a negative width or height");
    return rect;
}

std::string resolvePath(const std::string& text, const std::filesystem::path& directory) {
    const std::filesystem::path path(text);
    if (path.is_relative() && !directory.empty()) return (directory / path).string();
    return text;
}

SimDisplay readDisplay(const json::value& value, const std::string& where, bool& isMain) {
    const auto& object = readObject(value, where);
    rejectUnknownKeys(object, where, {"id", "name", "bounds", "pixels", "main"});
    SimDisplay display;
    const auto* id = object.if_contains("id");
    if (id == nullptr) fail(where, "needs an \"id\"");
    display.id = readWhole<DisplayId>(*id, member(where, "id"), "a whole number from 0 to 4294967295");
    if (const auto* name = object.if_contains("name"); name != nullptr && !name->is_null()) {
        display.name = readString(*name, member(where, "name"));
    }
    const auto* bounds = object.if_contains("bounds");
    if (bounds == nullptr) fail(where, "needs \"bounds\"");
    display.bounds = readBounds(*bounds, member(where, "bounds"));
    if (const auto* pixels = object.if_contains("pixels")) {
        const std::string at = member(where, "pixels");
        const auto& array = readArray(*pixels, at, 2, "an array of two whole numbers [width, height]");
        display.pixelsWide = readWhole<std::uint32_t>(array[0], at + "[0]", "a whole number of pixels");
        display.pixelsHigh = readWhole<std::uint32_t>(array[1], at + "[1]", "a whole number of pixels");
    } else {
        // Without "pixels" a display has one pixel per point.
        display.pixelsWide = static_cast<std::size_t>(std::llround(display.bounds.width));
        display.pixelsHigh = static_cast<std::size_t>(std::llround(display.bounds.height));
    }
    isMain = false;
    if (const auto* main = object.if_contains("main")) isMain = readBool(*main, member(where, "main"));
    return display;
}

SimWindow readWindow(const json::value& value, const std::string& where) {
    const auto& object = readObject(value, where);
    rejectUnknownKeys(object, where, {"id", "pid", "owner", "bounds", "layer", "onScreen"});
    SimWindow window;
    const auto* id = object.if_contains("id");
    if (id == nullptr) fail(where, "needs an \"id\"");
    window.id = readWhole<WindowId>(*id, member(where, "id"), "a whole number from 0 to 4294967295");
    // null, like a missing key, leaves the entry without that key.
    if (const auto* pid = object.if_contains("pid"); pid != nullptr && !pid->is_null()) {
        window.pid = readWhole<std::int64_t>(*pid, member(where, "pid"), "a whole number");
    }
    if (const auto* owner = object.if_contains("owner"); owner != nullptr && !owner->is_null()) {
        window.owner = readString(*owner, member(where, "owner"));
    }
    if (const auto* bounds = object.if_contains("bounds"); bounds != nullptr && !bounds->is_null()) {
        window.bounds = readBounds(*bounds, member(where, "bounds"));
    }
    if (const auto* layer = object.if_contains("layer"); layer != nullptr && !layer->is_null()) {
        window.layer = readWhole<std::int64_t>(*layer, member(where, "layer"), "a whole number");
    }
    if (const auto* onScreen = object.if_contains("onScreen")) {
        window.onScreen = readBool(*onScreen, member(where, "onScreen"));
    }
    return window;
}

SimScene readScene(const json::value& value, const std::filesystem::path& directory) {
    const auto& object = readObject(value, "");
    rejectUnknownKeys(object, "",
                      {"trusted", "frontmostPid", "displays", "windows", "eventTrace", "overlayImages"});
    SimScene scene;
    if (const auto* trusted = object.if_contains("trusted")) scene.trusted = readBool(*trusted, "trusted");
    if (const auto* pid = object.if_contains("frontmostPid"); pid != nullptr && !pid->is_null()) {
        scene.frontmostPid =
            readWhole<ProcessId>(*pid, "frontmostPid", "a process id (a 32-bit whole number)");
    }
    if (const auto* displays = object.if_contains("displays")) {
        std::set<DisplayId> ids;
        const auto& array = readArray(*displays, "displays", 0, "an array");
        for (std::size_t i = 0; i < array.size(); ++i) {
            const std::string where = "displays[" + std::to_string(i) + "]";
            bool isMain = false;
            auto display = readDisplay(array[i], where, isMain);
            if (!ids.insert(display.id).second) fail(where, "repeats the id " + std::to_string(display.id));
            if (isMain) {
                if (scene.mainDisplay) fail(where, "is the second display with \"main\": true");
                scene.mainDisplay = display.id;
            }
            scene.displays.push_back(std::move(display));
        }
    }
    if (const auto* windows = object.if_contains("windows")) {
        std::set<WindowId> ids;
        const auto& array = readArray(*windows, "windows", 0, "an array");
        for (std::size_t i = 0; i < array.size(); ++i) {
            const std::string where = "windows[" + std::to_string(i) + "]";
            auto window = readWindow(array[i], where);
            if (!ids.insert(window.id).second) fail(where, "repeats the id " + std::to_string(window.id));
            scene.windows.push_back(std::move(window));
        }
    }
    for (const char* key : {"eventTrace", "overlayImages"}) {
        const auto* path = object.if_contains(key);
        if (path == nullptr || path->is_null()) continue;
        const std::string text = readString(*path, key);
        if (text.empty()) fail(key, "must not be empty");
        (std::string_view(key) == "eventTrace" ? scene.eventTrace : scene.overlayImages) =
            resolvePath(text, directory);
    }
    return scene;
}

std::string lineAndColumn(std::string_view text, std::size_t offset) {
    offset = std::min(offset, text.size());
    const auto before = text.substr(0, offset);
    const auto line = 1 + std::count(before.begin(), before.end(), '\n');
    const auto lineStart = before.rfind('\n');
    const auto column = offset - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
    return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

std::runtime_error sceneError(const std::string& name, const std::string& what) {
    return std::runtime_error("scene file " + name + ": " + what);
}

}  // namespace

SimScene parseScene(std::string_view text, const std::string& name, const std::filesystem::path& directory) {
    json::stream_parser parser;
    boost::system::error_code error;
    const std::size_t used = parser.write(text.data(), text.size(), error);
    if (!error) parser.finish(error);
    if (error) throw sceneError(name, lineAndColumn(text, used) + ": " + error.message());
    try {
        return readScene(parser.release(), directory);
    } catch (const Fault& fault) {
        throw sceneError(name, fault.where + " " + fault.what);
    }
}

SimScene defaultScene() {
    SimScene scene;
    scene.trusted = true;
    scene.frontmostPid = 501;
    scene.displays = {
        {1, "Built-in Display", Rect{0, 0, 1512, 982}, 3024, 1964},
        {2, std::nullopt, Rect{1512, -200, 2560, 1440}, 2560, 1440},
    };
    scene.mainDisplay = 1;
    scene.windows = {
        {4242, 501, "Slides", Rect{100, 120, 1200, 760}, 0, true},
        {4243, 502, "Notes", Rect{1700, 0, 1600, 1000}, 0, true},
    };
    return scene;
}

namespace {
// Changes to the content, and to the attributes: `touch` has always been a way to have the file read again.
constexpr std::uint32_t fileEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE;
// Changes to the name. Not writes: the event trace often sits beside the scene file, and each of its
// lines would be a notification to read through.
constexpr std::uint32_t directoryEvents =
    IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
}  // namespace

SceneFile::SceneFile(const std::filesystem::path& path) : path_(std::filesystem::absolute(path)) {
    const std::string name = path_.string();
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ < 0) throw sceneError(name, std::string("cannot be watched: ") + std::strerror(errno));
    try {
        // Watched before it is read, so that no change made meanwhile goes unseen.
        directoryWatch_ = ::inotify_add_watch(inotify_, path_.parent_path().c_str(), directoryEvents);
        const int watchError = errno;
        watchFile();
        initial_ = read();
        if (directoryWatch_ < 0)
            throw sceneError(name, std::string("cannot be watched: ") + std::strerror(watchError));
    } catch (...) {
        ::close(inotify_);
        throw;
    }
}

SceneFile::~SceneFile() {
    ::close(inotify_);
}

// The file's own watch follows a replacement: the new file is another inode.
void SceneFile::watchFile() {
    const int watch = ::inotify_add_watch(inotify_, path_.c_str(), fileEvents);
    if (fileWatch_ >= 0 && watch != fileWatch_) ::inotify_rm_watch(inotify_, fileWatch_);
    fileWatch_ = watch;
}

// Reads every pending notification; true when one is about the file.
bool SceneFile::changed() {
    const std::string fileName = path_.filename().string();
    bool any = false;
    alignas(inotify_event) char buffer[4096];
    while (true) {
        const ssize_t n = ::read(inotify_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return any;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            if ((event->mask & IN_IGNORED) != 0) continue;  // a watch that went with its file or directory
            const bool aboutFile = event->wd == fileWatch_ || (event->wd == directoryWatch_ &&
                                                               (event->len == 0 || event->name == fileName));
            // An overflow lost notifications, which may have been about the file.
            if (aboutFile || (event->mask & IN_Q_OVERFLOW) != 0) any = true;
        }
    }
}

SimScene SceneFile::read() const {
    const std::string name = path_.string();
    // Opened without waiting: a named pipe would otherwise wait for a writer.
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw sceneError(name, std::string("cannot be read: ") + std::strerror(errno));
    struct stat info {};
    std::string text;
    bool ok = ::fstat(fd, &info) == 0;
    if (ok && S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        ok = false;
    } else if (ok && !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw sceneError(name, "cannot be read: not a regular file");
    }
    char buffer[8192];
    while (ok) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    const int readError = errno;
    ::close(fd);
    if (!ok) throw sceneError(name, std::string("cannot be read: ") + std::strerror(readError));
    return parseScene(text, name, path_.parent_path());
}

std::optional<SimScene> SceneFile::reloadIfChanged() {
    if (!changed()) return std::nullopt;
    watchFile();
    struct stat info {};
    if (::stat(path_.c_str(), &info) != 0) {
        if (present_)
            velmora::log("sim: scene file " + path_.string() + " is gone; the previous scene stays");
        present_ = false;
        return std::nullopt;
    }
    present_ = true;
    try {
        return read();
    } catch (const std::runtime_error& error) {
        velmora::log(std::string("sim: ") + error.what() + "; the previous scene stays");
        return std::nullopt;
    }
}

}  // namespace velmora::platform::sim
