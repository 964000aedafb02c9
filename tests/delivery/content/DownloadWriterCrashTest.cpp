// The download writer killed with SIGKILL at chosen moments of its flush cycles: every file
// whose completion was reported reads back with its CRC-32, and a cycle's files come back all
// or none. Each round runs the stand-in server and the queue in a forked child, so that the
// parent stays single-threaded; the child ends itself from inside a disk step.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "delivery/net/DownloadManager.h"
#include "delivery/content/DownloadQueue.h"
#include "delivery/archive/Zip.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/data/Crc32.h"
#include "platform/FileDurability.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/SteppedDisk.h"
#include "tests/support/TempDir.h"
#include "tools/standin-server/StandinServer.h"

using namespace Vel;
using namespace Vel::ContentDownload;
using Disk = Vel::Test::SteppedDisk;

namespace {

constexpr auto kChildLimit = std::chrono::seconds(30);
// Exit statuses of a child that went wrong before its kill.
constexpr int kChildTimedOut = 3;
constexpr int kChildFailed = 4;

std::uint32_t CrcOf(const std::string& s) { return Crc32(s.data(), s.size()); }

// Waits in the child for a condition; a child that waits in vain ends with kChildTimedOut.
void ChildWaitFor(const std::function<bool()>& condition) {
    const auto end = std::chrono::steady_clock::now() + kChildLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) ::_exit(kChildTimedOut);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A content folder and a site of small planet files; each round forks a child that serves the
// site and downloads into the folder, and records each completion as a line of the record file.
class DownloadWriterCrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int k = 0; k < kFiles; ++k) {
            std::string name = "p/a/f" + std::to_string(100 + k);
            std::string content(1000 + 7 * k, static_cast<char>('a' + k % 26));
            ContentFileInfo info;
            info.crc = info.storedCrc = CrcOf(content);
            info.size = info.storedSize = static_cast<std::uint32_t>(content.size());
            (*map_)[name] = info;
            dir_.Write("site/dynamic_content/" + name + "_" + std::to_string(info.storedCrc), content);
            names_.push_back(name);
            contents_[name] = content;
        }
    }

    std::string Content() const { return (dir_ / "content").string() + "/"; }
    std::string Record() const { return (dir_ / "completed.txt").string(); }

    // Runs body(queue, job, disk, enqueue) in a child with a fresh content folder; returns the
    // child's wait status.
    int RunChild(const DownloadQueueOptions& base,
                 const std::function<void(DownloadQueue&, Disk&, const std::function<void(int, int)>&)>& body) {
        std::filesystem::remove_all(Content());
        std::filesystem::create_directories(Content());
        std::filesystem::remove(Record());
        const pid_t child = ::fork();
        if (child == 0) {
            int code = 0;
            try {
                Standin::ServerConfig config;
                config.root = (dir_ / "site").string();
                Standin::HttpServer server(config);
                server.Start();
                GetParameterStore() = ParameterStore();
                GetParameterStore().Set("web.update.url", ParameterType::String, server.BaseUrl());
                dir_.Write("site/download_servers.xml", "<?xml version=\"1.0\"?>\n<downloadServers><downloadServer>" +
                                                            server.BaseUrl() + "</downloadServer></downloadServers>\n");
                DownloadManager manager([] {});
                manager.SetRequestTimeout(10000);
                DownloadQueueOptions options = base;
                options.manager = &manager;
                options.contentFolder = Content();
                DownloadQueue queue(options);
                const auto job = std::make_shared<ThreadJob>();
                queue.SetTypeJob(kTypeContent, job);
                const int record = ::open(Record().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
                const std::function<void(int, int)> enqueue = [&](int from, int to) {
                    for (int k = from; k < to; ++k) {
                        DownloadItem item;
                        item.descriptor = FindDescriptorRef(map_, names_[static_cast<std::size_t>(k)]);
                        item.job = job;
                        item.completion = [this, record, name = names_[static_cast<std::size_t>(k)]](bool ok) {
                            const std::string line = name + (ok ? "\n" : " failed\n");
                            (void)!::write(record, line.data(), line.size());
                            if (onCompletion_) onCompletion_();
                        };
                        queue.Enqueue(item);
                    }
                };
                Disk disk;
                Platform::ScopedFileDurability watching(disk);
                queue.StartDownloadThreads();
                body(queue, disk, enqueue);
                if (!queue.WaitDrainedFor(kTypeContent, kChildLimit)) code = kChildTimedOut;
                disk.before = nullptr;
                queue.StopDownloadThreads();
            } catch (...) {
                code = kChildFailed;
            }
            ::_exit(code);
        }
        int status = 0;
        EXPECT_EQ(::waitpid(child, &status, 0), child);
        return status;
    }

    std::vector<std::string> Completed() const {
        std::vector<std::string> out;
        if (!std::filesystem::exists(Record())) return out;
        std::istringstream in(Vel::Test::ReadFile(Record()));
        for (std::string line; std::getline(in, line);) out.push_back(line);
        return out;
    }

    // Every entry of the content folder's archives, opened as the next start would (restored
    // from a marker the kill left); each must hold the bytes of its file.
    std::set<std::string> Archived(const std::string& round) const {
        std::set<std::string> out;
        for (const auto& f : std::filesystem::directory_iterator(Content())) {
            if (f.path().extension() != ".pak") continue;
            Zip zip(f.path().string(), kZipCheckOffsets);
            for (const auto& e : zip.GetEntries()) {
                const auto bytes = zip.ReadEntry(e);
                const std::string read(reinterpret_cast<const char*>(bytes->GetData()), bytes->GetSize());
                EXPECT_EQ(read, contents_.at(e.name)) << round << " " << e.name;
                EXPECT_EQ(e.crc32, map_->at(e.name).crc) << round << " " << e.name;
                out.insert(e.name);
            }
        }
        return out;
    }

    static constexpr int kFiles = 40;
    static constexpr std::uint64_t kLargestFile = 1000 + 7 * kFiles;
    // Runs in the child after each completion is recorded.
    std::function<void()> onCompletion_;
    Vel::Test::TempDir dir_{"download-writer-crash"};
    std::shared_ptr<FileDescriptorMap> map_ = std::make_shared<FileDescriptorMap>();
    std::vector<std::string> names_;
    std::map<std::string, std::string> contents_;
};

