#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "delivery/archive/Deflate.h"
#include "delivery/descriptors/FileDescriptors.h"
#include "delivery/jobs/ThreadJob.h"
#include "delivery/archive/Zip.h"
#include "foundation/data/Crc32.h"
#include "foundation/core/Exception.h"
#include "platform/FileDurability.h"
#include "tests/support/TempDir.h"

using Vel::Zip;
using Vel::ZipEntry;
using Vel::Test::ReadFile;
using Vel::Test::TempDir;

namespace {

constexpr unsigned kRead = 0;
constexpr unsigned kWrite = Vel::kZipWritable;

void Put16(std::string& s, std::size_t at, std::uint16_t v) {
    s[at] = static_cast<char>(v);
    s[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) s[at + k] = static_cast<char>(v >> (8 * k));
}
std::uint32_t Get32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int k = 3; k >= 0; --k) v = v << 8 | static_cast<std::uint8_t>(s[at + k]);
    return v;
}

// A stored entry placed by hand: its local header at offset, followed by its name, localExtra
// bytes of extra field and the data.
struct Placed {
    std::uint32_t offset;
    std::string name;
    std::string data;
    std::uint16_t localExtra = 0;
    std::uint16_t centralExtra = 0;
};

// An archive image with the entries where they are asked to be, the directory right after the
// last one and an end record followed by `comment` bytes.
std::string Build(const std::vector<Placed>& entries, std::size_t comment = 0) {
    std::string file;
    std::string directory;
    for (const auto& e : entries) {
        const std::size_t end = e.offset + 30 + e.name.size() + e.localExtra + e.data.size();
        if (file.size() < end) file.resize(end, '\0');
        std::string local(30, '\0');
        Put32(local, 0, 0x04034b50);
        Put32(local, 14, Crc32(e.data.data(), e.data.size()));
        Put32(local, 18, static_cast<std::uint32_t>(e.data.size()));
        Put32(local, 22, static_cast<std::uint32_t>(e.data.size()));
        Put16(local, 26, static_cast<std::uint16_t>(e.name.size()));
        Put16(local, 28, e.localExtra);
        local += e.name + std::string(e.localExtra, 'x') + e.data;
        file.replace(e.offset, local.size(), local);
        std::string central(46, '\0');
        Put32(central, 0, 0x02014b50);
        Put32(central, 16, Crc32(e.data.data(), e.data.size()));
        Put32(central, 20, static_cast<std::uint32_t>(e.data.size()));
        Put32(central, 24, static_cast<std::uint32_t>(e.data.size()));
        Put16(central, 28, static_cast<std::uint16_t>(e.name.size()));
        Put16(central, 30, e.centralExtra);
        Put32(central, 42, e.offset);
        directory += central + e.name + std::string(e.centralExtra, 'y');
    }
    std::string record(22, '\0');
    Put32(record, 0, 0x06054b50);
    Put16(record, 8, static_cast<std::uint16_t>(entries.size()));
    Put16(record, 10, static_cast<std::uint16_t>(entries.size()));
    Put32(record, 12, static_cast<std::uint32_t>(directory.size()));
    Put32(record, 16, static_cast<std::uint32_t>(file.size()));
    Put16(record, 20, static_cast<std::uint16_t>(comment));
    return file + directory + record + std::string(comment, 'c');
}

std::string Content(int k, std::size_t size) {
    std::string s(size, '\0');
    std::mt19937 rng(static_cast<unsigned>(k));
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

void Add(Zip& zip, const std::string& name, const std::string& data) {
    zip.AddEntry(name, 0, Crc32(data.data(), data.size()), static_cast<std::uint32_t>(data.size()),
                 static_cast<std::uint32_t>(data.size()), data.data(), static_cast<std::uint32_t>(data.size()));
}

std::string Read(Zip& zip, const std::string& name) {
    ZipEntry e;
    if (!zip.GetEntryInfo(name, e)) return "<missing>";
    const auto s = zip.ReadEntry(e);
    return std::string(reinterpret_cast<const char*>(s->GetData()), s->GetSize());
}

std::uint32_t OffsetOf(Zip& zip, const std::string& name) {
    ZipEntry e;
    EXPECT_TRUE(zip.GetEntryInfo(name, e)) << name;
    return e.localHeaderOffset;
}

std::string Bytes(const VelMemoryStream& s) { return std::string(reinterpret_cast<const char*>(s.GetData()), s.GetSize()); }

bool HaveTool(const char* name) { return std::system((std::string("command -v ") + name + " >/dev/null").c_str()) == 0; }

}  // namespace

