// ctest: threading
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "foundation/core/Exception.h"
#include "foundation/threads/ManualDispatcher.h"
#include "foundation/threads/ThreadPool.h"
#include "foundation/threads/TimedJobs.h"
#include "tests/support/WaitFor.h"

using namespace Vel;
using TestSupport::WaitFor;

namespace {

const VelDuration kSecond(1, VelTimePrecision::Second);

Vel::TimedJob Job(std::function<void()> f) {
    Vel::TimedJob job;
    job.function = std::move(f);
    return job;
}

struct TimedJobsTest : ::testing::Test {
    FakeClock clock;
    TimedJobService service{clock};
};

TEST_F(TimedJobsTest, ZeroDelayRunsAtTheNextPumpAndEqualDueTimesKeepOrder) {
    std::vector<int> order;
    auto a = Job([&] { order.push_back(1); });
    auto b = Job([&] { order.push_back(2); });
    auto c = Job([&] { order.push_back(3); });
    service.Schedule(a, VelDuration(), nullptr);
    service.Schedule(b, VelDuration(), nullptr);
    service.Schedule(c, VelDuration(), nullptr);
    EXPECT_EQ(a.id, 1);
    EXPECT_EQ(c.id, 3);
    EXPECT_TRUE(order.empty());  // nothing runs at scheduling time
    service.RunDue();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(TimedJobsTest, DueTimesFollowTheClock) {
    int runs = 0;
    auto job = Job([&] { ++runs; });
    service.Schedule(job, VelDuration(2, VelTimePrecision::Second), nullptr);
    service.RunDue();
    EXPECT_EQ(runs, 0);

    TimedJob out;
    VelDuration untilNext;
    EXPECT_FALSE(service.TakeDue(out, untilNext));
    EXPECT_EQ(untilNext, VelDuration(2, VelTimePrecision::Second));

    clock.Advance(std::chrono::milliseconds(1999));
    service.RunDue();
    EXPECT_EQ(runs, 0);
    clock.Advance(std::chrono::milliseconds(1));
    service.RunDue();
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(service.GetCount(), 0u);
}

TEST_F(TimedJobsTest, CancelAndReschedule) {
    int runs = 0;
    auto job = Job([&] { ++runs; });
    service.Schedule(job, kSecond, nullptr);
    service.Cancel(0);
    service.Cancel(99);
    EXPECT_EQ(service.GetCount(), 1u);
    service.Schedule(job, kSecond, nullptr);  // replaces the first entry
    EXPECT_EQ(service.GetCount(), 1u);
    EXPECT_EQ(job.id, 2);
    service.Cancel(job.id);
    clock.Advance(std::chrono::seconds(5));
    service.RunDue();
    EXPECT_EQ(runs, 0);

    auto empty = Job(nullptr);
    service.Schedule(empty, kSecond, nullptr);
    EXPECT_EQ(empty.id, 0);
    EXPECT_EQ(service.GetCount(), 0u);
}

TEST_F(TimedJobsTest, AJobScheduledFromAJobRunsInTheSamePass) {
    std::vector<int> order;
    auto inner = Job([&] { order.push_back(2); });
    auto outer = Job([&] {
        order.push_back(1);
        service.Schedule(inner, VelDuration(), nullptr);
    });
    service.Schedule(outer, VelDuration(), nullptr);
    service.RunDue();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST_F(TimedJobsTest, InlineExceptionsAreDroppedAndShutdownDropsEverything) {
    int runs = 0;
    auto thrower = Job([] { throw Vel::Exception("x"); });
    auto after = Job([&] { ++runs; });
    service.Schedule(thrower, VelDuration(), nullptr);
    service.Schedule(after, VelDuration(), nullptr);
    service.RunDue();
    EXPECT_EQ(runs, 1);

    service.Schedule(after, VelDuration(), nullptr);
    service.Shutdown();
    service.RunDue();
    EXPECT_EQ(runs, 1);
}

TEST_F(TimedJobsTest, APoolTargetedJobRunsOnThePool) {
    VelThreadPool pool("", 1, VelThread::kKindWorker, &service);
    std::atomic<bool> onPool{false}, ran{false};
    pool.PostAfter(
        [&] {
            onPool = pool.OwnsThread(VelThread::GetCurrent());
            ran = true;
        },
        kSecond);
    EXPECT_EQ(service.GetCount(), 1u);
    clock.Advance(std::chrono::seconds(1));
    service.RunDue();
    ASSERT_TRUE(WaitFor([&] { return ran.load(); }));
    EXPECT_TRUE(onPool);
}

TEST_F(TimedJobsTest, AManualDispatcherTargetRunsOnThePumpingThread) {
    ManualDispatcher dispatcher("", 0, true, clock);
    bool ran = false;
    auto job = Job([&] { ran = true; });
    service.Schedule(job, VelDuration(), &dispatcher);
    service.RunDue();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(dispatcher.Dispatch());
}

TEST_F(TimedJobsTest, ADestroyedPoolTakesItsTimedJobsWithIt) {
    bool ran = false;
    {
        VelThreadPool pool("", 1, VelThread::kKindWorker, &service);
        pool.PostAfter([&] { ran = true; }, kSecond);
    }
    EXPECT_EQ(service.GetCount(), 0u);
    clock.Advance(std::chrono::seconds(2));
    service.RunDue();
    EXPECT_FALSE(ran);
}

TEST(TimedJobsGlobal, FreeFunctionsUseTheProcessWideService) {
    int runs = 0;
    auto job = Job([&] { ++runs; });
    ScheduleTimedJob(job, VelDuration(), nullptr);
    TimedJob out;
    VelDuration untilNext;
    EXPECT_TRUE(TakeDueTimedJob(out, untilNext));
    out.function();
    ScheduleTimedJob(job, VelDuration(), nullptr);
    RunDueTimedJobs();
    ScheduleTimedJob(job, VelDuration(), nullptr);
    ShutdownTimedJobs();
    RunDueTimedJobs();
    EXPECT_EQ(runs, 2);
}

}  // namespace
