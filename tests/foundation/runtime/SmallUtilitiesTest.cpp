#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>

#include "foundation/files/FileSearch.h"
#include "foundation/runtime/NetAddress.h"
#include "foundation/text/ParseUInt16.h"
#include "foundation/data/RandomGenerator.h"
#include "tests/support/TempDir.h"

namespace {

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return (a << 24) | (b << 16) | (c << 8) | d; }

class ScriptedResolver final : public Vel::IHostResolver {
public:
    std::map<std::string, std::vector<NetAddress>> answers;
    void Resolve(const std::string& host, std::vector<NetAddress>& out) override {
        auto it = answers.find(host);
        if (it != answers.end()) out.insert(out.end(), it->second.begin(), it->second.end());
    }
};

struct ResolverGuard {
    explicit ResolverGuard(Vel::IHostResolver* r) { Vel::SetHostResolver(r); }
    ~ResolverGuard() { Vel::SetHostResolver(nullptr); }
};

}  // namespace

TEST(ParseUInt16, WholeTextInRangeOrZero) {
    const std::pair<const char*, std::uint16_t> cases[] = {
        {"0", 0},  {"7", 7},   {"65535", 65535}, {"00012", 12}, {"65536", 0}, {"12a", 0},
        {"", 0},   {"-1", 0},  {"+1", 1},        {" 1", 0},     {"1 ", 0},    {"1.0", 0},
        {"+-1", 0}, {"-+1", 0}, {"++1", 0},      {"+", 0},      {"-0", 0},    {"+65535", 65535},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(ParseUInt16(text), value) << '"' << text << '"';
}

TEST(ResolveHost, SortsAndDropsDuplicates) {
    ScriptedResolver resolver;
    resolver.answers["routers"] = {{Ip(10, 0, 0, 2), 0}, {Ip(10, 0, 0, 1), 0}, {Ip(10, 0, 0, 2), 0}, {Ip(10, 0, 0, 1), 0}};
    ResolverGuard guard(&resolver);

    std::vector<NetAddress> out;
    ResolveHost("routers", out);
    EXPECT_EQ(out, (std::vector<NetAddress>{{Ip(10, 0, 0, 1), 0}, {Ip(10, 0, 0, 2), 0}}));

    // Appends to what is there, then sorts the whole list; port 0 equals any port.
    std::vector<NetAddress> mixed{{Ip(10, 0, 0, 2), 30584}, {Ip(10, 0, 0, 9), 1}};
    ResolveHost("routers", mixed);
    EXPECT_EQ(mixed, (std::vector<NetAddress>{{Ip(10, 0, 0, 1), 0}, {Ip(10, 0, 0, 2), 0}, {Ip(10, 0, 0, 9), 1}}));

    std::vector<NetAddress> none;
    ResolveHost("unknown", none);
    EXPECT_TRUE(none.empty());
}

TEST(ResolveHost, SystemResolverReadsNumericAddresses) {
    std::vector<NetAddress> out;
    ResolveHost("127.0.0.3", out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], NetAddress(Ip(127, 0, 0, 3), 0));
    EXPECT_EQ(out[0].ToString(), "127.0.0.3:0");

    std::vector<NetAddress> bad;
    ResolveHost("no-such-host.invalid", bad);
    EXPECT_TRUE(bad.empty());
}

TEST(NetAddress, ValidityAndOrder) {
    EXPECT_FALSE(NetAddress().IsValid());
    NetAddress a(Ip(1, 2, 3, 4), 5);
    EXPECT_TRUE(a.IsValid());
    a.SetPort(9);
    EXPECT_EQ(a.GetPort(), 9);
    EXPECT_LT(NetAddress(1, 9), NetAddress(2, 0));
    EXPECT_LT(NetAddress(1, 1), NetAddress(1, 2));
}

TEST(RandomGenerator, FirstDrawsFromAKnownState) {
    // Reference: the recurrence written out directly.
    std::uint64_t state = 0;
    auto next = [&state] {
        state = (0x5DEECE66DULL * state + 11) & ((1ULL << 48) - 1);
        return static_cast<double>(state) / static_cast<double>(1ULL << 48);
    };

    RandomGenerator g(0);
    EXPECT_EQ(g.NextDouble(), 11.0 / std::ldexp(1.0, 48));
    next();
    for (int i = 0; i < 5; ++i) {
        const double expected = next();
        EXPECT_EQ(g.NextUInt32(), static_cast<std::uint32_t>(expected * 4294967295.0)) << i;
    }
    EXPECT_EQ(g.GetState(), state);
}