TEST(Zip, EntriesSurviveAFlushAndTheirRecordsAreAsWritten) {
    TempDir dir;
    const std::string path = (dir / "a.pak").string();
    {
        Zip zip(path, kWrite);
        Add(zip, "planets/alpha/one.dds", "first");
        Add(zip, "two", std::string(5000, 'b'));
        zip.AddEntry("three", 8, 0x12345678, 3, 99, "xyz", 3);
        EXPECT_THROW(zip.AddEntry("bad", 0, 0, 4, 4, "abc", 3), Vel::Exception);  // length != stored size
        EXPECT_TRUE(zip.IsModified());
    }
    EXPECT_FALSE(std::filesystem::exists(Zip::MarkerPath(path)));
    Zip zip(path, kRead);
    EXPECT_EQ(Read(zip, "planets/alpha/one.dds"), "first");
    EXPECT_EQ(Read(zip, "two"), std::string(5000, 'b'));
    ZipEntry e;
    ASSERT_TRUE(zip.GetEntryInfo("three", e));
    EXPECT_EQ(e.method, 8);
    EXPECT_EQ(e.crc32, 0x12345678u);
    EXPECT_EQ(e.compressedSize, 3u);
    EXPECT_EQ(e.uncompressedSize, 99u);
    EXPECT_FALSE(zip.GetEntryInfo("Two", e));  // names are case-sensitive
    EXPECT_EQ(zip.GetEntries().size(), 3u);
    EXPECT_THROW(Add(zip, "x", "y"), Vel::Exception);  // read-only
    EXPECT_THROW(zip.RemoveEntry("two"), Vel::Exception);

    // The file is a zip any tool reads: stored entries with their CRC-32.
    if (HaveTool("unzip")) {
        TempDir other;
        const std::string plain = (other / "plain.zip").string();
        {
            Zip z(plain, kWrite);
            Add(z, "dir/file.txt", "hello\n");
            Add(z, "other.bin", Content(1, 3000));
        }
        EXPECT_EQ(std::system(("unzip -tqq " + plain + " >/dev/null").c_str()), 0);
    }
}

