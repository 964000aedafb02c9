// ctest: threading
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include "delivery/content/ContentDownload.h"
#include "delivery/net/DownloadManager.h"
#include "delivery/content/DownloadQueue.h"
#include "delivery/content/PlanetList.h"
#include "delivery/archive/Zip.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/data/ContentFormat.h"
#include "foundation/data/Crc32.h"
#include "foundation/core/Exception.h"
#include "foundation/data/MemoryStream.h"
#include "foundation/core/ParameterStore.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/config/UserFolders.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"
#include "tools/standin-server/StandinServer.h"

namespace Vel::ContentDownload {
void PrintTo(const ArchiveEntryRef& entry, std::ostream* out) { *out << entry.archive << " : " << entry.name; }
}  // namespace Vel::ContentDownload

using namespace Vel;
using namespace Vel::ContentDownload;
using TestSupport::WaitFor;

namespace {

constexpr auto kBound = std::chrono::seconds(30);

std::uint32_t CrcOf(const std::string& s) { return Crc32(s.data(), s.size()); }
std::string Bytes(const VelMemoryStream& s) { return std::string(reinterpret_cast<const char*>(s.GetData()), s.GetSize()); }

std::string Stored(const std::string& content, int code) {
    return Bytes(*ZipManager::ConvertContentFormat(content.data(), static_cast<std::uint32_t>(content.size()),
                                                   ContentFormat::kStored, code, CrcOf(content)));
}

void WriteText(VelMemoryStream& s, const std::string& text) {
    s.WriteCompactLength(static_cast<std::uint32_t>(text.size()));
    s.Write(text.data(), static_cast<std::uint32_t>(text.size()));
}

// Program data (descriptor tables, planet list), a content folder with archives, the corrupt
// list, and a driver working on them with a queue of its own.
class ContentDriverTest : public ::testing::Test {
protected:
    void TearDown() override {
        driver_.reset();
        queue_.reset();
        server_.reset();
        GetParameterStore() = ParameterStore();
    }

    // A described file; its stored form is what the server offers.
    void Describe(const std::string& name, const std::string& content, const std::string& planets = "1",
                  int code = ContentFormat::kStored) {
        const std::string stored = Stored(content, code);
        int compression = 0, encryption = 0;
        SplitContentFormatCode(code, compression, encryption);
        ContentFileInfo info{CrcOf(content), CrcOf(stored), static_cast<std::uint32_t>(content.size()),
                             static_cast<std::uint32_t>(stored.size()), static_cast<std::uint16_t>(compression),
                             static_cast<std::uint16_t>(encryption), planets};
        described_[name] = info;
        contents_[name] = content;
        dir_.Write("site/dynamic_content/" + name + "_" + std::to_string(info.storedCrc), stored);
    }
    // Writes the described files as one table and loads it.
    bool LoadTables(std::uint16_t version = 1) {
        WriteTables(version);
        return LoadFileDescriptors(Folder("pd"));
    }
    void WriteTables(std::uint16_t version = 1) {
        VelMemoryStream s;
        s.WriteUInt16(version);
        s.WriteCompactLength(static_cast<std::uint32_t>(described_.size()));
        for (const auto& [name, info] : described_) {
            WriteText(s, name);
            s.WriteUInt32(info.crc);
            s.WriteUInt32(info.storedCrc);
            s.WriteUInt32(info.size);
            s.WriteUInt32(info.storedSize);
            s.WriteUInt16(info.compression);
            s.WriteUInt16(info.encryption);
            WriteText(s, info.planetIds);
        }
        dir_.Write("pd/file_descs/10-table.xbc", Bytes(s));
    }
    // Territory 1 holds planets 1 and 2.
    void WritePlanetList() {
        VelMemoryStream s;
        s.WriteUInt16(0);
        s.WriteCompactLength(1);
        s.WriteUInt16(1);
        WriteText(s, "t");
        WriteText(s, "Territory");
        s.WriteCompactLength(2);
        for (std::uint16_t id : {1, 2}) {
            s.WriteUInt16(id);
            WriteText(s, "p" + std::to_string(id));
            WriteText(s, "Planet " + std::to_string(id));
        }
        dir_.Write("pd/planet_list.xbc", Bytes(s));
    }
    // An entry holding content in format code.
    void Put(const std::string& archive, const std::string& name, const std::string& content,
             int code = ContentFormat::kStored) {
        std::filesystem::create_directories(dir_ / "content");
        const std::string stored = Stored(content, code);
        Zip zip(Content() + archive, kZipWritable);
        zip.AddEntry(name, code, CrcOf(content), static_cast<std::uint32_t>(stored.size()),
                     static_cast<std::uint32_t>(content.size()), stored.data(), static_cast<std::uint32_t>(stored.size()));
    }
    // name -> decoded content, of every archive; "!" marks a second copy.
    std::map<std::string, std::string> Archived(const std::string& archive) const {
        std::map<std::string, std::string> out;
        Zip zip(Content() + archive, 0);
        for (const ZipEntry& e : zip.GetEntries()) {
            const auto stored = zip.ReadEntry(e);
            out[e.name] = Bytes(*ZipManager::ConvertContentFormat(stored->GetData(), stored->GetSize(), e.method,
                                                                  ContentFormat::kStored, e.crc32));
        }
        return out;
    }

