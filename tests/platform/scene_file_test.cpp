#include "platform/sim/scene_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>

#include "platform/sim/headless.hpp"
#include "platform_test_support.hpp"
#include "support/stderr_capture.hpp"

namespace velmora::platform::sim {
namespace {

using platform::testing::replaceFile;
using platform::testing::TempDir;

const char* const exampleText = R"({
  "trusted": true,
  "frontmostPid": 501,
  "displays": [
    {"id": 1, "name": "Built-in Display", "bounds": [0, 0, 1512, 982], "pixels": [3024, 1964], "main": true},
    {"id": 2, "bounds": [1512, -200, 2560, 1440], "pixels": [2560, 1440]}
  ],
  "windows": [
    {"id": 4242, "pid": 501, "owner": "Slides", "bounds": [100, 120, 1200, 760], "layer": 0, "onScreen": true}
  ],
  "eventTrace": "/tmp/events.jsonl"
})";

std::string failureOf(const std::string& text) {
    try {
        parseScene(text, "s.json", "");
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(parsed)";
}

TEST(SceneFile, parses_the_example_scene) {
    const auto scene = parseScene(exampleText, "example.json", "");
    EXPECT_TRUE(scene.trusted);
    EXPECT_EQ(scene.frontmostPid, 501);
    ASSERT_EQ(scene.displays.size(), 2u);
    EXPECT_EQ(scene.displays[0].name, "Built-in Display");
    EXPECT_EQ(scene.displays[0].bounds, (Rect{0, 0, 1512, 982}));
    EXPECT_EQ(scene.displays[0].pixelsWide, 3024u);
    EXPECT_EQ(scene.displays[0].pixelsHigh, 1964u);
    EXPECT_FALSE(scene.displays[1].name.has_value());
    EXPECT_EQ(scene.displays[1].bounds, (Rect{1512, -200, 2560, 1440}));
    EXPECT_EQ(scene.mainDisplay, 1u);
    ASSERT_EQ(scene.windows.size(), 1u);
    const auto& window = scene.windows[0];
    EXPECT_EQ(window.id, 4242u);
    EXPECT_EQ(window.pid, 501);
    EXPECT_EQ(window.owner, "Slides");
    EXPECT_EQ(window.bounds, (Rect{100, 120, 1200, 760}));
    EXPECT_EQ(window.layer, 0);
    EXPECT_TRUE(window.onScreen);
    EXPECT_EQ(scene.eventTrace, "/tmp/events.jsonl");
    EXPECT_FALSE(scene.overlayImages.has_value());
}

TEST(SceneFile, missing_keys_take_their_defaults) {
    const auto scene =
        parseScene(R"({"frontmostPid": null, "displays": [{"id": 5, "bounds": [0, 0, 800, 600]}],
        "windows": [{"id": 1}, {"id": 2, "onScreen": false, "owner": null}]})",
                   "s.json", "");
    EXPECT_FALSE(scene.trusted);
    EXPECT_FALSE(scene.frontmostPid.has_value());
    EXPECT_FALSE(scene.mainDisplay.has_value());
    EXPECT_EQ(scene.displays[0].pixelsWide, 800u) << "one pixel per point without \"pixels\"";
    EXPECT_EQ(scene.displays[0].pixelsHigh, 600u);
    const auto& bare = scene.windows[0];
    EXPECT_FALSE(bare.pid || bare.owner || bare.bounds || bare.layer);
    EXPECT_TRUE(bare.onScreen);
    EXPECT_FALSE(scene.windows[1].onScreen);
    EXPECT_FALSE(scene.windows[1].owner.has_value());
}

TEST(SceneFile, relative_paths_are_taken_from_the_scene_files_directory) {
    const auto scene =
        parseScene(R"({"eventTrace": "trace.jsonl", "overlayImages": "/abs/images"})", "s.json", "/scenes/a");
    EXPECT_EQ(scene.eventTrace, "/scenes/a/trace.jsonl");
    EXPECT_EQ(scene.overlayImages, "/abs/images");
}