TEST(Zip, EmptyArchivesAreDeleted) {
    TempDir dir;
    const std::string path = (dir / "a.pak").string();
    { Zip zip(path, kWrite); }
    EXPECT_FALSE(std::filesystem::exists(path));
    {
        Zip zip(path, kWrite);
        Add(zip, "x", "1");
    }
    EXPECT_TRUE(std::filesystem::exists(path));
    {
        Zip zip(path, kWrite);
        zip.RemoveEntry("x");
        EXPECT_THROW(zip.RemoveEntry("x"), Vel::Exception);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
    // Read-only on a missing file: an empty archive in memory, nothing created.
    { Zip zip(path, kRead); }
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(Zip, HolesAboveThirtyBytesAreReusedFirstFit) {
    // Holes of 30 and 31 bytes between three entries.
    TempDir dir;
    const std::string a(10, 'a'), b(10, 'b'), c(10, 'c');
    const std::uint32_t bOffset = 41 + 30;        // a ends at 41
    const std::uint32_t cOffset = bOffset + 41 + 31;  // b ends at bOffset + 41
    dir.Write("h.pak", Build({{0, "a", a}, {bOffset, "b", b}, {cOffset, "c", c}}));
    const std::string path = (dir / "h.pak").string();
    {
        Zip zip(path, kWrite);
        EXPECT_TRUE(zip.FreeSpaceAtLeast(31));
        EXPECT_FALSE(zip.FreeSpaceAtLeast(32));
        // Room 31 (30 + name 1 + 0 bytes) fills the 31-byte hole exactly.
        Add(zip, "d", "");
        EXPECT_EQ(OffsetOf(zip, "d"), bOffset + 41);
        EXPECT_FALSE(zip.FreeSpaceAtLeast(1));
    }
    Zip zip(path, kRead);
    for (const auto& [name, data] : {std::pair{"a", a}, {"b", b}, {"c", c}, {"d", std::string()}})
        EXPECT_EQ(Read(zip, name), data);
}

TEST(Zip, RemaindersUnderThirtyBytesAreDropped) {
    struct Case {
        std::uint32_t remainder;
        bool listed;
    };
    for (const Case c : {Case{29, false}, Case{30, true}}) {
        TempDir dir;
        // A 100-byte hole after "a"; the new entry takes 100 - remainder bytes of it.
        dir.Write("r.pak", Build({{0, "a", "0123456789"}, {41 + 100, "b", "z"}}));
        const std::string path = (dir / "r.pak").string();
        Zip zip(path, kWrite);
        Add(zip, "n", std::string(100 - c.remainder - 31, 'n'));
        EXPECT_EQ(OffsetOf(zip, "n"), 41u) << c.remainder;
        EXPECT_EQ(zip.FreeSpaceAtLeast(c.remainder), c.listed) << c.remainder;
        EXPECT_EQ(zip.FreeSpaceAtLeast(1), c.listed) << c.remainder;
    }
}

TEST(Zip, FreedSpaceIsReusedOnlyAfterTheNextFlush) {
    TempDir dir;
    const std::string path = (dir / "f.pak").string();
    {
        Zip zip(path, kWrite);
        Add(zip, "a", std::string(200, 'a'));
        Add(zip, "b", std::string(200, 'b'));
    }
    std::uint32_t secondPlace = 0;
    {
        Zip zip(path, kWrite);
        Add(zip, "a", std::string(200, 'A'));  // same size: the old place is still the directory's
        EXPECT_NE(OffsetOf(zip, "a"), 0u);
        secondPlace = OffsetOf(zip, "a");
        EXPECT_TRUE(std::filesystem::exists(Zip::MarkerPath(path)));
    }
    {
        Zip zip(path, kWrite);
        EXPECT_EQ(Read(zip, "a"), std::string(200, 'A'));
        Add(zip, "c", std::string(150, 'c'));  // now the first place is free
        EXPECT_EQ(OffsetOf(zip, "c"), 0u);
        EXPECT_EQ(OffsetOf(zip, "a"), secondPlace);
    }
}

TEST(Zip, EndRecordAndSizesAreBoundedByTheFile) {
    // "b" ends where the directory starts (76); the directory holds 2 x 47 bytes, then the end
    // record: 192 bytes in all.
    const std::string good = Build({{0, "a", "hello"}, {40, "b", "world"}});
    const std::size_t directory = Get32(good, good.size() - 22 + 16);
    ASSERT_EQ(directory, 76u);
    const std::size_t bCentral = directory + 46 + 1;
    auto changed = [&](std::initializer_list<std::pair<std::size_t, std::uint32_t>> puts) {
        std::string s = good;
        for (const auto& [at, value] : puts) Put32(s, at, value);
        return s;
    };
    // Where the corrupt error comes: at the opening, at the read of an entry, or not at all.
    // Only a writable archive, or one opened with offset checks, reads the local headers and
    // sorts the table at the opening; a plain read-only one judges an entry when it is read.
    enum Outcome { kFine, kOnOpen, kOnRead };
    const auto text = [](Outcome o) { return o == kFine ? "fine" : o == kOnOpen ? "corrupt on open" : "corrupt on read"; };
    struct Case {
        const char* what;
        std::string image;
        Outcome read, write, checkOffsets;
    };
    const std::vector<Case> cases = {
        {"untouched: an entry ending exactly at the directory", good, kFine, kFine, kFine},
        {"end record 257 bytes from the end", Build({{0, "a", "hello"}}, 257 - 22), kOnOpen, kOnOpen, kOnOpen},
        {"shorter than an end record", std::string("PK\5\6", 4) + std::string(10, '\0'), kOnOpen, kOnOpen, kOnOpen},
        {"directory larger than the file", changed({{good.size() - 22 + 12, 0x7FFFFFFF}}), kOnOpen, kOnOpen, kOnOpen},
        {"central signature", changed({{directory, 0x12345678}}), kOnOpen, kOnOpen, kOnOpen},
        // The directory's stored size of "a" alone: past the end of the file.
        {"entry larger than the file", changed({{directory + 20, 0xFFFFFF00}}), kOnRead, kOnOpen, kOnOpen},
        {"local size differs", changed({{18, 4}}), kOnRead, kOnOpen, kOnOpen},
        // "b" 20 bytes longer in its local header and in the directory: into the directory,
        // still inside the file.
        {"entry running into the directory", changed({{40 + 18, 25}, {bCentral + 20, 25}}), kOnRead, kOnOpen, kOnOpen},
        // A local extra field of 10 bytes that only the local header of "b" has: its bytes
        // then run into the directory.
        {"local extra running into the directory", [&] {
             std::string s = good;
             Put16(s, 40 + 28, 10);
             return s;
         }(), kOnRead, kOnOpen, kOnOpen},
        // Both entries at 40, where "b" lies with a name and size that "a" shares: only the
        // sorted table shows the overlap.
        {"overlapping entries", changed({{directory + 42, 40}}), kFine, kOnOpen, kOnOpen},
    };
    const std::pair<const char*, unsigned> modes[] = {
        {"read-only", kRead}, {"writable", kWrite}, {"offset checks", unsigned{Vel::kZipCheckOffsets}}};
    for (const auto& c : cases) {
        const Outcome expected[] = {c.read, c.write, c.checkOffsets};
        for (std::size_t m = 0; m < std::size(modes); ++m) {
            SCOPED_TRACE(std::string(c.what) + ", " + modes[m].first);
            TempDir dir;
            const std::string path = dir.Write("x.pak", c.image).string();
            Outcome got = kOnOpen;
            try {
                Zip zip(path, modes[m].second);
                got = kOnRead;
                for (const auto& e : zip.GetEntries()) zip.ReadEntry(e);
                got = kFine;
            } catch (const Zip::CorruptException& e) {
                EXPECT_EQ(e.GetArchivePath(), path);
            }
            EXPECT_STREQ(text(got), text(expected[m]));
            // A damaged archive is never changed by being looked at.
            EXPECT_EQ(ReadFile(path), c.image);
        }
    }
    // 256 bytes from the end is still found.
    TempDir dir;
    Zip zip(dir.Write("ok.pak", Build({{0, "a", "hello"}}, 256 - 22)).string(), kRead);
    EXPECT_EQ(Read(zip, "a"), "hello");
}

TEST(Zip, ForeignExtraFieldsAreDroppedAndCountInTheExtent) {
    // Local extra fields make each entry 7 bytes longer than its name and data say; the
    // directory's extra fields are not kept.
    TempDir dir;
    const std::string path =
        dir.Write("e.pak", Build({{0, "a", "alpha", 7, 5}, {100, "b", "beta", 3, 9}})).string();
    {
        Zip zip(path, kWrite);
        EXPECT_EQ(Read(zip, "a"), "alpha");
        // The hole after "a" starts where its extra field and data end (30 + 1 + 7 + 5 = 43).
        Add(zip, "c", std::string(20, 'c'));  // room 51 of the 57 free
        EXPECT_EQ(OffsetOf(zip, "c"), 43u);
        Add(zip, "b", "BETA");
    }
    Zip zip(path, kRead);
    for (const auto& e : zip.GetEntries()) EXPECT_EQ(e.extraLength + e.commentLength, 0) << e.name;
    EXPECT_EQ(Read(zip, "a"), "alpha");
    EXPECT_EQ(Read(zip, "b"), "BETA");
}

TEST(Zip, ArchiveMadeByZipSurvivesAChange) {
    if (!HaveTool("zip") || !HaveTool("unzip")) GTEST_SKIP() << "zip and unzip are not installed";
    TempDir dir;
    dir.Write("src/notes.txt", std::string(3000, 'n'));
    dir.Write("src/data.bin", Content(5, 4000));
    dir.Write("src/keep.txt", "keep me\n");
    const std::string path = (dir / "made.zip").string();
    // zip writes its extended time and Unix id extra fields, and an archive comment.
    const std::string in = "cd " + dir.Path().string() + " && ";
    ASSERT_EQ(std::system((in + "zip -q -r made.zip src && echo 'a comment' | zip -q -z made.zip").c_str()), 0);
    {
        Zip zip(path, kWrite);
        ZipEntry notes;
        ASSERT_TRUE(zip.GetEntryInfo("src/notes.txt", notes));
        EXPECT_EQ(notes.method, 8);
        const auto stored = zip.ReadEntry(notes);
        VelMemoryStream plain;
        InflateRaw(stored->GetData(), stored->GetSize(), plain, notes.uncompressedSize);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(plain.GetData()), plain.GetSize()), std::string(3000, 'n'));
        zip.RemoveEntry("src/notes.txt");
        Add(zip, "src/data.bin", "replaced");
        Add(zip, "src/new.txt", std::string(20, 'w'));
    }
    EXPECT_EQ(std::system(("unzip -tqq " + path + " >/dev/null").c_str()), 0);
    EXPECT_EQ(std::system(("cd " + dir.Path().string() + " && mkdir out && cd out && unzip -qq ../made.zip").c_str()), 0);
    EXPECT_EQ(ReadFile(dir / "out/src/keep.txt"), "keep me\n");
    EXPECT_EQ(ReadFile(dir / "out/src/data.bin"), "replaced");
    EXPECT_EQ(ReadFile(dir / "out/src/new.txt"), std::string(20, 'w'));
    EXPECT_FALSE(std::filesystem::exists(dir / "out/src/notes.txt"));
}

