// ctest: threading
#include "delivery/workers/Workers.h"

#include "delivery/workers/WorkerRunner.h"
#include "delivery/workers/WorkerStatus.h"
#include "delivery/archive/ZipCorruptException.h"
#include "tests/support/FakeWorkers.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/WaitFor.h"

#include "tests/support/IsolatedSettings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <thread>

namespace Vel {
namespace {

using Test::RecordingBackend;
using JobScript = std::function<std::shared_ptr<ThreadJob>(int, const ThreadJobBinder&)>;

// A download job that ends before StartPlanetDataDownload has returned.
std::shared_ptr<ThreadJob> Downloaded(int, const ThreadJobBinder& bind) {
    auto job = std::make_shared<ThreadJob>();
    bind(job);
    job->Complete();
    return job;
}
std::shared_ptr<ThreadJob> Nothing(int, const ThreadJobBinder&) { return nullptr; }
std::shared_ptr<ThreadJob> Corrupt(int, const ThreadJobBinder&) { throw ZipCorruptException("planet_07.pak"); }

std::string Describe(const std::shared_ptr<ITSWorker>& w) {
    if (!w) return "-";
    if (auto* d = dynamic_cast<DownloadDynamicContentWorker*>(w.get()))
        return "download " + std::to_string(d->GetMode()) + (d->GetCompactAfter() ? " compact" : "");
    if (auto* r = dynamic_cast<RepairDynamicContentWorker*>(w.get())) return "repair " + r->GetArchivePath();
    if (w->GetType() == kCompactPlanetDataWorker) return "compact";
    return "type " + std::to_string(w->GetType());
}

std::atomic<int> g_ends{0};    // completed and failed callbacks so far
std::atomic<int> g_failed{0};  // failed callbacks so far

void InstallCallbacks() {
    SetWorkerErrorCallback([](const std::string&) { return false; });
    SetWorkerFailedCallback([](bool) {
        ++g_failed;
        ++g_ends;
    });
    SetWorkerCompletedCallback([](const std::shared_ptr<ITSWorker>&) { ++g_ends; });
}

// Waits for the end of the running worker (its chaining is done by then).
bool WaitEnd(int ends) { return TestSupport::WaitFor([ends] { return g_ends.load() >= ends; }); }

// The player's answers to the retry question, and the questions asked.
struct RetryAnswers {
    explicit RetryAnswers(std::vector<bool> answers) : answers_(std::move(answers)) {
        SetWorkerErrorCallback([this](const std::string& text) {
            std::lock_guard lock(mutex_);
            asked_.push_back(text);
            return asked_.size() <= answers_.size() && answers_[asked_.size() - 1];
        });
    }
    std::vector<std::string> Asked() {
        std::lock_guard lock(mutex_);
        return asked_;
    }

private:
    std::mutex mutex_;
    const std::vector<bool> answers_;
    std::vector<std::string> asked_;
};

// Starts the first worker, then keeps starting whatever it chains, as the window's
// worker-done handler would; returns the workers in the order they ran.
std::vector<std::string> RunChain(std::shared_ptr<ITSWorker> first) {
    std::vector<std::string> ran{Describe(first)};
    int ends = g_ends.load();
    StartWorker(first);
    for (int step = 0; step < 12; ++step) {
        if (!WaitEnd(++ends)) return {"hung"};
        auto next = GetWorkerRunner().GetPendingWorker();
        if (!next) break;
        ran.push_back(Describe(next));
        StartPendingWorker();
    }
    return ran;
}

class WorkersTest : public ::testing::Test {
protected:
    void SetUp() override {
        GetWorkerRunner().Reset();
        InstallCallbacks();
    }
    void TearDown() override { GetWorkerRunner().Reset(); }
    RecordingBackend backend;
};

TEST_F(WorkersTest, ChainTable) {
    struct Case {
        const char* name;
        std::vector<JobScript> downloads;
        std::function<void(std::shared_ptr<ThreadJob>)> cleanup;
        std::vector<std::string> expected;
    } cases[] = {
        {"required data finds nothing, background finds nothing: no compaction",
         {Nothing, Nothing}, nullptr, {"download 0", "download 1"}},
        {"a background pass that downloads repeats, the first empty one compacts",
         {Downloaded, Downloaded, Nothing}, nullptr,
         {"download 0", "download 1 compact", "download 1 compact", "compact"}},
        {"a corrupt archive at the start turns into a repair, then a fresh download",
         {Corrupt, Nothing, Nothing}, nullptr,
         {"download 0", "repair planet_07.pak", "download 0", "download 1"}},
        {"a corrupt archive found by the compaction turns into a repair",
         {Downloaded, Nothing, Nothing, Nothing},
         [](std::shared_ptr<ThreadJob>) { throw ZipCorruptException("planet_02.pak"); },
         {"download 0", "download 1 compact", "compact", "repair planet_02.pak", "download 0", "download 1"}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingBackend local;
        local.downloads = c.downloads;
        if (c.cleanup) local.cleanup = c.cleanup;
        EXPECT_EQ(RunChain(std::make_shared<DownloadDynamicContentWorker>(0, false)), c.expected);
        GetWorkerRunner().Reset();
        InstallCallbacks();
    }
}

TEST_F(WorkersTest, FlagsAndAbortAnswers) {
    struct Case {
        std::shared_ptr<ITSWorker> worker;
        bool launch, tools, closeOnFailure;
    } cases[] = {
        {std::make_shared<UpdateWorker>(), false, false, true},
        {std::make_shared<MoveContentWorker>("/mnt/big/"), false, true, false},
        {std::make_shared<DownloadDynamicContentWorker>(0, false), false, true, false},
        {std::make_shared<DownloadDynamicContentWorker>(1, false), true, true, false},
        {std::make_shared<CleanupDynamicContentWorker>(), true, true, false},
        {std::make_shared<RepairDynamicContentWorker>("a.pak"), false, true, true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.worker->GetTitle());
        EXPECT_EQ(c.worker->AllowsLaunch(), c.launch);
        EXPECT_EQ(c.worker->AllowsTools(), c.tools);
        EXPECT_EQ(c.worker->CloseOnFailure(), c.closeOnFailure);
        EXPECT_FALSE(c.worker->CloseOnFinish());
        EXPECT_EQ(c.worker->GetPriority(), c.worker->GetType() == kDownloadPlanetDataWorker ? -1 : 0);
    }
    EXPECT_EQ(UpdateWorker().GetInfoUrl().ToString(), "http://launcher.test/trailstarter/sf/patching.html");
    // The move runs in the updater; freeing the slot would let other work start on the folder.
    EXPECT_FALSE(MoveContentWorker("/mnt/big/").ConfirmAbort());
}

TEST_F(WorkersTest, AbortingARepairAsksAndNoKeepsItRunning) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    backend.repair = [released](std::shared_ptr<ThreadJob> job, const std::string&) {
        released.wait();
        job->Complete();
    };
    Vel::Test::ScriptedPrompt prompt({Platform::kIdNo, Platform::kIdYes});
    auto repair = std::make_shared<RepairDynamicContentWorker>("a.pak");
    StartWorker(repair);
    EXPECT_EQ(GetWorkerStatusText(), "Repairing planet data");
    EXPECT_FALSE(AbortCurrentWorker());
    EXPECT_EQ(GetCurrentWorker(), repair);
    auto questions = prompt.Questions();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text,
              "Aborting while repairing can lead to corrupt data. Are you sure you want to continue?");
    EXPECT_EQ(questions[0].buttons, Platform::PromptButtons::YesNo);
    release.set_value();
    EXPECT_TRUE(AbortCurrentWorker());
    EXPECT_FALSE(IsWorkerRunning());
}

TEST_F(WorkersTest, UpdateAbortStopsTheUpdateRun) {
    auto update = std::make_shared<UpdateWorker>();
    StartWorker(update);
    EXPECT_TRUE(AbortCurrentWorker());
    EXPECT_EQ(backend.Calls(), (std::vector<std::string>{"update", "abort-update"}));
    EXPECT_TRUE(backend.lastUpdateJob->IsAborted());
}

TEST_F(WorkersTest, RetryRunsAnOwnThreadBodyAgain) {
    // The compaction and the repair run their body on a thread of their own: after Retry that
    // thread runs it again, and the worker completes.
    for (bool repair : {false, true}) {
        SCOPED_TRACE(repair ? "repair" : "compaction");
        RetryAnswers answers({true});
        auto runs = std::make_shared<std::atomic<int>>(0);
        auto failsOnce = [runs](std::shared_ptr<ThreadJob> job) {
            if (runs->fetch_add(1) == 0) throw FileException("planet_03.pak", false);
            job->Complete();
        };
        RecordingBackend local;
        local.cleanup = failsOnce;
        local.repair = [failsOnce](std::shared_ptr<ThreadJob> job, const std::string&) { failsOnce(job); };
        const int ends = g_ends.load();
        const int failed = g_failed.load();
        std::shared_ptr<ITSWorker> worker;
        if (repair)
            worker = std::make_shared<RepairDynamicContentWorker>("planet_03.pak");
        else
            worker = std::make_shared<CleanupDynamicContentWorker>();
        StartWorker(worker);
        ASSERT_TRUE(WaitEnd(ends + 1)) << "the worker never ended after Retry";
        EXPECT_EQ(g_failed.load(), failed);
        EXPECT_EQ(runs->load(), 2);
        ASSERT_EQ(answers.Asked().size(), 1u);
        EXPECT_EQ(answers.Asked()[0].rfind("Couldn't access file: planet_03.pak", 0), 0u) << answers.Asked()[0];
        EXPECT_FALSE(IsWorkerRunning());
        GetWorkerRunner().Reset();
        InstallCallbacks();
    }
}

TEST_F(WorkersTest, AJobEndedBeforeItsStartReturnsStillReachesTheRunner) {
    // The service running a job may end it on its own thread while the worker's Start has not
    // returned yet; the end must reach the runner, never be rethrown on that thread.
    struct Case {
        const char* name;
        std::function<std::shared_ptr<ITSWorker>(RecordingBackend&, std::function<void(std::shared_ptr<ThreadJob>)>)>
            make;
        bool asks;  // the failure is the player's to retry
    } cases[] = {
        {"update",
         [](RecordingBackend& b, auto end) {
             b.update = end;
             return std::make_shared<UpdateWorker>();
         },
         true},
        {"move",
         [](RecordingBackend& b, auto end) {
             b.move = end;
             return std::make_shared<MoveContentWorker>("/mnt/big/");
         },
         false},
        {"download",
         [](RecordingBackend& b, auto end) {
             b.downloads = {[end](int, const ThreadJobBinder& bind) {
                 auto job = std::make_shared<ThreadJob>();
                 bind(job);
                 end(job);
                 return job;
             }};
             return std::make_shared<DownloadDynamicContentWorker>(0, false);
         },
         true},
    };
    for (auto& c : cases) {
        for (bool fails : {true, false}) {
            SCOPED_TRACE(std::string(c.name) + (fails ? " fails" : " completes"));
            RetryAnswers answers({false});
            auto rethrown = std::make_shared<std::atomic<bool>>(false);
            auto end = [fails, rethrown](std::shared_ptr<ThreadJob> job) {
                TestSupport::BoundedThread thread([job, fails, rethrown] {
                    if (!fails) return job->Complete();
                    try {
                        throw NetworkException("http://update.test/list.xml", "Refused");
                    } catch (...) {
                        try {
                            job->Fail();
                        } catch (...) {
                            rethrown->store(true);
                        }
                    }
                });
                EXPECT_TRUE(thread.Join());
            };
            RecordingBackend local;
            auto worker = c.make(local, end);
            const int ends = g_ends.load();
            const int failed = g_failed.load();
            StartWorker(worker);
            ASSERT_TRUE(WaitEnd(ends + 1));
            EXPECT_FALSE(rethrown->load());
            EXPECT_EQ(g_failed.load() - failed, fails ? 1 : 0);
            EXPECT_EQ(answers.Asked().size(), fails && c.asks ? 1u : 0u);
            EXPECT_FALSE(IsWorkerRunning());
            GetWorkerRunner().Reset();
            InstallCallbacks();
        }
    }
}

}  // namespace
}  // namespace Vel
