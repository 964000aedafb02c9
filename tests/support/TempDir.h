#pragma once
// A fresh folder under the system's temporary folder, removed with everything in it when the
// object goes. For tests only; one per test, never shared between threads while it is removed.

#include <filesystem>
#include <string>

namespace Vel::Test {

class TempDir {
public:
    explicit TempDir(const std::string& tag = "ts");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const noexcept { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

    // Writes a file below the folder, creating its parent folders.
    std::filesystem::path Write(const std::string& relative, const std::string& content) const;

private:
    std::filesystem::path path_;
};

std::string ReadFile(const std::filesystem::path& path);

}  // namespace Vel::Test