    // The server accepts the described file's request and then sends nothing.
    void StallFile(const std::string& name) {
        Standin::Fault stall;
        stall.kind = Standin::FaultKind::kStall;
        server_->SetFault("/dynamic_content/" + name + "_" + std::to_string(described_[name].storedCrc), stall);
    }
    void StartServer() {
        Standin::ServerConfig config;
        config.root = (dir_ / "site").string();
        std::filesystem::create_directories(config.root);
        server_ = std::make_unique<Standin::HttpServer>(config);
        server_->Start();
        dir_.Write("site/download_servers.xml", "<?xml version=\"1.0\"?>\n<downloadServers><downloadServer>" +
                                                    server_->BaseUrl() + "</downloadServer></downloadServers>\n");
        GetParameterStore() = ParameterStore();
        GetParameterStore().Set("web.update.url", ParameterType::String, server_->BaseUrl());
        manager_.SetRequestTimeout(10000);  // healthy transfers never meet it, however loaded the machine
    }
    // followFolders: the driver and the queue use the user folders' content folder, as in the
    // launcher, instead of Content().
    ContentDriver& Driver(int threads = 2, bool followFolders = false) {
        driver_.reset();  // it stops the queue it uses
        DownloadQueueOptions q;
        q.manager = &manager_;
        q.contentFolder = followFolders ? std::string() : Content();
        q.threadCount = threads;
        queue_ = std::make_unique<DownloadQueue>(q);
        ContentDriverOptions options;
        options.programDataFolder = Folder("pd");
        options.contentFolder = followFolders ? std::string() : Content();
        options.corruptListPath = (dir_ / "corrupt_files.lst").string();
        options.queue = queue_.get();
        driver_ = std::make_unique<ContentDriver>(options);
        return *driver_;
    }
    void Background(const std::string& list) {
        WriteRegistrySettingString(Settings::BGDownloadList.section, Settings::BGDownloadList.name, list,
                                   Settings::BGDownloadList.scope);
        WriteSettingBool(Settings::BGDownloadInitialized.section, Settings::BGDownloadInitialized.name, true,
                         Settings::BGDownloadInitialized.scope);
    }
    std::string Folder(const std::string& name) const { return (dir_ / name).string() + "/"; }
    std::string Content() const { return contentFolder_.empty() ? Folder("content") : contentFolder_; }

    Vel::Test::TempDir dir_{"content-driver"};
    std::string contentFolder_;  // empty: Folder("content")
    std::map<std::string, ContentFileInfo> described_;
    std::map<std::string, std::string> contents_;
    std::unique_ptr<Standin::HttpServer> server_;
    DownloadManager manager_{[] {}};
    std::unique_ptr<DownloadQueue> queue_;
    std::unique_ptr<ContentDriver> driver_;
};

// A job, waited for without limit by nobody: completion is counted.
struct Ending {
    std::atomic<int> completed{0};
    ThreadJobBinder Binder() {
        return [this](const std::shared_ptr<ThreadJob>& job) { job->AddCompletionCallback([this] { ++completed; }); };
    }
};

// Root passes every permission test: while it lives, the process acts as an unprivileged player
// (effective uid "nobody"). Does nothing for a process that is not root.
class ActAsPlayer {
public:
    ActAsPlayer() : active_(::geteuid() == 0 && ::seteuid(65534) == 0) {}
    ~ActAsPlayer() {
        if (active_) {
            EXPECT_EQ(::seteuid(0), 0);
        }
    }
    ActAsPlayer(const ActAsPlayer&) = delete;
    ActAsPlayer& operator=(const ActAsPlayer&) = delete;

private:
    bool active_;
};

}  // namespace

