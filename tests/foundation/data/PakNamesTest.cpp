#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "foundation/data/ContentFormat.h"
#include "foundation/core/Exception.h"
#include "foundation/data/PakNames.h"
#include "foundation/data/ZipEndRecord.h"
#include "tests/support/TempDir.h"

using Vel::Test::TempDir;

namespace {

std::string Folder(const TempDir& dir) { return dir.Path().string() + "/"; }

// A file of the given size whose last 22 bytes are an end record listing `entries`.
void MakeArchive(const TempDir& dir, const std::string& name, std::uint64_t size, std::uint16_t entries = 1) {
    const auto path = dir / name;
    dir.Write(name, "");
    std::filesystem::resize_file(path, size);
    if (size >= kZipEndRecordSize) {
        ZipEndRecord record;
        record.entriesOnDisk = record.totalEntries = entries;
        std::uint8_t bytes[kZipEndRecordSize];
        SerializeZipEndRecord(record, bytes);
        FILE* f = std::fopen(path.c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        std::fseek(f, static_cast<long>(size - kZipEndRecordSize), SEEK_SET);
        std::fwrite(bytes, 1, sizeof bytes, f);
        std::fclose(f);
    }
}

}  // namespace

TEST(PakNames, GroupsAndNames) {
    EXPECT_EQ(PakGroupOf("planets/alpha/x/y.dds"), "planets/alpha/");
    EXPECT_EQ(PakGroupOf("planets/alpha/"), "planets/alpha/");
    EXPECT_EQ(PakGroupOf("planets/alpha"), "");
    EXPECT_EQ(PakGroupOf("y.dds"), "");
    EXPECT_EQ(MakePakFileName("planets/alpha/", 1), "planets_alpha_01.pak");
    EXPECT_EQ(MakePakFileName("planets/alpha/", 12), "planets_alpha_12.pak");
    EXPECT_EQ(MakePakFileName("", 99), "99.pak");
}

TEST(PakNames, FreeNumberFillsTheFirstGapAndAllTakenThrows) {
    TempDir dir;
    MakeArchive(dir, "planets_alpha_01.pak", 100);
    MakeArchive(dir, "planets_alpha_03.pak", 100);
    EXPECT_EQ(FindPakFiles(Folder(dir), "planets/alpha/"),
              (std::vector<std::string>{"planets_alpha_01.pak", "planets_alpha_03.pak"}));
    EXPECT_EQ(GetFreePakFileName(Folder(dir), "planets/alpha/"), "planets_alpha_02.pak");
    EXPECT_EQ(GetFreePakPath(Folder(dir), "planets/alpha/"), Folder(dir) + "planets_alpha_02.pak");

    TempDir full;
    for (int n = 1; n <= 99; ++n) full.Write(MakePakFileName("", n), "");
    EXPECT_THROW(GetFreePakFileName(Folder(full), ""), Vel::Exception);
    EXPECT_EQ(FindPakFiles(Folder(full), "").size(), 99u);
}

TEST(PakNames, ArchiveWithRoomStaysBelowTheLimitAndTheEntryCount) {
    TempDir dir;
    MakeArchive(dir, "planets_alpha_01.pak", 127'999'000);
    const std::string first = Folder(dir) + "planets_alpha_01.pak";
    const std::string second = Folder(dir) + "planets_alpha_02.pak";
    EXPECT_EQ(FindPakWithRoom(Folder(dir), "planets/alpha/a.dds", 999), first);
    EXPECT_EQ(FindPakWithRoom(Folder(dir), "planets/alpha/a.dds", 1000), second);

    // An archive that holds 65,535 entries takes no more, however small.
    MakeArchive(dir, "planets_alpha_02.pak", 1000, 65535);
    MakeArchive(dir, "planets_alpha_04.pak", 1000, 65534);
    EXPECT_EQ(FindPakWithRoom(Folder(dir), "planets/alpha/a.dds", 1000), Folder(dir) + "planets_alpha_04.pak");
    // The count an open archive reports wins over its file.
    EXPECT_EQ(FindPakWithRoom(Folder(dir), "planets/alpha/a.dds", 1000,
                              [](const std::string&) { return std::uint32_t{65535}; }),
              Folder(dir) + "planets_alpha_03.pak");
}

TEST(PakNames, EndRecordIsFoundOnlyWhereItsBytesFit) {
    std::uint8_t tail[40] = {};
    ZipEndRecord record;
    record.totalEntries = 7;
    SerializeZipEndRecord(record, tail + 18);  // exactly fits
    ASSERT_EQ(FindZipEndRecord(tail, 40), std::optional<std::size_t>(18));
    EXPECT_EQ(ParseZipEndRecord(tail + 18).totalEntries, 7);
    EXPECT_FALSE(FindZipEndRecord(tail, 39).has_value());  // 21 bytes left
}

TEST(ContentFormat, CodeTable) {
    struct Row {
        int code, compression, encryption;
    };
    const Row valid[] = {{0, 0, 0}, {2, 1, 1}, {3, 0, 2}, {4, 0, 1}, {6, 1, 2}, {8, 1, 0}};
    for (const auto& r : valid) {
        int c = 9, e = 9;
        EXPECT_TRUE(SplitContentFormatCode(r.code, c, e)) << r.code;
        EXPECT_EQ(c, r.compression) << r.code;
        EXPECT_EQ(e, r.encryption) << r.code;
        EXPECT_EQ(MakeContentFormatCode(r.compression, r.encryption), r.code);
    }
    for (int code : {1, 5, 7, 9, 100, -1}) {
        int c = 0, e = 0;
        EXPECT_FALSE(SplitContentFormatCode(code, c, e)) << code;
        EXPECT_EQ(c, -1);
        EXPECT_EQ(e, -1);
    }
    for (auto [c, e] : {std::pair{2, 0}, {-1, 0}, {0, 3}, {0, -1}}) EXPECT_THROW(MakeContentFormatCode(c, e), Vel::Exception);
}
