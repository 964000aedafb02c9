#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <sstream>

#include "foundation/core/Duration.h"
#include "foundation/core/FatalError.h"
#include "tests/support/CommaDecimalLocale.h"

namespace {

constexpr std::int64_t kMs = 10000;
constexpr std::int64_t kSec = 1000 * kMs;
constexpr std::int64_t kMin = 60 * kSec;
constexpr std::int64_t kHour = 60 * kMin;
constexpr std::int64_t kDay = 24 * kHour;

struct ParseCase {
    const char* text;
    bool ok;
    std::int64_t ticks;
    const char* rest;  // what the parse leaves unread
};

TEST(VelDuration, ParsesTheThreeFormsInOrder) {
    const ParseCase cases[] = {
        {"5 SECONDS", true, 5 * kSec, ""},
        {"5 seconds", true, 5 * kSec, "econds"},  // words are case-sensitive, "s" is the longest match
        {"3ms", true, 3 * kMs, ""},
        {"3m", true, 3 * kMin, ""},
        {"3mx", true, 3 * kMin, "x"},
        {"1.5 h", true, 90 * kMin, ""},
        {"1.5", true, 1 * kMs, ".5"},             // the integer form reads the 1
        {"1:02:03", true, 1 * kMs, ":02:03"},     // a one-digit hour is not a clock
        {" 5s", false, 0, " 5s"},
        {"5  s", true, 5 * kMs, "  s"},           // two blanks break the unit form
        {"1d 01:00:00.000", true, 25 * kHour, ""},
        {"1d01:00:00", true, 25 * kHour, ""},
        {"01:02:03.005", true, 3723 * kSec + 5 * kMs, ""},
        {"01:02:03.5", true, 3723 * kSec + 5 * kMs, ""},  // the fraction counts milliseconds
        {"01:02:03.", true, 3723 * kSec, "."},
        {"00:99:00", true, 99 * kMin, ""},
        {"-2 s", true, -2 * kSec, ""},
        {"+4us", true, 40, ""},
        {"1e3ms", true, 1000 * kMs, ""},
        {".5 s", true, 5000000, ""},
        {"2 DECADES", true, 2 * 3652 * kDay, ""},
        {"1 MONTH", true, 30 * kDay, ""},
        {"1 WEEKS", true, 7 * kDay, ""},
        {"1 YEAR", true, 365 * kDay, ""},
        {"250", true, 250 * kMs, ""},
        {"-250 x", true, -250 * kMs, " x"},
        {"abc", false, 0, "abc"},
        {"-", false, 0, "-"},
        {"", false, 0, ""},
        // A sign before a clock belongs to the whole clock, its day prefix included.
        {"-00:01:30.000", true, -90 * kSec, ""},
        {"-1d 01:00:00.000", true, -25 * kHour, ""},
        {"+00:00:01", true, kSec, ""},
        {"--00:00:01", false, 0, "--00:00:01"},
        {"-+1d 01:00:00", false, 0, "-+1d 01:00:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::istringstream in(c.text);
        VelDuration d = VelDuration(7, VelTimePrecision::Second);
        in >> d;
        EXPECT_EQ(!in.fail(), c.ok);
        EXPECT_EQ(d.Ticks(), c.ticks);
        in.clear();
        std::string rest{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        EXPECT_EQ(rest, c.rest);
    }
}

TEST(VelDuration, TextFormsIgnoreTheLocaleAndParsingSkipsNoWhiteSpace) {
    Vel::Test::CommaDecimalLocale comma;
    ASSERT_EQ(Vel::Test::CommaDecimalLocale::StreamSample(), "1.234.567,5");
    for (bool skipws : {true, false}) {
        std::istringstream in("1.5 h");
        if (skipws) in >> std::skipws;
        VelDuration d;
        in >> d;
        EXPECT_EQ(d, VelDuration(90, VelTimePrecision::Minute));
        EXPECT_TRUE(in.eof());  // the whole text was used
    }
    std::istringstream comma15("1,5 h");
    VelDuration d;
    comma15 >> d;
    EXPECT_EQ(d, VelDuration(1, VelTimePrecision::Millisecond));  // only the integer form matches

    std::ostringstream out;
    out << VelDuration(1234, VelTimePrecision::Day) + VelDuration(1500, VelTimePrecision::Millisecond);
    EXPECT_EQ(out.str(), "1234d 00:00:01.500");
    EXPECT_EQ(VelDuration(-1234, VelTimePrecision::Day).ToString(4), "-1234 days");
    std::istringstream back(out.str());
    back >> d;
    EXPECT_EQ(d, VelDuration(1234, VelTimePrecision::Day) + VelDuration(1500, VelTimePrecision::Millisecond));
}

struct PrintCase {
    std::int64_t ticks;
    int style;
    const char* text;
};

TEST(VelDuration, PrintsEveryStyle) {
    const std::int64_t t = 3723 * kSec + 500 * kMs;
    const PrintCase cases[] = {
        {t, 1, "01:02:03.500"},
        {t, 3, "01:02:03"},
        {t, 4, "1 hour 2 minutes 3 seconds"},
        {t, 5, "1h 2m 3s"},
        {t, 6, "1h 2m"},
        {t, 2, ""},
        {90000 * kSec, 1, "1d 01:00:00.000"},
        {90000 * kSec, 3, "1d 01:00:00"},
        {90000 * kSec, 4, "1 day 1 hour"},
        {90000 * kSec, 0, "1d"},
        {2 * kDay + 5 * kSec, 4, "2 days 5 seconds"},
        {2 * kDay + 5 * kSec, 6, "2d 5s"},
        {kDay + kHour + kMin + kSec, 6, "1d 1h"},
        {kHour + kMin + kSec, 4, "1 hour 1 minute 1 second"},
        {2 * kMin, 5, "2m"},
        {0, 1, "00:00:00.000"},
        {0, 3, "00:00:00"},
        {0, 4, ""},
        {0, 5, ""},
        {0, 6, ""},
        // A negative duration is its sign once, then its magnitude.
        {-90 * kSec, 1, "-00:01:30.000"},
        {-90 * kSec, 3, "-00:01:30"},
        {-90 * kSec, 4, "-1 minute 30 seconds"},
        {-90 * kSec, 5, "-1m 30s"},
        {-90 * kSec, 6, "-1m 30s"},
        {-90 * kSec, 0, ""},
        {-(25 * kHour + 7 * kMs), 1, "-1d 01:00:00.007"},
        {-25 * kHour, 3, "-1d 01:00:00"},
        {-25 * kHour, 4, "-1 day 1 hour"},
        {-25 * kHour, 6, "-1d 1h"},
        {-25 * kHour, 2, "-1d"},
        {-500 * kMs, 1, "-00:00:00.500"},
        {-500 * kMs, 5, ""},
        {INT64_MIN, 1, "-10675199d 02:48:05.477"},
        {INT64_MAX, 1, "10675199d 02:48:05.477"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.ticks) + " style " + std::to_string(c.style));
        EXPECT_EQ(VelDuration::FromTicks(c.ticks).ToString(c.style), c.text);
    }
    std::ostringstream out;
    out << VelDuration::FromTicks(t);
    EXPECT_EQ(out.str(), "01:02:03.500");
}

TEST(VelDuration, StreamFormRoundTripsToTheMillisecond) {
    const std::int64_t values[] = {0, 1, 999 * kMs + 9999, 25 * kHour, 59 * kSec, 23 * kHour + 59 * kMin + 59 * kSec + 999 * kMs,
                                   400 * kDay + 3 * kHour + 7 * kMs, -1, -90 * kSec, -(25 * kHour + 999 * kMs + 9999),
                                   -(400 * kDay + 7 * kMs), INT64_MIN, INT64_MAX};
    for (std::int64_t v : values) {
        SCOPED_TRACE(v);
        std::stringstream s;
        s << VelDuration::FromTicks(v);
        VelDuration back;
        s >> back;
        EXPECT_FALSE(s.fail());
        EXPECT_EQ(back.Ticks(), v / kMs * kMs);
    }
}

TEST(VelDuration, UnitsCountAndAdd) {
    EXPECT_EQ(VelDuration(90, VelTimePrecision::Second).Count(VelTimePrecision::Minute), 1);
    EXPECT_EQ(VelDuration(-90, VelTimePrecision::Second).Count(VelTimePrecision::Minute), -1);
    EXPECT_EQ(VelDuration(1, VelTimePrecision::Decade), VelDuration(3652, VelTimePrecision::Day));
    EXPECT_EQ(VelDuration(4000000000u, VelTimePrecision::Tick).Ticks(), 4000000000);
    EXPECT_EQ(VelDuration(std::int64_t{1} << 40, VelTimePrecision::Millisecond).Count(VelTimePrecision::Millisecond),
              std::int64_t{1} << 40);
    VelDuration d;
    d.Add(1.5, VelTimePrecision::Hour);
    d.Add(-0.00005, VelTimePrecision::Millisecond);  // 0.5 tick truncates to 0
    EXPECT_EQ(d, VelDuration(90, VelTimePrecision::Minute));
    EXPECT_TRUE(VelDuration(1, VelTimePrecision::Second) > VelDuration(999, VelTimePrecision::Millisecond));
    EXPECT_TRUE(VelDuration(-1, VelTimePrecision::Tick) < VelDuration());
}

TEST(VelDurationDeathTest, UnitOutsideTheTableIsFatal) {
    EXPECT_EXIT(VelDuration::TicksPer(static_cast<VelTimePrecision>(11)), ::testing::ExitedWithCode(Vel::kFatalExitCode),
                "Application has crashed. ExceptionAddr: [0-9]+\nCrashInfo=\r\n");
}

}  // namespace