// One fixture with every kind of archived entry, then a job with nothing to fetch that only
// carries out the moves and deletions.
TEST_F(ContentDriverTest, RescanClassifiesEveryEntryAndTheJobRepairsLocally) {
    Describe("p/a/intact", "intact content");
    Describe("p/a/wrongcrc", "the current version");
    Describe("p/a/wrongformat", "same content, other format", "1", ContentFormat::kDeflated);
    Describe("p/a/dup", "duplicated");
    Describe("p/a/corrupt", "listed by the client");
    Describe("p/a/renamed", "content found under an old name");
    Describe("p/a/stored-rc4", "only a plain copy exists", "1", ContentFormat::kStoredRc4);
    Describe("p/a/c2", "replaced by a move into its own archive");
    Describe("p/a/noplanet", "belongs to no planet", "");
    ASSERT_TRUE(LoadTables());

    Put("p_a_01.pak", "p/a/intact", "intact content");
    Put("p_a_01.pak", "p/a/wrongcrc", "an old version");
    Put("p_a_01.pak", "p/a/wrongformat", "same content, other format", ContentFormat::kStored);
    Put("p_a_01.pak", "p/a/dup", "duplicated");
    Put("p_a_01.pak", "p/a/undescribed", "nobody wants this");
    Put("p_a_01.pak", "p/a/noplanet", "belongs to no planet");
    Put("p_a_01.pak", "p/a/c2", "a damaged copy");
    Put("p_a_02.pak", "p/a/dup", "duplicated");
    Put("p_a_02.pak", "p/a/corrupt", "listed by the client");
    Put("p_a_02.pak", "p/a/oldname", "content found under an old name");
    Put("p_a_02.pak", "p/a/plain", "only a plain copy exists");  // same CRC and size as its RC4 form
    Put("p_a_02.pak", "p/a/c2old", "replaced by a move into its own archive");
    dir_.Write("corrupt_files.lst", "p/a/corrupt\np/a/c2\np/a/elsewhere\n");
    dir_.Write("content/old.repair", "left by a repair");

    auto& driver = Driver();
    driver.RescanContent();
    const auto a1 = Content() + "p_a_01.pak";
    const auto a2 = Content() + "p_a_02.pak";
    auto snap = driver.GetSnapshot();

    std::map<std::string, std::pair<bool, std::string>> needed;
    for (const auto& [name, file] : snap.needed) needed[name] = {file.replace, file.archivePath};
    const std::map<std::string, std::pair<bool, std::string>> expectedNeeded{
        {"p/a/wrongcrc", {false, a1}},  {"p/a/wrongformat", {true, a1}}, {"p/a/corrupt", {false, ""}},
        {"p/a/renamed", {false, ""}},   {"p/a/stored-rc4", {false, ""}}, {"p/a/c2", {false, ""}}};
    EXPECT_EQ(needed, expectedNeeded);
    // The plain copy has the right CRC and size but another format: no move source.
    const MoveMap expectedMoves{{{"", "p/a/renamed"}, {a2, "p/a/oldname"}}, {{"", "p/a/c2"}, {a2, "p/a/c2old"}}};
    EXPECT_EQ(snap.moves, expectedMoves);
    const DeleteSet expectedDeletes{{a1, "p/a/undescribed"}, {a1, "p/a/noplanet"}, {a1, "p/a/c2"},
                                    {a2, "p/a/dup"},         {a2, "p/a/corrupt"},  {a2, "p/a/oldname"},
                                    {a2, "p/a/plain"},       {a2, "p/a/c2old"}};
    EXPECT_EQ(snap.deletes, expectedDeletes);
    EXPECT_FALSE(std::filesystem::exists(dir_ / "content/old.repair"));
    EXPECT_EQ(driver.SumPlanetFileSizes({1}), [&] {
        std::uint64_t sum = 0;
        for (const auto& [name, info] : described_) sum += info.planetIds.empty() ? 0 : info.storedSize;
        return sum;
    }());

    // No file to fetch, but moves and deletions: the job runs and only repairs locally.
    Ending ending;
    const auto job = driver.StartContentDownload({}, ending.Binder());
    ASSERT_TRUE(job);
    ASSERT_TRUE(driver.WaitForContentThread(kBound));
    EXPECT_EQ(ending.completed.load(), 1);

    const auto first = Archived("p_a_01.pak");
    const auto second = Archived("p_a_02.pak");
    // Both moves went to the group's first archive; the move into the corrupt entry's own
    // archive was not undone by that entry's deletion.
    EXPECT_EQ(first.at("p/a/renamed"), contents_["p/a/renamed"]);
    EXPECT_EQ(first.at("p/a/c2"), contents_["p/a/c2"]);
    EXPECT_EQ(first.count("p/a/undescribed") + first.count("p/a/noplanet"), 0u);
    EXPECT_EQ(first.at("p/a/dup"), "duplicated");
    EXPECT_EQ(second, (std::map<std::string, std::string>{}));
    snap = driver.GetSnapshot();
    EXPECT_EQ(snap.needed.count("p/a/renamed") + snap.needed.count("p/a/c2"), 0u);
    EXPECT_TRUE(snap.needed.count("p/a/corrupt"));
    EXPECT_TRUE(snap.moves.empty());
    EXPECT_TRUE(snap.deletes.empty());
    // Removed and replaced names leave the client's list; a name still in no archive stays.
    EXPECT_EQ(Vel::Test::ReadFile(dir_ / "corrupt_files.lst"), "p/a/elsewhere\n");
}

TEST_F(ContentDriverTest, AFailedMoveLeavesItsFileToTheDownloadAndKeepsItsSource) {
    Describe("p/a/renamed", "content found under an old name");
    ASSERT_TRUE(LoadTables());
    Put("p_a_01.pak", "p/a/oldname", "content found under an old name");
    auto& driver = Driver();
    driver.RescanContent();
    ASSERT_EQ(driver.GetSnapshot().moves.size(), 1u);
    // The source goes before the job runs: the move fails.
    {
        Zip zip(Content() + "p_a_01.pak", kZipWritable);
        zip.RemoveEntry("p/a/oldname");
        zip.AddEntry("p/a/oldname", ContentFormat::kStored, 1, 3, 3, "bad", 3);
    }
    // The queue's threads do not run, so the file waits there until the abort.
    Ending ending;
    const auto job = driver.StartContentDownload(driver.BuildFileSet({1}), ending.Binder());
    ASSERT_TRUE(job);
    ASSERT_TRUE(WaitFor([&] { return queue_->GetQueuedCount(kTypeContent) == 1; }, kBound));
    EXPECT_TRUE(driver.GetSnapshot().needed.count("p/a/renamed"));
    EXPECT_TRUE(Archived("p_a_01.pak").count("p/a/oldname"));

    // Abort hits this job, drops the queued file and ends the thread without completing.
    driver.AbortContentDownload();
    EXPECT_TRUE(job->IsAborted());
    EXPECT_FALSE(driver.IsContentDownloadRunning());
    EXPECT_EQ(queue_->GetPending(kTypeContent), 0);
    EXPECT_EQ(ending.completed.load(), 0);
}