TEST(Zip, TheEntryCountStopsAt65535) {
    TempDir dir;
    const std::string path = (dir / "many.pak").string();
    {
        Zip zip(path, kWrite);
        char name[16];
        for (int k = 0; k < 65535; ++k) {
            std::snprintf(name, sizeof name, "%05d", k);
            zip.AddEntry(name, 0, 0, 0, 0, "", 0);
        }
        EXPECT_THROW(zip.AddEntry("one more", 0, 0, 0, 0, "", 0), Vel::Exception);
        Add(zip, "00007", "replacing still works");
    }
    Zip zip(path, kRead);
    EXPECT_EQ(zip.GetEntries().size(), 65535u);
    EXPECT_EQ(Read(zip, "00007"), "replacing still works");
}

TEST(Zip, ABusyArchiveIsAFileErrorNeverCorrupt) {
    TempDir dir;
    const std::string path = (dir / "b.pak").string();
    Zip writer(path, kWrite);
    Add(writer, "x", "1");  // the marker is present now
    for (unsigned mode : {kRead, kWrite, unsigned{Vel::kZipRecover | kWrite}}) {
        try {
            Zip other(path, mode);
            ADD_FAILURE() << "opened a busy archive with mode " << mode;
        } catch (const Zip::CorruptException&) {
            ADD_FAILURE() << "busy reported as corrupt, mode " << mode;
        } catch (const Vel::FileException& e) {
            EXPECT_EQ(e.GetFileName(), path);
        }
    }
    EXPECT_EQ(Read(writer, "x"), "1");
}

