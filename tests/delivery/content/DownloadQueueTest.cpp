// ctest: threading
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "delivery/net/BodyBufferPool.h"
#include "delivery/content/ContentDiskFullException.h"
#include "delivery/net/DownloadManager.h"
#include "delivery/content/DownloadQueue.h"
#include "delivery/archive/Zip.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/data/ContentFormat.h"
#include "foundation/data/Crc32.h"
#include "foundation/core/Exception.h"
#include "foundation/data/PakNames.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "platform/FileDurability.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/SteppedDisk.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"
#include "tools/standin-server/StandinServer.h"

using namespace Vel;
using namespace Vel::ContentDownload;
using Standin::Fault;
using Standin::FaultKind;
using TestSupport::BoundedThread;
using TestSupport::WaitFor;

namespace {

constexpr auto kWatchdog = std::chrono::seconds(30);

std::uint32_t CrcOf(const std::string& s) { return Crc32(s.data(), s.size()); }
std::string Bytes(const VelMemoryStream& s) { return std::string(reinterpret_cast<const char*>(s.GetData()), s.GetSize()); }

Fault MakeFault(FaultKind kind, unsigned status = 0, unsigned times = 0) {
    Fault f;
    f.kind = kind;
    f.status = status;
    f.times = times;
    return f;
}

// The user's answer to the retry question, one per question; when the script runs out the
// question waits until the job is aborted, as the real one gives up then.
class ScriptedRetry {
public:
    explicit ScriptedRetry(std::deque<bool> answers, bool repeatLast = false)
        : answers_(std::move(answers)), repeatLast_(repeatLast) {}

    void Install(const std::shared_ptr<ThreadJob>& job) {
        std::weak_ptr<ThreadJob> weak = job;
        job->SetErrorHandler([this, weak] { return Ask(weak.lock()); });
    }
    int Questions() const { return questions_.load(); }
    // Called as each question is asked, before it is answered.
    void OnQuestion(std::function<void()> hook) { hook_ = std::move(hook); }
    std::string FirstError() const {
        std::lock_guard lock(mutex_);
        return errors_.empty() ? std::string() : errors_.front();
    }
    std::vector<std::string> Errors() const {
        std::lock_guard lock(mutex_);
        return errors_;
    }

private:
    bool Ask(const std::shared_ptr<ThreadJob>& job) {
        std::string text;
        try {
            throw;
        } catch (const NetworkException& e) {
            text = e.GetUrl() + " " + e.GetErrorText();
        } catch (const ContentDiskFullException& e) {
            text = "disk full " + e.GetErrorText();
        } catch (const ZipCorruptException& e) {
            text = "corrupt " + e.GetArchivePath();
        } catch (...) {
            text = "other";
        }
        std::optional<bool> answer;
        {
            std::lock_guard lock(mutex_);
            errors_.push_back(text);
            if (!answers_.empty()) {
                answer = answers_.front();
                if (answers_.size() > 1 || !repeatLast_) answers_.pop_front();
            }
        }
        if (hook_) hook_();
        ++questions_;
        if (answer) return *answer;
        EXPECT_TRUE(WaitFor([&] { return job && job->IsAborted(); }, kWatchdog)) << "an unanswered question";
        return false;
    }

    mutable std::mutex mutex_;
    std::deque<bool> answers_;
    bool repeatLast_;
    std::vector<std::string> errors_;
    std::atomic<int> questions_{0};
    std::function<void()> hook_;
};

// The stand-in content server serving the stored forms of a few planet files, a content
// folder for the archives, and a download manager that asks the servers given.
class DownloadQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = StartServer();
        GetParameterStore() = ParameterStore();
        GetParameterStore().Set("web.update.url", ParameterType::String, server_->BaseUrl());
        manager_.SetRequestTimeout(10000);  // healthy transfers never meet it, however loaded the machine
    }
    void TearDown() override {
        queue_.reset();
        GetParameterStore() = ParameterStore();
    }

    std::unique_ptr<Standin::HttpServer> StartServer() {
        Standin::ServerConfig config;
        config.root = (dir_ / "site").string();
        std::filesystem::create_directories(config.root);
        auto server = std::make_unique<Standin::HttpServer>(config);
        server->Start();
        return server;
    }
    // An address where nothing listens.
    static std::string RefusingUrl() {
        Standin::ServerConfig config;
        config.root = ".";
        Standin::HttpServer gone(config);
        gone.Start();
        const std::string url = gone.BaseUrl();
        gone.Stop();
        return url;
    }
    void ServerList(const std::vector<std::string>& urls) const {
        std::string xml = "<?xml version=\"1.0\"?>\n<downloadServers>\n";
        for (const auto& u : urls) xml += "  <downloadServer>" + u + "</downloadServer>\n";
        dir_.Write("site/download_servers.xml", xml + "</downloadServers>\n");
    }

    // A planet file stored in the given format; its stored form is on the server.
    void AddFile(const std::string& name, const std::string& content, int code = ContentFormat::kStored) {
        int compression = 0, encryption = 0;
        SplitContentFormatCode(code, compression, encryption);
        const auto stored = ZipManager::ConvertContentFormat(content.data(), static_cast<std::uint32_t>(content.size()),
                                                             ContentFormat::kStored, code, CrcOf(content));
        ContentFileInfo info;
        info.crc = CrcOf(content);
        info.size = static_cast<std::uint32_t>(content.size());
        info.storedSize = stored->GetSize();
        info.storedCrc = Crc32(stored->GetData(), stored->GetSize());
        info.compression = static_cast<std::uint16_t>(compression);
        info.encryption = static_cast<std::uint16_t>(encryption);
        (*map_)[name] = info;
        dir_.Write("site" + ServerPath(name), Bytes(*stored));
        contents_[name] = content;
    }
    // Every content file of the server fails this way (the server list itself does not).
    void FailFiles(Standin::HttpServer& server, const Fault& fault) const {
        for (const auto& [name, content] : contents_) server.SetFault(ServerPath(name), fault);
    }
    std::string ServerPath(const std::string& name) const {
        return "/dynamic_content/" + name + "_" + std::to_string(map_->at(name).storedCrc);
    }
    DownloadItem Item(const std::string& name, const std::shared_ptr<ThreadJob>& job, std::uint32_t type = kTypeContent,
                      float priority = 0) const {
        DownloadItem item;
        item.descriptor = FindDescriptorRef(map_, name);
        item.type = type;
        item.job = job;
        if (priority != 0) item.priority = [priority] { return priority; };
        return item;
    }
    DownloadQueue& MakeQueue(int threads, std::uint64_t budget = kDefaultWriteByteBudget,
                             std::function<void()> onDrained = {}) {
        DownloadQueueOptions options;
        options.manager = &manager_;
        options.contentFolder = Content();
        options.threadCount = threads;
        options.writeByteBudget = budget;
        options.onDrained = std::move(onDrained);
        queue_ = std::make_unique<DownloadQueue>(options);
        return *queue_;
    }
    std::string Content() const { return (dir_ / "content").string() + "/"; }
    std::shared_ptr<ThreadJob> TypeJob(ScriptedRetry* retry = nullptr) {
        auto job = std::make_shared<ThreadJob>();
        if (retry) retry->Install(job);
        queue_->SetTypeJob(kTypeContent, job);
        return job;
    }
    // Every entry of every archive in the content folder: name -> (format code, stored bytes).
    std::map<std::string, std::pair<int, std::string>> ArchiveEntries() const {
        std::map<std::string, std::pair<int, std::string>> out;
        std::error_code ec;
        for (const auto& f : std::filesystem::directory_iterator(Content(), ec)) {
            if (f.path().extension() != ".pak" || f.path().filename() == "broken.pak") continue;
            Zip zip(f.path().string(), 0);
            for (const auto& e : zip.GetEntries()) out[e.name] = {e.method, Bytes(*zip.ReadEntry(e))};
        }
        return out;
    }
    // The content of each archived file, decoded.
    std::map<std::string, std::string> ArchivedContents() const {
        std::map<std::string, std::string> out;
        for (const auto& [name, entry] : ArchiveEntries()) {
            const auto plain = ZipManager::ConvertContentFormat(entry.second.data(),
                                                                static_cast<std::uint32_t>(entry.second.size()),
                                                                entry.first, ContentFormat::kStored, map_->at(name).crc);
            out[name] = Bytes(*plain);
        }
        return out;
    }
    std::vector<std::string> ContentRequests(const Standin::HttpServer& server) const {
        std::vector<std::string> out;
        for (const auto& r : server.RequestLog())
            if (r.path.rfind("/dynamic_content/", 0) == 0) out.push_back(r.path);
        return out;
    }

    Vel::Test::TempDir dir_{"download-queue"};
    std::unique_ptr<Standin::HttpServer> server_;
    DownloadManager manager_{[] {}};
    std::shared_ptr<FileDescriptorMap> map_ = std::make_shared<FileDescriptorMap>();
    std::map<std::string, std::string> contents_;
    std::unique_ptr<DownloadQueue> queue_;
};

}  // namespace