// Whether a content job runs is read from other threads while the GUI thread starts and aborts
// jobs. The queue's threads do not run, so each job waits for its file until the abort.
TEST_F(ContentDriverTest, TheRunningStateIsReadWhileJobsStartAndEnd) {
    Describe("p/a/fetched", "content only the server has");
    ASSERT_TRUE(LoadTables());
    std::filesystem::create_directories(dir_ / "content");
    auto& driver = Driver();
    const UpdatedFileSet files = driver.BuildFileSet({1});
    ASSERT_EQ(files.size(), 1u);

    std::atomic<bool> done{false};
    std::thread reader([&] {
        do {
            (void)driver.IsContentDownloadRunning();
        } while (!done.load());
    });
    for (int round = 0; round < 30; ++round) {
        const auto job = driver.StartContentDownload(files);
        EXPECT_TRUE(job);
        driver.AbortContentDownload();
        EXPECT_FALSE(driver.IsContentDownloadRunning());
    }
    done = true;
    reader.join();
}

TEST_F(ContentDriverTest, BackgroundPlanetsOneByOneAndTheDoneSetFollowsTheRescan) {
    Describe("t/p1/one", "planet one is complete", "1");
    Describe("t/p2/two", "planet two is missing this", "2", ContentFormat::kDeflated);
    ASSERT_TRUE(LoadTables());
    WritePlanetList();
    ASSERT_EQ(ReadPlanetList(Folder("pd") + kPlanetListFileName), PlanetListRead::Complete);
    Put("t_p1_01.pak", "t/p1/one", "planet one is complete");
    Background("1,2");
    StartServer();
    auto& driver = Driver();
    queue_->StartDownloadThreads();

    // Mode 0 asks for the required content only, which nothing lists.
    EXPECT_FALSE(driver.StartPlanetDataDownload(0));
    // Planet 1 needs nothing: done at once, and planet 2 is tried in the same call.
    Ending ending;
    auto job = driver.StartPlanetDataDownload(1, ending.Binder());
    ASSERT_TRUE(job);
    EXPECT_EQ(driver.GetSnapshot().done, (std::set<std::uint16_t>{1}));
    ASSERT_TRUE(WaitFor([&] { return ending.completed.load() == 1; }, kBound));
    ASSERT_TRUE(driver.WaitForContentThread(kBound));
    EXPECT_EQ(driver.GetSnapshot().done, (std::set<std::uint16_t>{1, 2}));
    EXPECT_EQ(Archived("t_p2_01.pak").at("t/p2/two"), contents_["t/p2/two"]);
    EXPECT_TRUE(driver.GetSnapshot().needed.empty());
    EXPECT_FALSE(driver.StartPlanetDataDownload(1));

    // The player's game lost planet 1's file: the rescan makes it needed again.
    {
        Zip zip(Content() + "t_p1_01.pak", kZipWritable);
        zip.RemoveEntry("t/p1/one");
    }
    driver.RescanContent();
    EXPECT_TRUE(driver.GetSnapshot().done.empty());
    job = driver.StartPlanetDataDownload(1, ending.Binder());
    ASSERT_TRUE(job);
    ASSERT_TRUE(WaitFor([&] { return ending.completed.load() == 2; }, kBound));
    ASSERT_TRUE(driver.WaitForContentThread(kBound));
    EXPECT_EQ(Archived("t_p1_01.pak").at("t/p1/one"), contents_["t/p1/one"]);
}

TEST_F(ContentDriverTest, ASecondInitStartsNothingTwiceAndKeepsTheMapOfARunningJob) {
    Describe("t/p1/slow", std::string(4000, 's'), "1");
    ASSERT_TRUE(LoadTables());
    WritePlanetList();
    Background("1");
    StartServer();
    StallFile("t/p1/slow");
    auto& driver = Driver(3);

    driver.Init();
    EXPECT_EQ(queue_->GetThreadCount(), 3);
    const auto job = driver.StartPlanetDataDownload(1);
    ASSERT_TRUE(job);
    const auto map = GetFileDescriptors();
    Describe("t/p1/added", "a new table", "1");
    WriteTables();
    driver.Init();
    EXPECT_EQ(queue_->GetThreadCount(), 3);
    EXPECT_EQ(GetFileDescriptors(), map) << "the map was swapped under a running job";

    driver.AbortContentDownload();
    EXPECT_TRUE(job->IsAborted());
    driver.Init();
    EXPECT_EQ(queue_->GetThreadCount(), 3);
    EXPECT_EQ(GetFileDescriptors()->count("t/p1/added"), 1u);
}

TEST_F(ContentDriverTest, AnEmptyDescriptorMapDeletesAndRemovesNothing) {
    Put("p_a_01.pak", "p/a/kept", "described by a table that could not be read");
    LoadFileDescriptors(Folder("none"));
    auto& driver = Driver();
    driver.RescanContent();
    EXPECT_TRUE(driver.GetSnapshot().deletes.empty());
    EXPECT_FALSE(driver.StartContentDownload({}));
    const auto job = std::make_shared<ThreadJob>();
    driver.CleanupPaks(job);
    EXPECT_EQ(Archived("p_a_01.pak").size(), 1u);
}

