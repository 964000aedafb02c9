#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "delivery/descriptors/ContentFileInfoStream.h"
#include "delivery/content/PlanetList.h"
#include "foundation/data/MemoryStream.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/config/VelRegistryHandler.h"
#include "tests/support/HiveEnvironment.h"
#include "tests/support/PlanetListBytes.h"
#include "tests/support/TempDir.h"

using namespace Vel;
using Ids = std::vector<std::uint16_t>;

namespace {

using Vel::Test::WriteLengthText;

// The reader skips the leading word: a value the site never writes shows that.
std::string Encode(const PlanetList& list) { return Vel::Test::EncodePlanetList(list, 0xBEEF); }

// Two territories; planet 8 is hidden by its "*" name, planet 9 by its empty name.
const PlanetList kList = {
    {100, "core", "Core Worlds", {{5, "solvenda", "Solvenda"}, {8, "*test", "Test"}, {7, "meridian", "Meridian"}}},
    {200, "rim", "Outer Rim", {{9, "", "Nameless"}, {11, "ostrel", "Ostrel"}, {5, "twin", "Twin"}}},
};

class PlanetListTest : public ::testing::Test {
protected:
    PlanetListRead Load(const std::string& bytes) {
        return ReadPlanetList(dir_.Write("planet_list.xbc", bytes).string());
    }
    void LoadFull() { ASSERT_EQ(Load(Encode(kList)), PlanetListRead::Complete); }

    static void StoreListText(const std::string& text) {
        WriteRegistrySettingString("DynamicContent", "BGDownloadList", text, SettingScope::CurrentUser);
    }
    static bool StoredListText(std::string& text) {
        return VelRegistryHandler(false, GetSettingsRegistryPath("DynamicContent")).GetString("BGDownloadList", text);
    }
    static bool Initialized() {
        return ReadSettingBool("DynamicContent", "BGDownloadInitialized", false, SettingScope::CurrentUser);
    }
    static void StorePackage(const std::string& path, std::uint32_t priority) {
        ASSERT_TRUE(VelRegistryHandler(false, GetSettingsRegistryPath("DynamicContent\\Packages")).SetDWORD(path, priority));
    }

    Vel::Test::HiveEnvironment hives_;
    Vel::Test::TempDir dir_{"planets"};
};

}  // namespace

TEST_F(PlanetListTest, LookupsFollowFileOrderAndSkipHiddenPlanets) {
    LoadFull();
    EXPECT_EQ(*GetPlanetList(), kList);
    EXPECT_EQ(GetPlanetIds(true), (Ids{5, 8, 7, 9, 11, 5}));
    EXPECT_EQ(GetPlanetIds(false), (Ids{5, 7, 11, 5}));
    EXPECT_EQ(GetPlanetDisplayName(5), "Core Worlds - Solvenda");  // the first planet with the id
    EXPECT_EQ(GetPlanetDisplayName(11), "Outer Rim - Ostrel");
    EXPECT_EQ(GetPlanetDisplayName(999), "");

    // A missing file leaves the list as it was.
    EXPECT_EQ(ReadPlanetList((dir_ / "absent.xbc").string()), PlanetListRead::Missing);
    EXPECT_EQ(*GetPlanetList(), kList);
}

TEST_F(PlanetListTest, ATruncatedListKeepsWhatWasReadAndTheBrokenRecord) {
    const std::string full = Encode(kList);
    // Cut inside the display name of planet 11: planet 9 stays whole, planet 11 keeps its id
    // and name, the rest of the file is gone.
    const std::size_t cut = full.find("Ostrel") + 2;
    ASSERT_EQ(Load(full.substr(0, cut)), PlanetListRead::Truncated);
    const PlanetList& list = *GetPlanetList();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], kList[0]);
    EXPECT_EQ(list[1].id, 200);
    EXPECT_EQ(list[1].planets, (std::vector<PlanetInfo>{{9, "", "Nameless"}, {11, "ostrel", ""}}));

    // Every shorter file is a truncated one, and what it yields is never longer than the full list.
    for (std::size_t n = 0; n < full.size(); ++n) {
        ASSERT_EQ(Load(full.substr(0, n)), PlanetListRead::Truncated) << n;
        ASSERT_LE(GetPlanetIds(true).size(), 6u) << n;
    }
    // Counts far beyond the data end at the data.
    std::string huge = full.substr(0, 2) + std::string("\xFF\xDF\xFF\xFF", 4);
    EXPECT_EQ(Load(huge), PlanetListRead::Truncated);
    EXPECT_EQ(GetPlanetList()->size(), 1u);
}

TEST_F(PlanetListTest, StoredListTextDropsBadAndUnknownPieces) {
    LoadFull();
    const struct {
        const char* text;
        Ids expected;
    } cases[] = {
        {"5,x,,70000,5,0,999", {5, 5}},  // not a number, empty, above 65535, zero, unknown
        {"11,7,8", {11, 7, 8}},          // hidden planets are known planets
        {"", {}},
        {",,", {}},
        {"7,abc7,7x,11", {7, 11}},
        {"65535,007", {7}},
    };
    for (const auto& c : cases) {
        StoreListText(c.text);
        EXPECT_EQ(LoadBackgroundDownloadList(), c.expected) << c.text;
    }
}

