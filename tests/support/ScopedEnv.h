#pragma once
// Sets (or unsets) environment variables for the life of the object and restores their
// previous values afterwards. For tests only, on the test's main thread before other threads
// read the environment.

#include <stdlib.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Vel::Test {

class ScopedEnv {
public:
    ScopedEnv() = default;
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;
    ~ScopedEnv() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second)
                ::setenv(it->first.c_str(), it->second->c_str(), 1);
            else
                ::unsetenv(it->first.c_str());
        }
    }

    // A null value unsets the variable.
    void Set(const std::string& name, const char* value) {
        const char* old = ::getenv(name.c_str());
        saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
        if (value)
            ::setenv(name.c_str(), value, 1);
        else
            ::unsetenv(name.c_str());
    }

private:
    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace Vel::Test
