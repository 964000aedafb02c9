// ctest: threading
#include "delivery/workers/WorkerRunner.h"

#include "foundation/core/Exception.h"
#include "foundation/threads/WaitCancel.h"
#include "tests/support/FakeWorkers.h"
#include "tests/support/WaitFor.h"

#include "tests/support/IsolatedSettings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

namespace Vel {
namespace {

using Test::FakeWorker;

struct Events {
    std::mutex mutex;
    std::vector<std::string> log;
    void Add(std::string s) {
        std::lock_guard lock(mutex);
        log.push_back(std::move(s));
    }
    std::vector<std::string> Log() {
        std::lock_guard lock(mutex);
        return log;
    }
};

class WorkerRunnerTest : public ::testing::Test {
protected:
    void SetUp() override {
        runner.SetStartedCallback([this](const auto& w) { events.Add("started " + w->GetTitle()); });
        runner.SetCompletedCallback([this](const auto& w) { events.Add("completed " + w->GetTitle()); });
        runner.SetFailedCallback([this](bool close) { events.Add(close ? "failed close" : "failed"); });
    }
    std::shared_ptr<FakeWorker> Worker(WorkerType type, int priority, const std::string& title) {
        return std::make_shared<FakeWorker>(type, priority, title);
    }

    WorkerRunner runner;
    Events events;
};

TEST_F(WorkerRunnerTest, RunWorkerPriorityTable) {
    // An update against a running download with a compaction pending: the compaction is
    // dropped, the download aborted, the update started.
    auto download = Worker(kDownloadPlanetDataWorker, -1, "download");
    runner.StartWorker(download);
    runner.SetPendingWorker(Worker(kCompactPlanetDataWorker, 0, "compact"));
    auto downloadJob = download->GetJob();
    auto update = Worker(kUpdateWorker, 0, "update");
    runner.RunWorker(update);
    EXPECT_TRUE(downloadJob->IsAborted());
    EXPECT_EQ(runner.GetCurrentWorker(), update);
    EXPECT_EQ(runner.GetPendingWorker(), nullptr);

    // A download during the update waits; a second download replaces the first.
    auto first = Worker(kDownloadPlanetDataWorker, -1, "first");
    auto second = Worker(kDownloadPlanetDataWorker, -1, "second");
    runner.RunWorker(first);
    EXPECT_EQ(runner.GetPendingWorker(), first);
    runner.RunWorker(second);
    EXPECT_EQ(runner.GetPendingWorker(), second);
    EXPECT_EQ(runner.GetCurrentWorker(), update);
    EXPECT_FALSE(update->GetJob()->IsAborted());

    // Below a higher-priority pending worker, SetPendingWorker throws and the pending one stays.
    auto pendingUpdate = Worker(kUpdateWorker, 0, "pending update");
    runner.SetPendingWorker(pendingUpdate);
    EXPECT_THROW(runner.SetPendingWorker(Worker(kDownloadPlanetDataWorker, -1, "late")), Exception);
    EXPECT_EQ(runner.GetPendingWorker(), pendingUpdate);

    // Pre-empting a worker that refuses to abort throws and leaves it current.
    update->agreesToAbort = false;
    EXPECT_THROW(runner.RunWorker(Worker(kUpdateWorker, 0, "another")), Exception);
    EXPECT_EQ(runner.GetCurrentWorker(), update);
}

TEST_F(WorkerRunnerTest, JoblessStartGivesOnlyTheCompletedCallback) {
    auto worker = Worker(kDownloadPlanetDataWorker, -1, "nothing");
    worker->onStart = [] { return nullptr; };
    runner.StartWorker(worker);
    EXPECT_EQ(worker->finishes, 1);
    EXPECT_EQ(events.Log(), std::vector<std::string>{"completed nothing"});
    EXPECT_FALSE(runner.IsWorkerRunning());
}

TEST_F(WorkerRunnerTest, FailedStartIsRetriedWhileTheUserSaysRetry) {
    int questions = 0;
    std::string message;
    runner.SetErrorCallback([&](const std::string& text) {
        message = text;
        return ++questions == 1;  // retry, then no
    });
    auto worker = Worker(kUpdateWorker, 0, "update");
    worker->closeOnFailure = true;
    worker->onStart = []() -> std::shared_ptr<ThreadJob> { throw FileException("client_files.xml", false); };
    runner.StartWorker(worker);
    EXPECT_EQ(worker->starts, 2);
    EXPECT_EQ(questions, 2);
    EXPECT_EQ(message.rfind("Couldn't access file: client_files.xml\n\n", 0), 0u) << message;
    EXPECT_EQ(events.Log(), std::vector<std::string>{"failed close"});
    EXPECT_FALSE(runner.IsWorkerRunning());
}

TEST_F(WorkerRunnerTest, NetworkFailureMessage) {
    std::string message;
    runner.SetErrorCallback([&](const std::string& text) {
        message = text;
        return false;
    });
    auto worker = Worker(kUpdateWorker, 0, "update");
    worker->onStart = []() -> std::shared_ptr<ThreadJob> {
        throw NetworkException("http://host/list.xml", "Timed out");
    };
    runner.StartWorker(worker);
    EXPECT_EQ(message.rfind("Failed downloading http://host/list.xml\n\nTimed out.\n\nThis error is likely", 0), 0u)
        << message;
}

TEST_F(WorkerRunnerTest, StartFailuresOutsideTheFamilyNeverKeepTheSlot) {
    // A std::filesystem_error, or a family exception that is no network or file failure,
    // ends the worker through the failure handler.
    struct Case {
        const char* name;
        std::function<std::shared_ptr<ThreadJob>()> start;
    } cases[] = {
        {"filesystem", []() -> std::shared_ptr<ThreadJob> {
             throw std::filesystem::filesystem_error("boom", std::make_error_code(std::errc::io_error));
         }},
        {"plain", []() -> std::shared_ptr<ThreadJob> { throw Exception("plain"); }},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (bool withErrorCallback : {false, true}) {
            runner.SetErrorCallback(withErrorCallback ? WorkerRunner::ErrorCallback([](const std::string&) {
                return true;
            })
                                                      : WorkerRunner::ErrorCallback());
            auto worker = Worker(kUpdateWorker, 0, "update");
            worker->onStart = c.start;
            EXPECT_NO_THROW(runner.StartWorker(worker));
            EXPECT_FALSE(runner.IsWorkerRunning());
            EXPECT_EQ(worker->starts, 1);
        }
    }
}

TEST_F(WorkerRunnerTest, StartPendingWorkerLeavesItPendingWhileAnotherIsCurrent) {
    auto update = Worker(kUpdateWorker, 0, "update");
    runner.StartWorker(update);
    auto download = Worker(kDownloadPlanetDataWorker, -1, "download");
    runner.SetPendingWorker(download);
    EXPECT_FALSE(runner.StartPendingWorker());
    EXPECT_EQ(runner.GetPendingWorker(), download);
    EXPECT_EQ(download->starts, 0);

    update->GetJob()->Complete();
    EXPECT_TRUE(runner.StartPendingWorker());
    EXPECT_EQ(runner.GetCurrentWorker(), download);
    EXPECT_FALSE(runner.StartPendingWorker());  // nothing waits any more
}

TEST_F(WorkerRunnerTest, AbortWithoutJobFailsAndKeepsTheWorker) {
    auto worker = Worker(kUpdateWorker, 0, "update");
    runner.StartWorker(worker);
    worker->SetJob(nullptr);
    EXPECT_FALSE(runner.AbortCurrentWorker());
    EXPECT_EQ(runner.GetCurrentWorker(), worker);
}

TEST_F(WorkerRunnerTest, ChainedWorkerBelowPendingOneIsDroppedOnTheJobThread) {
    auto pendingUpdate = Worker(kUpdateWorker, 0, "pending update");
    auto download = Worker(kDownloadPlanetDataWorker, -1, "download");
    download->onFinished = [&] {
        runner.SetPendingWorker(std::make_shared<FakeWorker>(kDownloadPlanetDataWorker, -1, "chained"));
    };
    runner.StartWorker(download);
    runner.SetPendingWorker(pendingUpdate);
    auto job = download->GetJob();
    TestSupport::BoundedThread jobThread([job] { job->Complete(); });
    ASSERT_TRUE(jobThread.Join());
    EXPECT_EQ(runner.GetPendingWorker(), pendingUpdate);
    EXPECT_EQ(events.Log().back(), "completed download");
}

TEST_F(WorkerRunnerTest, JobFailureOnItsThreadAsksAndRetriesOrEnds) {
    int questions = 0;
    runner.SetErrorCallback([&](const std::string&) { return ++questions == 1; });
    auto worker = Worker(kDownloadPlanetDataWorker, -1, "download");
    runner.StartWorker(worker);
    auto job = worker->GetJob();
    std::vector<bool> handled;
    TestSupport::BoundedThread jobThread([&] {
        for (int i = 0; i < 2; ++i) {
            try {
                throw NetworkException("http://content/a.pak", "Refused");
            } catch (...) {
                handled.push_back(job->Fail());
            }
        }
    });
    ASSERT_TRUE(jobThread.Join());
    EXPECT_EQ(handled, (std::vector<bool>{true, false}));
    EXPECT_FALSE(runner.IsWorkerRunning());
    EXPECT_EQ(events.Log().back(), "failed");
}

TEST_F(WorkerRunnerTest, ErrorCallbackWaitIsCancelledByTheJobsAbort) {
    // The GUI aborts the worker while its job thread waits for the player's answer.
    std::atomic<bool> asking{false};
    runner.SetErrorCallback([&](const std::string&) {
        asking = true;
        // Within the job's 10 s join limit, so that a wait never cancelled fails here.
        EXPECT_TRUE(TestSupport::WaitFor([] { return IsWaitCancelled(); }, std::chrono::seconds(5)));
        return true;  // would retry, but the job is aborted
    });
    auto worker = Worker(kDownloadPlanetDataWorker, -1, "download");
    runner.StartWorker(worker);
    auto job = worker->GetJob();
    Vel::Test::StartJobThread(job, [](ThreadJob& job) {
        try {
            throw NetworkException("http://content/a.pak", "Refused");
        } catch (...) {
            job.Fail();
        }
    });
    ASSERT_TRUE(TestSupport::WaitFor([&] { return asking.load(); })) << "the error callback was never called";
    EXPECT_TRUE(runner.AbortCurrentWorker());  // joins the job thread
    EXPECT_FALSE(runner.IsWorkerRunning());
}

// A's job completes only after A was aborted and B started (the job has no thread, so the abort
// does not wait for it; its completion comes from a thread of the test, joined before the
// checks): B stays current, and A's end is not reported, nor is B's.
TEST_F(WorkerRunnerTest, CompletionAfterAbortAndANewStartLeavesTheNewWorkerCurrent) {
    auto a = Worker(kDownloadPlanetDataWorker, -1, "a");
    runner.StartWorker(a);
    auto jobA = a->GetJob();
    ASSERT_TRUE(jobA);
    ASSERT_TRUE(runner.AbortCurrentWorker());
    EXPECT_TRUE(jobA->IsAborted());
    EXPECT_EQ(runner.GetCurrentWorker(), nullptr);

    auto b = Worker(kUpdateWorker, 0, "b");
    runner.StartWorker(b);
    ASSERT_EQ(runner.GetCurrentWorker(), b);

    std::atomic<bool> completedA{false};
    jobA->AddCompletionCallback([&] { completedA = true; });
    std::thread jobThread([&] { jobA->Complete(); });
    jobThread.join();
    ASSERT_TRUE(completedA.load()) << "A's job never completed";

    EXPECT_EQ(runner.GetCurrentWorker(), b);
    EXPECT_EQ(runner.GetCurrentWorkerType(), kUpdateWorker);
    EXPECT_EQ(a->finishes, 0);
    EXPECT_EQ(b->finishes, 0);
    EXPECT_EQ(events.Log(), (std::vector<std::string>{"started a", "started b"}));

    // B's own completion is still reported, once.
    b->GetJob()->Complete();
    EXPECT_EQ(b->finishes, 1);
    EXPECT_EQ(runner.GetCurrentWorker(), nullptr);
    EXPECT_EQ(events.Log(), (std::vector<std::string>{"started a", "started b", "completed b"}));
}

// The slots are read from any thread while the GUI thread starts and ends workers.
TEST_F(WorkerRunnerTest, CurrentWorkerReadsWhileWorkersComeAndGo) {
    constexpr int kRounds = 300;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int round = 0; round < kRounds; ++round) {
            auto worker = Worker(round % 2 ? kUpdateWorker : kDownloadPlanetDataWorker, 0, "w");
            runner.StartWorker(worker);
            if (round % 3 == 0) {
                worker->GetJob()->Complete();
            } else {
                runner.AbortCurrentWorker();
            }
        }
        done = true;
    });
    do {
        const auto current = runner.GetCurrentWorker();
        EXPECT_TRUE(!current || current->GetTitle() == "w");
        const WorkerType type = runner.GetCurrentWorkerType();
        EXPECT_TRUE(type == kNoWorker || type == kUpdateWorker || type == kDownloadPlanetDataWorker) << type;
        (void)runner.IsWorkerRunning();
    } while (!done.load());
    writer.join();
    EXPECT_EQ(runner.GetCurrentWorker(), nullptr);
}

}  // namespace
}  // namespace Vel