TEST(RandomGenerator, JumpTableMakesKStepsAtOnce) {
    std::uint64_t state = 12345;
    for (int i = 0; i < 200; ++i) state = (0x5DEECE66DULL * state + 11) & RandomGenerator::kMask;
    const auto& jump = RandomGenerator::JumpEntry(200);
    EXPECT_EQ((jump.multiplier * 12345 + jump.increment) & RandomGenerator::kMask, state);
    EXPECT_EQ(RandomGenerator::JumpEntry(0).multiplier, 1u);
    EXPECT_EQ(RandomGenerator::JumpEntry(0).increment, 0u);
}

TEST(RandomGenerator, IndexGeneratorStaysBelowN) {
    RandomGenerator g(99);
    auto index = g.MakeIndexGenerator();
    for (int i = 0; i < 100; ++i) EXPECT_LT(index(3), 3u);
    const double d = GetRandomGenerator().NextDouble();
    EXPECT_GE(d, 0.0);
    EXPECT_LT(d, 1.0);
}

TEST(FileSearch, ListsFilesAndFoldersByPattern) {
    Vel::Test::TempDir dir;
    dir.Write("A.TXT", "a");
    dir.Write("b.pak", "b");
    dir.Write("README", "r");
    dir.Write("Sub/c.PAK", "c");
    dir.Write("Sub/Deeper/d.pak", "d");
    std::filesystem::create_directories(dir / "empty");
    const std::string folder = dir.Path().string();  // no trailing slash: one is added

    auto sorted = [](std::vector<std::string> v) {
        std::sort(v.begin(), v.end());
        return v;
    };

    EXPECT_EQ(sorted(FileSearch(folder, "*.txt").GetPaths(false)), (std::vector<std::string>{folder + "/A.TXT"}));
    EXPECT_EQ(sorted(FileSearch(folder, "").GetPaths(false)),
              (std::vector<std::string>{folder + "/A.TXT", folder + "/README", folder + "/b.pak"}));
    EXPECT_EQ(sorted(FileSearch(folder, "*.pak").GetPaths(true)),
              (std::vector<std::string>{folder + "/Sub/Deeper/d.pak", folder + "/Sub/c.PAK", folder + "/b.pak"}));

    std::vector<std::string> folders;
    FileSearch(folder, "*.*").Run([&](FileSearch&, const std::string& name) { folders.push_back(name); }, false, true,
                                  true);
    EXPECT_EQ(sorted(folders), (std::vector<std::string>{"Sub/", "empty/"}));
}

TEST(FileSearch, MatchesBeforeSubFoldersAndFilterStopsDescent) {
    Vel::Test::TempDir dir;
    dir.Write("x.pak", "");
    dir.Write("keep/y.pak", "");
    dir.Write("skip/z.pak", "");

    FileSearch search(dir.Path().string() + "\\", "*.pak");
    search.SetFilter([](const std::string& relative) { return relative.rfind("skip/", 0) != 0; });
    std::vector<std::string> seen;
    search.Run([&](FileSearch& s, const std::string& name) { seen.push_back(s.GetRelativePrefix() + name); }, true,
               false, false);
    EXPECT_EQ(seen, (std::vector<std::string>{"x.pak", "keep/y.pak"}));

    EXPECT_TRUE(FileSearch(dir.Path().string() + "/missing", "*").GetPaths(true).empty());
}

TEST(FileSearch, ALinkBackUpTheTreeIsReportedButNotDescended) {
    Vel::Test::TempDir dir;
    dir.Write("a/x.pak", "");
    dir.Write("b/y.pak", "");
    std::filesystem::create_directory_symlink("..", dir / "a/up");       // a loop
    std::filesystem::create_directory_symlink("../b", dir / "a/to_b");  // not a loop: followed
    const std::string folder = dir.Path().string();
    std::vector<std::string> files = FileSearch(folder, "*.pak").GetPaths(true);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{folder + "/a/to_b/y.pak", folder + "/a/x.pak", folder + "/b/y.pak"}));
    // From inside, the link leads up once; the folder it started from is not searched again.
    files = FileSearch(folder + "/a", "*.pak").GetPaths(true);
    std::sort(files.begin(), files.end());
    EXPECT_EQ(files, (std::vector<std::string>{folder + "/a/to_b/y.pak", folder + "/a/up/b/y.pak",
                                               folder + "/a/x.pak"}));
}

TEST(FileSearch, WildcardTable) {
    const std::tuple<const char*, const char*, bool> cases[] = {
        {"a.pak", "*.pak", true},  {"A.PAK", "*.pak", true}, {"a.pakx", "*.pak", false},
        {"noext", "*.*", true},    {"ab", "a?", true},       {"a", "a?", false},
        {"abcabd", "*abd", true},  {"x.xbc", "*.xbc", true},
    };
    for (const auto& [name, pattern, matches] : cases)
        EXPECT_EQ(FileSearch::MatchesPattern(name, pattern), matches) << name << " " << pattern;
}