TEST(Zip, CopyEntryFromKeepsTheStoredFormAndLocksBothWays) {
    TempDir dir;
    const std::string a = (dir / "a.pak").string(), b = (dir / "b.pak").string();
    {
        Zip src(a, kWrite);
        src.AddEntry("e", 2, 0xABCDEF01, 4, 40, "\x01\x02\x03\x04", 4);
    }
    Zip src(a, kRead);
    Zip dst(b, kWrite);
    ZipEntry e;
    ASSERT_TRUE(src.GetEntryInfo("e", e));
    dst.CopyEntryFrom(src, e, "copy");
    ZipEntry c;
    ASSERT_TRUE(dst.GetEntryInfo("copy", c));
    EXPECT_EQ(c.method, 2);
    EXPECT_EQ(c.crc32, 0xABCDEF01u);
    EXPECT_EQ(c.uncompressedSize, 40u);
    EXPECT_EQ(Read(dst, "copy"), "\x01\x02\x03\x04");
}

TEST(Zip, ModeUpgradeFlushesAndReopensForWriting) {
    TempDir dir;
    const std::string path = (dir / "m.pak").string();
    {
        Zip zip(path, kWrite);
        Add(zip, "a", "1");
    }
    Zip zip(path, kRead);
    EXPECT_THROW(Add(zip, "b", "2"), Vel::Exception);
    zip.SetMode(kWrite);
    EXPECT_EQ(zip.GetMode() & kWrite, kWrite);
    Add(zip, "b", "2");
    zip.SetMode(kRead);  // ignored
    Add(zip, "c", "3");
    EXPECT_EQ(Read(zip, "a"), "1");
}

namespace {

// Publishes descriptors for the given names through a table in dir.
void Describe(const TempDir& dir, const std::vector<std::pair<std::string, Vel::ContentFileInfo>>& records) {
    VelMemoryStream s;
    s.WriteUInt16(1);
    s.WriteCompactLength(static_cast<std::uint32_t>(records.size()));
    for (const auto& [name, d] : records) {
        s.WriteCompactLength(static_cast<std::uint32_t>(name.size()));
        s.Write(name.data(), static_cast<std::uint32_t>(name.size()));
        for (std::uint32_t v : {d.crc, d.storedCrc, d.size, d.storedSize}) s.WriteUInt32(v);
        s.WriteUInt16(d.compression);
        s.WriteUInt16(d.encryption);
        s.WriteCompactLength(0);
    }
    dir.Write("descs/file_descs/t.xbc", std::string(reinterpret_cast<const char*>(s.GetData()), s.GetSize()));
    ASSERT_TRUE(Vel::LoadFileDescriptors((dir / "descs").string()));
}

Vel::ContentFileInfo StoredInfo(const std::string& data) {
    const auto crc = Crc32(data.data(), data.size());
    const auto n = static_cast<std::uint32_t>(data.size());
    return {crc, crc, n, n, 0, 0, "1"};
}

std::string Deflated(const std::string& text, int level) {
    VelMemoryStream packed;
    DeflateRaw(text.data(), static_cast<std::uint32_t>(text.size()), packed, level);
    return std::string(reinterpret_cast<const char*>(packed.GetData()), packed.GetSize());
}

void Flip(const std::string& path, std::uint64_t at) {
    FILE* f = std::fopen(path.c_str(), "r+b");
    std::fseek(f, static_cast<long>(at), SEEK_SET);
    const int c = std::fgetc(f);
    std::fseek(f, static_cast<long>(at), SEEK_SET);
    std::fputc(c ^ 0x5A, f);
    std::fclose(f);
}

}  // namespace

