#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>

#include <filesystem>
#include <fstream>

#include "delivery/DownloadProgress.h"
#include "delivery/UpdateApply.h"
#include "delivery/UpdateManager.h"
#include "delivery/WorkerStatus.h"
#include "delivery/ZipExtractor.h"
#include "foundation/Exception.h"
#include "foundation/Paths.h"
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

TEST_F(PackageExtractionTest, AnEntryLargerThanTheLimitIsRefusedAsItInflates) {
    const fs::path zip = dir_ / "big.zip";
    WriteZip(zip, {{"x.dll", std::string(200000, 'z')}});
    ZipExtractor extractor(zip.string());
    EXPECT_THROW(extractor.ExtractAll(staging_.string(), 1000), Exception);
    EXPECT_LT(fs::file_size(staging_ / "x.dll"), 200000u);
    EXPECT_THROW(ZipExtractor((dir_ / "missing.zip").string()), Exception);
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