// The clean-up keeps a described file that stands in several archives in the first of them in
// listing order (by name, not by age) and removes the later copies, told apart here by their
// bytes; entries without a descriptor or without a planet go from every archive.
TEST_F(ContentDriverTest, CleanupKeepsOnlyTheFirstCopyOfAFileInSeveralArchives) {
    Describe("p/a/dup", "the first copy");
    Describe("p/a/single", "only in the second archive");
    Describe("p/a/noplanet", "belongs to no planet", "");
    ASSERT_TRUE(LoadTables());
    Put("p_a_03.pak", "p/a/dup", "the third copy");
    Put("p_a_02.pak", "p/a/dup", "the second copy");
    Put("p_a_02.pak", "p/a/single", "only in the second archive");
    Put("p_a_02.pak", "p/a/noplanet", "belongs to no planet");
    Put("p_a_01.pak", "p/a/undescribed", "nobody wants this");
    Put("p_a_01.pak", "p/a/dup", "the first copy");

    auto& driver = Driver();
    const auto job = std::make_shared<ThreadJob>();
    std::atomic<bool> completed{false};
    job->AddCompletionCallback([&] { completed = true; });
    driver.CleanupPaks(job);
    EXPECT_TRUE(completed.load());
    using Entries = std::map<std::string, std::string>;
    EXPECT_EQ(Archived("p_a_01.pak"), (Entries{{"p/a/dup", "the first copy"}}));
    EXPECT_EQ(Archived("p_a_02.pak"), (Entries{{"p/a/single", "only in the second archive"}}));
    EXPECT_EQ(Archived("p_a_03.pak"), Entries{});
}

// Free gaps just below and at the threshold, with a version-1 table, a version-2 table (read
// but reported) and no table at all: the described entry stays, compaction runs at 10,000,000.
TEST_F(ContentDriverTest, CompactionStartsAtTenMillionBytesOfGaps) {
    struct Case {
        std::uint64_t gap;
        int tables;  // 1, 2: table version; 0: no table
        bool compacted;
    };
    const std::string name = "p/a/gap";  // its extent is 30 + 7 + stored size
    for (const Case c : {Case{9'999'999, 1, false}, Case{10'000'000, 1, true}, Case{10'000'000, 2, true},
                         Case{9'999'999, 0, false}, Case{10'000'000, 0, true}}) {
        SCOPED_TRACE(std::to_string(c.gap) + " table " + std::to_string(c.tables));
        std::filesystem::remove_all(dir_ / "content");
        std::filesystem::remove_all(dir_ / "pd");
        described_.clear();
        const std::string filler(c.gap - 30 - name.size(), 'g');
        Put("p_a_01.pak", name, filler);
        Put("p_a_01.pak", "p/a/keep", "kept");
        {
            Zip zip(Content() + "p_a_01.pak", kZipWritable);
            zip.RemoveEntry(name);
        }
        if (c.tables != 0) {
            Describe("p/a/keep", "kept");
            EXPECT_EQ(LoadTables(static_cast<std::uint16_t>(c.tables)), c.tables == 1);
        } else {
            LoadFileDescriptors(Folder("none"));
        }
        const std::uint64_t before = std::filesystem::file_size(dir_ / "content/p_a_01.pak");
        auto& driver = Driver();
        const auto job = std::make_shared<ThreadJob>();
        std::atomic<bool> completed{false};
        job->AddCompletionCallback([&] { completed = true; });
        driver.CleanupPaks(job);
        EXPECT_TRUE(completed.load());
        EXPECT_EQ(Archived("p_a_01.pak"), (std::map<std::string, std::string>{{"p/a/keep", "kept"}}));
        const std::uint64_t after = std::filesystem::file_size(dir_ / "content/p_a_01.pak");
        EXPECT_EQ(after < before - c.gap / 2, c.compacted) << before << " -> " << after;
        EXPECT_EQ(job->GetProgress()->GetDone(), before);
    }
}

TEST_F(ContentDriverTest, ARepairThatRemovesNothingStillAsksForARescan) {
    Describe("p/a/fine", "fine");
    ASSERT_TRUE(LoadTables());
    Put("p_a_01.pak", "p/a/fine", "fine");
    auto& driver = Driver();
    driver.RescanContent();
    ASSERT_TRUE(driver.IsScanned());
    const auto job = std::make_shared<ThreadJob>();
    driver.RepairPak(job, Content() + "p_a_01.pak");
    EXPECT_FALSE(driver.IsScanned());
    EXPECT_EQ(Archived("p_a_01.pak").size(), 1u);
}

TEST_F(ContentDriverTest, PlanetSizeQueriesAnswerOnTheCollectorAndARescanEndsAtShutdown) {
    Describe("t/p1/have", "present", "1");
    Describe("t/p1/miss", "missing file", "1,2");
    ASSERT_TRUE(LoadTables());
    WritePlanetList();
    Put("t_p1_01.pak", "t/p1/have", "present");
    Background("");
    auto& driver = Driver(1);
    driver.Init();
    std::mutex lock;
    std::map<std::uint16_t, std::tuple<bool, std::uint64_t, std::uint64_t>> answers;
    for (std::uint16_t id : {1, 2, 77})
        driver.QueryPlanetDownloadSize(id, [&, id](bool ok, std::uint64_t total, std::uint64_t needed) {
            std::lock_guard guard(lock);
            answers[id] = {ok, total, needed};
        });
    ASSERT_TRUE(WaitFor([&] { std::lock_guard guard(lock); return answers.size() == 3; }, kBound));
    const std::uint64_t have = described_["t/p1/have"].storedSize, miss = described_["t/p1/miss"].storedSize;
    EXPECT_EQ(answers[1], std::make_tuple(true, have + miss, miss));
    EXPECT_EQ(answers[2], std::make_tuple(true, miss, miss));
    EXPECT_EQ(answers[77], std::make_tuple(true, std::uint64_t{0}, std::uint64_t{0}));

    driver.RepairPak(std::make_shared<ThreadJob>(), Content() + "t_p1_01.pak");  // the next collection rescans
    driver.Shutdown();
    EXPECT_THROW(driver.BuildFileSet({1}), Exception);
}

