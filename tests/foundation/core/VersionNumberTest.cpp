#include <gtest/gtest.h>

#include "foundation/core/VersionNumber.h"

TEST(VersionNumber, ParsingIsStrict) {
    struct Case {
        const char* text;
        const char* expected;
    } cases[] = {
        {"1.2.3.4", "1.2.3.4"},          {"1.2.3", "0.0.0.0"},     {"1.2.3.4.5", "0.0.0.0"},
        {"1.2.3.x", "0.0.0.0"},          {" 1.2.3.4", "0.0.0.0"},  {"", "0.0.0.0"},
        {"4294967295.0.0.0", "4294967295.0.0.0"}, {"4294967296.0.0.0", "0.0.0.0"},
        {"1..2.3", "0.0.0.0"},           {"+1.2.3.4", "0.0.0.0"},  {"1.2.3.4\r", "0.0.0.0"},
    };
    for (const auto& c : cases) EXPECT_EQ(VersionNumber(c.text).ToString(), c.expected) << c.text;
}

TEST(VersionNumber, ComparesNumerically) {
    EXPECT_TRUE(VersionNumber("1.9.0.0") < VersionNumber("1.10.0.0"));
    EXPECT_TRUE(VersionNumber("1.10.0.0") >= VersionNumber("1.9.0.0"));
    EXPECT_TRUE(VersionNumber("1.2.3.4") != VersionNumber("1.2.3.5"));
    EXPECT_TRUE(VersionNumber().IsNull());
}

TEST(VersionNumber, PackingLosesHighBitsSoNullTestsUseIsNull) {
    EXPECT_EQ(VersionNumber(1, 2, 3, 4).ToUInt64(), (std::uint64_t{0x010203} << 32) | 4);
    const VersionNumber wide(0x01000000, 0, 0, 0);
    EXPECT_EQ(wide.ToUInt64(), 0u);
    EXPECT_FALSE(wide.IsNull());
}