TEST(Zip, VerifyJudgesStoredBytesByTheirDescriptor) {
    TempDir dir;
    const std::string path = (dir / "v.pak").string();
    std::string text;
    for (int k = 0; k < 400; ++k) text += "terrain tile " + std::to_string(k % 13) + "\n";
    const auto textCrc = Crc32(text.data(), text.size());
    const auto n = static_cast<std::uint32_t>(text.size());
    const std::string best = Deflated(text, 9), fast = Deflated(text, 1);
    ASSERT_NE(best, fast);
    Vel::ContentFileInfo packedInfo{textCrc, Crc32(best.data(), best.size()), n,
                                    static_cast<std::uint32_t>(best.size()), 1, 0, "1"};
    {
        Zip zip(path, kWrite);
        Add(zip, "good", "fine");
        Add(zip, "bad", "damaged soon");
        Add(zip, "newer", "an older version, damaged soon");
        Add(zip, "other form", "stored here, deflated in the tables, damaged soon");
        Add(zip, "undescribed", "no table names it");
        // Deflated at another level: decodes to the content, but not to the stored CRC-32.
        zip.AddEntry("recoded", 8, textCrc, static_cast<std::uint32_t>(fast.size()), n, fast.data(),
                     static_cast<std::uint32_t>(fast.size()));
        const std::string junk(64, 'j');
        zip.AddEntry("hopeless", 2, textCrc, 64, n, junk.data(), 64);
    }
    Vel::ContentFileInfo otherForm = StoredInfo("stored here, deflated in the tables, damaged soon");
    otherForm.compression = 1;
    Describe(dir, {{"good", StoredInfo("fine")},
                   {"bad", StoredInfo("damaged soon")},
                   {"newer", StoredInfo("the newer version")},
                   {"other form", otherForm},
                   {"recoded", packedInfo},
                   {"hopeless", {textCrc, 1, n, 64, 1, 1, "1"}}});
    {
        Zip zip(path, kRead);
        for (const char* name : {"bad", "newer", "other form"}) Flip(path, OffsetOf(zip, name) + 30 + std::strlen(name) + 2);
    }

    Zip zip(path, kWrite);
    EXPECT_NO_THROW(zip.Verify(Vel::kZipCheckLocalHeaders, {}, {}));
    EXPECT_THROW(zip.Verify(Vel::kZipCheckCrc, {}, {}), Zip::CorruptException);
    std::vector<std::string> reported;
    const auto report = [&](const std::string& name) { reported.push_back(name); };
    // Stopped at once, by the progress function or the job: nothing is removed.
    zip.Verify(Vel::kZipCheckCrc | Vel::kZipRemoveBad, [](std::size_t) { return false; }, report);
    auto aborted = std::make_shared<Vel::ThreadJob>();
    aborted->Abort();
    zip.Verify(Vel::kZipCheckCrc | Vel::kZipRemoveBad, {}, report, aborted);
    EXPECT_TRUE(reported.empty());
    EXPECT_EQ(zip.GetEntries().size(), 7u);

    zip.Verify(Vel::kZipCheckCrc | Vel::kZipRemoveBad, {}, report);
    EXPECT_EQ(reported, (std::vector<std::string>{"bad", "undescribed", "hopeless"}));
    for (const char* name : {"bad", "undescribed", "hopeless"}) EXPECT_EQ(Read(zip, name), "<missing>") << name;
    EXPECT_EQ(Read(zip, "good"), "fine");
    EXPECT_EQ(Read(zip, "recoded"), best);  // repaired in place of the other coding
    EXPECT_NE(Read(zip, "newer"), "<missing>");
    EXPECT_NE(Read(zip, "other form"), "<missing>");
    EXPECT_NO_THROW(zip.Verify(Vel::kZipCheckCrc, {}, {}));
}

TEST(Zip, VerifyRemovesABadDuplicateByItsPlace) {
    TempDir dir;
    const std::string path = (dir / "d.pak").string();
    const std::string data = Content(1, 200);
    dir.Write("d.pak", Build({{0, "dup", data}, {300, "dup", data}}));
    Flip(path, 300 + 30 + 3 + 10);  // the second copy
    Describe(dir, {{"dup", StoredInfo(data)}});
    Zip zip(path, kWrite);
    zip.Verify(Vel::kZipCheckCrc | Vel::kZipRemoveBad, {}, {});
    ASSERT_EQ(zip.GetEntries().size(), 1u);
    EXPECT_EQ(zip.GetEntries()[0].localHeaderOffset, 0u);
    EXPECT_EQ(Read(zip, "dup"), data);
}

TEST(Zip, RecoverRebuildsALostDirectoryFromTheLocalHeaders) {
    TempDir dir;
    const std::string path = (dir / "r.pak").string();
    {
        Zip zip(path, kWrite);
        for (int k = 0; k < 5; ++k) Add(zip, "e" + std::to_string(k), Content(k, 500 + 100 * k));
    }
    // Cut the directory away, then add a header claiming more than an archive may hold.
    std::string image = ReadFile(path);
    const std::size_t directory = Get32(image, image.size() - 22 + 16);
    image.resize(directory);
    std::string huge(30, '\0');
    Put32(huge, 0, 0x04034b50);
    Put32(huge, 18, 128'000'001);
    Put16(huge, 26, 1);
    dir.Write("r.pak", image + huge + "h");

    EXPECT_THROW(Zip(path, kRead), Zip::CorruptException);
    {
        Zip zip(path, Vel::kZipRecover);
        EXPECT_EQ(zip.GetEntries().size(), 5u);
        for (int k = 0; k < 5; ++k) EXPECT_EQ(Read(zip, "e" + std::to_string(k)), Content(k, 500 + 100 * k));
        EXPECT_THROW(Add(zip, "x", "y"), Vel::Exception);  // still read-only as asked
    }
    Zip again(path, kRead);  // the rebuilt directory was written
    EXPECT_EQ(again.GetEntries().size(), 5u);
    EXPECT_EQ(static_cast<std::size_t>(std::filesystem::file_size(path)),
              directory + 5 * 46 + 10 + 22);
}

