#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace velmora::platform::testing {

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
  public:
    TempDir() {
        std::string name = (std::filesystem::temp_directory_path() / "velmora-platform-XXXXXX").string();
        if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = name;
    }
    ~TempDir() { std::filesystem::remove_all(path_, ignored_); }
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
    std::error_code ignored_;
};

// Replaces the file the way a careful writer does: a new file renamed over the old one.
inline void replaceFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path.string() + ".new", std::ios::binary) << text;
    std::filesystem::rename(path.string() + ".new", path);
}

inline std::string readFile(const std::filesystem::path& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

}  // namespace velmora::platform::testing
