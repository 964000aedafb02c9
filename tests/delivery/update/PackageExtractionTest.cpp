#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <filesystem>
#include <fstream>

#include "delivery/jobs/DownloadProgress.h"
#include "delivery/update/UpdateApply.h"
#include "delivery/update/UpdateManager.h"
#include "delivery/workers/WorkerStatus.h"
#include "delivery/update/ZipExtractor.h"
#include "foundation/core/Exception.h"
#include "foundation/files/Paths.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/TempDir.h"

using namespace Vel;
namespace fs = std::filesystem;

namespace {

struct ZipEntry {
    std::string name;
    std::string content;
    std::uint32_t unixMode = 0;  // 0: no Unix attributes recorded
};

void WriteZip(const fs::path& path, const std::vector<ZipEntry>& entries) {
    fs::create_directories(path.parent_path());
    int error = 0;
    zip_t* z = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(z, nullptr);
    for (const ZipEntry& e : entries) {
        zip_int64_t index;
        if (!e.name.empty() && e.name.back() == '/') {
            index = zip_dir_add(z, e.name.c_str(), ZIP_FL_ENC_RAW);
        } else {
            zip_source_t* src = zip_source_buffer(z, e.content.data(), e.content.size(), 0);
            index = zip_file_add(z, e.name.c_str(), src, ZIP_FL_ENC_RAW);
        }
        ASSERT_GE(index, 0) << e.name;
        if (e.unixMode != 0)
            zip_file_set_external_attributes(z, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX, e.unixMode << 16);
    }
    ASSERT_EQ(zip_close(z), 0);
}

class PackageExtractionTest : public ::testing::Test {
protected:
    void SetUp() override {
        UpdateManager::ResetForTesting();
        fs::create_directories(staging_);
    }
    void TearDown() override { UpdateManager::ResetForTesting(); }

    std::size_t FilesBelow(const fs::path& folder) const {
        std::size_t n = 0;
        for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) ++n;
        return n;
    }

    Vel::Test::TempDir dir_;
    const fs::path staging_ = dir_ / "root" / "staging";
};

// A package that would write outside its folder is bad as a whole: nothing is written at all,
// and the failure is the package's (Vel::Exception), not the file system's.
TEST_F(PackageExtractionTest, HostilePackagesWriteNothing) {
    const std::vector<std::vector<ZipEntry>> packages = {
        {{"ok.txt", "fine"}, {"../x", "escaped"}},
        {{"ok.txt", "fine"}, {"a/../../x", "escaped"}},
        {{"ok.txt", "fine"}, {"..\\x", "escaped"}},
        {{"ok.txt", "fine"}, {"/tmp/x", "escaped"}},
        {{"ok.txt", "fine"}, {"link", "../../x", S_IFLNK | 0777}},
    };
    for (std::size_t i = 0; i < packages.size(); ++i) {
        SCOPED_TRACE(packages[i][1].name);
        const fs::path zip = dir_ / ("bad" + std::to_string(i) + ".zip");
        WriteZip(zip, packages[i]);
        ZipExtractor extractor(zip.string());
        try {
            extractor.ExtractAll(staging_.string());
            ADD_FAILURE() << "accepted";
        } catch (const FileException&) {
            ADD_FAILURE() << "reported as a file-system failure";
        } catch (const Exception&) {
        }
        EXPECT_EQ(FilesBelow(staging_), 0u);
        EXPECT_FALSE(fs::exists(dir_ / "root" / "x"));
        EXPECT_FALSE(fs::exists(dir_ / "x"));
    }
}

TEST_F(PackageExtractionTest, NestedEntriesFoldersAndExecuteBits) {
    const fs::path zip = dir_ / "good.zip";
    WriteZip(zip, {{"bin64/Solvenda", "#!/bin/sh\n", S_IFREG | 0755},
                   {"data/deep/x.dll", "dll", S_IFREG | 0644},
                   {"empty/", ""},
                   {"plain.txt", "no unix attributes"}});
    ZipExtractor(zip.string()).ExtractAll(staging_.string());
    EXPECT_EQ(Vel::Test::ReadFile(staging_ / "data/deep/x.dll"), "dll");
    EXPECT_TRUE(fs::is_directory(staging_ / "empty"));
    EXPECT_EQ(Vel::Test::ReadFile(staging_ / "plain.txt"), "no unix attributes");
    const auto exec = fs::status(staging_ / "bin64/Solvenda").permissions();
    EXPECT_NE(exec & fs::perms::owner_exec, fs::perms::none);
    EXPECT_NE(exec & fs::perms::others_exec, fs::perms::none);
    EXPECT_EQ(fs::status(staging_ / "data/deep/x.dll").permissions() & fs::perms::owner_exec, fs::perms::none);
}

