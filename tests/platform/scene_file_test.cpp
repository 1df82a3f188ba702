#include "platform/sim/scene_file.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <string>

#include "platform/backend.hpp"
#include "platform_test_support.hpp"
#include "support/stderr_capture.hpp"

namespace velmora::platform::sim {
namespace {

using platform::testing::replaceFile;

// What the sim, made from a scene file (or a scene's text, read as "s.json"), is refused with.
std::string refusal(const std::string& file, const char* text = nullptr) {
    MainLoop loop(MainLoop::Time::manual);
    try {
        text ? parseScene(text, "s.json", "")
             : (createPlatform(loop, BackendOptions{std::nullopt, file}), SimScene{});
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "(no error)";
}

const char* const exampleText = R"({"trusted": true, "frontmostPid": 501,
  "displays": [{"id": 1, "name": "Built-in", "bounds": [0, 0, 1512, 982], "pixels": [3024, 1964]},
               {"id": 2, "bounds": [1512, -200, 2560, 1440], "main": true}],
  "windows": [{"id": 4242, "pid": 501, "owner": "Slides", "bounds": [1, 2, 3, 4], "layer": 0, "onScreen": true},
              {"id": 17, "pid": null}, {"id": 99, "onScreen": false}],
  "eventTrace": "trace.jsonl", "overlayImages": "/abs/images"})";

TEST(SceneFile, parses_a_scene_and_leaves_out_what_it_does_not_say) {
    const auto scene = parseScene(exampleText, "example.json", "/scenes/a");
    ASSERT_TRUE(scene.displays.size() == 2 && scene.windows.size() == 3);
    EXPECT_TRUE(scene.trusted && scene.frontmostPid == 501 && scene.mainDisplay == 2u);
    const auto& [one, two] = std::tie(scene.displays[0], scene.displays[1]);
    EXPECT_TRUE(one.name == "Built-in" && one.pixelsWide == 3024 && one.pixelsHigh == 1964);
    EXPECT_TRUE(!two.name && two.bounds == (Rect{1512, -200, 2560, 1440}) && two.pixelsWide == 2560 &&
                two.pixelsHigh == 1440);
    const auto& [id, pid, owner, bounds, layer, onScreen] = scene.windows[0];
    EXPECT_TRUE(id == 4242 && pid == 501 && owner == "Slides" && bounds == (Rect{1, 2, 3, 4}) && layer == 0 &&
                onScreen);
    const auto& bare = scene.windows[1];
    EXPECT_FALSE(bare.pid || bare.owner || bare.bounds || bare.layer || !bare.onScreen ||
                 scene.windows[2].onScreen);
    EXPECT_EQ(scene.eventTrace, "/scenes/a/trace.jsonl") << "relative to the scene file's directory";
    EXPECT_EQ(scene.overlayImages, "/abs/images");
}

TEST(SceneFile, a_malformed_scene_is_refused_with_the_file_and_the_fault) {
    const std::pair<const char*, std::string> cases[] = {
        {"{\"trusted\": true,\n  \"windows\": [}", "line 2, column 15: syntax error"},
        {"{\"trusted\": true", "line 1, column 17: incomplete JSON"},
        {"[]", "the scene must be a JSON object"},
        {R"({"trusted": 1})", "trusted must be true or false"},
        {R"({"frontmostPid": 4294967296})", "frontmostPid must be a process id (a 32-bit whole number)"},
        {R"({"windows": [{"id": -1}]})", "windows[0].id must be a whole number from 0 to 4294967295"},
        {R"({"windows": [{"id": 1}, {"id": 1}]})", "windows[1] repeats the id 1"},
        {R"({"windows": [{"id": 1, "onscreen": false}]})", "windows[0] has an unknown key \"onscreen\""},
        {R"({"windows": [{"id": 1, "bounds": [0, 0, 10]}]})",
         "windows[0].bounds must be an array of four numbers [x, y, width, height]"},
        {R"({"windows": [{"id": 1, "bounds": [0, 0, -1, 1]}]})",
         "windows[0].bounds must not have a negative width or height"},
        {R"({"windows": [{"id": 1, "bounds": [0, 0, 1e999, 1]}]})", "windows[0].bounds[2] is too large"},
        {R"({"displays": [{"id": 1}]})", "displays[0] needs \"bounds\""},
        {R"({"displays": [{"id": 1, "bounds": [0, 0, 1, 1], "main": true}, {"id": 2, "bounds": [0, 0, 1, 1], "main": true}]})",
         "displays[1] is the second display with \"main\": true"},
        {R"({"eventTrace": 3})", "eventTrace must be a string"},
        {R"({"overlayImages": ""})", "overlayImages must not be empty"},
        {R"({"frontmost": 501})", "the scene has an unknown key \"frontmost\""},
    };
    for (const auto& [text, fault] : cases)
        EXPECT_EQ(refusal("", text), "scene file s.json: " + fault) << text;
}

// A named pipe would hold up every query until something writes to it.
TEST(SceneFile, the_sim_runs_a_readable_scene_file_or_refuses_it_with_its_name) {
    platform::testing::TempDir dir;
    ASSERT_EQ(::mkfifo((dir / "pipe.json").c_str(), 0600), 0);
    for (const auto& [path, fault] :
         {std::pair{dir / "missing.json", "No such file or directory"},
          std::pair{dir.path(), "Is a directory"}, std::pair{dir / "pipe.json", "not a regular file"}})
        EXPECT_EQ(refusal(path), "scene file " + path.string() + ": cannot be read: " + fault);
    MainLoop loop(MainLoop::Time::manual);
    try {
        createPlatform(loop, BackendOptions{"quartz", std::nullopt});
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_TRUE(std::string(error.what())
                        .starts_with("no backend is called \u201cquartz\u201d (this build has "));
    }
    EXPECT_EQ(createPlatform(loop, BackendOptions{"sim", std::nullopt})->windowEntry(4243)->ownerName,
              "Notes");
}

// A test changes the scene while the program runs; a broken, missing or unreadable file keeps the scene
// there was, and says so once.
TEST(SceneFile, the_next_query_sees_a_changed_file_or_else_keeps_the_previous_scene) {
    platform::testing::TempDir dir;
    const auto file = dir / "scene.json";
    replaceFile(file, exampleText);
    MainLoop loop(MainLoop::Time::manual);
    velmora::testing::StderrCapture log;  // a scene file means the sim: no other desktop is tried
    const auto desktop = createPlatform(loop, BackendOptions{std::nullopt, file.string()});
    EXPECT_TRUE(desktop->activateApplication(602) == false && desktop->frontmostApplication() == 501);
    replaceFile(file, R"({"trusted": true, "windows": [{"id": 1, "pid": 501}, {"id": 2, "pid": 602}]})");
    desktop->raiseWindow(602, 2);
    EXPECT_TRUE(desktop->activateApplication(602) && desktop->onScreenWindows()->front().number == 2);
    // In-memory changes last until the file changes. Coarse file-system clocks give two quick writes the
    // same time: the content is what counts.
    struct stat before {};
    ASSERT_EQ(::stat(file.c_str(), &before), 0);
    std::ofstream(file, std::ios::binary | std::ios::trunc)
        << R"({"frontmostPid": 501, "windows": [{"id": 1}, {"id": 2}]})";
    const timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
    EXPECT_TRUE(desktop->frontmostApplication() == 501 && desktop->onScreenWindows()->front().number == 1);

    const std::pair<std::function<void()>, std::string> steps[] = {
        {[&] { replaceFile(file, R"({"frontmostPid": 602,)"); }, ": line 1, column 22: incomplete JSON"},
        {[&] { std::filesystem::remove(file); }, " is gone"},
        {[&] { ::mkfifo(file.c_str(), 0600); }, ": cannot be read: not a regular file"},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        steps[i].first();
        for (int query = 0; query < 3; ++query)
            EXPECT_EQ(desktop->frontmostApplication(), 501);
        const auto text = log.text();
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), i + 1) << text;
        EXPECT_NE(
            text.find("sim: scene file " + file.string() + steps[i].second + "; the previous scene stays"),
            std::string::npos);
    }
    std::filesystem::remove(file);
    replaceFile(file, R"({"frontmostPid": 602})");
    EXPECT_EQ(desktop->frontmostApplication(), 602);
}

}  // namespace
}  // namespace velmora::platform::sim
