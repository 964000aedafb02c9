// ctest: threading
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <future>
#include <thread>

#include "foundation/threads/Event.h"
#include "foundation/core/Exception.h"
#include "foundation/core/FatalError.h"
#include "foundation/threads/Thread.h"
#include "tests/support/WaitFor.h"

namespace {

TEST(VelThread, RunsOnlyAfterStartAsTheCurrentThread) {
    std::atomic<bool> ran{false};
    VelThread* seen = nullptr;
    std::uint32_t seenId = 0;
    char systemName[32] = {};
    VelEvent created(true);
    VelThread thread(
        [&] {
            ran = true;
            seen = VelThread::GetCurrent();
            seenId = VelThread::GetCurrent()->GetThreadId();
            ::pthread_getname_np(::pthread_self(), systemName, sizeof systemName);
        },
        "Content Download Thread", VelThread::kKindWorker);
    EXPECT_NE(thread.GetThreadId(), 0u);
    EXPECT_TRUE(thread.IsRunning());
    EXPECT_FALSE(thread.WaitForEnd(std::chrono::milliseconds(20)));  // still behind the gate
    EXPECT_FALSE(ran);
    thread.Start();
    thread.Join();
    EXPECT_TRUE(ran);
    EXPECT_FALSE(thread.IsRunning());
    EXPECT_EQ(seen, &thread);
    EXPECT_EQ(seenId, thread.GetThreadId());
    EXPECT_EQ(thread.GetName(), "Content Download Thread");
    EXPECT_STREQ(systemName, "Content Downloa");
    EXPECT_EQ(VelThread::GetCurrent(), nullptr);  // the test's own thread was never adopted
}

TEST(VelThread, RunsARunnable) {
    struct Counter : VelRunnable {
        int runs = 0;
        void Run() override { ++runs; }
    } counter;
    {
        VelThread thread(&counter, "DownloadThread", VelThread::kKindWorker);
        thread.Start();
    }  // the destructor joins
    EXPECT_EQ(counter.runs, 1);
}

TEST(VelThread, DestroyingItselfDoesNotWaitForItself) {
    std::promise<bool> done;
    auto* thread = new VelThread*;
    VelEvent ready(true);
    *thread = new VelThread(
        [&, thread] {
            ready.Wait();
            delete *thread;  // joins itself: must detach, not hang for 10 s
            delete thread;
            done.set_value(VelThread::GetCurrent() == nullptr);
        },
        "self", VelThread::kKindWorker);
    (*thread)->Start();
    ready.Set();
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(future.get());
}

TEST(VelThread, AdoptionMakesTheCallerCurrent) {
    std::thread([] {
        VelThread* adopted = VelThread::AdoptCurrentThread("UI", VelThread::kKindMain);
        ASSERT_NE(adopted, nullptr);
        EXPECT_EQ(VelThread::GetCurrent(), adopted);
        EXPECT_EQ(VelThread::GetMainThread(), adopted);
        EXPECT_TRUE(adopted->IsRunning());
        delete adopted;  // the main thread is never joined
        EXPECT_EQ(VelThread::GetCurrent(), nullptr);
        EXPECT_EQ(VelThread::GetMainThread(), nullptr);
    }).join();
}

TEST(VelThread, SeveralThreadsJoinAtOnce) {
    // One of them reaps the thread, the others wait for that; each returns once it has ended.
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        auto release = std::make_shared<std::atomic<bool>>(false);
        auto ended = std::make_shared<std::atomic<bool>>(false);
        auto thread = std::make_shared<VelThread>(
            [release, ended] {
                while (!release->load()) std::this_thread::yield();
                ended->store(true);
            },
            "joined", VelThread::kKindWorker);
        thread->Start();
        auto joining = std::make_shared<std::atomic<int>>(0);
        auto sawTheEnd = std::make_shared<std::atomic<int>>(0);
        std::vector<TestSupport::BoundedThread> joiners;
        for (int i = 0; i < 4; ++i)
            joiners.emplace_back([thread, joining, ended, sawTheEnd] {
                joining->fetch_add(1);
                thread->Join();
                if (ended->load()) sawTheEnd->fetch_add(1);
            });
        ASSERT_TRUE(TestSupport::WaitFor([&] { return joining->load() == 4; }));
        release->store(true);
        for (auto& joiner : joiners) ASSERT_TRUE(joiner.Join()) << "a Join never returned";
        EXPECT_EQ(sawTheEnd->load(), 4);
        EXPECT_FALSE(thread->IsRunning());
    }
}

using VelThreadDeathTest = ::testing::Test;

TEST_F(VelThreadDeathTest, FatalCases) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto fatal = ::testing::ExitedWithCode(Vel::kFatalExitCode);
    // A second adoption reports both names.
    EXPECT_EXIT(
        {
            Vel::InstallCrashSignalHandlers();
            VelThread::AdoptCurrentThread("first", 0);
            VelThread::AdoptCurrentThread("second", 0);
        },
        fatal, "CrashInfo=first second");
    // A thread that never started cannot end: its destruction fails after the join limit.
    EXPECT_EXIT(
        {
            VelThread::SetJoinLimitForTesting(std::chrono::milliseconds(50));
            VelThread never([] {}, "never", VelThread::kKindWorker);
        },
        fatal, "Application has crashed. ExceptionAddr: [0-9]+\nCrashInfo=\r\n");
    // An exception escaping a body does not cross the thread's entry point.
    EXPECT_EXIT(
        {
            Vel::InstallCrashSignalHandlers();
            VelThread t([] { throw Vel::Exception("lost"); }, "thrower", VelThread::kKindWorker);
            t.Start();
            t.Join();
        },
        fatal, "CrashInfo=lost");
}

TEST_F(VelThreadDeathTest, ACreationFailureThrows) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            pthread_attr_t attr;
            ::pthread_attr_init(&attr);
            ::pthread_attr_setstacksize(&attr, std::size_t{1} << 46);  // no stack can be mapped
            ::pthread_setattr_default_np(&attr);
            try {
                VelThread t([] {}, "huge", VelThread::kKindWorker);
                t.Start();
            } catch (const Vel::SystemException& e) {
                std::_Exit(e.GetErrorCode() != 0 ? 3 : 4);
            }
            std::_Exit(5);
        },
        ::testing::ExitedWithCode(3), "");
}

}  // namespace

// The main thread is adopted without a name; renaming it would blank the process's own name.
TEST(VelThread, AdoptionWithoutANameKeepsTheSystemName) {
    std::thread t([] {
        ::pthread_setname_np(::pthread_self(), "keepme");
        std::unique_ptr<VelThread> adopted(VelThread::AdoptCurrentThread("", VelThread::kKindWorker));
        char name[16] = {};
        ::pthread_getname_np(::pthread_self(), name, sizeof name);
        EXPECT_STREQ(name, "keepme");
    });
    t.join();
}
