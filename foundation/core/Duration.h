#pragma once
// VelDuration: the program's one time-span value, a signed 64-bit count of 100-ns ticks.
//
// Contract:
// - A value type; copying copies the count. No locks; any thread may use its own copies.
// - VelTimePrecision units only build a duration from a count and convert it back (Count
//   truncates toward zero). A unit outside the table is a fatal error.
// - Text forms: ToString(style) writes the fixed layouts below; operator<< writes style 1 and
//   operator>> reads the small grammar (clock "[sign][prefix ]hh:mm:ss[.ms]", a real number with
//   a unit word, or an integer of milliseconds). A negative duration is written as "-" and then
//   its magnitude in every style; a sign before a clock applies to the whole clock, its day
//   prefix included, so every style-1 text reads back as the value printed (to the
//   millisecond). Both are independent of the stream's and the global locale; a text matching
//   no form leaves the value 0 and sets the stream's fail state. Nothing throws.

#include <chrono>
#include <compare>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <type_traits>

enum class VelTimePrecision : int {
    Tick = 0,
    Microsecond = 1,
    Millisecond = 2,
    Second = 3,
    Minute = 4,
    Hour = 5,
    Day = 6,
    Week = 7,    // 7 days
    Month = 8,   // 30 days
    Year = 9,    // 365 days
    Decade = 10  // 3652 days
};

class VelDuration {
public:
    // Ticks in one unit; a unit outside the table is fatal.
    static std::int64_t TicksPer(VelTimePrecision unit) noexcept;

    constexpr VelDuration() noexcept = default;
    // count x the unit's ticks; signed counts stay signed, unsigned ones are taken as unsigned.
    template <typename Int, typename = std::enable_if_t<std::is_integral_v<Int> && !std::is_same_v<Int, bool>>>
    VelDuration(Int count, VelTimePrecision unit) noexcept
        : ticks_(static_cast<std::int64_t>(count) * TicksPer(unit)) {}

    static constexpr VelDuration FromTicks(std::int64_t ticks) noexcept {
        VelDuration d;
        d.ticks_ = ticks;
        return d;
    }
    template <typename Rep, typename Period>
    static constexpr VelDuration FromChrono(std::chrono::duration<Rep, Period> d) noexcept {
        return FromTicks(std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(d).count());
    }

    constexpr std::int64_t Ticks() const noexcept { return ticks_; }
    // The value as a std::chrono duration (100-ns resolution).
    constexpr std::chrono::duration<std::int64_t, std::ratio<1, 10000000>> ToChrono() const noexcept {
        return std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>(ticks_);
    }

    // Adds count x the unit's ticks, the product taken in double and truncated toward zero.
    void Add(double count, VelTimePrecision unit) noexcept;
    // The value in whole units, truncated toward zero (90 s count as 1 minute).
    std::int64_t Count(VelTimePrecision unit) const noexcept;

    // Style 1 "[Nd ]hh:mm:ss.mmm" (the stream form), 3 "[Nd ]hh:mm:ss",
    // 4 "1 day 2 hours 3 minutes 4 seconds", 5 "1d 2h 3m 4s", 6 as 5 with at most two parts;
    // any other style only the day part. A negative value puts "-" before a non-empty text
    // ("-00:01:30.000", "-1m 30s").
    std::string ToString(int style) const;

    friend constexpr auto operator<=>(const VelDuration&, const VelDuration&) noexcept = default;
    friend constexpr VelDuration operator+(VelDuration a, VelDuration b) noexcept { return FromTicks(a.ticks_ + b.ticks_); }
    friend constexpr VelDuration operator-(VelDuration a, VelDuration b) noexcept { return FromTicks(a.ticks_ - b.ticks_); }
    friend constexpr VelDuration operator-(VelDuration a) noexcept { return FromTicks(-a.ticks_); }

private:
    std::int64_t ticks_ = 0;
};

std::ostream& operator<<(std::ostream& stream, const VelDuration& d);
std::istream& operator>>(std::istream& stream, VelDuration& d);