TEST_F(DownloadQueueTest, TheMostUrgentItemIsTakenFirstAndTypeZeroBeforeTypeOne) {
    for (const char* n : {"p/a/one", "p/a/five1", "p/a/five2", "p/a/three", "p/b/urgent", "p/b/aborted"})
        AddFile(n, std::string("content of ") + n);
    ServerList({server_->BaseUrl()});
    auto& queue = MakeQueue(1);
    const auto job = TypeJob();
    std::vector<std::string> completed;
    std::mutex completedLock;
    auto item = [&](const std::string& name, std::uint32_t type, float priority) {
        DownloadItem i = Item(name, job, type, priority);
        i.completion = [&, name](bool ok) {
            std::lock_guard lock(completedLock);
            completed.push_back(name + (ok ? "" : " failed"));
        };
        return i;
    };
    // Queued before the thread starts, so that the order of taking alone decides.
    queue.Enqueue(item("p/a/one", kTypeContent, 1));
    queue.Enqueue(item("p/a/five1", kTypeContent, 5));
    queue.Enqueue(item("p/a/five2", kTypeContent, 5));
    queue.Enqueue(item("p/a/three", kTypeContent, 3));
    queue.Enqueue(item("p/b/urgent", kTypeUrgent, 0));
    const auto abortedJob = std::make_shared<ThreadJob>();
    abortedJob->Abort();
    queue.Enqueue(Item("p/b/aborted", abortedJob, kTypeUrgent));
    EXPECT_EQ(queue.GetPending(kTypeContent), 4);
    EXPECT_EQ(queue.GetPending(kTypeUrgent), 1) << "an item of an aborted job is neither queued nor counted";
    EXPECT_EQ(job->GetProgress()->GetTotal(),
              map_->at("p/a/one").storedSize + map_->at("p/a/five1").storedSize + map_->at("p/a/five2").storedSize +
                  map_->at("p/a/three").storedSize + map_->at("p/b/urgent").storedSize);

    queue.StartDownloadThreads();
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeUrgent, kWatchdog));
    queue.StopDownloadThreads();

    const std::vector<std::string> order = {ServerPath("p/b/urgent"), ServerPath("p/a/five1"), ServerPath("p/a/five2"),
                                            ServerPath("p/a/three"), ServerPath("p/a/one")};
    EXPECT_EQ(ContentRequests(*server_), order);
    EXPECT_EQ(completed.size(), 5u);
    EXPECT_EQ(job->GetProgress()->GetDone(), job->GetProgress()->GetTotal());
    auto archived = ArchivedContents();
    contents_.erase("p/b/aborted");
    EXPECT_EQ(archived, contents_);
}

TEST_F(DownloadQueueTest, ThreadsStuckOnAFailureMoveToTheNextServerOnlyWhenAllAreStuck) {
    constexpr int kThreads = 4;
    for (int i = 0; i < 2 * kThreads; ++i) AddFile("p/a/f" + std::to_string(i), "file " + std::to_string(i));
    auto failing = StartServer();
    FailFiles(*failing, MakeFault(FaultKind::kStatus, 500));
    ServerList({failing->BaseUrl(), server_->BaseUrl()});
    auto& queue = MakeQueue(kThreads);
    ScriptedRetry retry({});
    const auto job = TypeJob(&retry);
    // Queued first: every thread has work from its start, so none is idle while others fail.
    for (const auto& [name, content] : contents_) queue.Enqueue(Item(name, job));
    queue.StartDownloadThreads();

    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    // Each thread failed once and waited; only then was the second server asked.
    EXPECT_EQ(ContentRequests(*failing).size(), static_cast<std::size_t>(kThreads));
    EXPECT_EQ(ContentRequests(*server_).size(), contents_.size());
    EXPECT_TRUE(WaitFor([&] { return queue.GetErrorWaitingCount() == 0 && queue.GetActiveCount() == kThreads; }))
        << "the waiting threads are released";
    EXPECT_EQ(retry.Questions(), 0);
    queue.StopDownloadThreads();
    EXPECT_EQ(ArchivedContents(), contents_);
}

