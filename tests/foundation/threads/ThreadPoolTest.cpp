// ctest: threading
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/threads/Event.h"
#include "foundation/core/Exception.h"
#include "foundation/core/FatalError.h"
#include "foundation/threads/ThreadPool.h"
#include "foundation/threads/TimedJobs.h"
#include "tests/support/WaitFor.h"

using TestSupport::BoundedThread;
using TestSupport::WaitFor;

namespace {

TEST(VelThreadPool, PostAndWaitFromItsOwnJobRunsInline) {
    VelThreadPool pool("", 1, VelThread::kKindWorker);
    std::vector<int> order;
    BoundedThread caller([&] {
        pool.PostAndWait([&] {
            EXPECT_TRUE(pool.OwnsThread(VelThread::GetCurrent()));
            pool.PostAndWait([&] { order.push_back(1); });  // would deadlock if queued
            order.push_back(2);
        });
    });
    ASSERT_TRUE(caller.Join()) << "the inner PostAndWait was queued behind its own job";
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_FALSE(pool.OwnsThread(VelThread::GetCurrent()));
    EXPECT_FALSE(pool.OwnsThread(nullptr));
}

TEST(VelThreadPool, ThrowingJobsLeaveTheWorkerAliveAndReachTheWaiter) {
    VelThreadPool pool("", 1, VelThread::kKindWorker);
    pool.Post([] { throw Vel::Exception("dropped"); });
    try {
        pool.PostAndWait([] { throw Vel::FileException("a.pak", false); });
        FAIL() << "no exception";
    } catch (const Vel::FileException& e) {
        EXPECT_EQ(e.GetFileName(), "a.pak");
    }
    EXPECT_THROW(pool.PostAndWait([] { throw std::runtime_error("other"); }), std::runtime_error);
    bool ran = false;
    pool.PostAndWait([&] { ran = true; });  // the same worker still serves
    EXPECT_TRUE(ran);
}

TEST(VelThreadPool, QueuedJobsRunInOrderBeforeShutdownStopsIt) {
    VelThreadPool pool("", 1, VelThread::kKindWorker);
    VelEvent gate(true);
    std::vector<int> order;
    pool.Post([&] { gate.Wait(); });
    ASSERT_TRUE(WaitFor([&] { return gate.GetWaitingCount() == 1; }));
    for (int i = 1; i <= 5; ++i) pool.Post([&order, i] { order.push_back(i); });
    EXPECT_EQ(pool.GetPendingCount(), 5);
    gate.Set();
    EXPECT_TRUE(pool.Shutdown(20000));
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_EQ(pool.GetPendingCount(), 0);

    // After the shutdown, jobs are dropped and waiters are told so at once.
    bool ran = false;
    pool.Post([&] { ran = true; });
    EXPECT_THROW(pool.PostAndWait([&] { ran = true; }), Vel::AbortException);
    EXPECT_FALSE(ran);
    EXPECT_EQ(pool.GetPendingCount(), 0);
}

TEST(VelThreadPool, ClearJobsReleasesTheirWaiters) {
    VelThreadPool pool("", 1, VelThread::kKindWorker);
    VelEvent gate(true);
    pool.Post([&] { gate.Wait(); });
    ASSERT_TRUE(WaitFor([&] { return gate.GetWaitingCount() == 1; }));
    std::atomic<bool> ran{false}, aborted{false};
    BoundedThread waiter([&] {
        try {
            pool.PostAndWait([&] { ran = true; });
        } catch (const Vel::AbortException&) {
            aborted = true;
        }
    });
    ASSERT_TRUE(WaitFor([&] { return pool.GetPendingCount() == 1; }));
    pool.ClearJobs();
    ASSERT_TRUE(waiter.Join()) << "the waiter of a cleared job was never released";
    EXPECT_TRUE(aborted);
    EXPECT_FALSE(ran);
    gate.Set();
}

TEST(VelThreadPool, DestructionReleasesWaitersOfJobsNeverRun) {
    auto pool = std::make_unique<VelThreadPool>("", 1, VelThread::kKindWorker);
    VelEvent gate(true);
    pool->Post([&] { gate.Wait(); });
    ASSERT_TRUE(WaitFor([&] { return gate.GetWaitingCount() == 1; }));
    std::atomic<bool> ran{false}, aborted{false};
    BoundedThread waiter([&, p = pool.get()] {
        try {
            p->PostAndWait([&] { ran = true; });
        } catch (const Vel::AbortException&) {
            aborted = true;
        }
    });
    ASSERT_TRUE(WaitFor([&] { return pool->GetPendingCount() == 1; }));
    BoundedThread destroyer([&] { pool.reset(); });
    gate.Set();
    ASSERT_TRUE(destroyer.Join());
    // Returned whether the job ran before the stop markers or not, and knows which.
    ASSERT_TRUE(waiter.Join()) << "the waiter was never released";
    EXPECT_NE(ran.load(), aborted.load());
}

TEST(VelThreadPool, SeveralThreadsServeAndInvalidCountsThrow) {
    VelThreadPool pool("pool", 3, VelThread::kKindWorker);
    EXPECT_EQ(pool.GetName(), "pool");
    EXPECT_THROW(pool.SetActiveThreadCount(4), Vel::Exception);
    pool.SetActiveThreadCount(1);
    pool.SetActiveThreadCount(3);
    std::atomic<int> count{0};
    for (int i = 0; i < 50; ++i) pool.Post([&] { ++count; });
    pool.Post(std::unique_ptr<VelRunnable>());  // a null runnable queues nothing
    EXPECT_TRUE(pool.Shutdown(20000));
    EXPECT_EQ(count, 50);
}

TEST(VelThreadPoolDeathTest, AJobThatOutlivesTheJoinLimitIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            VelThread::SetJoinLimitForTesting(std::chrono::milliseconds(50));
            VelEvent never(true);
            VelThreadPool pool("", 1, VelThread::kKindWorker);
            pool.Post([&] { never.Wait(); });
        },
        ::testing::ExitedWithCode(Vel::kFatalExitCode), "Application has crashed. ExceptionAddr: [0-9]+\nCrashInfo=\r\n");
}

}  // namespace
