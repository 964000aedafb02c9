#include "foundation/core/Duration.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <istream>
#include <limits>
#include <optional>
#include <ostream>
#include <string_view>
#include <vector>

#include "foundation/core/FatalError.h"

namespace {

constexpr std::int64_t kTicks[] = {
    1,
    10,
    10000,
    10000000,
    600000000,
    36000000000,
    864000000000,
    6048000000000,
    25920000000000,
    315360000000000,
    3155328000000000,
};

constexpr std::int64_t kMs = 10000;
constexpr std::int64_t kSecond = 10000000;
constexpr std::int64_t kMinute = 600000000;
constexpr std::int64_t kHour = 36000000000;
constexpr std::int64_t kDay = 864000000000;

// double -> int64 truncated toward zero, saturating instead of overflowing.
std::int64_t TruncateToTicks(double value) {
    if (std::isnan(value)) return 0;
    constexpr double kMax = 9223372036854775807.0;
    if (value >= kMax) return std::numeric_limits<std::int64_t>::max();
    if (value <= -kMax) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(value);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// A cursor over the characters taken from the stream.
struct Cursor {
    std::string_view text;
    std::size_t pos = 0;
    bool AtEnd() const { return pos >= text.size(); }
    char Peek() const { return AtEnd() ? '\0' : text[pos]; }
};

// Real number: optional sign, digits with an optional fraction (or a fraction alone), then an
// optional exponent. Returns the value and moves the cursor past it.
std::optional<double> ReadReal(Cursor& c) {
    std::size_t start = c.pos;
    std::size_t p = c.pos;
    bool negative = false;
    if (p < c.text.size() && (c.text[p] == '+' || c.text[p] == '-')) negative = c.text[p++] == '-';
    std::size_t numberStart = p;
    std::size_t intDigits = 0, fracDigits = 0;
    while (p < c.text.size() && IsDigit(c.text[p])) ++p, ++intDigits;
    if (p < c.text.size() && c.text[p] == '.') {
        std::size_t q = p + 1;
        while (q < c.text.size() && IsDigit(c.text[q])) ++q, ++fracDigits;
        if (intDigits > 0 || fracDigits > 0) p = q;
    }
    if (intDigits == 0 && fracDigits == 0) {
        c.pos = start;
        return std::nullopt;
    }
    if (p < c.text.size() && (c.text[p] == 'e' || c.text[p] == 'E')) {
        std::size_t q = p + 1;
        if (q < c.text.size() && (c.text[q] == '+' || c.text[q] == '-')) ++q;
        std::size_t expDigits = 0;
        while (q < c.text.size() && IsDigit(c.text[q])) ++q, ++expDigits;
        if (expDigits > 0) p = q;
    }
    double value = 0;
    auto [end, ec] = std::from_chars(c.text.data() + numberStart, c.text.data() + p, value);
    if (ec == std::errc::result_out_of_range) {
        // Too small rounds to zero, too large saturates later.
        bool tiny = false;
        for (std::size_t i = numberStart; i < p; ++i)
            if (c.text[i] == '-' && i > numberStart) tiny = true;
        value = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (ec != std::errc() || end != c.text.data() + p) {
        c.pos = start;
        return std::nullopt;
    }
    c.pos = p;
    return negative ? -value : value;
}

struct UnitWord {
    std::string_view word;
    VelTimePrecision unit;
};

constexpr UnitWord kUnitWords[] = {
    {"us", VelTimePrecision::Microsecond}, {"ms", VelTimePrecision::Millisecond},
    {"s", VelTimePrecision::Second},       {"SECOND", VelTimePrecision::Second},
    {"SECONDS", VelTimePrecision::Second}, {"m", VelTimePrecision::Minute},
    {"MINUTE", VelTimePrecision::Minute},  {"MINUTES", VelTimePrecision::Minute},
    {"h", VelTimePrecision::Hour},         {"HOUR", VelTimePrecision::Hour},
    {"HOURS", VelTimePrecision::Hour},     {"d", VelTimePrecision::Day},
    {"DAY", VelTimePrecision::Day},        {"DAYS", VelTimePrecision::Day},
    {"w", VelTimePrecision::Week},         {"WEEK", VelTimePrecision::Week},
    {"WEEKS", VelTimePrecision::Week},     {"MONTH", VelTimePrecision::Month},
    {"MONTHS", VelTimePrecision::Month},   {"YEAR", VelTimePrecision::Year},
    {"YEARS", VelTimePrecision::Year},     {"DECADE", VelTimePrecision::Decade},
    {"DECADES", VelTimePrecision::Decade},
};

// Form 2: real number, at most one white-space character, one unit word (longest match).
std::optional<std::int64_t> ReadRealWithUnit(Cursor& c) {
    std::size_t start = c.pos;
    auto number = ReadReal(c);
    if (!number) return std::nullopt;
    if (IsSpace(c.Peek())) ++c.pos;
    std::string_view rest = c.text.substr(c.pos);
    const UnitWord* best = nullptr;
    for (const auto& w : kUnitWords)
        if (rest.substr(0, w.word.size()) == w.word && (!best || w.word.size() > best->word.size())) best = &w;
    if (!best) {
        c.pos = start;
        return std::nullopt;
    }
    c.pos += best->word.size();
    return TruncateToTicks(*number * static_cast<double>(VelDuration::TicksPer(best->unit)));
}

bool ReadTwoDigits(Cursor& c, std::int64_t& out) {
    if (c.pos + 2 > c.text.size() || !IsDigit(c.text[c.pos]) || !IsDigit(c.text[c.pos + 1])) return false;
    out = (c.text[c.pos] - '0') * 10 + (c.text[c.pos + 1] - '0');
    c.pos += 2;
    return true;
}

bool ReadChar(Cursor& c, char ch) {
    if (c.Peek() != ch || c.AtEnd()) return false;
    ++c.pos;
    return true;
}

// Decimal digits as a non-negative number, saturating.
std::int64_t ReadDigits(Cursor& c) {
    std::int64_t v = 0;
    constexpr std::int64_t kLimit = std::numeric_limits<std::int64_t>::max() / 10 - 10;
    while (IsDigit(c.Peek())) {
        if (v < kLimit) v = v * 10 + (c.Peek() - '0');
        ++c.pos;
    }
    return v;
}

std::int64_t SaturatingAdd(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    return r;
}

std::int64_t SaturatingMul(std::int64_t a, std::int64_t b) {
    std::int64_t r;
    if (__builtin_mul_overflow(a, b, &r))
        return ((a < 0) != (b < 0)) ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    return r;
}

// "hh:mm:ss" with an optional ".fraction" read as milliseconds.
std::optional<std::int64_t> ReadClockBody(Cursor& c) {
    std::size_t start = c.pos;
    std::int64_t h, m, s;
    if (!(ReadTwoDigits(c, h) && ReadChar(c, ':') && ReadTwoDigits(c, m) && ReadChar(c, ':') && ReadTwoDigits(c, s))) {
        c.pos = start;
        return std::nullopt;
    }
    std::int64_t ticks = h * kHour + m * kMinute + s * kSecond;
    if (c.Peek() == '.' && c.pos + 1 < c.text.size() && IsDigit(c.text[c.pos + 1])) {
        ++c.pos;
        ticks = SaturatingAdd(ticks, SaturatingMul(ReadDigits(c), kMs));
    }
    return ticks;
}

// Form 1: an optional sign, then an optional unsigned form-2 prefix and at most one white-space
// character, then the clock body. The sign belongs to the whole text, so the printed form of a
// negative duration, "-1d 01:00:00.000", reads back as minus 25 hours.
std::optional<std::int64_t> ReadClock(Cursor& c) {
    const std::size_t start = c.pos;
    bool negative = false;
    if (c.Peek() == '+' || c.Peek() == '-') negative = c.text[c.pos++] == '-';
    const std::size_t afterSign = c.pos;
    std::optional<std::int64_t> ticks;
    if (c.Peek() != '+' && c.Peek() != '-') {
        if (auto prefix = ReadRealWithUnit(c)) {
            if (IsSpace(c.Peek())) ++c.pos;
            if (auto body = ReadClockBody(c)) ticks = SaturatingAdd(*prefix, *body);
        }
        if (!ticks) {
            c.pos = afterSign;
            ticks = ReadClockBody(c);
        }
    }
    if (!ticks) {
        c.pos = start;
        return std::nullopt;
    }
    return negative ? -*ticks : *ticks;  // both parts are >= 0, so this cannot overflow
}

// Form 3: a decimal integer of milliseconds.
std::optional<std::int64_t> ReadMilliseconds(Cursor& c) {
    std::size_t start = c.pos;
    bool negative = false;
    if (c.Peek() == '+' || c.Peek() == '-') negative = c.text[c.pos++] == '-';
    if (!IsDigit(c.Peek())) {
        c.pos = start;
        return std::nullopt;
    }
    std::int64_t ms = ReadDigits(c);
    return SaturatingMul(negative ? -ms : ms, kMs);
}

void AppendTwoDigits(std::string& out, std::int64_t v) {
    out += static_cast<char>('0' + (v / 10) % 10);
    out += static_cast<char>('0' + v % 10);
}

void AppendNumber(std::string& out, std::uint64_t v) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, v);
    (void)ec;
    out.append(buffer, end);
}

}  // namespace

