#include "tests/support/HiveEnvironment.h"

#include "foundation/config/SiteName.h"

#include <stdlib.h>

namespace Vel::Test {
namespace {

std::optional<std::string> Get(const char* name) {
    const char* v = ::getenv(name);
    return v ? std::optional<std::string>(v) : std::nullopt;
}

void Restore(const char* name, const std::optional<std::string>& value) {
    if (value)
        ::setenv(name, value->c_str(), 1);
    else
        ::unsetenv(name);
}

}  // namespace

HiveEnvironment::HiveEnvironment()
    : oldUser_(Get("TRAILSTARTER_USER_HIVE")), oldMachine_(Get("TRAILSTARTER_MACHINE_HIVE")) {
    ::setenv("TRAILSTARTER_USER_HIVE", UserHive().c_str(), 1);
    ::setenv("TRAILSTARTER_MACHINE_HIVE", MachineHive().c_str(), 1);
    SetSiteNameForTesting("");
}

HiveEnvironment::~HiveEnvironment() {
    Restore("TRAILSTARTER_USER_HIVE", oldUser_);
    Restore("TRAILSTARTER_MACHINE_HIVE", oldMachine_);
}

}  // namespace Vel::Test