TEST(SceneFile, a_malformed_scene_is_refused_with_the_file_and_the_fault) {
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"{\"trusted\": true,\n  \"windows\": [}", "scene file s.json: line 2, column 15: syntax error"},
        {"{\"trusted\": true", "scene file s.json: line 1, column 17: incomplete JSON"},
        {"[]", "scene file s.json: the scene must be a JSON object"},
        {R"({"trusted": 1})", "scene file s.json: trusted must be true or false"},
        {R"({"frontmostPid": "501"})", "scene file s.json: frontmostPid must be a process id"},
        {R"({"frontmostPid": 4294967296})", "scene file s.json: frontmostPid must be a process id"},
        {R"({"windows": {}})", "scene file s.json: windows must be an array"},
        {R"({"windows": [{"id": -1}]})", "scene file s.json: windows[0].id must be a whole number from 0 to"},
        {R"({"windows": [{"id": 1.5}]})", "scene file s.json: windows[0].id must be a whole number"},
        {R"({"windows": [{"pid": 1}]})", "scene file s.json: windows[0] needs an \"id\""},
        {R"({"windows": [{"id": 1}, {"id": 1}]})", "scene file s.json: windows[1] repeats the id 1"},
        {R"({"windows": [{"id": 1, "onscreen": false}]})",
         "scene file s.json: windows[0] has an unknown key \"onscreen\""},
        {R"({"windows": [{"id": 1, "bounds": [0, 0, 10]}]})",
         "scene file s.json: windows[0].bounds must be an array of four numbers"},
        {R"({"windows": [{"id": 1, "bounds": [0, 0, -10, 10]}]})",
         "scene file s.json: windows[0].bounds must not have a negative"},
        {R"({"windows": [{"id": 1, "bounds": [0, 0, 1e999, 10]}]})",
         "scene file s.json: windows[0].bounds[2] is too large"},
        {R"({"displays": [{"id": 1}]})", "scene file s.json: displays[0] needs \"bounds\""},
        {R"({"displays": [{"id": 1, "bounds": [0, 0, 1, 1], "pixels": [1.5, 1]}]})",
         "scene file s.json: displays[0].pixels[0] must be a whole number"},
        {R"({"displays": [{"id": 1, "bounds": [0, 0, 1, 1], "main": true}, {"id": 2, "bounds": [0, 0, 1, 1], "main": true}]})",
         "scene file s.json: displays[1] is the second display with \"main\": true"},
        {R"({"eventTrace": 3})", "scene file s.json: eventTrace must be a string"},
        {R"({"overlayImages": ""})", "scene file s.json: overlayImages must not be empty"},
        {R"({"frontmost": 501})", "scene file s.json: the scene has an unknown key \"frontmost\""},
    };
    for (const auto& c : cases) {
        const auto message = failureOf(c.text);
        EXPECT_EQ(message.rfind(c.message, 0), 0u) << c.text << "\n gave: " << message;
    }
}

TEST(SceneFile, an_unreadable_file_is_refused_with_its_name) {
    TempDir dir;
    // A named pipe would hold up every query until something writes to it.
    ASSERT_EQ(::mkfifo((dir / "pipe.json").c_str(), 0600), 0);
    struct Case {
        std::filesystem::path path;
        std::string fault;
    };
    for (const auto& c : {Case{dir / "missing.json", "cannot be read: No such file or directory"},
                          Case{dir.path(), "cannot be read: Is a directory"},
                          Case{dir / "pipe.json", "cannot be read: not a regular file"}}) {
        try {
            SceneFile file(c.path);
            ADD_FAILURE() << c.path << " was read";
        } catch (const std::runtime_error& error) {
            EXPECT_EQ(std::string(error.what()), "scene file " + c.path.string() + ": " + c.fault);
        }
    }
}

// Live reload, through the headless desktop that a headless run uses.
struct LiveScene {
    LiveScene() {
        replaceFile(file, exampleText);
        if (::pipe(input) != 0) throw std::runtime_error("pipe");
        desktop = std::make_unique<HeadlessDesktop>(loop, file.string(), input[0], ::fileno(output));
    }
    ~LiveScene() {
        desktop.reset();
        ::close(input[0]);
        ::close(input[1]);
        std::fclose(output);
    }
    TempDir dir;
    std::filesystem::path file = dir / "scene.json";
    MainLoop loop{MainLoop::Time::manual};
    int input[2] = {-1, -1};
    std::FILE* output = std::tmpfile();
    std::unique_ptr<HeadlessDesktop> desktop;
};

