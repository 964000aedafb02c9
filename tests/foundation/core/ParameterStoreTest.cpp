#include <gtest/gtest.h>

#include <sstream>

#include "foundation/core/AppEnvironment.h"
#include "foundation/core/Duration.h"
#include "foundation/core/ParameterStore.h"
#include "tests/support/CommaDecimalLocale.h"

using namespace Vel;

namespace {

class ParameterStoreTest : public ::testing::Test {
protected:
    void SetUp() override { GetParameterStore() = ParameterStore(); }
    void TearDown() override { GetParameterStore() = ParameterStore(); }
};

}  // namespace

TEST_F(ParameterStoreTest, ImportedAssignmentsReadBackByType) {
    ImportParameters({"host.index=abc", "flag.bare", "flag.one=1", "flag.true=true", "flag.yes=yes", "a=b=c",
                      "web.update.url=", "twice=1", "twice=2", "Web.Update.List=x"});
    auto& store = GetParameterStore();

    std::int32_t index = 0;
    EXPECT_TRUE(store.Get("host.index", ParameterType::Int, index));
    EXPECT_EQ(index, 0);  // unconvertible: the default stays

    for (const char* key : {"flag.bare", "flag.one", "flag.true"}) {
        bool value = false;
        EXPECT_TRUE(store.Get(key, ParameterType::Bool, value)) << key;
        EXPECT_TRUE(value) << key;
    }
    bool yes = false;
    EXPECT_TRUE(store.Get("flag.yes", ParameterType::Bool, yes));
    EXPECT_FALSE(yes);

    EXPECT_EQ(GetConfigString("a", "-"), "b=c");
    EXPECT_EQ(GetConfigString("web.update.url", "default"), "");
    EXPECT_EQ(GetConfigString("twice", "-"), "2");
    EXPECT_EQ(GetConfigString("web.update.list", "default"), "default");  // keys are case-sensitive
}

