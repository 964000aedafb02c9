// Crash safety and damaged input: an archive whose writer dies keeps its last good flush, and
// no damage to the file makes the reader do more than fail with the corrupt error or recover.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "delivery/archive/Deflate.h"
#include "delivery/archive/Zip.h"
#include "foundation/data/Crc32.h"
#include "foundation/core/Exception.h"
#include "platform/FileDurability.h"
#include "tests/support/SteppedDisk.h"
#include "tests/support/TempDir.h"

using Vel::Zip;
using Vel::ZipEntry;
using Vel::Test::ReadFile;
using Vel::Test::TempDir;

namespace {

constexpr unsigned kWrite = Vel::kZipWritable;

// Many syncs: a memory-backed folder where there is one (the page cache behaves the same for a
// killed process).
std::unique_ptr<TempDir> FastDir() {
    const char* saved = std::getenv("TMPDIR");
    const std::string keep = saved ? saved : "";
    if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
    auto dir = std::make_unique<TempDir>("zipcrash");
    if (saved) ::setenv("TMPDIR", keep.c_str(), 1);
    else ::unsetenv("TMPDIR");
    return dir;
}

std::string Content(int k) {
    std::mt19937 rng(static_cast<unsigned>(k) * 7919u);
    std::string s(100 + rng() % 3000, '\0');
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

void Add(Zip& zip, const std::string& name, const std::string& data) {
    zip.AddEntry(name, 0, Crc32(data.data(), data.size()), static_cast<std::uint32_t>(data.size()),
                 static_cast<std::uint32_t>(data.size()), data.data(), static_cast<std::uint32_t>(data.size()));
}

std::optional<std::string> Read(Zip& zip, const std::string& name) {
    ZipEntry e;
    if (!zip.GetEntryInfo(name, e)) return std::nullopt;
    const auto s = zip.ReadEntry(e);
    return std::string(reinterpret_cast<const char*>(s->GetData()), s->GetSize());
}

// The writer a kill interrupts: opens the archive, appends entries n<count>, n<count+1>, ...
// and replaces an earlier entry with its same bytes after each (so freed space and gap reuse
// take part), closes it every two entries (a flush) and reports each step on the pipe: '.' per
// entry, "F<count>;" per flush.
[[noreturn]] void Writer(const std::string& path, int out) {
    for (int round = 0; round < 100000; ++round) {
        int count = 0;
        {
            Zip zip(path, kWrite);
            count = static_cast<int>(zip.GetEntries().size());
            for (int j = 0; j < 2; ++j, ++count) {
                Add(zip, "n" + std::to_string(count), Content(count));
                if (count >= 3) Add(zip, "n" + std::to_string(count - 3), Content(count - 3));
                if (::write(out, ".", 1) != 1) ::_exit(3);
            }
        }
        const std::string flushed = "F" + std::to_string(count) + ";";
        if (::write(out, flushed.data(), flushed.size()) != static_cast<ssize_t>(flushed.size())) ::_exit(3);
    }
    ::_exit(0);
}

void ExpectHolds(const std::string& path, int flushed, int kill) {
    Zip zip(path, kWrite);
    EXPECT_FALSE(std::filesystem::exists(Zip::MarkerPath(path))) << "kill " << kill;
    for (int k = 0; k < flushed; ++k) EXPECT_EQ(Read(zip, "n" + std::to_string(k)), Content(k)) << "kill " << kill << " n" << k;
    // Whatever else is there (a flush the report did not reach) holds its own bytes.
    for (const auto& e : zip.GetEntries())
        EXPECT_EQ(Read(zip, e.name), Content(std::stoi(e.name.substr(1)))) << "kill " << kill << " " << e.name;
}

}  // namespace

TEST(ZipCrash, AWriterDiesBeforeItsFlushAndTheLastFlushComesBack) {
    auto dir = FastDir();
    const std::string path = (dir->Path() / "a.pak").string();
    {
        Zip zip(path, kWrite);
        Add(zip, "a", "old a");
        Add(zip, "b", "old b");
    }
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Dies without its destructor: no flush.
        auto* zip = new Zip(path, kWrite);
        Add(*zip, "c", std::string(5000, 'c'));  // appended over the old directory
        Add(*zip, "a", "new a, longer than before");
        zip->RemoveEntry("b");
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(std::filesystem::exists(Zip::MarkerPath(path)));

    Zip zip(path, 0);
    EXPECT_FALSE(std::filesystem::exists(Zip::MarkerPath(path)));
    EXPECT_EQ(Read(zip, "a"), "old a");
    EXPECT_EQ(Read(zip, "b"), "old b");
    EXPECT_EQ(Read(zip, "c"), std::nullopt);
}

TEST(ZipCrash, AMarkerCutShortLeavesTheArchiveAsItWas) {
    auto dir = FastDir();
    const std::string path = (dir->Path() / "a.pak").string();
    {
        Zip zip(path, kWrite);
        Add(zip, "a", "kept");
    }
    const std::string image = ReadFile(path);
    for (const std::string& marker : {std::string(), std::string("TSZIPMK1"), std::string(100, 'z')}) {
        dir->Write("a.pak.unflushed", marker);
        Zip zip(path, 0);
        EXPECT_EQ(Read(zip, "a"), "kept");
        EXPECT_FALSE(std::filesystem::exists(Zip::MarkerPath(path)));
        EXPECT_EQ(ReadFile(path), image);
    }
}

// The restore from a marker checks each entry's bytes, not only its local header: an entry
// whose header and size are intact but whose bytes changed since the last good flush is
// dropped, never served; the others come back.
TEST(ZipCrash, AnEntryWhoseBytesChangedIsDroppedByTheRestore) {
    auto dir = FastDir();
    const std::string path = (dir->Path() / "r.pak").string();
    std::string text;
    for (int k = 0; k < 300; ++k) text += "terrain tile " + std::to_string(k % 17) + "\n";
    VelMemoryStream packed;
    DeflateRaw(text.data(), static_cast<std::uint32_t>(text.size()), packed, 9);
    const std::string deflated(reinterpret_cast<const char*>(packed.GetData()), packed.GetSize());
    const std::map<std::string, std::string> contents = {{"stored", Content(1)}, {"deflated", text}, {"kept", Content(2)}};
    struct Case {
        const char* damaged;  // the entry whose bytes change, or none
    };
    for (const Case c : {Case{nullptr}, Case{"stored"}, Case{"deflated"}}) {
        SCOPED_TRACE(c.damaged ? c.damaged : "none");
        std::filesystem::remove(path);
        {
            Zip zip(path, kWrite);
            Add(zip, "stored", contents.at("stored"));
            zip.AddEntry("deflated", 8, Crc32(text.data(), text.size()), static_cast<std::uint32_t>(deflated.size()),
                         static_cast<std::uint32_t>(text.size()), deflated.data(),
                         static_cast<std::uint32_t>(deflated.size()));
            Add(zip, "kept", contents.at("kept"));
        }
        // The marker a writer leaves when it dies before its flush: the directory of the flush
        // above. The change it was made for ("later") is flushed all the same here, so that the
        // marker is put back by hand.
        std::string marker;
        {
            Zip zip(path, kWrite);
            Add(zip, "later", "written after the marker");
            marker = ReadFile(Zip::MarkerPath(path));
        }
        if (c.damaged) {
            std::uint64_t at = 0;
            {
                Zip zip(path, 0);
                ZipEntry e;
                ASSERT_TRUE(zip.GetEntryInfo(c.damaged, e));
                at = e.localHeaderOffset + 30 + e.nameLength + e.compressedSize / 2;
            }
            FILE* f = std::fopen(path.c_str(), "r+b");
            ASSERT_NE(f, nullptr);
            std::fseek(f, static_cast<long>(at), SEEK_SET);
            const int byte = std::fgetc(f);
            std::fseek(f, static_cast<long>(at), SEEK_SET);
            std::fputc(byte ^ 0x21, f);
            std::fclose(f);
        }
        dir->Write("r.pak.unflushed", marker);
        Zip zip(path, 0);
        EXPECT_FALSE(std::filesystem::exists(Zip::MarkerPath(path)));
        EXPECT_EQ(Read(zip, "later"), std::nullopt);
        for (const auto& [name, content] : contents) {
            ZipEntry e;
            const bool damaged = c.damaged && name == c.damaged;
            const bool found = zip.GetEntryInfo(name, e);
            EXPECT_EQ(found, !damaged) << name;
            if (!found || damaged) continue;
            const auto stored = zip.ReadEntry(e);
            std::string plain(reinterpret_cast<const char*>(stored->GetData()), stored->GetSize());
            if (e.method == 8) {
                VelMemoryStream inflated;
                InflateRaw(stored->GetData(), stored->GetSize(), inflated, e.uncompressedSize);
                plain.assign(reinterpret_cast<const char*>(inflated.GetData()), inflated.GetSize());
            }
            EXPECT_EQ(plain, content) << name;
        }
    }
}

TEST(ZipCrash, KilledAtRandomMomentsTheEarlierFlushesStayIntact) {
    auto dir = FastDir();
    const std::string path = (dir->Path() / "k.pak").string();
    std::mt19937 rng(20240611);
    int flushed = 0;
    for (int kill = 0; kill < 100; ++kill) {
        int pipeFds[2];
        ASSERT_EQ(::pipe(pipeFds), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(pipeFds[0]);
            Writer(path, pipeFds[1]);
        }
        ::close(pipeFds[1]);
        // Let it run for a random number of reported steps, then kill it wherever it is.
        const int steps = 1 + static_cast<int>(rng() % 8);
        std::string report;
        int seen = 0;
        while (seen < steps) {
            pollfd p{pipeFds[0], POLLIN, 0};
            ASSERT_EQ(::poll(&p, 1, 20000), 1) << "the writer stopped reporting";
            char c;
            ASSERT_EQ(::read(pipeFds[0], &c, 1), 1) << "the writer ended";
            report += c;
            if (c == '.' || c == ';') ++seen;
        }
        ::kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        // Reports that were on their way when the kill came.
        char buffer[256];
        ssize_t n;
        while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) report.append(buffer, static_cast<std::size_t>(n));
        ::close(pipeFds[0]);
        for (std::size_t at = report.find('F'); at != std::string::npos; at = report.find('F', at + 1)) {
            const auto end = report.find(';', at);
            if (end != std::string::npos) flushed = std::max(flushed, std::stoi(report.substr(at + 1, end - at - 1)));
        }
        ExpectHolds(path, flushed, kill);
        if (HasFailure()) return;
    }
    EXPECT_GT(flushed, 0);
}

