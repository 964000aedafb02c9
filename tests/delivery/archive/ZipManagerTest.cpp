// ctest: threading
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "delivery/archive/Deflate.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/data/ContentFormat.h"
#include "foundation/data/Crc32.h"
#include "foundation/core/Exception.h"
#include "tests/support/TempDir.h"

using Vel::Zip;
using Vel::ZipEntry;
using Vel::ZipManager;
using Vel::Test::TempDir;

namespace {

void Add(Zip& zip, const std::string& name, const std::string& data) {
    const auto n = static_cast<std::uint32_t>(data.size());
    zip.AddEntry(name, 0, Crc32(data.data(), data.size()), n, n, data.data(), n);
}

std::size_t EntriesOnDisk(const std::string& path) {
    Zip zip(path, 0);
    return zip.GetEntries().size();
}

std::string Bytes(const VelMemoryStream& s) { return std::string(reinterpret_cast<const char*>(s.GetData()), s.GetSize()); }

}  // namespace

TEST(ZipManager, OnePathOneObjectWithItsCaseKept) {
    TempDir dir;
    std::filesystem::create_directories(dir / "a/b");
    const std::string base = dir.Path().string();
    const auto first = ZipManager::GetZip(base + "/a//b/x.pak", 0);
    EXPECT_EQ(ZipManager::GetZip(" " + base + "\\a\\b\\\\x.pak", 0), first);
    EXPECT_EQ(ZipManager::GetZip(base + "/a/b/x.pak", 0), first);
    // Another file on this file system.
    EXPECT_NE(ZipManager::GetZip(base + "/a/b/X.pak", 0), first);
}

TEST(ZipManager, ALaterWriterUpgradesTheOpenArchive) {
    TempDir dir;
    const std::string path = (dir / "u.pak").string();
    {
        Zip zip(path, Vel::kZipWritable);
        Add(zip, "old", "o");
    }
    const auto reader = ZipManager::GetZip(path, 0);
    EXPECT_THROW(Add(*reader, "x", "y"), Vel::Exception);
    const auto writer = ZipManager::GetZip(path, Vel::kZipWritable);
    EXPECT_EQ(writer, reader);
    Add(*writer, "new", "n");
    EXPECT_EQ(ZipManager::GetZip(path, 0)->GetMode() & Vel::kZipWritable, Vel::kZipWritable);
}

TEST(ZipManager, ArchivesLiveAsLongAsTheirHoldersOrTheOutermostBatch) {
    TempDir dir;
    const std::string a = (dir / "a.pak").string(), b = (dir / "b.pak").string();
    const std::size_t before = ZipManager::OpenArchiveCount();
    Add(*ZipManager::GetZip(a, Vel::kZipWritable), "e", "1");
    // Released at once: flushed and closed.
    EXPECT_EQ(ZipManager::OpenArchiveCount(), before);
    EXPECT_EQ(EntriesOnDisk(a), 1u);

    const auto held = ZipManager::GetZip(a, Vel::kZipWritable);  // opened before the batch
    {
        ZipManager::Batch outer;
        {
            ZipManager::Batch inner;
            Add(*ZipManager::GetZip(b, Vel::kZipWritable), "e", "2");
            Add(*ZipManager::GetZip(a, Vel::kZipWritable), "f", "3");
        }
        EXPECT_EQ(ZipManager::OpenArchiveCount(), before + 2);
        EXPECT_TRUE(ZipManager::GetZip(b, 0)->IsModified());  // the same object, not flushed yet
    }
    EXPECT_EQ(ZipManager::OpenArchiveCount(), before + 1);  // the batch did not keep a
    EXPECT_EQ(EntriesOnDisk(b), 1u);
    EXPECT_TRUE(held->IsModified());
}

TEST(ZipManager, TheLastOwnersFlushAndANewOpenNeverOverlap) {
    // Each thread opens the archive, adds its entry and lets it go; when the last owner's flush
    // ran outside the manager's lock, another thread opened a second object over the directory
    // being written (or found the file locked).
    TempDir dir;
    const std::string path = (dir / "race.pak").string();
    constexpr int kThreads = 4, kRounds = 60;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int k = 0; k < kRounds; ++k) {
                try {
                    Add(*ZipManager::GetZip(path, Vel::kZipWritable), std::to_string(t) + "-" + std::to_string(k),
                        std::string(100 + k, 'x'));
                } catch (const Vel::Exception&) {
                    ++failures;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(EntriesOnDisk(path), std::size_t{kThreads * kRounds});
}

TEST(ZipManager, TheOpenCountIsReadWhileArchivesOpenAndClose) {
    TempDir dir;
    const std::size_t before = ZipManager::OpenArchiveCount();
    std::atomic<bool> done{false};
    std::thread worker([&] {
        for (int round = 0; round < 200; ++round) {
            const auto first = ZipManager::GetZip((dir / ("a" + std::to_string(round % 5) + ".pak")).string(), 0);
            const auto second = ZipManager::GetZip((dir / ("b" + std::to_string(round % 7) + ".pak")).string(), 0);
        }
        done = true;
    });
    do {
        EXPECT_LE(ZipManager::OpenArchiveCount(), before + 2);
    } while (!done.load());
    worker.join();
    EXPECT_EQ(ZipManager::OpenArchiveCount(), before);
}

TEST(ZipManager, ConversionsRoundTripAndRefuseTheOtherCipher) {
    std::string content;
    for (int k = 0; k < 5000; ++k) content += "planet " + std::to_string(k % 97) + ";";
    const auto n = static_cast<std::uint32_t>(content.size());
    const std::uint32_t key = Crc32(content.data(), content.size());
    auto convert = [&](const std::string& bytes, int from, int to) {
        return Bytes(*ZipManager::ConvertContentFormat(bytes.data(), static_cast<std::uint32_t>(bytes.size()), from,
                                                       to, key));
    };
    EXPECT_EQ(convert(content, 0, 0), content);
    for (int code : {8, 2, 4}) {
        const std::string stored = convert(content, 0, code);
        EXPECT_NE(stored, content) << code;
        EXPECT_EQ(convert(stored, code, 0), content) << code;
        for (int other : {8, 2, 4})  // between coded forms: deciphered first, enciphered last
            EXPECT_EQ(convert(convert(stored, code, other), other, 0), content) << code << "->" << other;
    }
    // Deflate at level 9 first, then the cipher.
    VelMemoryStream packed;
    DeflateRaw(content.data(), n, packed, 9);
    const std::string deflated = Bytes(packed);
    EXPECT_EQ(convert(content, 0, 8), deflated);
    EXPECT_EQ(convert(deflated, 8, 2), convert(content, 0, 2));

    // Encryption kind 2 (codes 3 and 6) wherever the cipher has to act; invalid codes.
    for (auto [from, to] : {std::pair{0, 3}, {3, 0}, {0, 6}, {6, 8}, {3, 6}, {2, 6}, {4, 3}, {0, 1}, {5, 0}, {0, 9}})
        EXPECT_THROW(convert(content, from, to), Vel::Exception) << from << "->" << to;
    EXPECT_EQ(convert("unchanged", 3, 3), "unchanged");
    EXPECT_THROW(convert("not deflate data", 8, 0), Vel::Exception);
}
