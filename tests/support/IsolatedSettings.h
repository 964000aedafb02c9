#pragma once
// Included by a test source: for the whole run of that test executable, both settings hives
// point into a temporary folder and the production site is selected, so that code reading
// settings (the thread's stored language, for one) never touches the real user's files.

#include "tests/support/HiveEnvironment.h"

#include <gtest/gtest.h>

#include <optional>

namespace Vel::Test {

class IsolatedSettingsEnvironment final : public ::testing::Environment {
public:
    void SetUp() override { hives_.emplace(); }
    void TearDown() override { hives_.reset(); }

private:
    std::optional<HiveEnvironment> hives_;
};

inline const bool kIsolatedSettingsRegistered =
    (::testing::AddGlobalTestEnvironment(new IsolatedSettingsEnvironment), true);

}  // namespace Vel::Test