bool KilledBySigkill(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }

}  // namespace

// The first cycle ends at its byte budget while more files wait, so the writer keeps the archive
// open into the next cycle; the kill comes at each of the first disk steps after the first
// file was reported.
TEST_F(DownloadWriterCrashTest, KilledBetweenTwoCyclesWhileTheArchiveIsHeldEveryCompletedFileComesBack) {
    DownloadQueueOptions options;
    options.threadCount = 2;
    options.writeByteBudget = options.cycleByteBudget = 6000;  // a few files a cycle
    options.cycleIdleLimit = std::chrono::milliseconds(5000);
    options.cycleTimeLimit = std::chrono::milliseconds(60000);
    for (int killAfter : {1, 2, 3, 4, 6, 9}) {
        const std::string round = "kill after step " + std::to_string(killAfter);
        std::atomic<bool> armed{false};  // outlives the body: the hook runs until the child ends
        Disk* watched = nullptr;
        onCompletion_ = [&] {
            if (!armed.exchange(true)) watched->KillAfter(killAfter);
        };
        const int status = RunChild(options, [&](DownloadQueue& queue, Disk& disk, const auto& enqueue) {
            watched = &disk;
            disk.before = [&](Disk::Kind kind) {
                // Until the first cycle ends, every file is written only once another waits:
                // the cycle ends at its budget with the list not empty, so the writer keeps the
                // archive, reports the cycle's files and goes on to the next cycle.
                // (Unless the list is full by its bytes: the threads wait for this write then.)
                if (kind == Disk::kVectorWrite && !armed.load())
                    ChildWaitFor([&] {
                        return queue.GetWriteListCount() > 0 || queue.GetQueuedCount(kTypeContent) == 0 ||
                               queue.GetHeldWriteBytes() + kLargestFile > options.writeByteBudget;
                    });
            };
            enqueue(0, kFiles);
        });
        onCompletion_ = nullptr;
        ASSERT_TRUE(KilledBySigkill(status)) << round << " status " << status;
        const std::vector<std::string> completed = Completed();
        const std::set<std::string> archived = Archived(round);
        EXPECT_FALSE(completed.empty()) << round << ": the first cycle's files were reported";
        for (const std::string& name : completed) EXPECT_TRUE(archived.contains(name)) << round << " " << name;
    }
}

