#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace velmora::platform::testing {

// A fresh directory, removed with everything in it at the end of the test.
struct TempDir {
    ~TempDir() { std::filesystem::remove_all(path_, ignored_); }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    std::string name_ = (std::filesystem::temp_directory_path() / "velmora-platform-XXXXXX").string();
    std::filesystem::path path_ =
        ::mkdtemp(name_.data()) ? name_ : throw std::runtime_error("mkdtemp failed");
    std::error_code ignored_;
};

}  // namespace velmora::platform::testing
