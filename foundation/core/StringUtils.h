#pragma once
// Free functions on narrow (byte) strings and between wide and narrow text: hexadecimal text,
// XML escaping, byte counts for display, code-page conversion, replace, case, split and trim,
// decimal text, URL encoding and Base64.
//
// Contract:
// - Each function returns a new value and leaves its input unchanged; none keeps state, so any
//   thread may call any of them.
// - Nothing depends on the process locale: letters are ASCII, numbers are formatted and parsed
//   with std::to_chars / std::from_chars or by hand.
// - Only the code-page conversions throw (Vel::Exception with an empty text, for a code page
//   this system does not support); the parsers report failure by their result.
// - Code pages: 0 (ANSI), 1 (OEM), 3 (thread ANSI) and 65001 are UTF-8 here; 1252 is
//   Windows-1252. Wide text is UTF-32 (wchar_t). Malformed input becomes U+FFFD (or "?" in
//   Windows-1252), as the system conversion does with no flags.

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

namespace Vel {

constexpr unsigned kCodePageAnsi = 0;
constexpr unsigned kCodePageOem = 1;
constexpr unsigned kCodePageThreadAnsi = 3;
constexpr unsigned kCodePageWindows1252 = 1252;
constexpr unsigned kCodePageUtf8 = 65001;

// Lower-case hexadecimal, two digits per byte, high nibble first.
std::string ToHex(const void* bytes, std::size_t count);
// Succeeds only for a text of exactly 2n hex digits (either case). Stops at the first bad pair,
// after writing that pair's (meaningless) byte.
bool FromHex(const std::string& text, void* out, std::size_t n);
// strtoul-style base 16 (leading white space, optional sign and "0x"); true exactly when the
// whole text was consumed and the value fits 32 bits. The empty text gives true and 0.
bool ParseHexUInt32(const std::string& text, std::uint32_t& out);

std::string XmlEscape(unsigned char byte);
// Escapes ASCII through XmlEscape, keeps well-formed multi-byte sequences of XML characters, marks
// bad ones "?" (overlong forms, surrogates, code points above U+10FFFF, U+FFFE and U+FFFF too).
std::string XmlEscapeUtf8(const std::string& text);

// "1023 B", "1.5 kB", "1.00 MB", "1.000 GB".
std::string FormatByteSize(std::uint64_t bytes);

std::string WideToNarrow(const std::wstring& text, unsigned codePage);
std::wstring NarrowToWide(const std::string& text, unsigned codePage);

// Replaces every occurrence, never searching replaced text again; an empty search text changes nothing.
std::string ReplaceAll(const std::string& text, const std::string& search, const std::string& replacement);
// ASCII letters lower-cased byte by byte; other bytes unchanged.
std::string ToLower(const std::string& text);

std::string IntToString(std::int32_t value);
std::string UIntToString(std::uint32_t value);
std::string Int64ToString(std::int64_t value);
std::string UInt64ToString(std::uint64_t value);
// Right-aligned in width, padded with "0" after the sign ("-05" for -5 in width 3).
std::string IntToZeroPaddedString(std::int32_t value, int width);
// True when the whole text is a decimal integer with an optional sign that fits 64 bits; else out = 0.
bool ParseInt64(const std::string& text, std::int64_t& out);

// The rule of every whole-text integer parser: at most one sign ("+" or "-"), then one or more
// decimal digits, and nothing else (no blanks, no grouping). The value must fit T; an unsigned
// T takes "-" only before a zero. On failure `out` is left as it was.
template <class T>
bool ParseWholeDecimal(std::string_view text, T& out) noexcept {
    static_assert(std::is_integral_v<T> && !std::is_same_v<T, bool>);
    const char* const end = text.data() + text.size();
    const char* digits = text.data();
    const bool negative = digits != end && *digits == '-';
    if (digits != end && (*digits == '+' || *digits == '-')) ++digits;
    if (digits == end || *digits < '0' || *digits > '9') return false;
    T value{};
    // A signed type reads its own "-"; an unsigned one reads the magnitude, which must be 0.
    const char* const first = (negative && std::is_signed_v<T>) ? text.data() : digits;
    const auto [stop, ec] = std::from_chars(first, end, value);
    if (ec != std::errc() || stop != end) return false;
    if constexpr (std::is_unsigned_v<T>) {
        if (negative && value != 0) return false;
    }
    out = value;
    return true;
}

// Fields between separators; the empty text gives no field; trim passes each field through Trim.
std::vector<std::string> SplitString(const std::string& text, char separator, bool trim);
std::string TrimChars(const std::string& text, const std::string& set);
std::string Trim(const std::string& text);

// Keeps A-Z a-z 0-9 ! $ ' ( ) * , - . _ and writes every other byte as %XX (upper case).
std::string UrlEncode(const std::string& text);
// RFC 4648 Base64; "\r\n" after every lineLength alphabet characters (0: no breaks).
std::string Base64Encode(const std::string& bytes, std::size_t lineLength);

}  // namespace Vel