// The rest of the job is done and one file stalls: the threads with nothing to do make no
// progress, so after one try (on each server) the player is asked.
TEST_F(DownloadQueueTest, OneStalledFileWithTheOtherThreadsIdleReachesTheQuestionAfterOneTry) {
    for (int i = 0; i < 3; ++i) AddFile("p/a/f" + std::to_string(i), std::string(3000, char('a' + i)));
    AddFile("p/a/stalls", std::string(4000, 's'));
    auto second = StartServer();
    server_->SetFault(ServerPath("p/a/stalls"), MakeFault(FaultKind::kStall));
    second->SetFault(ServerPath("p/a/stalls"), MakeFault(FaultKind::kStall));
    ServerList({server_->BaseUrl(), second->BaseUrl()});
    manager_.SetRequestTimeout(3000);
    auto& queue = MakeQueue(4);
    ScriptedRetry retry({false});
    const auto job = TypeJob(&retry);
    queue.StartDownloadThreads();
    for (int i = 0; i < 3; ++i) queue.Enqueue(Item("p/a/f" + std::to_string(i), job));
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    ASSERT_TRUE(WaitFor([&] { return queue.GetIdleCount() == 4; }, kWatchdog));

    queue.Enqueue(Item("p/a/stalls", job));
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog)) << "the question came and its no drained the queue";
    EXPECT_EQ(retry.Questions(), 1);
    EXPECT_TRUE(job->IsAborted());
    const auto stalled = [&](const Standin::HttpServer& server) {
        const auto all = ContentRequests(server);
        return std::count(all.begin(), all.end(), ServerPath("p/a/stalls"));
    };
    EXPECT_EQ(stalled(*server_), 1);
    EXPECT_EQ(stalled(*second), 1);
    queue.StopDownloadThreads();
    contents_.erase("p/a/stalls");
    EXPECT_EQ(ArchivedContents(), contents_);
}

// A file queued again after a failure was counted when its producer queued it: the total stays
// what the job needs, and the done count reaches it exactly.
TEST_F(DownloadQueueTest, AFileQueuedAgainAfterAFailureCountsToTheTotalOnce) {
    for (int i = 0; i < 4; ++i) AddFile("p/a/f" + std::to_string(i), std::string(2000 + 100 * i, char('a' + i)));
    FailFiles(*server_, MakeFault(FaultKind::kStatus, 500, 2));  // each file's first two tries fail
    ServerList({server_->BaseUrl()});
    auto& queue = MakeQueue(2);
    ScriptedRetry retry({true}, true);  // when every thread is stuck: retry
    const auto job = TypeJob(&retry);
    std::uint64_t needed = 0;
    for (const auto& [name, content] : contents_) {
        needed += map_->at(name).storedSize;
        queue.Enqueue(Item(name, job));
    }
    queue.StartDownloadThreads();
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    queue.StopDownloadThreads();
    EXPECT_GT(ContentRequests(*server_).size(), contents_.size()) << "files were queued again";
    EXPECT_EQ(job->GetProgress()->GetTotal(), needed);
    EXPECT_EQ(job->GetProgress()->GetDone(), needed);
    EXPECT_EQ(ArchivedContents(), contents_);
}

// Fetched, then not written (a damaged archive), queued again by the player's retry, then
// failing to fetch: nothing of it counts as done, neither while the write failure's question
// waits nor after, and its size counts to the total once.
TEST_F(DownloadQueueTest, AFileFetchedButNotWrittenCountsNothingDoneWhenQueuedAgain) {
    AddFile("p/a/file", std::string(5000, 'w'));
    ServerList({server_->BaseUrl()});
    manager_.SetRequestTimeout(3000);
    dir_.Write("content/broken.pak", "not an archive at all, and long enough to be looked at");
    auto& queue = MakeQueue(1);
    ScriptedRetry retry({true, false});
    const auto job = TypeJob(&retry);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> atQuestion;  // (done, total)
    retry.OnQuestion([&] {
        atQuestion.emplace_back(job->GetProgress()->GetDone(), job->GetProgress()->GetTotal());
        // The next try fails before a byte arrives, so it takes back nothing itself.
        FailFiles(*server_, MakeFault(FaultKind::kStall));
    });
    DownloadItem item = Item("p/a/file", job);
    item.archivePath = Content() + "broken.pak";
    queue.Enqueue(item);
    queue.StartDownloadThreads();
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    queue.StopDownloadThreads();

    const std::uint64_t size = map_->at("p/a/file").storedSize;
    ASSERT_EQ(retry.Errors().size(), 2u);
    EXPECT_EQ(retry.Errors()[0], "corrupt " + Content() + "broken.pak");
    const std::vector<std::pair<std::uint64_t, std::uint64_t>> expected = {{0, size}, {0, size}};
    EXPECT_EQ(atQuestion, expected);
}

TEST_F(DownloadQueueTest, AfterTheLastServerRetryStartsAgainAndNoEmptiesTheQueue) {
    for (int i = 0; i < 6; ++i) AddFile("p/a/f" + std::to_string(i), "file " + std::to_string(i));
    auto second = StartServer();
    FailFiles(*server_, MakeFault(FaultKind::kStatus, 404));
    FailFiles(*second, MakeFault(FaultKind::kStatus, 404));
    ServerList({server_->BaseUrl(), second->BaseUrl()});
    auto& queue = MakeQueue(2);
    ScriptedRetry retry({true, false});
    std::vector<std::size_t> firstServerRequests;  // at each question
    retry.OnQuestion([&] { firstServerRequests.push_back(ContentRequests(*server_).size()); });
    const auto job = TypeJob(&retry);
    bool completionCalled = false;
    queue.StartDownloadThreads();
    for (const auto& [name, content] : contents_) {
        DownloadItem item = Item(name, job);
        item.completion = [&](bool) { completionCalled = true; };
        queue.Enqueue(item);
    }

    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog)) << "no drains the queue";
    EXPECT_EQ(retry.Questions(), 2);
    EXPECT_TRUE(job->IsAborted());
    EXPECT_EQ(queue.GetPending(kTypeContent), 0);
    EXPECT_EQ(queue.GetQueuedCount(kTypeContent), 0u);
    EXPECT_FALSE(completionCalled) << "content items report through their job, not their completion";
    EXPECT_NE(retry.FirstError().find("Invalid response code: 404"), std::string::npos) << retry.FirstError();
    // Both servers were tried before each question, and the retry began again at the first.
    EXPECT_FALSE(ContentRequests(*second).empty());
    ASSERT_EQ(firstServerRequests.size(), 2u);
    EXPECT_GT(firstServerRequests[1], firstServerRequests[0]);
    queue.StopDownloadThreads();
    EXPECT_TRUE(ArchiveEntries().empty());
}

TEST_F(DownloadQueueTest, AbortQueueWithItemsInFlightReturnsOnceTheyAreHandled) {
    for (int i = 0; i < 5; ++i) AddFile("p/a/f" + std::to_string(i), std::string(4000, char('a' + i)));
    FailFiles(*server_, MakeFault(FaultKind::kStall));
    ServerList({server_->BaseUrl()});
    manager_.SetRequestTimeout(60000);  // only the abort ends the stalled transfers
    auto& queue = MakeQueue(2);
    const auto job = TypeJob();
    queue.StartDownloadThreads();
    for (const auto& [name, content] : contents_) queue.Enqueue(Item(name, job));
    ASSERT_TRUE(WaitFor([&] { return ContentRequests(*server_).size() == 2; }, kWatchdog)) << "two in flight";
    EXPECT_EQ(queue.GetQueuedCount(kTypeContent), 3u);

    BoundedThread ui([&] { queue.AbortQueue(kTypeContent); });
    ASSERT_TRUE(ui.Join(kWatchdog)) << "AbortQueue returns";
    EXPECT_EQ(queue.GetPending(kTypeContent), 0) << "the items in flight were handled before it returned";
    EXPECT_EQ(queue.GetQueuedCount(kTypeContent), 0u);
    EXPECT_EQ(job->GetProgress()->GetDone(), 0u) << "bytes of aborted transfers are taken back";
    queue.StopDownloadThreads();
    EXPECT_TRUE(ArchiveEntries().empty());
}