std::int64_t VelDuration::TicksPer(VelTimePrecision unit) noexcept {
    int index = static_cast<int>(unit);
    if (index < 0 || index > 10) Vel::FatalError();
    return kTicks[index];
}

void VelDuration::Add(double count, VelTimePrecision unit) noexcept {
    ticks_ += TruncateToTicks(count * static_cast<double>(TicksPer(unit)));
}

std::int64_t VelDuration::Count(VelTimePrecision unit) const noexcept { return ticks_ / TicksPer(unit); }

std::string VelDuration::ToString(int style) const {
    // The sign once, then the magnitude: every field below is taken from the magnitude, which
    // holds even the most negative count.
    const bool negative = ticks_ < 0;
    const std::uint64_t magnitude =
        negative ? std::uint64_t{0} - static_cast<std::uint64_t>(ticks_) : static_cast<std::uint64_t>(ticks_);
    constexpr auto kDayU = static_cast<std::uint64_t>(kDay);
    constexpr auto kHourU = static_cast<std::uint64_t>(kHour);
    constexpr auto kMinuteU = static_cast<std::uint64_t>(kMinute);
    constexpr auto kSecondU = static_cast<std::uint64_t>(kSecond);
    constexpr auto kMsU = static_cast<std::uint64_t>(kMs);

    std::vector<std::string> parts;
    const std::uint64_t days = magnitude / kDayU;
    if (days > 0) {
        std::string part;
        AppendNumber(part, days);
        part += style == 4 ? (days == 1 ? " day" : " days") : "d";
        parts.push_back(std::move(part));
    }
    const std::uint64_t hours = (magnitude / kHourU) % 24;
    const std::uint64_t minutes = (magnitude / kMinuteU) % 60;
    const std::uint64_t seconds = (magnitude / kSecondU) % 60;
    if (style == 1 || style == 3) {
        std::string clock;
        AppendTwoDigits(clock, static_cast<std::int64_t>(hours));
        clock += ':';
        AppendTwoDigits(clock, static_cast<std::int64_t>(minutes));
        clock += ':';
        AppendTwoDigits(clock, static_cast<std::int64_t>(seconds));
        if (style == 1) {
            const auto ms = static_cast<std::int64_t>((magnitude / kMsU) % 1000);
            clock += '.';
            clock += static_cast<char>('0' + ms / 100);
            AppendTwoDigits(clock, ms % 100);
        }
        parts.push_back(std::move(clock));
    } else if (style >= 4 && style <= 6) {
        auto add = [&](std::uint64_t value, const char* one, const char* many, const char* shortWord) {
            if (value == 0) return;
            std::string part;
            AppendNumber(part, value);
            part += style == 4 ? (value == 1 ? one : many) : shortWord;
            parts.push_back(std::move(part));
        };
        add(hours, " hour", " hours", "h");
        if (style != 6 || parts.size() < 2) add(minutes, " minute", " minutes", "m");
        if (style != 6 || parts.size() < 2) add(seconds, " second", " seconds", "s");
    }
    std::string text;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) text += ' ';
        text += parts[i];
    }
    // A magnitude too small for the style prints nothing, and a sign alone would mean nothing.
    if (negative && !text.empty()) text.insert(text.begin(), '-');
    return text;
}

