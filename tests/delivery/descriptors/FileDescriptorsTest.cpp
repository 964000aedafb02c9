#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "delivery/descriptors/FileDescriptors.h"
#include "foundation/data/MemoryStream.h"
#include "tests/support/TempDir.h"

using Vel::ContentFileInfo;
using Vel::Test::ReadFile;
using Vel::Test::TempDir;

namespace {

struct Record {
    std::string name;
    ContentFileInfo info;
};

ContentFileInfo Info(std::uint32_t crc, std::string planets = "1") {
    return ContentFileInfo{crc, crc + 1, 100 + crc, 50 + crc, 1, 0, std::move(planets)};
}

std::string Table(const std::vector<Record>& records, std::uint16_t version = 1, int count = -1) {
    VelMemoryStream s;
    s.WriteUInt16(version);
    s.WriteCompactLength(count < 0 ? static_cast<std::uint32_t>(records.size()) : static_cast<std::uint32_t>(count));
    for (const auto& r : records) {
        s.WriteCompactLength(static_cast<std::uint32_t>(r.name.size()));
        s.Write(r.name.data(), static_cast<std::uint32_t>(r.name.size()));
        s.WriteUInt32(r.info.crc);
        s.WriteUInt32(r.info.storedCrc);
        s.WriteUInt32(r.info.size);
        s.WriteUInt32(r.info.storedSize);
        s.WriteUInt16(r.info.compression);
        s.WriteUInt16(r.info.encryption);
        s.WriteCompactLength(static_cast<std::uint32_t>(r.info.planetIds.size()));
        s.Write(r.info.planetIds.data(), static_cast<std::uint32_t>(r.info.planetIds.size()));
    }
    return std::string(reinterpret_cast<const char*>(s.GetData()), s.GetSize());
}

}  // namespace

TEST(FileDescriptors, TablesLoadInNameOrderAndOnlyWholeTablesCount) {
    TempDir dir;
    // The record of the hand-made example: named A, empty planet text.
    std::string example("\x01\x00\x01\x00\x01\x00" "A", 7);
    for (int k = 1; k <= 16; ++k) example.push_back(static_cast<char>(k));
    example += std::string("\x01\x00\x00\x00\x00\x00", 6);
    dir.Write("file_descs/00-example.xbc", example);
    dir.Write("file_descs/10-first.xbc", Table({{"shared", Info(1)}, {"dup", Info(2)}, {"dup", Info(3)}}));
    dir.Write("file_descs/20-second.xbc", Table({{"shared", Info(9)}, {"only2", Info(4)}}));
    dir.Write("file_descs/sub/30-nested.xbc", Table({{"nested", Info(5)}}));
    dir.Write("file_descs/40-other.txt", Table({{"other", Info(6)}}));
    ASSERT_TRUE(Vel::LoadFileDescriptors(dir.Path().string()));

    const auto a = Vel::FindFileDescriptor("A");
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->crc, 0x04030201u);
    EXPECT_EQ(a->storedSize, 0x100F0E0Du);
    EXPECT_EQ(a->compression, 1);
    EXPECT_EQ(a->encryption, 0);
    EXPECT_EQ(a->planetIds, "");
    EXPECT_EQ(Vel::FindFileDescriptor("shared"), Info(1));  // the first table listed wins
    EXPECT_EQ(Vel::FindFileDescriptor("dup"), Info(2));     // the first record of a table wins
    EXPECT_EQ(Vel::FindFileDescriptor("only2"), Info(4));
    EXPECT_FALSE(Vel::FindFileDescriptor("nested"));  // not recursive
    EXPECT_FALSE(Vel::FindFileDescriptor("other"));
    EXPECT_EQ(Vel::GetFileDescriptors()->size(), 4u);
}

TEST(FileDescriptors, DamagedTablesAddNothingAndAWrongVersionIsUsedButReported) {
    const std::string good = Table({{"g1", Info(1)}, {"g2", Info(2)}, {"g3", Info(3)}});
    struct Case {
        const char* what;
        std::string table;
        std::vector<std::string> expected;
    } cases[] = {
        {"version 2", Table({{"v1", Info(1)}, {"v2", Info(2)}, {"v3", Info(3)}}, 2), {"v1", "v2", "v3"}},
        {"cut in its last record", good.substr(0, good.size() - 3), {}},
        {"count above its records", Table({{"c1", Info(1)}}, 1, 2), {}},
        // A count near the largest the code can hold: nothing is reserved by it.
        {"huge count", Table({{"h1", Info(1)}}, 1, 0x1FFFFFFF), {}},
        {"one byte", std::string("\x01", 1), {}},
        {"empty", std::string(), {}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        dir.Write("file_descs/t.xbc", c.table);
        dir.Write("file_descs/u.xbc", Table({{"kept", Info(7)}}));
        EXPECT_FALSE(Vel::LoadFileDescriptors(dir.Path().string())) << c.what;
        const auto map = Vel::GetFileDescriptors();
        EXPECT_EQ(map->size(), c.expected.size() + 1) << c.what;
        EXPECT_TRUE(map->count("kept")) << c.what;
        for (const auto& name : c.expected) EXPECT_TRUE(map->count(name)) << c.what << " " << name;
    }
}

TEST(FileDescriptors, AHolderKeepsItsMapWhenTheTablesAreLoadedAgain) {
    TempDir dir;
    dir.Write("file_descs/a.xbc", Table({{"x", Info(1)}}));
    ASSERT_TRUE(Vel::LoadFileDescriptors(dir.Path().string()));
    const auto held = Vel::GetFileDescriptors();
    dir.Write("file_descs/a.xbc", Table({{"y", Info(2)}}));
    ASSERT_TRUE(Vel::LoadFileDescriptors(dir.Path().string()));
    EXPECT_NE(Vel::GetFileDescriptors(), held);  // how a holder sees the swap
    EXPECT_TRUE(held->count("x"));
    EXPECT_FALSE(Vel::FindFileDescriptor("x"));
    EXPECT_TRUE(Vel::FindFileDescriptor("y"));

    TempDir empty;  // no "file_descs/" at all
    EXPECT_TRUE(Vel::LoadFileDescriptors(empty.Path().string()));
    EXPECT_TRUE(Vel::GetFileDescriptors()->empty());
}

TEST(CorruptFileList, ReadsNamesAndForgetsOnlyTheHandledOnes) {
    TempDir dir;
    const std::string path = (dir / "corrupt_files.lst").string();
    EXPECT_TRUE(Vel::ReadCorruptFileList(path).empty());  // missing
    EXPECT_TRUE(Vel::ForgetCorruptFiles(path, {"a"}));
    EXPECT_FALSE(std::filesystem::exists(path));

    dir.Write("corrupt_files.lst", "a\n\nb\r\nc\nb\n\r\nd");
    const std::set<std::string> expected{"a", "b", "c", "d"};
    EXPECT_EQ(Vel::ReadCorruptFileList(path), expected);
    EXPECT_EQ(Vel::ReadCorruptFileList(path), expected);  // reading leaves it

    // The client appended "e" after the list was read; only what was handled goes.
    dir.Write("corrupt_files.lst", ReadFile(path) + "\ne\n");
    ASSERT_TRUE(Vel::ForgetCorruptFiles(path, {"a", "b", "d", "x"}));
    EXPECT_EQ(ReadFile(path), "c\ne\n");
    ASSERT_TRUE(Vel::ForgetCorruptFiles(path, {"c", "e"}));
    EXPECT_EQ(ReadFile(path), "");
}
