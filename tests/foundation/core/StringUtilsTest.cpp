// String utilities: hex, XML escaping, byte sizes, code pages, replace/split/trim, decimal text,
// URL encoding and Base64.

#include "foundation/core/Exception.h"
#include "foundation/core/StringUtils.h"
#include "tests/support/CommaDecimalLocale.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using namespace Vel;

TEST(StringUtilsTest, HexTextBothWays) {
    const unsigned char bytes[] = {0x00, 0x0A, 0xFF, 0x7b};
    EXPECT_EQ(ToHex(bytes, 4), "000aff7b");

    unsigned char one = 0;
    EXPECT_TRUE(FromHex("0A", &one, 1));
    EXPECT_EQ(one, 0x0A);
    EXPECT_FALSE(FromHex("0A0", &one, 1));  // length
    EXPECT_FALSE(FromHex("0A", &one, 2));
    unsigned char two[2] = {1, 1};
    EXPECT_FALSE(FromHex("fFzz", two, 2));
    EXPECT_EQ(two[0], 0xFF);  // pairs before the bad one are written
}

TEST(StringUtilsTest, ParseHexUInt32) {
    struct Case {
        const char* text;
        bool ok;
        std::uint32_t value;
    } cases[] = {
        {"", true, 0},           {"ff", true, 0xFF},           {"  0x1A", true, 0x1A},
        {"+ffffffff", true, 0xFFFFFFFFu}, {"-1", true, 0xFFFFFFFFu}, {"0X0", true, 0},
        {"100000000", false, 0}, {"fffffffff", false, 0},      {"12 ", false, 0},
        {"0x", false, 0},        {"g", false, 0},              {" ", false, 0},
    };
    for (const auto& c : cases) {
        std::uint32_t out = 7;
        EXPECT_EQ(ParseHexUInt32(c.text, out), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(out, c.value) << c.text;
        }
    }
}

TEST(StringUtilsTest, XmlEscapeTable) {
    EXPECT_EQ(XmlEscape('\n'), "&#10;");
    EXPECT_EQ(XmlEscape('\r'), "&#13;");
    EXPECT_EQ(XmlEscape('\t'), "\t");
    EXPECT_EQ(XmlEscape(0x01), "?");
    EXPECT_EQ(XmlEscape(0x1F), "?");
    EXPECT_EQ(XmlEscape(0x7F), "\x7F");
    EXPECT_EQ(XmlEscape(0xE9), "\xE9");
    EXPECT_EQ(XmlEscape('<'), "&lt;");
    EXPECT_EQ(XmlEscape('\''), "&apos;");
}

TEST(StringUtilsTest, XmlEscapeUtf8Sequences) {
    struct Case {
        std::string in, out;
    } cases[] = {
        {"a<b", "a&lt;b"},
        {"\xC3", "?"},                           // cut at the end
        {"\xC3" "A", "?A"},                      // bad continuation
        {"caf\xC3\xA9", "caf\xC3\xA9"},          // good two-byte letter
        {"\xE2\x82\xAC!", "\xE2\x82\xAC!"},      // good three-byte
        {"\x80x\xFF", "x"},                      // stray bytes dropped
        {"\xE2&\xAC", "?&amp;"},                 // bad sequence: ASCII parts escaped, others dropped
        {"\xF4\x8F\xBF\xBD", "\xF4\x8F\xBF\xBD"},  // U+10FFFD, the last character
        {"\xF6\xAA\x8C\x9A", "?"},                // above U+10FFFF
        {"\xF4\x90\x80\x80", "?"},                // U+110000
        {"\xC0\xBC", "?"},                        // overlong "<"
        {"\xE0\x80\xBC", "?"},                    // overlong "<"
        {"\xED\xA0\x80", "?"},                    // a surrogate
        {"\xEF\xBF\xBF", "?"},                    // U+FFFF, no XML character
    };
    for (const auto& c : cases) EXPECT_EQ(XmlEscapeUtf8(c.in), c.out);
}

TEST(StringUtilsTest, FormatByteSizeUnits) {
    struct Case {
        std::uint64_t bytes;
        const char* text;
    } cases[] = {{0, "0 B"},           {1023, "1023 B"},         {1024, "1.0 kB"},
                 {1536, "1.5 kB"},     {1048576, "1.00 MB"},     {1073741824, "1.000 GB"},
                 {5368709120ull, "5.000 GB"}};
    for (const auto& c : cases) EXPECT_EQ(FormatByteSize(c.bytes), c.text);
}

TEST(StringUtilsTest, NumbersIgnoreTheProcessLocale) {
    // A global locale with a decimal comma and digit grouping must not reach our texts.
    Vel::Test::CommaDecimalLocale comma;
    ASSERT_EQ(Vel::Test::CommaDecimalLocale::StreamSample(), "1.234.567,5");
    EXPECT_EQ(FormatByteSize(1536), "1.5 kB");
    EXPECT_EQ(FormatByteSize(5368709120ull), "5.000 GB");
    EXPECT_EQ(IntToString(-1234567), "-1234567");
    EXPECT_EQ(UInt64ToString(1234567), "1234567");
    EXPECT_EQ(IntToZeroPaddedString(1234, 6), "001234");
    EXPECT_EQ(ToLower("ÄBC"), "Äbc");
    std::int64_t out = 0;
    EXPECT_FALSE(ParseInt64("1.234", out));
    EXPECT_TRUE(ParseInt64("1234", out));
    EXPECT_EQ(out, 1234);
}