// A worker that arrives after the shutdown (the queue's threads are gone) starts nothing: a job
// then would wait for the queue for ever and outlive the driver.
TEST_F(ContentDriverTest, NothingStartsAfterShutdown) {
    Describe("t/p1/late", "asked for after the shutdown", "1");
    ASSERT_TRUE(LoadTables());
    WritePlanetList();
    Background("1");
    auto& driver = Driver();
    driver.Init();
    const UpdatedFileSet files = driver.BuildFileSet({1});
    ASSERT_EQ(files.size(), 1u);
    driver.Shutdown();

    for (int mode : {0, 1}) {
        SCOPED_TRACE(mode);
        auto job = mode == 0 ? driver.StartContentDownload(files) : driver.StartPlanetDataDownload(1);
        EXPECT_FALSE(job);
        EXPECT_FALSE(driver.IsContentDownloadRunning());
        if (job) job->Abort();  // so that a failure here does not hang the run
    }
}

// The content folder moved to another parent: what the last rescan found names archives that
// are no longer there, so the next collection rescans the new folder.
TEST_F(ContentDriverTest, TheNextCollectionAfterAContentMoveRescansTheNewFolder) {
    struct ParentFolder {
        void Set(const std::string& value) {
            WriteRegistrySettingString(Settings::PublicUsersDataParentFolder.section,
                                       Settings::PublicUsersDataParentFolder.name, value,
                                       Settings::PublicUsersDataParentFolder.scope);
            ReloadPublicUsersDataParentFolder();
        }
        ~ParentFolder() { Set(""); }
    } parent;
    parent.Set(Folder("old"));
    Describe("p/a/wrongcrc", "the current version");
    Describe("p/a/renamed", "content found under an old name");
    ASSERT_TRUE(LoadTables());
    const std::string oldFolder = MakeDynamicContentFolderPath();
    std::filesystem::create_directories(oldFolder);
    {
        Zip zip(oldFolder + "p_a_01.pak", kZipWritable);
        for (const auto& [name, content] : {std::pair<std::string, std::string>{"p/a/wrongcrc", "an old version"},
                                            {"p/a/oldname", "content found under an old name"}})
            zip.AddEntry(name, ContentFormat::kStored, CrcOf(content), static_cast<std::uint32_t>(content.size()),
                         static_cast<std::uint32_t>(content.size()), content.data(),
                         static_cast<std::uint32_t>(content.size()));
    }
    auto& driver = Driver(2, true);
    driver.RescanContent();
    ASSERT_EQ(driver.GetSnapshot().needed.at("p/a/wrongcrc").archivePath, oldFolder + "p_a_01.pak");

    // What the updater does with "--move-content", and the launcher's reload after it.
    std::filesystem::create_directories(dir_ / "new");
    std::filesystem::rename(dir_ / "old/public_users_data", dir_ / "new/public_users_data");
    parent.Set(Folder("new"));
    const std::string newFolder = MakeDynamicContentFolderPath();
    ASSERT_NE(newFolder, oldFolder);

    const UpdatedFileSet files = driver.BuildFileSet({1});
    std::map<std::string, std::string> paths;
    for (const UpdatedFile& file : files) paths[file.Name()] = file.archivePath;
    EXPECT_EQ(paths, (std::map<std::string, std::string>{{"p/a/wrongcrc", newFolder + "p_a_01.pak"},
                                                         {"p/a/renamed", ""}}));
    const auto snap = driver.GetSnapshot();
    for (const auto& [target, source] : snap.moves) EXPECT_EQ(source.archive.rfind(newFolder, 0), 0u) << source.archive;
    for (const auto& entry : snap.deletes) EXPECT_EQ(entry.archive.rfind(newFolder, 0), 0u) << entry.archive;
    EXPECT_FALSE(std::filesystem::exists(oldFolder));
}

// A rescan for new tables that fails on an archive it cannot read leaves the content unscanned:
// the next collection tries again instead of handing out the old tables' needed set.
TEST_F(ContentDriverTest, ARescanThatFailedIsTriedAgain) {
    Describe("p/a/old", "in the first tables", "1");
    ASSERT_TRUE(LoadTables());
    auto& driver = Driver();
    ASSERT_EQ(driver.BuildFileSet({1}).size(), 1u);

    Describe("p/a/new", "added by the next tables", "1");
    ASSERT_TRUE(LoadTables());
    // An archive whose unflushed marker cannot be cleared cannot be opened.
    Put("p_a_01.pak", "p/a/old", "in the first tables");
    dir_.Write("content/p_a_01.pak.unflushed/in-the-way", "");
    EXPECT_THROW(driver.BuildFileSet({1}), Exception);
    std::filesystem::remove_all(dir_ / "content/p_a_01.pak.unflushed");

    std::set<std::string> names;
    for (const UpdatedFile& file : driver.BuildFileSet({1})) names.insert(file.Name());
    EXPECT_EQ(names, (std::set<std::string>{"p/a/new"}));
}