TEST(ZipCrash, DamagedFilesFailAsCorruptOrRecoverNeverWorse) {
    auto dir = FastDir();
    const std::string path = (dir->Path() / "m.pak").string();
    {
        Zip zip(path, kWrite);
        Add(zip, "first", "alpha alpha alpha");
        Add(zip, "nested", std::string("PK\x03\x04", 4) + std::string(40, '\x01'));  // a signature inside data
        Add(zip, "last", std::string(300, 'z'));
    }
    const std::string image = ReadFile(path);
    const std::uint32_t directory = static_cast<std::uint8_t>(image[image.size() - 6]) |
                                    static_cast<std::uint8_t>(image[image.size() - 5]) << 8;

    std::vector<std::string> damaged;
    for (std::size_t cut = 0; cut < image.size(); ++cut) damaged.push_back(image.substr(0, cut));
    // Flipped bytes in the local headers, the directory and the end record.
    std::vector<std::size_t> positions;
    for (std::size_t k = 0; k < 34; ++k) positions.push_back(k);
    for (std::size_t k = directory; k < image.size(); ++k) positions.push_back(k);
    for (std::size_t at : positions) {
        for (std::uint8_t mask : {0xFF, 0x01, 0x80}) {
            std::string s = image;
            s[at] = static_cast<char>(s[at] ^ mask);
            damaged.push_back(s);
        }
    }
    int recovered = 0, corrupt = 0;
    for (const auto& bytes : damaged) {
        for (unsigned mode : {0u, unsigned{kWrite | Vel::kZipCheckOffsets}, unsigned{Vel::kZipRecover | kWrite}}) {
            dir->Write("m.pak", bytes);
            try {
                Zip zip(path, mode);
                for (const auto& e : zip.GetEntries()) {
                    try {
                        zip.ReadEntry(e);
                    } catch (const Zip::CorruptException&) {
                    }
                }
                ++recovered;
            } catch (const Zip::CorruptException&) {
                EXPECT_EQ(mode & Vel::kZipRecover, 0u) << "a recovering open failed, size " << bytes.size();
                ++corrupt;
            }
            // Anything else (another exception, a crash) fails the test by itself.
        }
    }
    EXPECT_GT(recovered, 0);
    EXPECT_GT(corrupt, 0);
}

