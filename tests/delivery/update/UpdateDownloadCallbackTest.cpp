// ctest: threading
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "delivery/jobs/DownloadProgress.h"
#include "delivery/update/UpdateDownloadCallback.h"
#include "delivery/update/UpdateManager.h"
#include "delivery/workers/WorkerStatus.h"
#include "foundation/threads/Event.h"
#include "foundation/threads/ThreadPool.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/ManualRequestScheduler.h"
#include "tests/support/ScriptedUpdatePrompt.h"
#include "tests/support/WaitFor.h"

using namespace Vel;
using UpdateManager::DownloadCallback;

namespace {

struct Finishes {
    std::mutex mutex;
    std::vector<bool> calls;
    std::vector<std::thread::id> threads;

    DownloadCallback::Finished Function() {
        return [this](bool failed) {
            std::lock_guard lock(mutex);
            calls.push_back(failed);
            threads.push_back(std::this_thread::get_id());
        };
    }
    std::vector<bool> Calls() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

class UpdateDownloadCallbackTest : public ::testing::Test {
protected:
    void SetUp() override {
        UpdateManager::ResetForTesting();
        NewWorkerProgress(1000);
    }
    void TearDown() override { UpdateManager::ResetForTesting(); }

    Vel::Test::ScriptedUpdatePrompt prompt_;
    Finishes finishes_;
    DownloadItem item_{"client_files/x_00.zip", 10, {}, "x.dll"};
};

// The run finishes once: after the last job, or at the first failed one; an OnDone after the
// finish neither finishes again nor adds progress.
TEST_F(UpdateDownloadCallbackTest, TheRunFinishesExactlyOnce) {
    struct Case {
        std::vector<bool> done;
        std::vector<bool> expected;
        std::uint64_t progress;
    };
    const std::vector<Case> cases = {
        {{false, false, false}, {false}, 3 * 7},
        {{false, true, false}, {true}, 2 * 7},
        {{false, false, false, false}, {false}, 3 * 7},  // a stray fourth OnDone
    };
    for (const Case& c : cases) {
        NewWorkerProgress(1000);
        Finishes finishes;
        DownloadCallback callback(3, 7, finishes.Function(), prompt_, nullptr);
        for (const bool failed : c.done) callback.OnDone(item_, failed);
        EXPECT_EQ(finishes.Calls(), c.expected);
        EXPECT_EQ(GetWorkerProgress()->GetDone(), c.progress);
    }
}

TEST_F(UpdateDownloadCallbackTest, AFailedAttemptsBytesAreTakenBack) {
    DownloadCallback callback(1, 0, finishes_.Function(), prompt_, nullptr);
    GetWorkerProgress()->SetTransferTotal(1000);
    callback.AddProgress(300);
    callback.TakeBackProgress(300);
    callback.AddProgress(100);
    EXPECT_EQ(GetWorkerProgress()->GetDone(), 100u);
}

// The download error question offers no Try again, aborts the update and answers false.
TEST_F(UpdateDownloadCallbackTest, OnRetryAsksOnceAndAbortsTheUpdate) {
    DownloadCallback callback(1, 0, finishes_.Function(), prompt_, nullptr);
    EXPECT_FALSE(callback.OnRetry(item_, "Invalid file stream"));
    const auto questions = prompt_.Questions();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].stringId, kStringDownloadError);
    EXPECT_EQ(questions[0].argument, "Failed downloading: x.dll\r\n\r\nInvalid file stream");
    EXPECT_FALSE(questions[0].tryAgainEnabled);
    EXPECT_TRUE(callback.IsAborted());

    callback.OnRetry(item_, "");
    EXPECT_EQ(prompt_.Questions()[1].argument, "Failed downloading: x.dll");
}

// An abort between two jobs discards every job still queued and none is running: the run still
// finishes, once, as failed, on the update pool and not on the aborting thread.
TEST_F(UpdateDownloadCallbackTest, AnAbortBetweenJobsFinishesTheRunOnItsPool) {
    FakeClock clock;
    Vel::Test::ManualRequestScheduler scheduler(clock);
    UpdateManager::Init(&scheduler);
    const auto pool = UpdateManager::GetUpdateThreadPool();
    ASSERT_NE(pool, nullptr);

    auto callback = std::make_shared<DownloadCallback>(2, 0, finishes_.Function(), prompt_, pool);
    VelEvent gate(true);
    std::atomic<bool> holding{false};
    std::thread::id poolThread;
    pool->Post([&] {
        poolThread = std::this_thread::get_id();
        holding = true;
        gate.Wait();
    });
    ASSERT_TRUE(TestSupport::WaitFor([&] { return holding.load(); }));
    for (int i = 0; i < 2; ++i)
        pool->Post(std::make_unique<VelDownloadJob>(std::vector<DownloadMirror>{}, item_, "/nonexistent", callback, true));

    EXPECT_TRUE(UpdateManager::Abort());
    gate.Set();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return !finishes_.Calls().empty(); }));
    UpdateManager::Shutdown();
    EXPECT_EQ(finishes_.Calls(), std::vector<bool>{true});
    EXPECT_EQ(finishes_.threads[0], poolThread);
}

}  // namespace