TEST_F(DownloadQueueTest, AReplaceItemIsRebuiltFromItsArchiveCopyWithoutARequest) {
    const std::string content(3000, 'r');
    AddFile("p/a/copy", content, ContentFormat::kStoredRc4);
    // The archive holds the same content deflated; the descriptor wants it ciphered.
    const std::string archive = Content() + "p_a_01.pak";
    std::filesystem::create_directories(Content());
    {
        const auto deflated = ZipManager::ConvertContentFormat(content.data(), 3000, ContentFormat::kStored,
                                                               ContentFormat::kDeflated, CrcOf(content));
        Zip zip(archive, kZipWritable);
        zip.AddEntry("p/a/copy", ContentFormat::kDeflated, CrcOf(content), deflated->GetSize(), 3000,
                     deflated->GetData(), deflated->GetSize());
    }
    ServerList({server_->BaseUrl()});
    auto& queue = MakeQueue(2);
    const auto job = TypeJob();
    DownloadItem item = Item("p/a/copy", job);
    item.replace = true;
    item.archivePath = archive;
    queue.StartDownloadThreads();
    queue.Enqueue(item);
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    queue.StopDownloadThreads();

    EXPECT_TRUE(ContentRequests(*server_).empty());
    EXPECT_EQ(job->GetProgress()->GetDone(), map_->at("p/a/copy").storedSize);
    const auto entries = ArchiveEntries();
    ASSERT_EQ(entries.count("p/a/copy"), 1u);
    EXPECT_EQ(entries.at("p/a/copy").first, ContentFormat::kStoredRc4);
    EXPECT_EQ(ArchivedContents(), contents_);
}

TEST_F(DownloadQueueTest, AWriteErrorMidBatchFailsOnlyItsItemAndTheWriterGoesOn) {
    for (const char* n : {"p/a/one", "p/a/bad", "p/a/three", "p/a/later"}) AddFile(n, std::string("bytes of ") + n);
    ServerList({server_->BaseUrl()});
    dir_.Write("content/broken.pak", "not an archive at all, and long enough to be looked at");
    auto& queue = MakeQueue(1);
    std::map<std::string, bool> results;
    std::mutex resultsLock;
    auto item = [&](const std::string& name, const std::string& archive) {
        DownloadItem i = Item(name, nullptr, kTypeUrgent);
        i.archivePath = archive;
        i.completion = [&, name](bool ok) {
            std::lock_guard lock(resultsLock);
            results[name] = ok;
        };
        return i;
    };
    queue.Enqueue(item("p/a/one", ""));
    queue.Enqueue(item("p/a/bad", Content() + "broken.pak"));
    queue.Enqueue(item("p/a/three", ""));
    DownloadItem lost = item("no descriptor", "");  // fails in the download thread itself
    lost.descriptor = nullptr;
    queue.Enqueue(lost);
    queue.StartDownloadThreads();
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeUrgent, kWatchdog));
    EXPECT_EQ(queue.GetPending(kTypeUrgent), 0);
    queue.Enqueue(item("p/a/later", ""));
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeUrgent, kWatchdog));
    queue.StopDownloadThreads();

    const std::map<std::string, bool> expected = {
        {"p/a/one", true}, {"p/a/bad", false}, {"p/a/three", true}, {"p/a/later", true}, {"no descriptor", false}};
    EXPECT_EQ(results, expected);
    contents_.erase("p/a/bad");
    EXPECT_EQ(ArchivedContents(), contents_);
}

namespace {

// Fails every write of an archive's directory (the bytes that begin with a central header's
// signature) with the given error; the entries' own writes pass.
class FailingDirectoryWrites : public Vel::Platform::FileDurability {
public:
    explicit FailingDirectoryWrites(int error) : error_(error) {}
    std::atomic<int> failed{0};

    ssize_t WriteAt(int fd, const void* data, size_t length, off_t offset) override {
        if (length >= 4 && std::memcmp(data, "PK\1\2", 4) == 0) {
            ++failed;
            errno = error_;
            return -1;
        }
        return FileDurability::WriteAt(fd, data, length, offset);
    }

private:
    const int error_;
};

}  // namespace

// The entries of a batch count only once the archive's directory is written: when that flush
// fails, the batch's items fail to their job (a content item through the job's question, an
// urgent one through its completion), none is reported written, and the archive keeps none.
TEST_F(DownloadQueueTest, AFlushThatFailsFailsTheItemsItsDirectoryWouldHaveHeld) {
    struct Case {
        const char* what;
        int error;
        const char* question;  // how the job's question begins
    };
    for (const Case c : {Case{"a full disk", ENOSPC, "disk full "}, Case{"an input/output error", EIO, "corrupt "}}) {
        SCOPED_TRACE(c.what);
        for (const char* n : {"p/a/one", "p/a/two", "p/a/urgent"}) AddFile(n, std::string("bytes of ") + n);
        ServerList({server_->BaseUrl()});
        auto& queue = MakeQueue(1);
        ScriptedRetry retry({false});
        const auto job = TypeJob(&retry);
        std::atomic<int> completions{0}, succeeded{0};
        DownloadItem urgent = Item("p/a/urgent", nullptr, kTypeUrgent);
        urgent.completion = [&](bool ok) {
            ++completions;
            if (ok) ++succeeded;
        };
        FailingDirectoryWrites disk(c.error);
        {
            Vel::Platform::ScopedFileDurability failing(disk);
            queue.Enqueue(Item("p/a/one", job));
            queue.Enqueue(Item("p/a/two", job));
            queue.Enqueue(urgent);
            queue.StartDownloadThreads();
            ASSERT_TRUE(queue.WaitDrainedFor(kTypeUrgent, kWatchdog));
            ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
            queue.StopDownloadThreads();
        }
        EXPECT_GT(disk.failed.load(), 0);
        EXPECT_EQ(completions.load(), 1);
        EXPECT_EQ(succeeded.load(), 0);
        ASSERT_FALSE(retry.Errors().empty()) << "the content job was not told";
        EXPECT_EQ(retry.Errors().front().rfind(c.question, 0), 0u) << retry.Errors().front();
        EXPECT_TRUE(job->IsAborted());
        EXPECT_TRUE(ArchivedContents().empty());
        queue_.reset();
        std::filesystem::remove_all(Content());
    }
}

namespace {

// A volume with little room: the files may grow by `room` bytes in all (writes count what they
// add to a file's length, truncations and removals give it back; no block rounding); a write
// beyond that fails with ENOSPC, writing nothing. `beforeEntry` runs before each entry write
// (a vector write), on the writing thread, before the room is looked at.
class SmallVolume : public Vel::Platform::FileDurability {
public:
    std::function<void()> beforeEntry;