TEST_F(PlanetListTest, StartCleansTheStoredListOnlyWhenThePlanetListWasReadWhole) {
    StoreListText("11,999,5");
    ASSERT_EQ(Load(""), PlanetListRead::Truncated);  // an empty list

    // No planet list: nothing is known, but the player's choice stays stored.
    EXPECT_EQ(StartBackgroundDownloadList(ReadPlanetList((dir_ / "absent.xbc").string())), Ids{});
    std::string text;
    ASSERT_TRUE(StoredListText(text));
    EXPECT_EQ(text, "11,999,5");
    EXPECT_FALSE(Initialized());

    // A truncated planet list holding only territory 100: planet 11 would be erased.
    const std::string full = Encode(kList);
    EXPECT_EQ(StartBackgroundDownloadList(Load(full.substr(0, full.find("rim")))), Ids{5});
    ASSERT_TRUE(StoredListText(text));
    EXPECT_EQ(text, "11,999,5");
    EXPECT_FALSE(Initialized());

    LoadFull();
    EXPECT_EQ(StartBackgroundDownloadList(PlanetListRead::Complete), (Ids{11, 5}));
    ASSERT_TRUE(StoredListText(text));
    EXPECT_EQ(text, "11,5");
    EXPECT_TRUE(Initialized());
}

TEST_F(PlanetListTest, NoStoredListAndNoPackagesGivesAnEmptyListThatIsStored) {
    LoadFull();
    EXPECT_EQ(StartBackgroundDownloadList(PlanetListRead::Complete), Ids{});
    std::string text = "x";
    ASSERT_TRUE(StoredListText(text));
    EXPECT_EQ(text, "");
    EXPECT_TRUE(Initialized());
}

TEST_F(PlanetListTest, OlderPackageChoicesAreReadByPriorityAndStoredInTheCurrentForm) {
    LoadFull();
    StorePackage("territories/rim/generated/planets/ostrel", 2);     // 11
    StorePackage("territories/core/generated/planets/varrow", 9);    // 5
    StorePackage("territories/core/generated/planets/meridian", 0);  // 2: not chosen
    StorePackage("territories/core/generated/planets/tessaly", 4);   // 3: not in the planet list
    StorePackage("territories/drift/generated/planets/eskar", 0xFFFFFFFF);  // 10: negative
    StorePackage("Territories/rim/generated/planets/ostrel", 5);     // no such package
    StorePackage("elsewhere", 7);

    EXPECT_EQ(StartBackgroundDownloadList(PlanetListRead::Complete), (Ids{5, 11}));
    std::string text;
    ASSERT_TRUE(StoredListText(text));
    EXPECT_EQ(text, "5,11");
    // From now on the current form wins over the older one.
    StoreListText("11");
    EXPECT_EQ(LoadBackgroundDownloadList(), Ids{11});
}

// Every package here names a planet of the list, so only the priority decides. The stored
// DWORD is a signed value: 0 and anything with the top bit set choose nothing.
TEST_F(PlanetListTest, OnlyAPositivePriorityChoosesAPackageOfAKnownPlanet) {
    const PlanetList list = {{100, "core", "Core Worlds",
                              {{1, "solvenda", "Solvenda"}, {2, "meridian", "Meridian"}, {3, "tessaly", "Tessaly"},
                               {4, "ashgrove", "Ashgrove"}, {10, "eskar", "Eskar"}}}};
    ASSERT_EQ(Load(Encode(list)), PlanetListRead::Complete);
    StorePackage("territories/core/generated/planets/solvenda", 1);           // 1: the smallest chosen
    StorePackage("territories/core/generated/planets/meridian", 0);           // 2
    StorePackage("territories/core/generated/planets/tessaly", 0xFFFFFFFF);   // 3: -1
    StorePackage("territories/reach/generated/planets/ashgrove", 0x80000000); // 4: the most negative
    StorePackage("territories/drift/generated/planets/eskar", 0x7FFFFFFF);    // 10: the largest chosen

    EXPECT_EQ(StartBackgroundDownloadList(PlanetListRead::Complete), (Ids{10, 1}));
    std::string text;
    ASSERT_TRUE(StoredListText(text));
    EXPECT_EQ(text, "10,1");
}

TEST(PackagePlanetIds, TheTableMapsWholePathsExactly) {
    EXPECT_EQ(FindPackagePlanetId("territories/core/generated/planets/solvenda"), 1);
    EXPECT_EQ(FindPackagePlanetId("territories/verge/generated/planets/irrin"), 12);
    EXPECT_EQ(FindPackagePlanetId("territories/verge/generated/planets/irrin/"), 0);
    EXPECT_EQ(FindPackagePlanetId("TERRITORIES/verge/generated/planets/irrin"), 0);
    EXPECT_EQ(FindPackagePlanetId(""), 0);
}

TEST(ContentFileInfoStream, AShortRecordReadsZerosAndFailsTheStream) {
    VelMemoryStream full;
    for (std::uint32_t v : {1u, 2u, 3u, 4u}) full.WriteUInt32(v);
    full.WriteUInt16(5);
    full.WriteUInt16(6);
    WriteLengthText(full, "1,2");
    VelMemoryStream whole(full.GetData(), full.GetSize());
    ContentFileInfo info;
    EXPECT_TRUE(ReadContentFileInfo(whole, info).IsGood());
    EXPECT_EQ(info, (ContentFileInfo{1, 2, 3, 4, 5, 6, "1,2"}));

    // Broken inside the size: what was there is kept, the rest is zero or empty.
    VelMemoryStream shortStream(full.GetData(), 10);
    info.planetIds = "old";
    EXPECT_FALSE(ReadContentFileInfo(shortStream, info).IsGood());
    EXPECT_EQ(info, (ContentFileInfo{1, 2, 0, 0, 0, 0, ""}));
}
