// ctest: threading
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/Event.h"
#include "foundation/Exception.h"
#include "foundation/FatalError.h"
#include "foundation/ThreadPool.h"
#include "foundation/TimedJobs.h"
#include "tests/support/WaitFor.h"

using TestSupport::WaitFor;

namespace {

TEST(VelThreadPool, PostAndWaitFromItsOwnJobRunsInline) {
    VelThreadPool pool("", 1, VelThread::kKindWorker);
    std::vector<int> order;
    pool.PostAndWait([&] {
        EXPECT_TRUE(pool.OwnsThread(VelThread::GetCurrent()));
        pool.PostAndWait([&] { order.push_back(1); });  // would deadlock if queued
        order.push_back(2);
    });
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

    // After the shutdown, jobs are dropped and waiters return at once.
    bool ran = false;
    pool.Post([&] { ran = true; });
    pool.PostAndWait([&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_EQ(pool.GetPendingCount(), 0);
}

TEST(VelThreadPool, ClearJobsReleasesTheirWaiters) {
    VelThreadPool pool("", 1, VelThread::kKindWorker);
    VelEvent gate(true);
    pool.Post([&] { gate.Wait(); });
    ASSERT_TRUE(WaitFor([&] { return gate.GetWaitingCount() == 1; }));
    std::atomic<bool> ran{false}, returned{false};
    std::thread waiter([&] {
        pool.PostAndWait([&] { ran = true; });
        returned = true;
    });
    ASSERT_TRUE(WaitFor([&] { return pool.GetPendingCount() == 1; }));
    pool.ClearJobs();
    waiter.join();
    EXPECT_TRUE(returned);
    EXPECT_FALSE(ran);
    gate.Set();
}

TEST(VelThreadPool, DestructionReleasesWaitersOfJobsNeverRun) {
    auto pool = std::make_unique<VelThreadPool>("", 1, VelThread::kKindWorker);
    VelEvent gate(true);
    pool->Post([&] { gate.Wait(); });
    ASSERT_TRUE(WaitFor([&] { return gate.GetWaitingCount() == 1; }));
    std::atomic<bool> ran{false};
    std::thread waiter([&] { pool->PostAndWait([&] { ran = true; }); });
    ASSERT_TRUE(WaitFor([&] { return pool->GetPendingCount() == 1; }));
    std::thread destroyer([&] { pool.reset(); });
    gate.Set();
    destroyer.join();
    waiter.join();  // returned whether the job ran before the stop markers or not
    SUCCEED();
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
        ::testing::ExitedWithCode(Vel::kFatalExitCode), "Trailstarter fatal error\nCrashInfo=\r\n");
}

}  // namespace