TEST(StringUtilsTest, DecimalText) {
    EXPECT_EQ(IntToString(INT32_MIN), "-2147483648");
    EXPECT_EQ(UIntToString(4294967295u), "4294967295");
    EXPECT_EQ(Int64ToString(INT64_MIN), "-9223372036854775808");
    EXPECT_EQ(UInt64ToString(UINT64_MAX), "18446744073709551615");
    EXPECT_EQ(IntToZeroPaddedString(7, 3), "007");
    EXPECT_EQ(IntToZeroPaddedString(1234, 2), "1234");
    EXPECT_EQ(IntToZeroPaddedString(-5, 3), "-05");

    struct Case {
        const char* text;
        bool ok;
        std::int64_t value;
    } cases[] = {{"42", true, 42},    {"-9223372036854775808", true, INT64_MIN},
                 {"+7", true, 7},     {"9223372036854775808", false, 0},
                 {"", false, 0},      {" 1", false, 0},
                 {"1 ", false, 0},    {"+-1", false, 0},
                 {"-", false, 0},     {"0x10", false, 0},
                 {"++1", false, 0},   {"-+1", false, 0},
                 {"+", false, 0},     {"-0", true, 0}};
    for (const auto& c : cases) {
        std::int64_t out = 99;
        EXPECT_EQ(ParseInt64(c.text, out), c.ok) << c.text;
        EXPECT_EQ(out, c.value) << c.text;
    }
}

TEST(StringUtilsTest, CodePageConversions) {
    const std::wstring word = L"Fran\u00E7ais \u20AC \U0001F600";
    EXPECT_EQ(WideToNarrow(word, kCodePageUtf8), "Fran\xC3\xA7" "ais \xE2\x82\xAC \xF0\x9F\x98\x80");
    EXPECT_EQ(NarrowToWide(WideToNarrow(word, kCodePageAnsi), kCodePageAnsi), word);
    EXPECT_EQ(WideToNarrow(L"Espa\u00F1ol \u20AC", kCodePageWindows1252), "Espa\xF1ol \x80");
    EXPECT_EQ(NarrowToWide("Portug\xEAs \x80", kCodePageWindows1252), L"Portug\u00EAs \u20AC");
    EXPECT_EQ(WideToNarrow(L"\u4E2D", kCodePageWindows1252), "?");
    EXPECT_EQ(NarrowToWide("a\xC3(b\xE2\x82", kCodePageUtf8), L"a\uFFFD(b\uFFFD");
    EXPECT_EQ(NarrowToWide("", 12345), L"");
    EXPECT_THROW(WideToNarrow(L"x", 12345), Exception);
    EXPECT_THROW(NarrowToWide("x", 932), Exception);
}

TEST(StringUtilsTest, ReplaceSplitTrim) {
    EXPECT_EQ(ReplaceAll("aaa", "a", "aa"), "aaaaaa");
    EXPECT_EQ(ReplaceAll("abc", "", "x"), "abc");
    EXPECT_EQ(ReplaceAll("a.b.c", ".", ""), "abc");
    EXPECT_EQ(SplitString("1, 2,,3", ',', true), (std::vector<std::string>{"1", "2", "", "3"}));
    EXPECT_EQ(SplitString("a, b,", ',', false), (std::vector<std::string>{"a", " b", ""}));
    EXPECT_TRUE(SplitString("", ',', false).empty());
    EXPECT_EQ(Trim(" \t a b \r\n"), "a b");
    EXPECT_EQ(Trim(" \t"), "");
    EXPECT_EQ(TrimChars("xxhixx", "x"), "hi");
}

TEST(StringUtilsTest, UrlEncodeAndBase64) {
    EXPECT_EQ(UrlEncode("a ~"), "a%20%7E");
    EXPECT_EQ(UrlEncode("Az09!$'()*,-._/&\xE9"), "Az09!$'()*,-._%2F%26%E9");
    EXPECT_EQ(UrlEncode(std::string("\0", 1)), "%00");

    EXPECT_EQ(Base64Encode("abc", 0), "YWJj");
    EXPECT_EQ(Base64Encode("ab", 0), "YWI=");
    EXPECT_EQ(Base64Encode("a", 0), "YQ==");
    EXPECT_EQ(Base64Encode("", 76), "");
    EXPECT_EQ(Base64Encode("abcabc", 4), "YWJj\r\nYWJj\r\n");
    EXPECT_EQ(Base64Encode("abcab", 4), "YWJj\r\nYWI=");  // fill characters are not counted
    EXPECT_EQ(Base64Encode(std::string("\xFF\xFE\x00", 3), 0), "//4A");
}

}  // namespace
