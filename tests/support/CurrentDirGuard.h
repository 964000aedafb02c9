#pragma once
// Restores the process's current directory when it goes out of scope.

#include <filesystem>

namespace Vel::Test {

class CurrentDirGuard {
public:
    CurrentDirGuard() : saved_(std::filesystem::current_path()) {}
    ~CurrentDirGuard() {
        std::error_code ec;
        std::filesystem::current_path(saved_, ec);
    }
    CurrentDirGuard(const CurrentDirGuard&) = delete;
    CurrentDirGuard& operator=(const CurrentDirGuard&) = delete;

private:
    std::filesystem::path saved_;
};

}  // namespace Vel::Test
