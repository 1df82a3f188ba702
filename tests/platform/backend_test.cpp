#include "platform/backend.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform_test_support.hpp"

namespace velmora::platform {
namespace {

TEST(CreatePlatform, a_named_backend_is_that_one_or_a_readable_error) {
    MainLoop loop(MainLoop::Time::manual);
    EXPECT_NE(createPlatform(loop, BackendOptions{"sim", std::nullopt}), nullptr);
    try {
        createPlatform(loop, BackendOptions{"quartz", std::nullopt});
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("\u201cquartz\u201d"), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find("sim"), std::string::npos) << error.what();
    }
}

TEST(CreatePlatform, an_unreadable_scene_file_is_a_readable_error) {
    platform::testing::TempDir dir;
    MainLoop loop(MainLoop::Time::manual);
    const auto file = (dir / "absent.json").string();
    try {
        createPlatform(loop, BackendOptions{std::nullopt, file});
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(file), std::string::npos) << error.what();
    }
}

TEST(CreatePlatform, runs_the_scene_file_or_else_the_default_scene) {
    platform::testing::TempDir dir;
    const auto file = dir / "scene.json";
    platform::testing::replaceFile(file, R"({"trusted": false, "frontmostPid": 77})");
    MainLoop loop(MainLoop::Time::manual);
    {
        const auto fromFile = createPlatform(loop, BackendOptions{std::nullopt, file.string()});
        EXPECT_FALSE(fromFile->isProcessTrusted(false));
        EXPECT_EQ(fromFile->frontmostApplication(), 77);
        EXPECT_TRUE(fromFile->activeDisplays(16).empty());
    }
    const auto byDefault = createPlatform(loop, BackendOptions{"sim", std::nullopt});
    EXPECT_TRUE(byDefault->isProcessTrusted(false));
    EXPECT_EQ(byDefault->frontmostApplication(), 501);
    EXPECT_EQ(byDefault->activeDisplays(16), (std::vector<DisplayId>{1, 2}));
    EXPECT_EQ(byDefault->windowEntry(4242)->ownerName, "Slides");
}

// Whether the line is an #include of a header in one of the backends' folders.
bool includesBackend(std::string line) {
    std::erase_if(line, [](char c) { return c == ' ' || c == '\t'; });
    if (!line.starts_with("#include")) return false;
    const auto path = line.substr(std::string_view("#include").size());
    return path.starts_with("\"platform/sim/") || path.starts_with("<platform/sim/") ||
           path.starts_with("\"platform/x11/") || path.starts_with("<platform/x11/");
}

// The backends stay behind the factory, so a later one replaces the sim without touching any caller.
TEST(CreatePlatform, nothing_outside_the_platform_folder_includes_a_backend_header) {
    const std::filesystem::path source = std::filesystem::path(VELMORA_SOURCE_DIR) / "src";
    std::vector<std::string> offenders;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(source)) {
        if (!entry.is_regular_file()) continue;
        const auto relative = std::filesystem::relative(entry.path(), source);
        if (*relative.begin() == "platform") continue;
        std::ifstream in(entry.path());
        std::string line;
        while (std::getline(in, line)) {
            if (includesBackend(line)) offenders.push_back(relative.string() + ": " + line);
        }
    }
    EXPECT_TRUE(offenders.empty()) << ::testing::PrintToString(offenders);
}

}  // namespace
}  // namespace velmora::platform
