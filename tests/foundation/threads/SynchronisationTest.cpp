// ctest: threading
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <thread>
#include <vector>

#include "foundation/threads/Event.h"
#include "foundation/core/FatalError.h"
#include "foundation/threads/Mutex.h"
#include "foundation/threads/Semaphore.h"
#include "tests/support/WaitFor.h"

using TestSupport::BoundedThread;
using TestSupport::WaitFor;

namespace {

constexpr std::int64_t kBeyond32Bits = (std::int64_t{1} << 32) + 1;  // low 32 bits: 1 ms

TEST(VelMutex, IsRecursiveAndExcludesOthers) {
    VelMutex mutex("Zip Mutex");
    int counter = 0;
    std::vector<BoundedThread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                VelMutex::ScopedLock outer(mutex);
                VelMutex::ScopedLock inner(mutex);
                ++counter;
            }
        });
    for (auto& t : threads) ASSERT_TRUE(t.Join());
    EXPECT_EQ(counter, 4000);
}

TEST(VelMutexDeathTest, UseAfterDestructionIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    alignas(VelMutex) unsigned char storage[sizeof(VelMutex)];
    auto* mutex = new (storage) VelMutex;
    mutex->~VelMutex();
    const auto fatal = ::testing::ExitedWithCode(Vel::kFatalExitCode);
    EXPECT_EXIT(mutex->Lock(), fatal, "Application has crashed. ExceptionAddr: [0-9]+\nCrashInfo=\r\n");
    EXPECT_EXIT(mutex->Unlock(), fatal, "Application has crashed. ExceptionAddr: [0-9]+\nCrashInfo=\r\n");
}

TEST(VelSemaphore, TimeOutLimits) {
    EXPECT_EQ(VelSemaphore::WaitLimit(-5), std::chrono::milliseconds(0));
    EXPECT_EQ(VelSemaphore::WaitLimit(0xFFFFFFFFll), std::chrono::milliseconds(0xFFFFFFFFll));
    EXPECT_EQ(VelSemaphore::WaitLimit(std::int64_t{1} << 32), std::nullopt);

    VelSemaphore semaphore("Download queue", 1);
    EXPECT_TRUE(semaphore.TimedWait(-1));
    EXPECT_FALSE(semaphore.TimedWait(-1));  // returns at once
    EXPECT_FALSE(semaphore.TimedWait(5));

    // Beyond 32 bits the wait has no limit (not the low bits' 1 ms).
    std::atomic<int> result{-1};
    BoundedThread waiter([&] { result = semaphore.TimedWait(kBeyond32Bits) ? 1 : 0; });
    ASSERT_TRUE(WaitFor([&] { return semaphore.GetWaitingCount() == 1; }));
    semaphore.Release();
    ASSERT_TRUE(waiter.Join()) << "the waiter was never released";
    EXPECT_EQ(result, 1);
}

TEST(VelSemaphore, EachReleaseSatisfiesOneWait) {
    VelSemaphore semaphore("jobs", 0);
    std::atomic<int> taken{0};
    std::vector<BoundedThread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            semaphore.Wait();
            ++taken;
        });
    ASSERT_TRUE(WaitFor([&] { return semaphore.GetWaitingCount() == 3; }));
    semaphore.Release();
    semaphore.Release();
    ASSERT_TRUE(WaitFor([&] { return taken == 2; }));
    EXPECT_FALSE(semaphore.TimedWait(0));
    semaphore.Release();
    for (auto& w : waiters) ASSERT_TRUE(w.Join()) << "a waiter was never released";
    EXPECT_EQ(taken, 3);
}

TEST(VelEvent, ManualResetPulseReleasesEveryCurrentWaiter) {
    VelEvent event(true);
    std::atomic<int> released{0};
    std::vector<BoundedThread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            event.Wait();
            ++released;
        });
    ASSERT_TRUE(WaitFor([&] { return event.GetWaitingCount() == 3; }));
    event.Set();
    event.Reset();
    for (auto& w : waiters) ASSERT_TRUE(w.Join()) << "a waiter was never released";
    EXPECT_EQ(released, 3);
    EXPECT_FALSE(event.TimedWait(VelDuration()));  // the pulse left it reset

    event.Set();
    EXPECT_TRUE(event.TimedWait(VelDuration()));
    EXPECT_TRUE(event.TimedWait(VelDuration()));  // stays set
}

TEST(VelEvent, AutoResetPulseReleasesOneWaiter) {
    VelEvent event(false);
    std::atomic<int> released{0};
    std::vector<BoundedThread> waiters;
    for (int i = 0; i < 2; ++i)
        waiters.emplace_back([&] {
            event.Wait();
            ++released;
        });
    ASSERT_TRUE(WaitFor([&] { return event.GetWaitingCount() == 2; }));
    event.Set();
    event.Reset();
    ASSERT_TRUE(WaitFor([&] { return released == 1 && event.GetWaitingCount() == 1; }));
    event.Set();  // goes to the remaining waiter, so nothing is left signalled
    for (auto& w : waiters) ASSERT_TRUE(w.Join()) << "a waiter was never released";
    EXPECT_EQ(released, 2);
    EXPECT_FALSE(event.TimedWait(VelDuration()));

    event.Set();  // no waiter: stays signalled for exactly one wait
    EXPECT_TRUE(event.TimedWait(VelDuration()));
    EXPECT_FALSE(event.TimedWait(VelDuration()));
}

TEST(VelEvent, TimeOutLimits) {
    VelEvent event(true);
    EXPECT_FALSE(event.TimedWait(VelDuration(-5, VelTimePrecision::Second)));  // waits 0
    EXPECT_FALSE(event.TimedWait(VelDuration(5, VelTimePrecision::Millisecond)));

    std::atomic<int> result{-1};
    BoundedThread waiter([&] {
        result = event.TimedWait(VelDuration(kBeyond32Bits, VelTimePrecision::Millisecond)) ? 1 : 0;
    });
    ASSERT_TRUE(WaitFor([&] { return event.GetWaitingCount() == 1; }));
    event.Set();
    ASSERT_TRUE(waiter.Join()) << "the waiter was never released";
    EXPECT_EQ(result, 1);
}

}  // namespace