TEST_F(ParameterStoreTest, NumbersIgnoreBlanksButNotTrailingText) {
    auto& store = GetParameterStore();
    struct Case {
        const char* text;
        bool converts;
        std::uint32_t value;
    } cases[] = {{"42", true, 42}, {" 42 ", true, 42}, {"42x", false, 7}, {"-1", false, 7},
                 {"4294967296", false, 7}, {"", false, 7}};
    for (const auto& c : cases) {
        store.Set("n", ParameterType::String, std::string(c.text));
        std::uint32_t value = 7;
        EXPECT_TRUE(store.Get("n", ParameterType::UInt, value));
        EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
    std::uint32_t missing = 9;
    EXPECT_FALSE(store.Get("absent.key", ParameterType::UInt, missing));
    EXPECT_EQ(missing, 9u);
}

TEST_F(ParameterStoreTest, NumbersTakeOneSignThenDigits) {
    auto& store = GetParameterStore();
    constexpr std::int32_t kI = 77;
    constexpr std::uint32_t kU = 77;
    constexpr float kF = 77;
    struct Case {
        const char* text;
        std::int32_t i;
        std::uint32_t u;
        float f;
    } cases[] = {
        {"+5", 5, 5, 5},         {"-5", -5, kU, -5},     {" +5 ", 5, 5, 5},     {"-0", 0, 0, 0},
        {"+-5", kI, kU, kF},     {"-+5", kI, kU, kF},    {"++5", kI, kU, kF},   {"--5", kI, kU, kF},
        {"+ 5", kI, kU, kF},     {"+", kI, kU, kF},      {"-", kI, kU, kF},     {"+.5", kI, kU, 0.5f},
        {"-1.5e1", kI, kU, -15}, {"+-1.5", kI, kU, kF},  {"inf", kI, kU, kF},   {"-nan", kI, kU, kF},
        {"1.", kI, kU, 1},       {"0x10", kI, kU, kF},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        store.Set("n", ParameterType::String, std::string(c.text));
        std::int32_t i = kI;
        std::uint32_t u = kU;
        std::uint64_t u64 = kU;
        float f = kF;
        EXPECT_TRUE(store.Get("n", ParameterType::Int, i));
        EXPECT_TRUE(store.Get("n", ParameterType::UInt, u));
        EXPECT_TRUE(store.Get("n", ParameterType::UInt64, u64));
        EXPECT_TRUE(store.Get("n", ParameterType::Float, f));
        EXPECT_EQ(i, c.i);
        EXPECT_EQ(u, c.u);
        EXPECT_EQ(u64, c.u);
        EXPECT_EQ(f, c.f);
    }
    for (const auto& [text, value] : {std::pair{"+1", true}, {"+0", false}, {"-0", false}, {"+-0", true}, {"-+0", true}}) {
        store.Set("b", ParameterType::String, std::string(text));
        bool b = true;
        EXPECT_TRUE(store.Get("b", ParameterType::Bool, b));
        EXPECT_EQ(b, value) << text;
    }
}

TEST_F(ParameterStoreTest, DurationsUseTheStreamForm) {
    auto& store = GetParameterStore();
    store.Set("t.neg", ParameterType::Duration, VelDuration(-90, VelTimePrecision::Second));
    store.Set("t.day", ParameterType::Duration, VelDuration(25, VelTimePrecision::Hour));
    EXPECT_EQ(GetConfigString("t.neg", ""), "-00:01:30.000");
    EXPECT_EQ(GetConfigString("t.day", ""), "1d 01:00:00.000");
    ImportParameters({"t.unit=1.5 h", "t.ms=250", "t.blank=5s ", "t.rest=5s x", "t.lead= 5s", "t.bad=soon"});
    struct Case {
        const char* key;
        VelDuration value;
    } cases[] = {
        {"t.neg", VelDuration(-90, VelTimePrecision::Second)}, {"t.day", VelDuration(25, VelTimePrecision::Hour)},
        {"t.unit", VelDuration(90, VelTimePrecision::Minute)}, {"t.ms", VelDuration(250, VelTimePrecision::Millisecond)},
        {"t.blank", VelDuration(5, VelTimePrecision::Second)}, {"t.rest", VelDuration(7, VelTimePrecision::Day)},
        {"t.lead", VelDuration(7, VelTimePrecision::Day)},     {"t.bad", VelDuration(7, VelTimePrecision::Day)},
    };
    for (const auto& c : cases) {
        VelDuration value(7, VelTimePrecision::Day);
        EXPECT_TRUE(store.Get(c.key, ParameterType::Duration, value)) << c.key;
        EXPECT_EQ(value, c.value) << c.key;
    }
    VelDuration missing(7, VelTimePrecision::Day);
    EXPECT_FALSE(store.Get("t.absent", ParameterType::Duration, missing));
    EXPECT_EQ(missing, VelDuration(7, VelTimePrecision::Day));
}

TEST_F(ParameterStoreTest, TextFormsIgnoreTheGlobalLocale) {
    Vel::Test::CommaDecimalLocale comma;
    ASSERT_EQ(Vel::Test::CommaDecimalLocale::StreamSample(), "1.234.567,5");
    auto& store = GetParameterStore();
    store.Set("f", ParameterType::Float, 1.5f);
    store.Set("u", ParameterType::UInt, std::uint32_t{1234567});
    store.Set("l", ParameterType::UIntList, std::vector<std::uint32_t>{1234567, 2});
    store.Set("d", ParameterType::Duration, VelDuration(1234, VelTimePrecision::Day) + VelDuration(1500, VelTimePrecision::Millisecond));
    EXPECT_EQ(GetConfigString("f", ""), "1.5");
    EXPECT_EQ(GetConfigString("u", ""), "1234567");
    EXPECT_EQ(GetConfigString("l", ""), "[1234567,2]");
    EXPECT_EQ(GetConfigString("d", ""), "1234d 00:00:01.500");

    ImportParameters({"f2=2.25", "grouped=1.234", "comma=2,5", "list=[1.234]", "dur=1.5 h"});
    float f = 0;
    EXPECT_TRUE(store.Get("f2", ParameterType::Float, f));
    EXPECT_EQ(f, 2.25f);
    f = 7;
    EXPECT_TRUE(store.Get("comma", ParameterType::Float, f));
    EXPECT_EQ(f, 7.0f);
    std::int32_t i = 7;
    EXPECT_TRUE(store.Get("grouped", ParameterType::Int, i));
    EXPECT_EQ(i, 7);
    std::uint64_t u64 = 7;
    EXPECT_TRUE(store.Get("grouped", ParameterType::UInt64, u64));
    EXPECT_EQ(u64, 7u);
    std::vector<std::uint32_t> list{7};
    EXPECT_TRUE(store.Get("list", ParameterType::UIntList, list));
    EXPECT_EQ(list, std::vector<std::uint32_t>{7});
    EXPECT_TRUE(store.Get("l", ParameterType::UIntList, list));
    EXPECT_EQ(list, (std::vector<std::uint32_t>{1234567, 2}));
    VelDuration d;
    EXPECT_TRUE(store.Get("dur", ParameterType::Duration, d));
    EXPECT_EQ(d, VelDuration(90, VelTimePrecision::Minute));
    EXPECT_TRUE(store.Get("d", ParameterType::Duration, d));
    EXPECT_EQ(d, VelDuration(1234, VelTimePrecision::Day) + VelDuration(1500, VelTimePrecision::Millisecond));

    std::ostringstream out;  // made under the comma locale
    WriteUIntList(out, {1234567});
    EXPECT_EQ(out.str(), "[1234567]");
    std::istringstream in("[1.234]");
    EXPECT_FALSE(ReadUIntList(in, list));
    EXPECT_EQ(ParseIntOrZero("1.234"), 0);
}

TEST_F(ParameterStoreTest, FallbackTreesAreConsultedInOrder) {
    ParameterStore store;
    ParameterStore::Tree first, second;
    first.put("x.y", "1");
    second.put("x.y", "2");
    second.put("x.z", "3");
    store.AddFallback(first);
    store.AddFallback(second);
    std::string value;
    EXPECT_TRUE(store.Get("x.y", ParameterType::String, value));
    EXPECT_EQ(value, "1");
    EXPECT_TRUE(store.Get("x.z", ParameterType::String, value));
    EXPECT_EQ(value, "3");
    store.Set("x.y", ParameterType::Int, std::int32_t{5});
    EXPECT_TRUE(store.Get("x.y", ParameterType::String, value));
    EXPECT_EQ(value, "5");
}

TEST(UIntList, ReadsAndWritesTheBracketForm) {
    struct Case {
        const char* text;
        bool ok;
        std::vector<std::uint32_t> expected;
    } cases[] = {
        {"[ 4 , 5 6 ]", true, {4, 5, 6}},
        {"[1,2,3]", true, {1, 2, 3}},
        {"[]", true, {}},
        {"4,5", false, {99}},
        {"[4,x]", false, {99}},
    };
    for (const auto& c : cases) {
        std::istringstream in(c.text);
        std::vector<std::uint32_t> list{99};
        const bool ok = static_cast<bool>(ReadUIntList(in, list));
        EXPECT_EQ(ok, c.ok) << c.text;
        EXPECT_EQ(list, c.expected) << c.text;
    }
    std::ostringstream out;
    WriteUIntList(out, {1, 2, 3});
    WriteUIntList(out, {});
    EXPECT_EQ(out.str(), "[1,2,3][]");
}

TEST(ParameterStoreHelpers, WholeTextParsersAndNullText) {
    struct Case {
        const char* text;
        int i;
        std::int64_t i64;
        bool b;
    } cases[] = {
        {"12", 12, 12, false},   {"+5", 5, 5, false},     {"-5", -5, -5, false},  {"1", 1, 1, true},
        {"+1", 1, 1, true},      {"01", 1, 1, true},      {"0", 0, 0, false},     {"-1", -1, -1, false},
        {"+-5", 0, 0, false},    {"-+5", 0, 0, false},    {"++1", 0, 0, false},   {"+", 0, 0, false},
        {"12 ", 0, 0, false},    {" 1", 0, 0, false},     {"", 0, 0, false},      {"true", 0, 0, false},
        {"-9000000000", 0, -9000000000LL, false},         {"2147483648", 0, 2147483648LL, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParseIntOrZero(c.text), c.i) << '"' << c.text << '"';
        EXPECT_EQ(ParseInt64OrZero(c.text), c.i64) << '"' << c.text << '"';
        EXPECT_EQ(ParseBoolOrFalse(c.text), c.b) << '"' << c.text << '"';
    }
    std::ostringstream out;
    StreamCString(out, nullptr);
    StreamCString(out, "!");
    EXPECT_EQ(out.str(), "<null>!");
}