std::ostream& operator<<(std::ostream& stream, const VelDuration& d) { return stream << d.ToString(1); }

std::istream& operator>>(std::istream& stream, VelDuration& d) {
    std::istream::sentry sentry(stream, true);  // no white space is skipped
    if (!sentry) {
        d = VelDuration();
        stream.setstate(std::ios::failbit);
        return stream;
    }
    std::streambuf* buffer = stream.rdbuf();
    if (buffer == nullptr || std::istream::traits_type::eq_int_type(buffer->sgetc(), std::istream::traits_type::eof())) {
        d = VelDuration();
        stream.setstate(std::ios::failbit | std::ios::eofbit);
        return stream;
    }

    // Take the characters any form could use: none of them allows two white-space characters
    // in a row, and no valid text comes near the length limit.
    constexpr std::size_t kLimit = 128;
    std::string taken;
    bool hitEnd = false;
    int spaces = 0;
    while (taken.size() < kLimit) {
        auto ch = buffer->sgetc();
        if (std::istream::traits_type::eq_int_type(ch, std::istream::traits_type::eof())) {
            hitEnd = true;
            break;
        }
        char c = std::istream::traits_type::to_char_type(ch);
        spaces = IsSpace(c) ? spaces + 1 : 0;
        if (spaces == 2) break;
        taken += c;
        buffer->sbumpc();
    }

    Cursor cursor{taken};
    std::optional<std::int64_t> ticks = ReadClock(cursor);
    if (!ticks) ticks = ReadRealWithUnit(cursor);
    if (!ticks) ticks = ReadMilliseconds(cursor);

    // Hand back what the match did not use.
    for (std::size_t i = taken.size(); i > cursor.pos; --i) buffer->sputbackc(taken[i - 1]);

    if (!ticks) {
        d = VelDuration();
        stream.setstate(std::ios::failbit);
    } else {
        d = VelDuration::FromTicks(*ticks);
        if (hitEnd && cursor.pos == taken.size()) stream.setstate(std::ios::eofbit);
    }
    return stream;
}