    void SetRoom(std::int64_t bytes) {
        std::lock_guard lock(mutex_);
        room_ = bytes;
    }
    void AddRoom(std::int64_t bytes) {
        std::lock_guard lock(mutex_);
        room_ += bytes;
    }

    ssize_t WriteAt(int fd, const void* data, size_t length, off_t offset) override {
        return Grow(fd, offset + static_cast<off_t>(length), [&] { return FileDurability::WriteAt(fd, data, length, offset); });
    }
    ssize_t WriteVectorAt(int fd, const iovec* parts, int count, off_t offset) override {
        if (beforeEntry) beforeEntry();
        off_t end = offset;
        for (int i = 0; i < count; ++i) end += static_cast<off_t>(parts[i].iov_len);
        return Grow(fd, end, [&] { return FileDurability::WriteVectorAt(fd, parts, count, offset); });
    }
    ssize_t Write(int fd, const void* data, size_t length) override {
        const off_t end = ::lseek(fd, 0, SEEK_CUR) + static_cast<off_t>(length);
        return Grow(fd, end, [&] { return FileDurability::Write(fd, data, length); });
    }
    int Truncate(int fd, off_t length) override {
        return static_cast<int>(Grow(fd, length, [&] { return FileDurability::Truncate(fd, length); }));
    }
    int Rename(const char* from, const char* to) override {
        std::lock_guard lock(mutex_);
        const off_t replaced = SizeOf(to);
        const int result = FileDurability::Rename(from, to);
        if (result == 0) room_ += replaced;
        return result;
    }
    int Unlink(const char* path) override {
        std::lock_guard lock(mutex_);
        const off_t removed = SizeOf(path);
        const int result = FileDurability::Unlink(path);
        if (result == 0) room_ += removed;
        return result;
    }

private:
    static off_t SizeOf(const char* path) {
        struct stat st {};
        return ::stat(path, &st) == 0 ? st.st_size : 0;
    }
    template <typename Op>
    ssize_t Grow(int fd, off_t end, Op op) {
        std::lock_guard lock(mutex_);
        struct stat st {};
        if (::fstat(fd, &st) != 0) return -1;
        if (end > st.st_size && end - st.st_size > room_) {
            errno = ENOSPC;
            return -1;
        }
        const ssize_t result = op();
        struct stat after {};
        if (result >= 0 && ::fstat(fd, &after) == 0) room_ -= after.st_size - st.st_size;
        return result;
    }

    std::mutex mutex_;
    std::int64_t room_ = std::int64_t{1} << 40;
};

}  // namespace

// The disk fills with files of the job everywhere on their way: one failed at the writer, one
// in the write list, one fetched and waiting for room in it, one half fetched, three queued.
// The question asks for the room of all of them; freeing exactly that lets the retry write
// them all without a second question. While it waits, done is what the archives hold.
TEST_F(DownloadQueueTest, AFullDiskAsksForEverythingStillToWriteAndDoneCountsOnlyWhatIsInTheArchives) {
    AddFile("p/a/old0", std::string(700, 'o'));
    AddFile("p/a/old1", std::string(900, 'p'));
    const std::vector<std::string> later = {"p/a/f0", "p/a/f1", "p/a/f2", "p/a/f3", "p/a/f4", "p/a/f5", "p/a/stalls"};
    constexpr std::uint64_t kFileSize = 3000;
    for (int i = 0; i < 6; ++i) AddFile(later[i], std::string(kFileSize, char('a' + i)));
    AddFile("p/a/stalls", std::string(5000, 's'));
    server_->SetFault(ServerPath("p/a/stalls"), MakeFault(FaultKind::kStall, 0, 1));  // its first request only
    ServerList({server_->BaseUrl()});
    manager_.SetRequestTimeout(60000);  // only the question's hold ends the stalled transfer
    SmallVolume volume;
    // Room for the file being written and one more.
    auto& queue = MakeQueue(2, 2 * kFileSize + 500);
    ScriptedRetry retry({true, false});
    const auto job = TypeJob(&retry);
    // Armed once the disk is nearly full: holds the first entry write until every place holds a
    // file, the stalled one with some of its bytes counted.
    std::atomic<bool> armed{false}, everywhere{false};
    volume.beforeEntry = [&] {
        if (!armed.exchange(false)) return;
        everywhere = WaitFor(
            [&] {
                const std::uint64_t done = job->GetProgress()->GetDone();
                // Held: the file being written and the one in the list; one more fetched.
                return queue.GetWriteListCount() == 1 && queue.GetRoomWaitingCount() == 1 &&
                       queue.GetQueuedCount(kTypeContent) == 3 &&
                       done > 1600 + queue.GetHeldWriteBytes() + kFileSize;
            },
            kWatchdog);
    };
    Vel::Platform::ScopedFileDurability small(volume);
    std::uint64_t needed = 0, doneAtQuestion = 0;
    retry.OnQuestion([&] {
        try {
            throw;
        } catch (const ContentDiskFullException& e) {
            needed = e.GetBytesNeeded();
        } catch (...) {
        }
        doneAtQuestion = job->GetProgress()->GetDone();
        volume.AddRoom(static_cast<std::int64_t>(needed));  // the player frees what is asked for
    });
    queue.Enqueue(Item("p/a/old0", job));
    queue.Enqueue(Item("p/a/old1", job));
    queue.StartDownloadThreads();
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    const std::uint64_t inArchives = job->GetProgress()->GetDone();
    ASSERT_EQ(inArchives, 1600u);

    // Room for the crash marker of the next change, not for another entry.
    volume.SetRoom(400);
    armed = true;
    queue.Enqueue(Item("p/a/stalls", job, kTypeContent, 1));  // taken first: in flight throughout
    for (int i = 0; i < 6; ++i) queue.Enqueue(Item(later[i], job));
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    EXPECT_FALSE(job->IsAborted());
    queue.StopDownloadThreads();

    EXPECT_TRUE(everywhere.load());
    ASSERT_FALSE(retry.Errors().empty());
    EXPECT_EQ(retry.Errors().front().rfind("disk full ", 0), 0u) << retry.Errors().front();
    std::uint64_t stillToWrite = 0;
    for (const auto& name : later) {
        // Its entry (local header, name, bytes), its directory record and the marker's copy of that.
        stillToWrite += 30 + name.size() + map_->at(name).storedSize + 2 * (46 + name.size());
    }
    EXPECT_EQ(needed, stillToWrite);
    EXPECT_EQ(doneAtQuestion, inArchives) << "counted as done while the question waits, though not in the archives";
    EXPECT_EQ(retry.Questions(), 1) << "asked again after the space asked for was freed";
    EXPECT_EQ(job->GetProgress()->GetDone(), job->GetProgress()->GetTotal());
    EXPECT_EQ(ArchivedContents(), contents_);
}