// The content thread fails (a move meets a damaged archive); the player's Retry runs the job
// again on the same thread, which then repairs, fetches and completes.
TEST_F(ContentDriverTest, RetryAfterAFailureOfTheContentThreadRunsTheJobAgain) {
    Describe("p/a/renamed", "content found under an old name");
    Describe("p/a/fetched", "content only the server has");
    ASSERT_TRUE(LoadTables());
    Put("p_a_01.pak", "p/a/oldname", "content found under an old name");
    StartServer();
    auto& driver = Driver();
    queue_->StartDownloadThreads();
    driver.RescanContent();
    ASSERT_EQ(driver.GetSnapshot().moves.size(), 1u);
    // The move's source is damaged when the job starts, and sound again once the player answers.
    const std::string sound = Vel::Test::ReadFile(dir_ / "content/p_a_01.pak");
    dir_.Write("content/p_a_01.pak", "not an archive at all, and long enough to be looked at");

    std::atomic<int> questions{0};
    Ending ending;
    const auto job = driver.StartContentDownload(driver.BuildFileSet({1}), [&](const std::shared_ptr<ThreadJob>& j) {
        ending.Binder()(j);
        j->SetErrorHandler([&] {
            if (++questions > 1) return false;
            dir_.Write("content/p_a_01.pak", sound);
            return true;
        });
    });
    ASSERT_TRUE(job);
    ASSERT_TRUE(driver.WaitForContentThread(kBound));
    EXPECT_EQ(questions.load(), 1);
    EXPECT_EQ(ending.completed.load(), 1);
    const auto archived = Archived("p_a_01.pak");
    EXPECT_EQ(archived.count("p/a/oldname"), 0u);
    EXPECT_EQ(archived.at("p/a/renamed"), contents_["p/a/renamed"]);
    EXPECT_EQ(archived.at("p/a/fetched"), contents_["p/a/fetched"]);
    EXPECT_TRUE(driver.GetSnapshot().needed.empty());
    // The second run counted what it fetched, once.
    EXPECT_EQ(job->GetProgress()->GetTotal(), described_["p/a/fetched"].storedSize);
    EXPECT_EQ(job->GetProgress()->GetDone(), job->GetProgress()->GetTotal());
}

// An entry with the right content in the wrong format is rebuilt locally only when the rebuilt
// bytes are exactly the stored form the tables describe: here the rebuild has the stored size
// but another CRC-32, so the file comes from the server instead.
TEST_F(ContentDriverTest, ALocalRebuildWithTheWrongStoredCrcIsFetchedInstead) {
    const std::string name = "p/a/rebuilt";
    const std::string content(3000, 'r');
    Describe(name, content, "1", ContentFormat::kDeflated);
    // The server's stored form: as long as the local rebuild, but not the same bytes.
    const std::string rebuilt = Stored(content, ContentFormat::kDeflated);
    std::string served = rebuilt;
    served[served.size() / 2] = static_cast<char>(served[served.size() / 2] ^ 0x5a);
    ASSERT_EQ(served.size(), described_[name].storedSize);
    described_[name].storedCrc = CrcOf(served);
    const std::string remotePath = "/dynamic_content/" + name + "_" + std::to_string(CrcOf(served));
    dir_.Write("site" + remotePath, served);
    ASSERT_TRUE(LoadTables());
    Put("p_a_01.pak", name, content, ContentFormat::kStored);
    StartServer();
    auto& driver = Driver();
    queue_->StartDownloadThreads();

    const UpdatedFileSet files = driver.BuildFileSet({1});
    ASSERT_EQ(files.size(), 1u);
    ASSERT_TRUE(files.begin()->replace) << "the entry should count as the right content in another format";
    Ending ending;
    ASSERT_TRUE(driver.StartContentDownload(files, ending.Binder()));
    ASSERT_TRUE(driver.WaitForContentThread(kBound));
    EXPECT_EQ(ending.completed.load(), 1);

    bool requested = false;
    for (const auto& request : server_->RequestLog()) requested = requested || request.path == remotePath;
    EXPECT_TRUE(requested) << "the wrong local rebuild was kept";
    Zip zip(Content() + "p_a_01.pak", 0);
    ZipEntry entry;
    ASSERT_TRUE(zip.GetEntryInfo(name, entry));
    EXPECT_EQ(entry.method, ContentFormat::kDeflated);
    EXPECT_EQ(Bytes(*zip.ReadEntry(entry)), served);
}

// A planet download started while another content job runs: the running job is aborted, its
// queued file dropped, before the new job is bound and started; only the new job completes.
TEST_F(ContentDriverTest, StartingAPlanetDownloadAbortsTheRunningJobFirst) {
    Describe("t/p1/slow", std::string(4000, 's'), "1");
    Describe("r/q/required", "every installation needs this", "9999");
    ASSERT_TRUE(LoadTables());
    WritePlanetList();
    Background("1");
    StartServer();
    StallFile("t/p1/slow");
    auto& driver = Driver();
    driver.Init();

    Ending first;
    const auto firstJob = driver.StartPlanetDataDownload(1, first.Binder());
    ASSERT_TRUE(firstJob);
    ASSERT_TRUE(WaitFor([&] { return queue_->GetPending(kTypeContent) == 1; }, kBound));

    // Seen when the second job is bound, before its thread runs.
    bool firstAbortedAtBind = false;
    int pendingAtBind = -1;
    Ending second;
    std::shared_ptr<ThreadJob> secondJob;
    EXPECT_NO_THROW(secondJob = driver.StartPlanetDataDownload(0, [&](const std::shared_ptr<ThreadJob>& job) {
        firstAbortedAtBind = firstJob->IsAborted();
        pendingAtBind = queue_->GetPending(kTypeContent);
        second.Binder()(job);
    }));
    ASSERT_TRUE(secondJob);
    ASSERT_TRUE(WaitFor([&] { return second.completed.load() == 1; }, kBound));
    ASSERT_TRUE(driver.WaitForContentThread(kBound));
    EXPECT_TRUE(firstAbortedAtBind);
    EXPECT_EQ(pendingAtBind, 0) << "the first job's file was still queued";
    EXPECT_TRUE(firstJob->IsAborted());
    EXPECT_FALSE(secondJob->IsAborted());
    EXPECT_EQ(first.completed.load(), 0);
    EXPECT_EQ(Archived("r_q_01.pak").at("r/q/required"), contents_["r/q/required"]);
}