TEST(SceneFile, the_next_query_sees_a_replaced_file) {
    LiveScene live;
    EXPECT_EQ(live.desktop->frontmostApplication(), 501);
    replaceFile(live.file, R"({"trusted": false, "frontmostPid": 602, "windows": [{"id": 4242, "pid": 501,
        "owner": "Slides", "bounds": [300, 120, 1200, 760]}]})");
    EXPECT_EQ(live.desktop->frontmostApplication(), 602);
    EXPECT_FALSE(live.desktop->isProcessTrusted(false));
    EXPECT_EQ(live.desktop->windowEntry(4242)->bounds, (Rect{300, 120, 1200, 760}));
    EXPECT_TRUE(live.desktop->activeDisplays(16).empty());
}

// Coarse file-system clocks give two quick writes the same time: the content is what counts.
TEST(SceneFile, the_next_query_sees_a_file_written_in_place_with_the_same_size_and_time) {
    LiveScene live;
    struct stat before {};
    ASSERT_EQ(::stat(live.file.c_str(), &before), 0);
    std::string text = exampleText;
    text.replace(text.find("\"frontmostPid\": 501"), 19, "\"frontmostPid\": 777");
    std::ofstream(live.file, std::ios::binary | std::ios::trunc) << text;
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, live.file.c_str(), times, 0), 0);
    EXPECT_EQ(live.desktop->frontmostApplication(), 777);
}

TEST(SceneFile, in_memory_changes_last_until_the_file_changes) {
    LiveScene live;
    EXPECT_TRUE(live.desktop->activateApplication(501));
    replaceFile(live.file, R"({"trusted": true, "frontmostPid": 501, "windows": [{"id": 1, "pid": 501},
        {"id": 2, "pid": 602}]})");
    live.desktop->raiseWindow(602, 2);
    EXPECT_TRUE(live.desktop->activateApplication(602));
    EXPECT_EQ(live.desktop->onScreenWindows()->front().number, 2u);
    EXPECT_EQ(live.desktop->frontmostApplication(), 602);

    replaceFile(live.file, R"({"trusted": true, "frontmostPid": 501, "windows": [{"id": 1, "pid": 501},
        {"id": 2, "pid": 602}, {"id": 3}]})");
    EXPECT_EQ(live.desktop->onScreenWindows()->front().number, 1u);
    EXPECT_EQ(live.desktop->frontmostApplication(), 501);
}

TEST(SceneFile, a_broken_or_missing_file_keeps_the_previous_scene_and_logs_once) {
    LiveScene live;
    velmora::testing::StderrCapture log;
    replaceFile(live.file, R"({"frontmostPid": 602,)");
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(live.desktop->frontmostApplication(), 501);
    const auto afterBroken = log.text();
    EXPECT_EQ(std::count(afterBroken.begin(), afterBroken.end(), '\n'), 1) << afterBroken;
    EXPECT_NE(afterBroken.find("sim: scene file " + live.file.string() +
                               ": line 1, column 22: incomplete JSON; "
                               "the previous scene stays"),
              std::string::npos)
        << afterBroken;

    std::filesystem::remove(live.file);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(live.desktop->frontmostApplication(), 501);
    const auto afterRemoved = log.text();
    EXPECT_EQ(std::count(afterRemoved.begin(), afterRemoved.end(), '\n'), 2) << afterRemoved;

    ASSERT_EQ(::mkfifo(live.file.c_str(), 0600), 0);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(live.desktop->frontmostApplication(), 501);
    const auto afterPipe = log.text();
    EXPECT_EQ(std::count(afterPipe.begin(), afterPipe.end(), '\n'), 3) << afterPipe;
    EXPECT_NE(
        afterPipe.find(live.file.string() + ": cannot be read: not a regular file; the previous scene stays"),
        std::string::npos)
        << afterPipe;

    replaceFile(live.file, R"({"frontmostPid": 602})");
    EXPECT_EQ(live.desktop->frontmostApplication(), 602);
}

}  // namespace
}  // namespace velmora::platform::sim