// Files keep arriving while the writer writes the first one, so one cycle writes several lists;
// a kill at any step of that cycle leaves all of its files or none, and a file is reported
// only when it is in the archive.
TEST_F(DownloadWriterCrashTest, KilledDuringACycleThatMergedSeveralListsItsFilesComeBackAllOrNone) {
    DownloadQueueOptions options;
    options.threadCount = 3;
    options.cycleIdleLimit = std::chrono::milliseconds(50);
    options.cycleTimeLimit = std::chrono::milliseconds(60000);
    // The first file's write is held until every other file waits in the list: steps counted
    // from there are the cycle's 40 entry writes, its flush (sync, directory, sync, marker
    // removal), and then the run's end.
    int stepsOfTheRun = 0;
    for (int killAfter = 1;; ++killAfter) {
        const std::string round = "kill after step " + std::to_string(killAfter);
        std::atomic<bool> first{true};
        const int status = RunChild(options, [&](DownloadQueue& queue, Disk& disk, const auto& enqueue) {
            disk.before = [&](Disk::Kind kind) {
                if (kind != Disk::kVectorWrite || !first.exchange(false)) return;
                enqueue(1, kFiles);
                // Every other file fetched and waiting in the list: nothing queued, every
                // download thread back to waiting for work.
                ChildWaitFor([&] {
                    return queue.GetQueuedCount(kTypeContent) == 0 && queue.GetIdleCount() == queue.GetThreadCount();
                });
                disk.KillAfter(killAfter);
            };
            enqueue(0, 1);
        });
        const std::set<std::string> archived = Archived(round);
        const std::vector<std::string> completed = Completed();
        if (!KilledBySigkill(status)) {
            ASSERT_EQ(status, 0) << round;
            stepsOfTheRun = killAfter - 1;
            EXPECT_EQ(archived.size(), static_cast<std::size_t>(kFiles)) << round;
            EXPECT_EQ(completed.size(), static_cast<std::size_t>(kFiles)) << round;
            break;
        }
        EXPECT_TRUE(archived.empty() || archived.size() == static_cast<std::size_t>(kFiles))
            << round << ": " << archived.size() << " files of one cycle";
        for (const std::string& name : completed) EXPECT_TRUE(archived.contains(name)) << round << " " << name;
        ASSERT_LT(killAfter, 200) << "the run never ends";
    }
    // One flush for the whole cycle: 40 entries, then sync, directory, sync and marker removal.
    EXPECT_EQ(stepsOfTheRun, kFiles + 4);
}

// While the writer holds the archive between two cycles, a repair starts on it: it gets an
// object opened with its own recovery and offset checks, not the writer's, and a kill at any
// of its steps or the writer's loses no reported file.
TEST_F(DownloadWriterCrashTest, ARepairStartedWhileTheWriterHoldsTheArchiveOpensItsOwnAndLosesNothing) {
    DownloadQueueOptions options;
    options.threadCount = 2;
    options.writeByteBudget = options.cycleByteBudget = 6000;
    options.cycleIdleLimit = std::chrono::milliseconds(5000);
    options.cycleTimeLimit = std::chrono::milliseconds(60000);
    for (int killAfter : {0, 1, 3, 5, 8, 12, 20}) {
        const std::string round = "kill after step " + std::to_string(killAfter);
        std::atomic<int> flushes{0};
        std::atomic<bool> held{false}, releasing{false};
        const int status = RunChild(options, [&](DownloadQueue& queue, Disk& disk, const auto& enqueue) {
            disk.before = [&](Disk::Kind kind) {
                if (kind != Disk::kMarkerRemoval || flushes++ != 0) return;
                // Inside the first cycle, with more files waiting: the archive stays held
                // until the repair starts.
                ChildWaitFor([&] { return queue.GetHeldWriteBytes() > 0; });
                held = true;
                ChildWaitFor([&] { return releasing.load(); });
            };
            enqueue(0, kFiles);
            ChildWaitFor([&] { return held.load(); });
            // As the repair does: the writer lets go first, then the archive opens with the
            // repair's bits and is checked while the writer goes on.
            disk.KillAfter(killAfter);
            releasing = true;
            ZipManager::ReleaseHeldArchives();
            const std::string path = Content() + "p_a_01.pak";
            const auto zip = ZipManager::GetZip(path, kZipRecover | kZipWritable | kZipCheckOffsets);
            if ((zip->GetMode() & kZipCheckOffsets) == 0) ::_exit(kChildFailed);
            zip->Verify(kZipRemoveBad | kZipCheckLocalHeaders, {}, {});
        });
        if (killAfter == 0) {
            ASSERT_EQ(status, 0) << round;
        } else {
            ASSERT_TRUE(KilledBySigkill(status) || status == 0) << round << " status " << status;
        }
        const std::set<std::string> archived = Archived(round);
        const std::vector<std::string> completed = Completed();
        if (killAfter == 0) {
            EXPECT_EQ(archived.size(), static_cast<std::size_t>(kFiles));
        }
        for (const std::string& name : completed) EXPECT_TRUE(archived.contains(name)) << round << " " << name;
    }
}
