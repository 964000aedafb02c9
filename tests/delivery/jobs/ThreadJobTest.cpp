// ctest: threading
// Thread job: completion exactly once (also against a concurrent add), failure handling, and
// abort with and without an attached thread.

#include "delivery/jobs/ThreadJob.h"
#include "foundation/threads/Thread.h"
#include "tests/support/WaitFor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Vel::ThreadJob;

TEST(ThreadJobTest, CompletionCallbacksRunOnceInOrder) {
    auto job = std::make_shared<ThreadJob>();
    std::string order;
    job->AddCompletionCallback([&] { order += 'a'; });
    job->AddCompletionCallback([&] {
        order += 'b';
        job->AddCompletionCallback([&] { order += 'n'; });  // re-entry while completing
    });
    EXPECT_EQ(order, "");
    job->Complete();
    EXPECT_EQ(order, "abn");
    job->AddCompletionCallback([&] { order += 'c'; });  // after completion: at once
    EXPECT_EQ(order, "abnc");
    job->Complete();  // nothing runs twice
    EXPECT_EQ(order, "abnc");
    EXPECT_NE(job->GetProgress(), nullptr);
}

TEST(ThreadJobTest, CallbackAddedWhileCompletingRunsExactlyOnce) {
    for (int round = 0; round < 300; ++round) {
        auto job = std::make_shared<ThreadJob>();
        std::atomic<int> calls{0};
        std::atomic<bool> go{false};
        std::thread completer([&] {
            while (!go.load()) {
            }
            job->Complete();
        });
        std::thread adder([&] {
            while (!go.load()) {
            }
            job->AddCompletionCallback([&] { calls.fetch_add(1); });
        });
        go.store(true);
        completer.join();
        adder.join();
        ASSERT_EQ(calls.load(), 1) << "round " << round;
    }
}

TEST(ThreadJobTest, FailPaths) {
    struct Case {
        const char* name;
        bool handler;
        bool handlerAnswer;
        bool failureCallback;
        bool aborted;
        bool expectRethrow;
        bool expectResult;
        int expectHandlerCalls;
        int expectCallbackCalls;
    } cases[] = {
        {"nothing set rethrows", false, false, false, false, true, false, 0, 0},
        {"handled", true, true, true, false, false, true, 1, 0},
        {"not handled", true, false, true, false, false, false, 1, 1},
        {"aborted skips the handler", true, true, true, true, false, false, 0, 1},
        {"callbacks only", false, false, true, false, false, false, 0, 1},
    };
    for (const auto& c : cases) {
        auto job = std::make_shared<ThreadJob>();
        int handlerCalls = 0, callbackCalls = 0;
        if (c.handler) job->SetErrorHandler([&] { return ++handlerCalls, c.handlerAnswer; });
        if (c.failureCallback) job->AddFailureCallback([&] { ++callbackCalls; });
        if (c.aborted) job->Abort();
        bool rethrown = false, result = false;
        try {
            try {
                throw std::runtime_error("boom");
            } catch (...) {
                result = job->Fail();
            }
        } catch (const std::runtime_error& e) {
            rethrown = std::string(e.what()) == "boom";
        }
        EXPECT_EQ(rethrown, c.expectRethrow) << c.name;
        EXPECT_EQ(result, c.expectResult) << c.name;
        EXPECT_EQ(handlerCalls, c.expectHandlerCalls) << c.name;
        EXPECT_EQ(callbackCalls, c.expectCallbackCalls) << c.name;
    }
}

TEST(ThreadJobTest, AbortWithoutThreadCallsTheHandler) {
    auto job = std::make_shared<ThreadJob>();
    int calls = 0;
    job->SetAbortHandler([&] { ++calls; });
    EXPECT_FALSE(job->IsAborted());
    job->Abort();
    EXPECT_TRUE(job->IsAborted());
    EXPECT_EQ(calls, 1);
}

TEST(ThreadJobTest, AbortJoinsTheWorkingThread) {
    auto job = std::make_shared<ThreadJob>();
    std::atomic<bool> started{false}, finished{false};
    auto thread = std::make_shared<VelThread>(
        [&] {
            started.store(true);
            while (!job->IsAborted()) std::this_thread::yield();
            finished.store(true);
        },
        "JobTest", VelThread::kKindWorker);
    job->SetThread(thread);
    thread->Start();
    ASSERT_TRUE(TestSupport::WaitFor([&] { return started.load(); }));
    job->Abort();
    EXPECT_TRUE(finished.load());  // Abort returned only after the thread ended
}

TEST(ThreadJobTest, SeveralThreadsAbortAtOnce) {
    // The player's abort and a shutdown may abort one job together: each returns once the
    // job's thread has ended, and the thread is reaped once.
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        auto job = std::make_shared<ThreadJob>();
        auto ended = std::make_shared<std::atomic<bool>>(false);
        std::weak_ptr<ThreadJob> weak = job;
        auto thread = std::make_shared<VelThread>(
            [weak, ended] {
                if (auto job = weak.lock())
                    while (!job->IsAborted()) std::this_thread::yield();
                ended->store(true);
            },
            "JobAbortedTwice", VelThread::kKindWorker);
        job->SetThread(thread);
        thread->Start();
        auto sawTheEnd = std::make_shared<std::atomic<int>>(0);
        std::vector<TestSupport::BoundedThread> aborters;
        for (int i = 0; i < 4; ++i)
            aborters.emplace_back([job, ended, sawTheEnd] {
                job->Abort();
                if (ended->load()) sawTheEnd->fetch_add(1);
            });
        for (auto& aborter : aborters) ASSERT_TRUE(aborter.Join()) << "an Abort never returned";
        EXPECT_EQ(sawTheEnd->load(), 4);
    }
}

TEST(ThreadJobTest, AbortOnTheJobsOwnThreadDoesNotJoinItself) {
    auto job = std::make_shared<ThreadJob>();
    std::atomic<bool> returned{false};
    auto thread = std::make_shared<VelThread>(
        [&] {
            job->Abort();
            returned.store(true);
        },
        "JobSelfAbort", VelThread::kKindWorker);
    job->SetThread(thread);
    thread->Start();
    thread->Join();
    EXPECT_TRUE(returned.load());
    EXPECT_TRUE(job->IsAborted());
}

}  // namespace
