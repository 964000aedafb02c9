#include <gtest/gtest.h>

#include <sstream>

#include "foundation/AppEnvironment.h"
#include "foundation/ParameterStore.h"

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
    EXPECT_EQ(ParseIntOrZero("12"), 12);
    EXPECT_EQ(ParseIntOrZero("12 "), 0);
    EXPECT_EQ(ParseIntOrZero(""), 0);
    EXPECT_EQ(ParseInt64OrZero("-9000000000"), -9000000000LL);
    EXPECT_TRUE(ParseBoolOrFalse("1"));
    EXPECT_FALSE(ParseBoolOrFalse("true"));
    std::ostringstream out;
    StreamCString(out, nullptr);
    StreamCString(out, "!");
    EXPECT_EQ(out.str(), "<null>!");
}