TEST_F(DownloadQueueTest, ADamagedArchiveGoesToTheContentJobSoThatTheWorkerRepairs) {
    AddFile("p/a/bad", "bytes");
    AddFile("p/a/queued", "more bytes");
    ServerList({server_->BaseUrl()});
    dir_.Write("content/broken.pak", "not an archive at all, and long enough to be looked at");
    auto& queue = MakeQueue(1);
    ScriptedRetry retry({false});
    const auto job = TypeJob(&retry);
    DownloadItem bad = Item("p/a/bad", job);
    bad.archivePath = Content() + "broken.pak";
    queue.Enqueue(bad);
    queue.StartDownloadThreads();
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    queue.StopDownloadThreads();
    EXPECT_EQ(retry.Errors(), std::vector<std::string>{"corrupt " + Content() + "broken.pak"});
    EXPECT_TRUE(job->IsAborted());
}

TEST_F(DownloadQueueTest, TheWriteListHoldsNoMoreThanItsByteBudget) {
    for (int i = 0; i < 12; ++i) AddFile("p/a/f" + std::to_string(i), std::string(1000, char('a' + i)));
    ServerList({server_->BaseUrl()});
    auto& queue = MakeQueue(6, 2500);
    // Sampled as each entry is written: the list being written still counts as held.
    std::atomic<std::uint64_t> mostHeld{0};
    Vel::Test::SteppedDisk sampler;
    sampler.before = [&](Vel::Test::SteppedDisk::Kind kind) {
        if (kind != Vel::Test::SteppedDisk::kVectorWrite) return;
        const std::uint64_t held = queue.GetHeldWriteBytes();
        std::uint64_t most = mostHeld.load();
        while (held > most && !mostHeld.compare_exchange_weak(most, held)) {
        }
    };
    Vel::Platform::ScopedFileDurability sampling(sampler);
    const auto job = TypeJob();
    for (const auto& [name, content] : contents_) queue.Enqueue(Item(name, job));
    queue.StartDownloadThreads();
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    queue.StopDownloadThreads();
    EXPECT_EQ(sampler.Steps(Vel::Test::SteppedDisk::kVectorWrite), 12);
    EXPECT_LE(mostHeld.load(), 2500u);
    EXPECT_GE(mostHeld.load(), 1000u) << "an entry is written while its bytes count as held";
    EXPECT_EQ(ArchivedContents(), contents_);
}

// With a file being written, the next one goes to the writer at once when the two fill the
// byte budget exactly; one byte more and it waits for room.
TEST_F(DownloadQueueTest, AFileThatFillsTheWriteByteBudgetExactlyGoesToTheWriterAtOnce) {
    constexpr std::uint64_t kBudget = 4000;
    constexpr std::uint64_t kWritten = 1000;
    struct Case {
        std::uint64_t size;
        bool atOnce;
    };
    for (const Case c : {Case{kBudget - kWritten, true}, Case{kBudget - kWritten + 1, false}}) {
        SCOPED_TRACE(c.size);
        AddFile("p/a/written", std::string(kWritten, 'w'));
        AddFile("p/a/next", std::string(c.size, 'n'));
        ServerList({server_->BaseUrl()});
        // The writer waits in the first entry's write until the test has seen where the next went.
        std::atomic<bool> writing{false}, release{false};
        Vel::Test::SteppedDisk disk;
        disk.before = [&](Vel::Test::SteppedDisk::Kind kind) {
            if (kind != Vel::Test::SteppedDisk::kVectorWrite || writing.exchange(true)) return;
            EXPECT_TRUE(WaitFor([&] { return release.load(); }, kWatchdog));
        };
        {
            Vel::Platform::ScopedFileDurability holding(disk);
            auto& queue = MakeQueue(1, kBudget);
            const auto job = TypeJob();
            queue.Enqueue(Item("p/a/written", job));
            queue.StartDownloadThreads();
            ASSERT_TRUE(WaitFor([&] { return writing.load(); }, kWatchdog));
            EXPECT_EQ(queue.GetHeldWriteBytes(), kWritten);
            queue.Enqueue(Item("p/a/next", job));
            const bool decided = WaitFor(
                [&] { return queue.GetWriteListCount() == 1 || queue.GetRoomWaitingCount() == 1; }, kWatchdog);
            EXPECT_TRUE(decided);
            EXPECT_EQ(queue.GetWriteListCount() == 1, c.atOnce);
            EXPECT_EQ(queue.GetRoomWaitingCount() == 1, !c.atOnce);
            release = true;
            ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
            queue.StopDownloadThreads();
        }
        EXPECT_EQ(ArchivedContents(), contents_);
        queue_.reset();
        std::filesystem::remove_all(Content());
    }
}

TEST_F(DownloadQueueTest, WrittenBodiesGoBackToThePoolAndEachDrainReleasesMemoryOutsideTheLocks) {
    constexpr int kThreads = 2;
    for (int i = 0; i < 12; ++i) AddFile("p/a/f" + std::to_string(i), std::string(3000 + 100 * i, char('a' + i)));
    AddFile("p/b/urgent", "urgent bytes");
    ServerList({server_->BaseUrl()});
    BodyBufferPool& pool = GetBodyBufferPool();
    pool.Clear();
    std::mutex seenLock;
    std::vector<std::pair<int, int>> seen;  // the pending counts each call saw
    // The hook asks for the pending counts: under a count lock that would never return.
    auto& queue = MakeQueue(kThreads, kDefaultWriteByteBudget, [&] {
        const std::pair<int, int> pending{queue_->GetPending(kTypeUrgent), queue_->GetPending(kTypeContent)};
        std::lock_guard lock(seenLock);
        seen.push_back(pending);
    });
    const auto job = TypeJob();
    for (const auto& [name, content] : contents_)
        if (name != "p/b/urgent") queue.Enqueue(Item(name, job));
    queue.StartDownloadThreads();
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    ASSERT_TRUE(WaitFor([&] { return pool.GetKeptCount() > 0; }, kWatchdog)) << "written bodies come back";
    queue.Enqueue(Item("p/b/urgent", job, kTypeUrgent));
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeUrgent, kWatchdog));
    queue.StopDownloadThreads();

    EXPECT_EQ(ArchivedContents(), contents_);
    EXPECT_LE(pool.GetKeptCount(), 2u * kThreads) << "two bodies kept per download thread";
    std::lock_guard lock(seenLock);
    ASSERT_EQ(seen.size(), 2u) << "once per drain";
    EXPECT_EQ(seen[0].second, 0);
    EXPECT_EQ(seen[1].first, 0);
    pool.Clear();
}