// A name the game client listed as corrupt, with no entry in any archive: the download of its
// file takes it out of the list, and the client's other lines stay.
TEST_F(ContentDriverTest, ADownloadedCorruptFileLeavesTheList) {
    Describe("p/a/listed", "listed by the client, in no archive");
    ASSERT_TRUE(LoadTables());
    dir_.Write("corrupt_files.lst", "p/a/other\np/a/listed\n");
    StartServer();
    auto& driver = Driver();
    queue_->StartDownloadThreads();
    const UpdatedFileSet files = driver.BuildFileSet({1});
    ASSERT_EQ(files.size(), 1u);
    ASSERT_TRUE(driver.GetSnapshot().deletes.empty());
    Ending ending;
    ASSERT_TRUE(driver.StartContentDownload(files, ending.Binder()));
    ASSERT_TRUE(driver.WaitForContentThread(kBound));
    EXPECT_EQ(ending.completed.load(), 1);
    EXPECT_EQ(Archived("p_a_01.pak").at("p/a/listed"), contents_["p/a/listed"]);
    EXPECT_EQ(Vel::Test::ReadFile(dir_ / "corrupt_files.lst"), "p/a/other\n");
}

// A content folder that cannot be made or written fails the job before the first file is
// fetched (the server sees no request), with the folder and the system's reason, and the way
// to another folder.
TEST_F(ContentDriverTest, AContentFolderThatCannotBeWrittenFailsBeforeAnyFetch) {
    struct Case {
        const char* name;
        std::string folder;  // below dir_
        const char* reason;
        bool exists;  // the folder was there before
    } cases[] = {
        {"read-only installation", "locked/public_users_data/dynamic_content/", "Permission denied (error code 13)",
         false},
        {"read-only content folder", "locked/dynamic_content/", "Permission denied (error code 13)", true},
        {"a file where a folder belongs", "file/public_users_data/dynamic_content/", "Not a directory (error code 20)",
         false},
    };
    Describe("p/a/fetched", "content only the server has");
    ASSERT_TRUE(LoadTables());
    StartServer();
    std::filesystem::permissions(dir_.Path(), std::filesystem::perms::owner_all | std::filesystem::perms::group_read |
                                                  std::filesystem::perms::group_exec |
                                                  std::filesystem::perms::others_read |
                                                  std::filesystem::perms::others_exec);
    std::filesystem::create_directories(dir_ / "locked/dynamic_content");
    ASSERT_EQ(::chmod((dir_ / "locked/dynamic_content").c_str(), 0555), 0);
    ASSERT_EQ(::chmod((dir_ / "locked").c_str(), 0555), 0);
    dir_.Write("file", "an ordinary file");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        contentFolder_ = Folder(c.folder.substr(0, c.folder.size() - 1));
        auto& driver = Driver();
        queue_->StartDownloadThreads();
        const UpdatedFileSet files = driver.BuildFileSet({1});
        ASSERT_EQ(files.size(), 1u);

        std::string failedFile, reason;
        int failures = 0;
        Ending ending;
        {
            ActAsPlayer player;
            const auto job = driver.StartContentDownload(files, [&](const std::shared_ptr<ThreadJob>& j) {
                ending.Binder()(j);
                j->SetErrorHandler([&] {
                    ++failures;
                    try {
                        throw;
                    } catch (const FileException& e) {
                        failedFile = e.GetFileName();
                        reason = e.GetErrorText();
                    } catch (...) {
                    }
                    return false;
                });
            });
            ASSERT_TRUE(job);
            ASSERT_TRUE(driver.WaitForContentThread(kBound));
        }
        EXPECT_EQ(failures, 1);
        EXPECT_EQ(ending.completed.load(), 0);
        EXPECT_EQ(failedFile, contentFolder_);
        EXPECT_EQ(reason.rfind(std::string(c.reason) + "\n\n", 0), 0u) << reason;
        EXPECT_NE(reason.find("write access"), std::string::npos) << reason;
        EXPECT_NE(reason.find("Tools, Folders"), std::string::npos) << reason;
        EXPECT_TRUE(server_->RequestLog().empty());
        EXPECT_EQ(std::filesystem::exists(contentFolder_), c.exists);
        if (c.exists) {
            EXPECT_TRUE(std::filesystem::is_empty(contentFolder_));
        }
    }
    ASSERT_EQ(::chmod((dir_ / "locked").c_str(), 0755), 0);
    ASSERT_EQ(::chmod((dir_ / "locked/dynamic_content").c_str(), 0755), 0);
}