TEST(Zip, CompactionClosesTheGapsAndKeepsTheBytes) {
    TempDir dir;
    const std::string path = (dir / "c.pak").string();
    {
        Zip zip(path, kWrite);
        for (int k = 0; k < 8; ++k) Add(zip, "e" + std::to_string(k), Content(k, 300 + 50 * k));
    }
    {
        Zip zip(path, kWrite);
        zip.RemoveEntry("e1");
        zip.RemoveEntry("e4");
        Add(zip, "e6", Content(60, 100));
    }
    std::uint64_t before = std::filesystem::file_size(path);
    {
        Zip zip(path, kWrite);
        EXPECT_TRUE(zip.FreeSpaceAtLeast(1));
        zip.Compact(nullptr);
        EXPECT_FALSE(zip.FreeSpaceAtLeast(1));
    }
    EXPECT_LT(std::filesystem::file_size(path), before);
    Zip zip(path, Vel::kZipCheckOffsets | kWrite);
    EXPECT_FALSE(zip.FreeSpaceAtLeast(1));
    std::uint64_t end = 0;
    for (const auto& e : zip.GetEntries()) {
        EXPECT_EQ(e.localHeaderOffset, end) << e.name;
        end = e.End();
    }
    for (int k : {0, 2, 3, 5, 7}) EXPECT_EQ(Read(zip, "e" + std::to_string(k)), Content(k, 300 + 50 * k));
    EXPECT_EQ(Read(zip, "e6"), Content(60, 100));
    EXPECT_EQ(zip.GetEntries().size(), 6u);
}

TEST(Zip, RecoveryScanInputs) {
    // The local headers and data of three good entries, without any directory.
    const std::vector<Placed> good = {{0, "g0", Content(10, 700)}, {800, "g1", Content(11, 90)}, {990, "g2", Content(12, 400)}};
    std::string entries = Build(good);
    entries.resize(990 + 30 + 2 + 400);
    auto header = [](std::uint32_t size, std::uint16_t nameLength) {
        std::string h(30, '\0');
        Put32(h, 0, 0x04034b50);
        Put32(h, 18, size);
        Put16(h, 26, nameLength);
        return h;
    };
    // A stored entry whose data holds a local header claiming the bytes behind it.
    std::string nested = "lead" + header(2000, 3) + "bad" + std::string(50, 'n');
    const auto nestedEntry = Build({{0, "nest", nested}});
    struct Case {
        const char* what;
        std::string image;
        std::vector<std::string> names;
    } cases[] = {
        {"a truncated last header", entries + header(5, 1).substr(0, 17), {"g0", "g1", "g2"}},
        {"a huge size before them", header(128'000'001, 1) + "h" + entries, {"g0", "g1", "g2"}},
        {"a size past the end before them", header(1'000'000, 1) + "h" + entries, {"g0", "g1", "g2"}},
        {"a name past the end", entries + header(0, 500) + "n", {"g0", "g1", "g2"}},
        {"a header inside stored data", nestedEntry.substr(0, 30 + 4 + nested.size()) + entries, {"nest", "g0", "g1", "g2"}},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = (dir / "r.pak").string();
        dir.Write("r.pak", c.image);
        Zip zip(path, Vel::kZipRecover | kWrite);
        std::vector<std::string> names;
        for (const auto& e : zip.GetEntries()) names.push_back(e.name);
        EXPECT_EQ(names, c.names) << c.what;
        for (int k = 0; k < 3; ++k) EXPECT_EQ(Read(zip, good[k].name), good[k].data) << c.what;
        if (c.names.front() == "nest") {
            EXPECT_EQ(Read(zip, "nest"), nested);
        }
    }
}

TEST(Zip, DuplicateNamesAreKeptAndMovedByTheirPlaces) {
    TempDir dir;
    const std::string path = (dir / "d.pak").string();
    const std::string older = Content(1, 300), newer = Content(2, 500);
    // A replaced entry whose old bytes stayed behind, found again by the recovery scan.
    std::string image = Build({{100, "d", older}, {600, "x", "between"}, {800, "d", newer}});
    image.resize(800 + 30 + 1 + 500);
    dir.Write("d.pak", image);
    {
        Zip zip(path, Vel::kZipRecover | kWrite);
        ASSERT_EQ(zip.GetEntries().size(), 3u);
        EXPECT_EQ(Read(zip, "d"), older);  // the first in file order
        zip.Compact(nullptr);
    }
    Zip zip(path, kWrite | Vel::kZipCheckOffsets);
    const auto entries = zip.GetEntries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].localHeaderOffset, 0u);
    EXPECT_EQ(Bytes(*zip.ReadEntry(entries[0])), older);
    EXPECT_EQ(Bytes(*zip.ReadEntry(entries[2])), newer);
    zip.RemoveEntry("d");
    EXPECT_EQ(Read(zip, "d"), newer);
}