TEST_F(DownloadQueueTest, StopEndsStalledTransfersAndAnUnansweredQuestionWithinTheJoinLimit) {
    AddFile("p/a/stalls", std::string(5000, 's'));
    AddFile("p/a/fails", std::string(5000, 'f'));
    server_->SetFault(ServerPath("p/a/stalls"), MakeFault(FaultKind::kStall));
    server_->SetFault(ServerPath("p/a/fails"), MakeFault(FaultKind::kStatus, 500));
    ServerList({server_->BaseUrl()});
    manager_.SetRequestTimeout(60000);
    auto& queue = MakeQueue(2);
    ScriptedRetry retry({});  // never answered
    const auto job = TypeJob(&retry);
    queue.StartDownloadThreads();
    queue.Enqueue(Item("p/a/stalls", job, kTypeContent, 2));
    queue.Enqueue(Item("p/a/fails", job, kTypeContent, 1));
    // One thread sits in the stalled transfer; the other fails until the question is asked
    // (the stalled one counts as making progress, so the failure is retried meanwhile).
    ASSERT_TRUE(WaitFor([&] { return ContentRequests(*server_).size() >= 2; }, kWatchdog));

    BoundedThread shutdown([&] { queue.StopDownloadThreads(); });
    ASSERT_TRUE(shutdown.Join(std::chrono::seconds(10))) << "stop joins within the limit";
    EXPECT_TRUE(queue.WaitDrainedFor(kTypeContent, std::chrono::seconds(1)));
    EXPECT_EQ(queue.GetThreadCount(), 0);
}

TEST_F(DownloadQueueTest, AUserAbortDuringTheRetryQuestionDoesNotDeadlock) {
    AddFile("p/a/fails", "x");
    FailFiles(*server_, MakeFault(FaultKind::kStatus, 500));
    ServerList({server_->BaseUrl()});
    auto& queue = MakeQueue(1);
    ScriptedRetry retry({});  // waits for the answer or the abort
    const auto job = TypeJob(&retry);
    queue.StartDownloadThreads();
    queue.Enqueue(Item("p/a/fails", job));
    ASSERT_TRUE(WaitFor([&] { return retry.Questions() == 1; }, kWatchdog));

    BoundedThread ui([&] { queue.AbortQueue(kTypeContent); });
    ASSERT_TRUE(ui.Join(kWatchdog));
    EXPECT_EQ(queue.GetPending(kTypeContent), 0);
    queue.StopDownloadThreads();
}

TEST(DownloadQueueSettings, TheThreadCountIsClampedToOneToThirtyTwo) {
    const std::pair<int, int> cases[] = {{12, 12}, {1, 1}, {32, 32}, {0, 1}, {-4, 1}, {33, 32}, {100000, 32}};
    for (const auto& [stored, used] : cases) {
        WriteSettingInt(Settings::DownloadThreadCount.section, Settings::DownloadThreadCount.name, stored,
                        Settings::DownloadThreadCount.scope);
        EXPECT_EQ(DownloadQueue::ConfiguredThreadCount(), used) << stored;
    }
}

// The fault matrix: every fault of the stand-in, once passing (each file's first request
// fails) and once staying. A passing fault ends with every archive entry correct (the retry
// question, if the threads all get stuck at once, is answered "retry"); a staying one ends at
// the question, whose "no" empties the queue.
TEST_F(DownloadQueueTest, FaultMatrixNeverHangs) {
    struct Case {
        const char* what;
        FaultKind kind;
        unsigned status;
        const char* errorText;  // in the question's error; null: not checked
    };
    const Case cases[] = {
        {"404", FaultKind::kStatus, 404, "Invalid response code: 404"},
        {"500", FaultKind::kStatus, 500, "Invalid response code: 500"},
        {"truncate", FaultKind::kTruncate, 0, nullptr},
        {"flip", FaultKind::kFlipByte, 0, "CRC_mismatch"},
        {"extra", FaultKind::kExtraBytes, 0, "size_mismatch"},
        {"stall", FaultKind::kStall, 0, nullptr},
        {"reset", FaultKind::kReset, 0, nullptr},
        {"refused", FaultKind::kNone, 0, nullptr},
    };
    const int codes[] = {ContentFormat::kStored, ContentFormat::kDeflatedRc4, ContentFormat::kStoredRc4,
                         ContentFormat::kDeflated};
    for (int i = 0; i < 6; ++i)
        AddFile("p/m/f" + std::to_string(i), std::string(2000 + i * 500, char('k' + i)), codes[i % 4]);
    const std::string refusing = RefusingUrl();
    for (const Case& c : cases) {
        for (const bool passes : {true, false}) {
            SCOPED_TRACE(std::string(c.what) + (passes ? " passing" : " staying"));
            std::filesystem::remove_all(Content());
            server_->ClearFaults();
            server_->ClearLog();
            DownloadManager manager([] {});
            manager.SetRequestTimeout(500);
            if (c.kind == FaultKind::kNone) {
                // Refused: the first server never answers; when it passes a second one does.
                ServerList(passes ? std::vector<std::string>{refusing, server_->BaseUrl()}
                                  : std::vector<std::string>{refusing});
            } else {
                ServerList({server_->BaseUrl()});
                FailFiles(*server_, MakeFault(c.kind, c.status, passes ? 1 : 0));
            }
            DownloadQueueOptions options;
            options.manager = &manager;
            options.contentFolder = Content();
            options.threadCount = 3;
            queue_ = std::make_unique<DownloadQueue>(options);
            ScriptedRetry retry(passes ? std::deque<bool>{true} : std::deque<bool>{false}, passes);
            const auto job = TypeJob(&retry);
            queue_->StartDownloadThreads();
            for (const auto& [name, content] : contents_) queue_->Enqueue(Item(name, job));

            const bool drained = queue_->WaitDrainedFor(kTypeContent, kWatchdog);
            EXPECT_TRUE(drained) << "watchdog";
            const bool aborted = job->IsAborted();
            queue_->StopDownloadThreads();
            if (!drained) continue;
            if (passes) {
                EXPECT_FALSE(aborted);
                EXPECT_EQ(ArchivedContents(), contents_);
            } else {
                EXPECT_EQ(retry.Questions(), 1);
                EXPECT_TRUE(aborted);
                EXPECT_EQ(queue_->GetQueuedCount(kTypeContent), 0u);
                EXPECT_TRUE(ArchiveEntries().empty());
                if (c.errorText) {
                    EXPECT_NE(retry.FirstError().find(c.errorText), std::string::npos) << retry.FirstError();
                }
            }
            queue_.reset();
        }
    }
}

TEST_F(DownloadQueueTest, NewFilesFillTheArchiveMadeForThemBeforeAnyOther) {
    // Enough files for batches of several, so that later ones meet the archive an earlier one made.
    std::vector<std::string> names;
    for (int k = 0; k < 24; ++k) names.push_back("p/a/file" + std::to_string(k));
    for (const auto& n : names) AddFile(n, "bytes of " + n);
    ServerList({server_->BaseUrl()});
    // The group's first archive has no room left (a sparse file: only its size is looked at).
    std::filesystem::create_directories(Content());
    std::ofstream(Content() + "p_a_01.pak").put('x');
    std::filesystem::resize_file(Content() + "p_a_01.pak", kPakSizeLimit - 4);
    auto& queue = MakeQueue(4);
    const auto job = TypeJob();
    for (const auto& n : names) queue.Enqueue(Item(n, job));
    queue.StartDownloadThreads();
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    queue.StopDownloadThreads();

    EXPECT_FALSE(std::filesystem::exists(Content() + "p_a_03.pak"));
    Zip second(Content() + "p_a_02.pak", 0);
    EXPECT_EQ(second.GetEntryCount(), names.size());
}

