#pragma once
// Points both settings hives at files inside a fresh temporary folder for the life of the
// object, and restores the environment afterwards; selects the production site (empty name) so
// that settings paths can be built. For tests only, on the test's main thread.

#include "tests/support/TempDir.h"

#include <optional>
#include <string>

namespace Vel::Test {

class HiveEnvironment {
public:
    HiveEnvironment();
    ~HiveEnvironment();
    HiveEnvironment(const HiveEnvironment&) = delete;
    HiveEnvironment& operator=(const HiveEnvironment&) = delete;

    const TempDir& Dir() const noexcept { return dir_; }
    std::filesystem::path UserHive() const { return dir_ / "user/settings.reg"; }
    std::filesystem::path MachineHive() const { return dir_ / "machine/settings.reg"; }

private:
    TempDir dir_{"hive"};
    std::optional<std::string> oldUser_, oldMachine_;
};

}  // namespace Vel::Test
