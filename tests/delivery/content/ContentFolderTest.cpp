#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "delivery/content/ContentFolder.h"
#include "delivery/descriptors/FileDescriptors.h"
#include "foundation/time/Clock.h"
#include "foundation/data/MemoryStream.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/config/UserFolders.h"
#include "tests/support/CurrentDirGuard.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/TempDir.h"

using namespace Vel;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kGiB = 1073741824;

ContentFileInfo Stored(std::uint32_t storedSize) { return ContentFileInfo{0, 0, 0, storedSize, 0, 0, "1"}; }

// One version-1 descriptor table.
std::string Table(const FileDescriptorMap& map) {
    VelMemoryStream s;
    s.WriteUInt16(1);
    s.WriteCompactLength(static_cast<std::uint32_t>(map.size()));
    for (const auto& [name, info] : map) {
        s.WriteCompactLength(static_cast<std::uint32_t>(name.size()));
        s.Write(name.data(), static_cast<std::uint32_t>(name.size()));
        for (std::uint32_t v : {info.crc, info.storedCrc, info.size, info.storedSize}) s.WriteUInt32(v);
        s.WriteUInt16(info.compression);
        s.WriteUInt16(info.encryption);
        s.WriteCompactLength(static_cast<std::uint32_t>(info.planetIds.size()));
        s.Write(info.planetIds.data(), static_cast<std::uint32_t>(info.planetIds.size()));
    }
    return std::string(reinterpret_cast<const char*>(s.GetData()), s.GetSize());
}

// An installation root as the current directory and the parent folder setting as given.
class ContentFolderTest : public ::testing::Test {
protected:
    void SetUp() override { fs::current_path(root_.Path()); }
    void TearDown() override { SetParentFolder(""); }

    static void SetParentFolder(const std::string& value) {
        WriteRegistrySettingString(Settings::PublicUsersDataParentFolder.section,
                                   Settings::PublicUsersDataParentFolder.name, value,
                                   Settings::PublicUsersDataParentFolder.scope);
        ReloadPublicUsersDataParentFolder();
    }
    std::string Root() const { return fs::current_path().string() + "/"; }

    Vel::Test::CurrentDirGuard cwd_;
    Vel::Test::TempDir root_{"install"};
};

}  // namespace

TEST(ContentSpace, TheMarginOfOneGibibyteIsAlwaysAdded) {
    const struct {
        std::uint64_t required, present, expected;
    } cases[] = {
        {0, 0, kGiB},
        {5000, 5000, kGiB},          // complete content
        {5000, 9000, kGiB},          // more present than described
        {5000, 4999, kGiB + 1},
        {3 * kGiB, 0, 4 * kGiB},
        {UINT64_MAX, 0, UINT64_MAX},  // no wrap
    };
    for (const auto& c : cases) EXPECT_EQ(ContentSpaceNeeded(c.required, c.present), c.expected) << c.required;
}

TEST(ContentSpace, EachFileTakesItsHeadersNameTwiceAndStoredBytes) {
    EXPECT_EQ(RequiredArchiveSize({}), 0u);
    // (46 + 1) + (30 + 1 + 10) and (46 + 3) + (30 + 3 + 0)
    EXPECT_EQ(RequiredArchiveSize({{"a", Stored(10)}, {"abc", Stored(0)}}), 170u);
    // A stored size near 4 GiB is counted whole.
    EXPECT_EQ(RequiredArchiveSize({{"ab", Stored(0xFFFFFFFF)}}), 80ull + 0xFFFFFFFFull);
}

TEST(ContentFolderSizeCache, MeasuresAtMostOnceAMinute) {
    Vel::Test::TempDir dir{"content"};
    dir.Write("a.pak", std::string(100, 'x'));
    dir.Write("deep/er/b.pak", std::string(20, 'x'));
    FakeClock clock;
    ContentFolderSizeCache cache(clock);

    EXPECT_EQ(cache.Get(dir.Path().string()), 120u);
    dir.Write("c.pak", std::string(5, 'x'));
    clock.Advance(std::chrono::minutes(1));
    EXPECT_EQ(cache.Get(dir.Path().string()), 120u);
    clock.Advance(std::chrono::milliseconds(1));
    EXPECT_EQ(cache.Get(dir.Path().string()), 125u);
}

TEST_F(ContentFolderTest, TheRootAndItsFreeSpaceFollowTheParentFolderSetting) {
    SetParentFolder("");
    EXPECT_EQ(GetContentRoot(), Root());
    EXPECT_GT(GetFreeDiskSpace(""), 0u);

    SetParentFolder("games\\content");
    EXPECT_EQ(GetContentRoot(), Root() + "games/content/");

    // A parent folder on no volume at all: the empty path asks about it, not about some
    // other folder.
    SetParentFolder("/nonexistent-trailstarter-volume/content");
    EXPECT_EQ(GetContentRoot(), "/nonexistent-trailstarter-volume/content/");
    EXPECT_EQ(GetFreeDiskSpace(""), 0u);
    EXPECT_GT(GetFreeDiskSpace(Root()), 0u);
}

TEST_F(ContentFolderTest, CompleteContentNeedsExactlyTheMargin) {
    SetParentFolder("");
    Vel::Test::TempDir programData{"programdata"};
    programData.Write("file_descs/planets.xbc", Table({{"a.dds", Stored(1000)}, {"b.dds", Stored(24)}}));
    ASSERT_TRUE(LoadFileDescriptors(programData.Path().string() + "/"));
    const std::uint64_t required = (76 + 10 + 1000) + (76 + 10 + 24);
    EXPECT_EQ(GetRequiredContentSize(), required);

    // The archives in the public users data folder hold at least that much.
    root_.Write("public_users_data/dynamic_content/planets.pak", std::string(required, 'z'));
    EXPECT_EQ(GetContentFolderSize(), required);
    EXPECT_EQ(GetContentSpaceNeeded(), kGiB);
    LoadFileDescriptors((programData / "none").string() + "/");
}
