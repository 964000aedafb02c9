#include "foundation/time/TimeStamp.h"

#include <charconv>
#include <ctime>
#include <iomanip>
#include <locale>
#include <ostream>
#include <sstream>

namespace {

constexpr std::int64_t kTicksPerSecond = 10000000;
constexpr std::int64_t kTicksPerDay = 864000000000;
constexpr std::int64_t kDaysFrom1601To1970 = 134774;

const char* const kMonthNames[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
const char* const kWeekdayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Calendar date of a day count since 1970-01-01 (proleptic Gregorian).
void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    if (m <= 2) ++y;
}

void Put(std::string& out, unsigned value, int width = 0, char fill = '0') {
    char buffer[16];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    (void)ec;
    for (int n = static_cast<int>(end - buffer); n < width; ++n) out += fill;
    out.append(buffer, end);
}

// The user's short date and a time without seconds, from the environment's locale when it has
// one; the only format meant to follow the user's conventions.
std::string LocalShortDateTime(const DateTime& dt) {
    std::tm tm{};
    tm.tm_year = dt.GetYear() - 1900;
    tm.tm_mon = dt.GetMonth() - 1;
    tm.tm_mday = dt.GetDay();
    tm.tm_wday = dt.GetDayOfWeek();
    tm.tm_hour = dt.GetHour();
    tm.tm_min = dt.GetMinute();
    tm.tm_sec = dt.GetSecond();
    std::ostringstream out;
    try {
        out.imbue(std::locale(""));
    } catch (const std::exception&) {
        out.imbue(std::locale::classic());
    }
    out << std::put_time(&tm, "%x %H:%M");
    return out.str();
}

}  // namespace

TimeStamp::TimeStamp() { SetNow(); }

TimeStamp::TimeStamp(VelDuration fromNow) {
    SetNow();
    value_ += fromNow.Ticks();
}

void TimeStamp::SetNow() { *this = FromSystemTime(std::chrono::system_clock::now()); }

TimeStamp TimeStamp::FromSystemTime(std::chrono::system_clock::time_point time) noexcept {
    auto ticks = std::chrono::duration_cast<std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>>(
        time.time_since_epoch());
    return FromFileTime(ticks.count() + kUnixEpochTicks);
}

std::chrono::system_clock::time_point TimeStamp::ToSystemTime() const noexcept {
    auto ticks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>(value_ - kUnixEpochTicks);
    return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(ticks));
}

std::string TimeStamp::ToString() const {
    if (!IsSet()) return {};
    return DateTime(*this).ToString(2);
}

std::ostream& operator<<(std::ostream& stream, const TimeStamp& t) { return stream << t.ToString(); }

DateTime::DateTime(TimeStamp t) {
    const std::int64_t value = t.GetFileTime();
    if (value <= 0) return;
    const std::int64_t days = value / kTicksPerDay;
    const std::int64_t inDay = value % kTicksPerDay;
    std::int64_t year;
    unsigned month, day;
    CivilFromDays(days - kDaysFrom1601To1970, year, month, day);
    if (year > 30827) return;  // beyond what the calendar form holds
    year_ = static_cast<std::uint16_t>(year);
    month_ = static_cast<std::uint16_t>(month);
    day_ = static_cast<std::uint16_t>(day);
    dayOfWeek_ = static_cast<std::uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
    hour_ = static_cast<std::uint16_t>(inDay / (3600 * kTicksPerSecond));
    minute_ = static_cast<std::uint16_t>(inDay / (60 * kTicksPerSecond) % 60);
    second_ = static_cast<std::uint16_t>(inDay / kTicksPerSecond % 60);
    milliseconds_ = static_cast<std::uint16_t>(inDay / 10000 % 1000);
    valid_ = true;
}

void DateTime::FormatDateTime(std::ostream& stream, int format) const {
    if (!valid_) return;
    std::string s;
    auto date = [&](char sep) {
        Put(s, year_);
        s += sep;
        Put(s, month_, 2);
        s += sep;
        Put(s, day_, 2);
    };
    auto hm = [&] {
        Put(s, hour_, 2);
        s += ':';
        Put(s, minute_, 2);
    };
    auto hms = [&] {
        hm();
        s += ':';
        Put(s, second_, 2);
    };
    switch (format) {
        case 0: hms(); break;
        case 1: date('-'); break;
        case 2: date('-'); s += ' '; hms(); break;
        case 3: date('-'); s += ' '; hms(); s += '.'; Put(s, milliseconds_, 3); break;
        case 4: Put(s, year_); s += '-'; Put(s, month_, 2); break;
        case 5: s += kMonthNames[month_]; s += ' '; Put(s, day_, 2, ' '); s += ' '; hms(); break;
        case 6: date('.'); break;
        case 7: date('.'); s += ' '; hm(); break;
        case 8: date('-'); s += 'T'; hms(); s += 'Z'; break;
        case 9: Put(s, year_); Put(s, month_, 2); Put(s, day_, 2); break;
        case 10: Put(s, hour_, 2); Put(s, minute_, 2); Put(s, second_, 2); break;
        case 11:
            Put(s, year_); Put(s, month_, 2); Put(s, day_, 2);
            Put(s, hour_, 2); Put(s, minute_, 2); Put(s, second_, 2);
            break;
        case 12: s = LocalShortDateTime(*this); break;
        case 13:
            s += kWeekdayNames[dayOfWeek_]; s += ", "; Put(s, day_); s += ' ';
            s += kMonthNames[month_]; s += ' '; Put(s, year_); s += ' '; hms(); s += " GMT";
            break;
        case 14: hm(); break;
        default: break;
    }
    stream.write(s.data(), static_cast<std::streamsize>(s.size()));
    stream.fill(' ');
}

std::string DateTime::ToString(int format) const {
    std::ostringstream out;
    FormatDateTime(out, format);
    return out.str();
}
