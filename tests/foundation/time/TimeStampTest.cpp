#include <gtest/gtest.h>

#include <sstream>

#include "foundation/time/TimeStamp.h"

namespace {

// 2026-12-07 21:43:51.250 UTC, a Monday.
constexpr std::int64_t kSample = 134411534312500000;

TEST(TimeStamp, UnixEpochIsTheFileTimeOffset) {
    TimeStamp epoch = TimeStamp::FromSystemTime(std::chrono::system_clock::time_point{});
    EXPECT_EQ(epoch.GetFileTime(), 116444736000000000);
    EXPECT_EQ(DateTime(epoch).ToString(3), "1970-01-01 00:00:00.000");
    EXPECT_EQ(DateTime(epoch).GetDayOfWeek(), 4);  // Thursday
    EXPECT_EQ(epoch.ToSystemTime(), std::chrono::system_clock::time_point{});
    EXPECT_EQ(DateTime(TimeStamp::FromFileTime(1)).ToString(13), "Mon, 1 Jan 1601 00:00:00 GMT");
}

TEST(TimeStamp, NowIsTheSystemClock) {
    auto before = TimeStamp::FromSystemTime(std::chrono::system_clock::now());
    TimeStamp now;
    auto after = TimeStamp::FromSystemTime(std::chrono::system_clock::now());
    EXPECT_TRUE(before <= now && now <= after);
    TimeStamp later(VelDuration(1, VelTimePrecision::Hour));
    EXPECT_GE((later - now).Count(VelTimePrecision::Minute), 59);
}

TEST(DateTime, FormatsEveryCode) {
    const DateTime dt(TimeStamp::FromFileTime(kSample));
    ASSERT_TRUE(dt.IsValid());
    EXPECT_EQ(dt.GetYear(), 2026);
    const std::pair<int, const char*> cases[] = {
        {0, "21:43:51"},
        {1, "2026-12-07"},
        {2, "2026-12-07 21:43:51"},
        {3, "2026-12-07 21:43:51.250"},
        {4, "2026-12"},
        {5, "Dec  7 21:43:51"},
        {6, "2026.12.07"},
        {7, "2026.12.07 21:43"},
        {8, "2026-12-07T21:43:51Z"},
        {9, "20261207"},
        {10, "214351"},
        {11, "20261207214351"},
        {13, "Mon, 7 Dec 2026 21:43:51 GMT"},
        {14, "21:43"},
        {15, ""},
        {-1, ""},
    };
    for (auto [code, text] : cases) EXPECT_EQ(dt.ToString(code), text) << "format " << code;
    EXPECT_NE(dt.ToString(12).find("21:43"), std::string::npos);
    EXPECT_EQ(TimeStamp::FromFileTime(kSample).ToString(), "2026-12-07 21:43:51");

    std::ostringstream out;
    out.fill('*');
    dt.FormatDateTime(out, 1);
    EXPECT_EQ(out.fill(), ' ');
}

TEST(TimeStamp, UnsetAndNegativeStampsHaveNoCalendarForm) {
    TimeStamp unset(0);
    EXPECT_FALSE(unset.IsSet());
    EXPECT_EQ(unset.ToString(), "");
    EXPECT_FALSE(DateTime(unset).IsValid());
    std::ostringstream out;
    out << unset;
    EXPECT_EQ(out.str(), "");

    TimeStamp negative = TimeStamp::FromFileTime(-1);
    DateTime dt(negative);
    EXPECT_FALSE(dt.IsValid());
    EXPECT_EQ(dt.GetYear(), 0);
    EXPECT_EQ(dt.ToString(2), "");
    EXPECT_TRUE(negative < unset);
    EXPECT_TRUE(negative.IsSet());
}

TEST(TimeStamp, ArithmeticInTicks) {
    TimeStamp a = TimeStamp::FromFileTime(kSample);
    TimeStamp b = a + VelDuration(90, VelTimePrecision::Second);
    EXPECT_EQ((b - a).Count(VelTimePrecision::Second), 90);
    EXPECT_EQ(TimeDifference(a, b).Count(VelTimePrecision::Second), -90);
    EXPECT_EQ(DateTime(b).ToString(2), "2026-12-07 21:45:21");
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b <= a);
}

}  // namespace
