#pragma once
// TimeStamp: a point in time as 100-ns ticks since 1 January 1601, 00:00 UTC (the file-time
// count), held in one signed 64-bit value; 0 means unset. DateTime: its UTC calendar form with
// the fifteen fixed text formats.
//
// Contract:
// - Value types without locks; any thread may use its own copies.
// - "Now" is the system (wall) clock: these are for what is shown, logged or stored. Delays,
//   time-outs and due times use the monotonic clock of foundation/time/Clock.h instead.
// - A DateTime is valid only for a set, non-negative stamp up to the year 30827; an invalid one
//   has all fields 0 and formats as the empty text.
// - Formatting writes digits and the English month and weekday names independently of the
//   stream's locale.

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "foundation/core/Duration.h"

class TimeStamp {
public:
    // Ticks between 1601-01-01 and the Unix epoch 1970-01-01.
    static constexpr std::int64_t kUnixEpochTicks = 116444736000000000;

    // Now.
    TimeStamp();
    // The unset stamp, whatever the argument (callers pass 0).
    explicit constexpr TimeStamp(int /*unset*/) noexcept : value_(0) {}
    // Now plus the duration.
    explicit TimeStamp(VelDuration fromNow);

    static constexpr TimeStamp FromFileTime(std::int64_t fileTime) noexcept {
        TimeStamp t(0);
        t.value_ = fileTime;
        return t;
    }
    static TimeStamp FromSystemTime(std::chrono::system_clock::time_point time) noexcept;
    std::chrono::system_clock::time_point ToSystemTime() const noexcept;

    constexpr std::int64_t GetFileTime() const noexcept { return value_; }
    void SetNow();
    constexpr bool IsSet() const noexcept { return value_ != 0; }

    friend constexpr bool operator<(TimeStamp a, TimeStamp b) noexcept { return a.value_ < b.value_; }
    friend constexpr bool operator<=(TimeStamp a, TimeStamp b) noexcept { return a.value_ <= b.value_; }
    friend constexpr bool operator==(TimeStamp a, TimeStamp b) noexcept { return a.value_ == b.value_; }

    // this - other, possibly negative.
    constexpr VelDuration operator-(TimeStamp other) const noexcept { return VelDuration::FromTicks(value_ - other.value_); }
    friend constexpr TimeStamp operator+(TimeStamp t, VelDuration d) noexcept { return FromFileTime(t.value_ + d.Ticks()); }

    // Format 2 of the stamp's DateTime ("2026-12-07 21:43:51", UTC); "" when unset.
    std::string ToString() const;

private:
    std::int64_t value_;
};

// a - b.
inline VelDuration TimeDifference(TimeStamp a, TimeStamp b) noexcept { return a - b; }

std::ostream& operator<<(std::ostream& stream, const TimeStamp& t);

class DateTime {
public:
    DateTime() = default;  // invalid
    explicit DateTime(TimeStamp t);

    bool IsValid() const noexcept { return valid_; }
    std::uint16_t GetYear() const noexcept { return year_; }
    std::uint16_t GetMonth() const noexcept { return month_; }
    std::uint16_t GetDayOfWeek() const noexcept { return dayOfWeek_; }  // 0 = Sunday
    std::uint16_t GetDay() const noexcept { return day_; }
    std::uint16_t GetHour() const noexcept { return hour_; }
    std::uint16_t GetMinute() const noexcept { return minute_; }
    std::uint16_t GetSecond() const noexcept { return second_; }
    std::uint16_t GetMilliseconds() const noexcept { return milliseconds_; }

    // Format codes (UTC):
    //  0 hh:mm:ss             1 yyyy-mm-dd            2 yyyy-mm-dd hh:mm:ss
    //  3 yyyy-mm-dd hh:mm:ss.mmm                      4 yyyy-mm
    //  5 "Dec  7 21:43:51"    6 yyyy.mm.dd            7 yyyy.mm.dd hh:mm
    //  8 yyyy-mm-ddThh:mm:ssZ 9 yyyymmdd              10 hhmmss
    // 11 yyyymmddhhmmss      12 local short date and time without seconds
    // 13 "Mon, 7 Dec 2026 21:43:51 GMT"              14 hh:mm
    // Any other code writes nothing; an invalid DateTime writes nothing. The stream's fill
    // character is left a blank.
    void FormatDateTime(std::ostream& stream, int format) const;
    std::string ToString(int format) const;

private:
    std::uint16_t year_ = 0, month_ = 0, dayOfWeek_ = 0, day_ = 0;
    std::uint16_t hour_ = 0, minute_ = 0, second_ = 0, milliseconds_ = 0;
    bool valid_ = false;
};
