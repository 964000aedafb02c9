#include "foundation/core/StringUtils.h"

#include "foundation/core/Exception.h"

#include <charconv>
#include <cstring>

namespace Vel {
namespace {

int HexValue(char c) noexcept {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool IsCSpace(char c) noexcept { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Windows-1252 code points of bytes 0x80 to 0x9F (0 where the code page has no character; the
// system then maps the byte to the same-numbered control character).
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool IsUtf8CodePage(unsigned cp) noexcept {
    return cp == kCodePageAnsi || cp == kCodePageOem || cp == kCodePageThreadAnsi || cp == kCodePageUtf8;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::wstring Utf8ToWide(const std::string& text) {
    std::wstring out;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        unsigned char b = p[i];
        if (b < 0x80) {
            out += static_cast<wchar_t>(b);
            ++i;
            continue;
        }
        int extra = 0;
        char32_t c = 0, min = 0;
        if ((b & 0xE0) == 0xC0) extra = 1, c = b & 0x1F, min = 0x80;
        else if ((b & 0xF0) == 0xE0) extra = 2, c = b & 0x0F, min = 0x800;
        else if ((b & 0xF8) == 0xF0) extra = 3, c = b & 0x07, min = 0x10000;
        else {
            out += L'\uFFFD';
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        int got = 0;
        while (got < extra && j < n && (p[j] & 0xC0) == 0x80) {
            c = (c << 6) | (p[j] & 0x3F);
            ++j;
            ++got;
        }
        if (got < extra || c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            out += L'\uFFFD';
        else
            out += static_cast<wchar_t>(c);
        i = j;
    }
    return out;
}

template <typename T>
std::string ToDecimal(T value) {
    char buf[24];
    auto r = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, r.ptr);
}

std::string Fixed(float value, int decimals) {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return std::string(buf, r.ptr);
}

}  // namespace

std::string ToHex(const void* bytes, std::size_t count) {
    static const char digits[] = "0123456789abcdef";
    const auto* p = static_cast<const unsigned char*>(bytes);
    std::string out;
    out.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        out += digits[p[i] >> 4];
        out += digits[p[i] & 15];
    }
    return out;
}

bool FromHex(const std::string& text, void* out, std::size_t n) {
    if (text.size() % 2 != 0 || text.size() / 2 != n) return false;
    auto* p = static_cast<unsigned char*>(out);
    for (std::size_t i = 0; i < n; ++i) {
        int hi = HexValue(text[2 * i]), lo = HexValue(text[2 * i + 1]);
        p[i] = static_cast<unsigned char>(((hi & 15) << 4) | (lo & 15));
        if (hi < 0 || lo < 0) return false;
    }
    return true;
}

bool ParseHexUInt32(const std::string& text, std::uint32_t& out) {
    // Mirrors strtoul(text, &end, 16) with a 32-bit unsigned long, except that a value needing
    // more than 32 bits is a failure rather than a silent saturation.
    std::size_t i = 0;
    const std::size_t n = text.size();
    while (i < n && IsCSpace(text[i])) ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i + 1 < n && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X') && i + 2 < n &&
        HexValue(text[i + 2]) >= 0)
        i += 2;
    const std::size_t digitsStart = i;
    std::uint64_t value = 0;
    bool overflow = false;
    while (i < n && HexValue(text[i]) >= 0) {
        value = value * 16 + static_cast<std::uint64_t>(HexValue(text[i]));
        if (value > 0xFFFFFFFFull) overflow = true, value = 0xFFFFFFFFull;
        ++i;
    }
    if (i == digitsStart) {
        // No conversion: strtoul leaves the end at the very start of the text.
        out = 0;
        return text.empty();
    }
    out = negative ? static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(value))
                   : static_cast<std::uint32_t>(value);
    return i == n && !overflow;
}

std::string XmlEscape(unsigned char byte) {
    switch (byte) {
    case 0x0A: return "&#10;";
    case 0x0D: return "&#13;";
    case '"': return "&quot;";
    case '&': return "&amp;";
    case '\'': return "&apos;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    default:
        if (byte < 0x20 && byte != 0x09) return "?";
        return std::string(1, static_cast<char>(byte));
    }
}

namespace {

// A complete lead + continuation sequence that encodes an XML character: the shortest form of a
// code point up to U+10FFFF, no surrogate, not U+FFFE or U+FFFF.
bool IsXmlCharSequence(const std::string& sequence) {
    const auto lead = static_cast<unsigned char>(sequence[0]);
    const std::size_t extra = sequence.size() - 1;
    std::uint32_t cp = lead & (extra == 1 ? 0x1Fu : extra == 2 ? 0x0Fu : 0x07u);
    for (std::size_t k = 1; k < sequence.size(); ++k) cp = (cp << 6) | (static_cast<unsigned char>(sequence[k]) & 0x3Fu);
    constexpr std::uint32_t kShortest[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kShortest[extra] || cp > 0x10FFFF) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    return cp != 0xFFFE && cp != 0xFFFF;
}

}  // namespace

std::string XmlEscapeUtf8(const std::string& text) {
    std::string out;
    std::string sequence;
    int expected = 0;
    bool bad = false;
    for (char ch : text) {
        auto b = static_cast<unsigned char>(ch);
        if (expected == 0) {
            int extra = (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 0;
            if (extra > 0) {
                sequence.assign(1, ch);
                expected = extra;
                bad = false;
            } else if (b < 0x80) {
                out += XmlEscape(b);
            }
            continue;
        }
        sequence += ch;
        if (b < 0x80 || b > 0xBF) bad = true;
        if (--expected == 0) {
            if (!bad && IsXmlCharSequence(sequence)) {
                out += sequence;
            } else {
                out += '?';
                for (std::size_t k = 1; k < sequence.size(); ++k) {
                    auto c = static_cast<unsigned char>(sequence[k]);
                    if (c < 0x7F) out += XmlEscape(c);
                }
            }
        }
    }
    if (expected > 0) out += '?';
    return out;
}

std::string FormatByteSize(std::uint64_t c) {
    if (c < 1024) return ToDecimal(c) + " B";
    const float f = static_cast<float>(c);
    if (c < 1048576ull) return Fixed(f / 1024.0f, 1) + " kB";
    if (c < 1073741824ull) return Fixed(f / 1048576.0f, 2) + " MB";
    return Fixed(f / 1073741824.0f, 3) + " GB";
}

std::string WideToNarrow(const std::wstring& text, unsigned codePage) {
    if (text.empty()) return {};
    std::string out;
    if (IsUtf8CodePage(codePage)) {
        for (wchar_t w : text) AppendUtf8(out, static_cast<char32_t>(w));
        return out;
    }
    if (codePage != kCodePageWindows1252) throw Exception();
    for (wchar_t w : text) {
        auto c = static_cast<char32_t>(w);
        char byte = '?';
        if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) {
            byte = static_cast<char>(c);
        } else {
            for (int k = 0; k < 32; ++k) {
                if (kCp1252High[k] == c || (kCp1252High[k] == 0 && c == static_cast<char32_t>(0x80 + k))) {
                    byte = static_cast<char>(0x80 + k);
                    break;
                }
            }
        }
        out += byte;
    }
    return out;
}

std::wstring NarrowToWide(const std::string& text, unsigned codePage) {
    if (text.empty()) return {};
    if (IsUtf8CodePage(codePage)) return Utf8ToWide(text);
    if (codePage != kCodePageWindows1252) throw Exception();
    std::wstring out;
    for (char ch : text) {
        auto b = static_cast<unsigned char>(ch);
        char32_t c = b;
        if (b >= 0x80 && b <= 0x9F && kCp1252High[b - 0x80] != 0) c = kCp1252High[b - 0x80];
        out += static_cast<wchar_t>(c);
    }
    return out;
}

std::string ReplaceAll(const std::string& text, const std::string& search, const std::string& replacement) {
    if (search.empty()) return text;
    std::string out = text;
    std::size_t pos = 0;
    while ((pos = out.find(search, pos)) != std::string::npos) {
        out.replace(pos, search.size(), replacement);
        pos += replacement.size();
    }
    return out;
}

std::string ToLower(const std::string& text) {
    std::string out = text;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

std::string IntToString(std::int32_t value) { return ToDecimal(value); }
std::string UIntToString(std::uint32_t value) { return ToDecimal(value); }
std::string Int64ToString(std::int64_t value) { return ToDecimal(value); }
std::string UInt64ToString(std::uint64_t value) { return ToDecimal(value); }

std::string IntToZeroPaddedString(std::int32_t value, int width) {
    std::string digits = ToDecimal(value);
    std::string sign;
    if (value < 0) {
        sign = "-";
        digits.erase(0, 1);
    }
    int pad = width - static_cast<int>(sign.size() + digits.size());
    return sign + std::string(pad > 0 ? static_cast<std::size_t>(pad) : 0, '0') + digits;
}

bool ParseInt64(const std::string& text, std::int64_t& out) {
    if (!ParseWholeDecimal(text, out)) {
        out = 0;
        return false;
    }
    return true;
}

std::vector<std::string> SplitString(const std::string& text, char separator, bool trim) {
    std::vector<std::string> fields;
    if (text.empty()) return fields;
    std::size_t start = 0;
    while (true) {
        std::size_t pos = text.find(separator, start);
        std::string field = text.substr(start, pos == std::string::npos ? std::string::npos : pos - start);
        fields.push_back(trim ? Trim(field) : field);
        if (pos == std::string::npos) break;
        start = pos + 1;
    }
    return fields;
}

std::string TrimChars(const std::string& text, const std::string& set) {
    std::size_t first = text.find_first_not_of(set);
    if (first == std::string::npos) return {};
    std::size_t last = text.find_last_not_of(set);
    return text.substr(first, last - first + 1);
}

std::string Trim(const std::string& text) { return TrimChars(text, " \t\n\r"); }

std::string UrlEncode(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        auto b = static_cast<unsigned char>(ch);
        bool keep = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                    (b != 0 && std::strchr("!$'()*,-._", b) != nullptr);
        if (keep) {
            out += ch;
        } else {
            out += '%';
            out += digits[b >> 4];
            out += digits[b & 15];
        }
    }
    return out;
}

std::string Base64Encode(const std::string& bytes, std::size_t lineLength) {
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t column = 0;
    auto put = [&](unsigned index) {
        out += alphabet[index & 63];
        if (lineLength != 0 && ++column == lineLength) {
            out += "\r\n";
            column = 0;
        }
    };
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        unsigned v = (p[i] << 16) | (p[i + 1] << 8) | p[i + 2];
        put(v >> 18);
        put(v >> 12);
        put(v >> 6);
        put(v);
    }
    if (n - i == 1) {
        unsigned v = p[i] << 16;
        put(v >> 18);
        put(v >> 12);
        out += "==";
    } else if (n - i == 2) {
        unsigned v = (p[i] << 16) | (p[i + 1] << 8);
        put(v >> 18);
        put(v >> 12);
        put(v >> 6);
        out += '=';
    }
    return out;
}

}  // namespace Vel