// Once a type drains, nothing of the writer stays open, though the threads keep running: the
// next user of the folder (a rescan, a compaction, another process) finds the archives closed.
// Holds for the urgent type too, drained while content files still wait for the writer.
TEST_F(DownloadQueueTest, TheWriterHoldsNoArchiveOnceATypeIsDrained) {
    for (int k = 0; k < 30; ++k) AddFile("p/a/f" + std::to_string(k), std::string(3000, char('a' + k % 26)));
    AddFile("p/b/urgent", "needed now");
    ServerList({server_->BaseUrl()});
    // Sampled as each type drains, on the thread that retired its last item: once a drain's
    // waiter has gone on, the writer may already be writing the other type's files again.
    std::mutex samplesLock;
    std::vector<std::size_t> heldAtDrains;
    auto& queue = MakeQueue(3, kDefaultWriteByteBudget, [&] {
        const std::size_t held = queue_->GetHeldArchiveCount();
        std::lock_guard lock(samplesLock);
        heldAtDrains.push_back(held);
    });
    const auto job = TypeJob();
    DownloadItem urgent = Item("p/b/urgent", job, kTypeUrgent);
    queue.Enqueue(urgent);
    for (int k = 0; k < 30; ++k) queue.Enqueue(Item("p/a/f" + std::to_string(k), job));
    queue.StartDownloadThreads();
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeUrgent, kWatchdog));
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    // The drain's waiter may go on before the writer has called the hook for it.
    ASSERT_TRUE(WaitFor(
        [&] {
            std::lock_guard lock(samplesLock);
            return heldAtDrains.size() >= 2;
        },
        kWatchdog));
    {
        std::lock_guard lock(samplesLock);
        EXPECT_EQ(heldAtDrains, (std::vector<std::size_t>{0, 0})) << "one sample per type, none with an archive held";
    }
    EXPECT_EQ(queue.GetHeldArchiveCount(), 0u);
    EXPECT_EQ(ZipManager::OpenArchiveCount(), 0u);
    // Another process's writer would take the archive's lock now.
    Zip other(Content() + "p_a_01.pak", kZipWritable);
    EXPECT_EQ(other.GetEntryCount(), 30u);
    queue.StopDownloadThreads();
}

TEST_F(DownloadQueueTest, NoBytesStayHeldForTheWriterOnceAFailedWriteDrainsItsType) {
    AddFile("p/a/bad", std::string(4000, 'x'));
    ServerList({server_->BaseUrl()});
    dir_.Write("content/broken.pak", "not an archive at all, and long enough to be looked at");
    std::atomic<std::uint64_t> heldAtDrain{99};
    std::atomic<int> drains{0};
    // Runs as the type drains: the failed item's body must be let go by then, or the memory
    // handed back to the system would not include it.
    auto& queue = MakeQueue(1, kDefaultWriteByteBudget, [&] {
        heldAtDrain = queue_->GetHeldWriteBytes();
        ++drains;
    });
    std::atomic<int> failed{0};
    DownloadItem bad = Item("p/a/bad", nullptr, kTypeUrgent);
    bad.archivePath = Content() + "broken.pak";
    bad.completion = [&](bool ok) { failed += ok ? 0 : 1; };
    queue.Enqueue(bad);
    queue.StartDownloadThreads();
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeUrgent, kWatchdog));
    ASSERT_TRUE(WaitFor([&] { return drains.load() == 1; }, kWatchdog));
    EXPECT_EQ(failed.load(), 1);
    EXPECT_EQ(heldAtDrain.load(), 0u);
    EXPECT_EQ(queue.GetHeldWriteBytes(), 0u);
    queue.StopDownloadThreads();
}

TEST_F(DownloadQueueTest, AnItemLeavingElsewhereBeforeTheCycleRetiresStillFindsNoArchiveHeldAtTheDrain) {
    AddFile("p/a/first", "urgent bytes");
    AddFile("p/a/stalls", std::string(2000, 's'));
    AddFile("p/b/next", std::string(1500, 'n'));
    ServerList({server_->BaseUrl()});
    server_->SetFault(ServerPath("p/a/stalls"), MakeFault(FaultKind::kStall));
    Fault slow = MakeFault(FaultKind::kSlowBody);
    slow.chunk = 100;
    slow.intervalMs = 20;
    server_->SetFault(ServerPath("p/b/next"), slow);

    std::mutex seenLock;
    std::vector<std::size_t> heldAtDrain;
    DownloadQueueOptions options;
    options.manager = &manager_;
    options.contentFolder = Content();
    options.threadCount = 3;
    options.cycleTimeLimit = std::chrono::milliseconds(0);
    options.onDrained = [&] {
        const std::size_t held = queue_->GetHeldArchiveCount();
        std::lock_guard lock(seenLock);
        heldAtDrain.push_back(held);
    };
    queue_ = std::make_unique<DownloadQueue>(options);
    DownloadQueue& queue = *queue_;
    // The first entry write waits until another item waits in the write list, so that the
    // cycle ends (time limit 0) with the list not empty.
    std::atomic<bool> waited{false}, sawNext{false};
    Vel::Test::SteppedDisk hook;
    hook.before = [&](Vel::Test::SteppedDisk::Kind kind) {
        if (kind == Vel::Test::SteppedDisk::kVectorWrite && !waited.exchange(true))
            sawNext = WaitFor([&] { return queue.GetWriteListCount() > 0; }, kWatchdog);
    };
    Vel::Platform::ScopedFileDurability hooked(hook);
    const auto job = TypeJob();
    const auto stalledJob = std::make_shared<ThreadJob>();

    // Its completion runs after the writer decided what to keep: the stalled urgent item
    // leaves through its download thread meanwhile, so this item's retire drains the type.
    std::atomic<bool> otherGone{false};
    DownloadItem first = Item("p/a/first", job, kTypeUrgent, 2);
    first.completion = [&](bool) {
        stalledJob->RequestAbort();
        otherGone = WaitFor([&] { return queue_->GetPending(kTypeUrgent) == 1; }, kWatchdog);
    };
    queue.Enqueue(first);
    queue.Enqueue(Item("p/a/stalls", stalledJob, kTypeUrgent, 1));
    queue.Enqueue(Item("p/b/next", job));
    queue.StartDownloadThreads();
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeUrgent, kWatchdog));
    ASSERT_TRUE(queue.WaitDrainedFor(kTypeContent, kWatchdog));
    queue.StopDownloadThreads();
    EXPECT_TRUE(sawNext.load());
    EXPECT_TRUE(otherGone.load());
    std::lock_guard lock(seenLock);
    ASSERT_FALSE(heldAtDrain.empty());
    EXPECT_EQ(heldAtDrain.front(), 0u) << "the urgent type drained with the writer's archive still open";
}