// The byte limit counts the inflated bytes of all entries together: exactly the limit is
// accepted, one byte more is refused, within one entry and split across two; a refused package
// never has more than the limit written.
TEST_F(PackageExtractionTest, TheByteLimitHoldsExactlyAcrossEntries) {
    struct Case {
        std::vector<std::size_t> sizes;
        bool accepted;
    };
    constexpr std::uint64_t kLimit = 1000;
    const std::vector<Case> cases = {
        {{1000}, true}, {{1001}, false}, {{600, 400}, true}, {{600, 401}, false}, {{0, 1000}, true},
        {{400, 400, 200}, true}, {{400, 400, 201}, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        std::vector<ZipEntry> entries;
        for (std::size_t n = 0; n < c.sizes.size(); ++n)
            entries.push_back({"part" + std::to_string(n) + ".dll", std::string(c.sizes[n], static_cast<char>('a' + n))});
        std::string trace;
        for (const std::size_t size : c.sizes) trace += std::to_string(size) + " ";
        SCOPED_TRACE(trace);
        const fs::path zip = dir_ / ("limit" + std::to_string(i) + ".zip");
        WriteZip(zip, entries);
        fs::remove_all(staging_);
        fs::create_directories(staging_);
        ZipExtractor extractor(zip.string());
        if (c.accepted) {
            EXPECT_NO_THROW(extractor.ExtractAll(staging_.string(), kLimit));
            for (std::size_t n = 0; n < c.sizes.size(); ++n)
                EXPECT_EQ(Vel::Test::ReadFile(staging_ / entries[n].name), entries[n].content);
        } else {
            EXPECT_THROW(extractor.ExtractAll(staging_.string(), kLimit), Exception);
            std::uint64_t written = 0;
            for (const auto& f : fs::recursive_directory_iterator(staging_))
                if (f.is_regular_file()) written += f.file_size();
            EXPECT_LE(written, kLimit);
        }
    }
    EXPECT_THROW(ZipExtractor((dir_ / "missing.zip").string()), Exception);
}

// Links planted in the staging folder before the extraction, pointing outside it: at the
// target of an entry, and at a folder on the way to one (for a file and for a folder entry).
// The extraction fails and nothing outside changes.
TEST_F(PackageExtractionTest, PlantedLinksAreNeverFollowedOutOfTheFolder) {
    struct Case {
        const char* link;  // below the staging folder
        bool toFolder;     // the link points at the outside folder, else at the outside file
        ZipEntry entry;
    };
    const fs::path outside = dir_ / "outside";
    const fs::path outsideFile = dir_ / "outside.txt";
    const std::vector<Case> cases = {
        {"x.dll", false, {"x.dll", "written through the link"}},
        {"sub", true, {"sub/f", "written through the link"}},
        {"sub", true, {"sub/deep/f", "written through the link"}},
        {"sub", true, {"sub/made/", ""}},
        {"a/sub", true, {"a/sub/f", "written through the link"}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.entry.name);
        fs::remove_all(staging_);
        fs::remove_all(outside);
        fs::create_directories(outside);
        std::ofstream(outsideFile, std::ios::trunc) << "untouched";
        const fs::path link = staging_ / c.link;
        fs::create_directories(link.parent_path());
        fs::create_symlink(c.toFolder ? outside : outsideFile, link);
        const fs::path zip = dir_ / ("planted" + std::to_string(i) + ".zip");
        WriteZip(zip, {c.entry});
        ZipExtractor extractor(zip.string());
        EXPECT_THROW(extractor.ExtractAll(staging_.string()), Exception);
        EXPECT_EQ(Vel::Test::ReadFile(outsideFile), "untouched");
        EXPECT_TRUE(fs::is_empty(outside));
        EXPECT_TRUE(fs::is_symlink(link));
    }
}

// ExtractDownloads: every package below "update" + the entry's folder, one time for every
// file, a short pause after a quick package, and file-system failures as result 5.
TEST_F(PackageExtractionTest, ExtractDownloadsUnpacksEveryPackage) {
    UpdateManager::UpdateFolders folders;
    folders.root = (dir_ / "root/").string();
    folders.download = (dir_ / "root/download/").string();
    folders.update = (dir_ / "root/update/").string();
    FileList list;
    for (const char* path : {"bin64/Solvenda", "data/x.dll"}) {
        FileListEntry e;
        e.path = path;
        e.size = 100;
        e.size_zip = 50;
        list.files.push_back(e);
        WriteZip(fs::path(folders.download) / GetCachedZipPath(e),
                 {{GetFileName(path), std::string("new ") + path, S_IFREG | 0755}});
    }
    NewWorkerProgress(10000);
    FakeClock clock;
    const MonoTime start = clock.Now();
    UpdateManager::ExtractDownloads(list, folders, 5, clock);

    EXPECT_EQ(Vel::Test::ReadFile(fs::path(folders.update) / "data/x.dll"), "new data/x.dll");
    const auto t1 = fs::last_write_time(fs::path(folders.update) / "bin64/Solvenda");
    const auto t2 = fs::last_write_time(fs::path(folders.update) / "data/x.dll");
    EXPECT_EQ(t1, t2);
    EXPECT_EQ(clock.Now() - start, 2 * UpdateManager::kShortExtractPause);
    EXPECT_EQ(GetWorkerProgress()->GetDone(), 2u * (50 + 5));

    // A file where the entry's folder must go is the file system's failure: result 5.
    fs::remove_all(folders.update);
    fs::create_directories(folders.update);
    std::ofstream(fs::path(folders.update) / "data") << "in the way";
    try {
        UpdateManager::ExtractDownloads(list, folders, 5, clock);
        ADD_FAILURE() << "no failure";
    } catch (const UpdateManager::UpdateException& e) {
        EXPECT_EQ(e.GetCode(), UpdateResult::ExtractError);
    }
}

}  // namespace