TEST(Zip, AStoppedCompactionLeavesAConsistentArchive) {
    TempDir dir;
    const std::string path = (dir / "s.pak").string();
    std::vector<int> kept;
    {
        Zip zip(path, kWrite);
        for (int k = 0; k < 60; ++k) Add(zip, "e" + std::to_string(k), Content(k, 500 + 97 * (k % 11)));
    }
    {
        Zip zip(path, kWrite);
        for (int k = 0; k < 60; ++k) {
            if (k % 4 == 1) {
                zip.RemoveEntry("e" + std::to_string(k));
            } else {
                kept.push_back(k);
            }
        }
    }
    auto holds = [&](Zip& zip) {
        EXPECT_EQ(zip.GetEntries().size(), kept.size());
        for (int k : kept) EXPECT_EQ(Read(zip, "e" + std::to_string(k)), Content(k, 500 + 97 * (k % 11))) << k;
    };
    const auto before = std::filesystem::file_size(path);
    {
        Zip zip(path, kWrite);
        auto job = std::make_shared<Vel::ThreadJob>();
        job->GetProgress()->SetTotal(before);
        // Stops the compaction somewhere after its first third.
        std::thread stopper([&] {
            while (job->GetProgress()->GetDone() < before / 3) std::this_thread::yield();
            job->Abort();
        });
        zip.Compact(job);
        if (!job->IsAborted()) job->Abort();  // finished before the stopper came
        stopper.join();
        EXPECT_TRUE(zip.IsModified() || std::filesystem::file_size(path) < before);
        holds(zip);
        Add(zip, "late", "written after the stop");
    }
    {
        Zip zip(path, kWrite | Vel::kZipCheckOffsets);
        EXPECT_EQ(Read(zip, "late"), "written after the stop");
        zip.RemoveEntry("late");
        holds(zip);
        zip.Compact(nullptr);
    }
    Zip zip(path, kRead | Vel::kZipCheckOffsets);
    holds(zip);
    EXPECT_FALSE(std::filesystem::exists(Zip::MarkerPath(path)));
}

namespace {

// Writes down the disk steps of an archive as letters: m/M a write/sync of its crash marker
// (or the marker's successor), F a sync of its folder, w/S a write/sync of the archive,
// t a truncation, r a rename, u the marker's removal.
class DiskSteps : public Vel::Platform::FileDurability {
public:
    std::string steps;

    ssize_t WriteAt(int fd, const void* data, size_t length, off_t offset) override {
        Note(fd, 'w', 'm');
        return FileDurability::WriteAt(fd, data, length, offset);
    }
    ssize_t WriteVectorAt(int fd, const iovec* parts, int count, off_t offset) override {
        Note(fd, 'w', 'm');
        return FileDurability::WriteVectorAt(fd, parts, count, offset);
    }
    ssize_t Write(int fd, const void* data, size_t length) override {
        Note(fd, 'w', 'm');
        return FileDurability::Write(fd, data, length);
    }
    int Sync(int fd) override {
        Note(fd, 'S', 'M');
        return FileDurability::Sync(fd);
    }
    int Truncate(int fd, off_t length) override {
        steps += 't';
        return FileDurability::Truncate(fd, length);
    }
    int Rename(const char* from, const char* to) override {
        steps += 'r';
        return FileDurability::Rename(from, to);
    }
    int Unlink(const char* path) override {
        steps += std::string(path).ends_with(".unflushed") ? 'u' : 'x';
        return FileDurability::Unlink(path);
    }

private:
    void Note(int fd, char archive, char marker) {
        std::error_code error;
        const auto target = std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(fd), error);
        if (std::filesystem::is_directory(target, error)) steps += 'F';
        else if (target.string().find(".unflushed") != std::string::npos) steps += marker;
        else steps += archive;
        // Runs of writes count once: the order of the kinds is what matters.
        if (steps.size() >= 2 && steps.back() == steps[steps.size() - 2] && (steps.back() == 'w' || steps.back() == 'm'))
            steps.pop_back();
    }
};

}  // namespace

// What a crash at any moment relies on: the marker is durable before the archive changes; the
// entries' bytes are durable before the directory and end record that point at them; the
// directory is durable before the marker goes.
TEST(Zip, DiskStepsComeInTheOrderACrashNeedsThem) {
    TempDir dir("zip");
    const std::string path = (dir.Path() / "d.pak").string();
    {
        Zip zip(path, kWrite);
        Add(zip, "a", std::string(200, 'a'));
        Add(zip, "b", std::string(300, 'b'));
    }
    struct Case {
        const char* name;
        std::function<void(Zip&)> change;
        const char* expected;
    };
    const std::vector<Case> cases = {
        // marker written and synced, its folder synced; entries; data sync; directory (and
        // the cut of what lay beyond it); directory sync; marker removed.
        {"add", [](Zip& zip) { Add(zip, "c", std::string(500, 'c')); }, "mMFwSwSu"},
        {"remove", [](Zip& zip) { zip.RemoveEntry("a"); }, "mMFSwtSu"},
        {"compact", [](Zip& zip) { zip.RemoveEntry("a"); zip.Compact(nullptr); }, "mMFmrwmrwmrSwtSu"},
    };
    const std::string image = ReadFile(path);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        dir.Write("d.pak", image);
        DiskSteps recorder;
        {
            Vel::Platform::ScopedFileDurability recording(recorder);
            Zip zip(path, kWrite);
            c.change(zip);
        }
        EXPECT_EQ(recorder.steps, c.expected);
    }
}
