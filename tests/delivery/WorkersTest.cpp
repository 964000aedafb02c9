// ctest: threading
#include "delivery/Workers.h"

#include "delivery/WorkerRunner.h"
#include "delivery/WorkerStatus.h"
#include "delivery/ZipCorruptException.h"
#include "tests/support/FakeWorkers.h"
#include "tests/support/ScriptedPrompt.h"

#include "tests/support/IsolatedSettings.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

namespace Vel {
namespace {

using Test::RecordingBackend;
using JobScript = std::function<std::shared_ptr<ThreadJob>(int)>;

std::shared_ptr<ThreadJob> Downloaded(int) {
    auto job = std::make_shared<ThreadJob>();
    job->Complete();
    return job;
}
std::shared_ptr<ThreadJob> Nothing(int) { return nullptr; }
std::shared_ptr<ThreadJob> Corrupt(int) { throw ZipCorruptException("planet_07.pak"); }

std::string Describe(const std::shared_ptr<ITSWorker>& w) {
    if (!w) return "-";
    if (auto* d = dynamic_cast<DownloadDynamicContentWorker*>(w.get()))
        return "download " + std::to_string(d->GetMode()) + (d->GetCompactAfter() ? " compact" : "");
    if (auto* r = dynamic_cast<RepairDynamicContentWorker*>(w.get())) return "repair " + r->GetArchivePath();
    if (w->GetType() == kCompactPlanetDataWorker) return "compact";
    return "type " + std::to_string(w->GetType());
}

std::atomic<int> g_ends{0};  // completed and failed callbacks so far

void InstallCallbacks() {
    SetWorkerErrorCallback([](const std::string&) { return false; });
    SetWorkerFailedCallback([](bool) { ++g_ends; });
    SetWorkerCompletedCallback([](const std::shared_ptr<ITSWorker>&) { ++g_ends; });
}

// Waits for the end of the running worker (its chaining is done by then).
bool WaitEnd(int ends) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (g_ends.load() < ends)
        if (std::chrono::steady_clock::now() > until) return false;
        else std::this_thread::yield();
    return true;
}

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

}  // namespace
}  // namespace Vel