TEST(ZipCrash, KilledAfterEveryStepOfACompactionEveryFlushedEntryComesBack) {
    auto dir = FastDir();
    const std::string path = (dir->Path() / "c.pak").string();
    // The first entry goes, so every later one moves down by less than its own extent: its new
    // place overlaps the old one and it is parked first. A large entry removed near the end
    // leaves room for plain moves after it.
    constexpr int kEntries = 30;
    std::vector<std::pair<std::string, std::string>> listed;
    {
        Zip zip(path, kWrite);
        for (int k = 0; k < kEntries; ++k) Add(zip, "n" + std::to_string(k), k == 22 ? std::string(20000, 'g') : Content(k));
    }
    {
        Zip zip(path, kWrite);
        for (int k = 0; k < kEntries; ++k) {
            if (k == 0 || k == 22) zip.RemoveEntry("n" + std::to_string(k));
            else listed.emplace_back("n" + std::to_string(k), Content(k));
        }
    }
    const std::string image = ReadFile(path);

    // A whole compaction, counted.
    Vel::Test::SteppedDisk whole;
    {
        Zip zip(path, kWrite);
        Vel::Platform::ScopedFileDurability counting(whole);
        zip.Compact(nullptr);
    }
    ASSERT_GT(whole.Steps(), 5 * kEntries);
    ASSERT_GT(whole.Steps(Vel::Test::SteppedDisk::kRename), kEntries) << "the layout no longer parks entries";

    for (int killAfter = 1; killAfter <= whole.Steps(); ++killAfter) {
        dir->Write("c.pak", image);
        std::filesystem::remove(Zip::MarkerPath(path));
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            Zip zip(path, kWrite);
            Vel::Test::SteppedDisk killer;
            killer.KillAfter(killAfter);
            Vel::Platform::ScopedFileDurability killing(killer);
            zip.Compact(nullptr);
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "step " << killAfter << " status " << status;

        for (unsigned mode : {kWrite, unsigned{kWrite | Vel::kZipCheckOffsets}}) {
            Zip zip(path, mode);  // restored from the marker where the kill left one
            EXPECT_FALSE(std::filesystem::exists(Zip::MarkerPath(path))) << "step " << killAfter;
            EXPECT_EQ(zip.GetEntries().size(), listed.size()) << "step " << killAfter;
            for (const auto& [name, content] : listed) {
                ZipEntry e;
                ASSERT_TRUE(zip.GetEntryInfo(name, e)) << "step " << killAfter << " " << name;
                const auto bytes = zip.ReadEntry(e);
                EXPECT_EQ(Crc32(bytes->GetData(), bytes->GetSize()), e.crc32) << "step " << killAfter << " " << name;
                EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes->GetData()), bytes->GetSize()), content)
                    << "step " << killAfter << " " << name;
            }
            if (mode == kWrite) zip.Compact(nullptr);  // what the kill left can be finished
        }
        if (HasFailure()) return;
    }
}
