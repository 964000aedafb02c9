// ctest: threading
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/core/AppEnvironment.h"
#include "foundation/runtime/AppServices.h"
#include "foundation/core/Exception.h"
#include "foundation/core/FatalError.h"
#include "foundation/threads/ManualDispatcher.h"
#include "tests/support/WaitFor.h"

using namespace Vel;
using TestSupport::WaitFor;

namespace {

TEST(ManualDispatcher, DropsPostsBeyondTheLimit) {
    ManualDispatcher dispatcher("", 512, true);
    int runs = 0;
    for (int i = 0; i < 513; ++i) dispatcher.Post([&] { ++runs; });
    EXPECT_EQ(dispatcher.GetPendingCount(), 512);
    EXPECT_TRUE(dispatcher.Dispatch());
    EXPECT_EQ(runs, 512);
    EXPECT_EQ(dispatcher.GetPendingCount(), 0);
    EXPECT_FALSE(dispatcher.Dispatch());
}

TEST(ManualDispatcher, PostsFromSeveralThreadsRunInPostingOrder) {
    ManualDispatcher dispatcher("", 0, true);
    std::mutex postLock;
    int ticket = 0;
    std::vector<int> ran;
    std::vector<std::thread> posters;
    for (int t = 0; t < 4; ++t)
        posters.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                std::lock_guard lock(postLock);
                int mine = ticket++;
                dispatcher.Post([&ran, mine] { ran.push_back(mine); });
            }
        });
    for (auto& p : posters) p.join();
    dispatcher.Dispatch();
    ASSERT_EQ(ran.size(), 400u);
    for (int i = 0; i < 400; ++i) ASSERT_EQ(ran[i], i);
}

TEST(ManualDispatcher, PostAndWaitReturnsAfterTheNextDispatch) {
    ManualDispatcher dispatcher("", 512, true);
    std::atomic<bool> returned{false};
    bool ran = false;
    std::thread poster([&] {
        dispatcher.PostAndWait([&] { ran = true; });
        returned = true;
    });
    ASSERT_TRUE(WaitFor([&] { return dispatcher.GetPendingCount() == 1; }));
    EXPECT_FALSE(returned);
    dispatcher.Dispatch();
    poster.join();
    EXPECT_TRUE(ran);

    // The job's exception reaches the waiter, not the dispatching thread.
    std::atomic<bool> caught{false};
    std::thread thrower([&] {
        try {
            dispatcher.PostAndWait([] { throw Vel::Exception("x"); });
        } catch (const Vel::Exception&) {
            caught = true;
        }
    });
    ASSERT_TRUE(WaitFor([&] { return dispatcher.GetPendingCount() == 1; }));
    EXPECT_TRUE(dispatcher.Dispatch());
    thrower.join();
    EXPECT_TRUE(caught);
}

TEST(ManualDispatcher, PostAndWaitOnTheBoundThreadRunsInline) {
    ManualDispatcher dispatcher("", 0, true);
    bool inlineRun = false;
    VelThread owner(
        [&] {
            EXPECT_EQ(dispatcher.BindToCurrentThread(), VelThread::GetCurrent());
            EXPECT_TRUE(dispatcher.OwnsThread(VelThread::GetCurrent()));
            dispatcher.PostAndWait([&] { inlineRun = true; });
        },
        "UI", VelThread::kKindWorker);
    owner.Start();
    owner.Join();
    EXPECT_TRUE(inlineRun);
    EXPECT_FALSE(dispatcher.OwnsThread(nullptr));
}

TEST(ManualDispatcher, AVelExceptionIsDroppedAndTheBatchGoesOn) {
    ManualDispatcher dispatcher("", 8, true);
    int runs = 0;
    dispatcher.Post([] { throw Vel::Exception("dropped"); });
    dispatcher.Post([&] { ++runs; });
    dispatcher.Post([] { throw Vel::FileException("a.pak", false); });
    std::atomic<bool> ranBeforeReturn{false};
    bool ran = false;
    std::thread waiter([&] {
        dispatcher.PostAndWait([&] { ran = true; });
        ranBeforeReturn = ran;
    });
    ASSERT_TRUE(WaitFor([&] { return dispatcher.GetPendingCount() == 4; }));
    EXPECT_TRUE(dispatcher.Dispatch());
    waiter.join();
    EXPECT_EQ(runs, 1);
    EXPECT_TRUE(ranBeforeReturn);
    EXPECT_EQ(dispatcher.GetPendingCount(), 0);
}

// Without catching, a job's exception (of any kind) is the caller's; the jobs taken with it
// are neither lost nor reported as run: they run at the next Dispatch, in order.
TEST(ManualDispatcher, WithoutCatchingTheRestOfTheBatchWaitsForTheNextDispatch) {
    const std::function<void()> throwers[] = {
        [] { throw Vel::Exception("escapes"); },
        [] { throw std::runtime_error("escapes too"); },
    };
    for (const auto& thrower : throwers) {
        ManualDispatcher dispatcher("", 8, false);
        std::vector<int> order;
        dispatcher.Post(thrower);
        std::atomic<bool> firstRan{false};
        std::atomic<bool> ranBeforeReturn{false};
        std::thread waiter([&] {
            dispatcher.PostAndWait([&] {
                order.push_back(1);
                firstRan = true;
            });
            ranBeforeReturn = firstRan.load();
        });
        ASSERT_TRUE(WaitFor([&] { return dispatcher.GetPendingCount() == 2; }));
        dispatcher.Post([&] { order.push_back(2); });
        EXPECT_ANY_THROW(dispatcher.Dispatch());
        EXPECT_TRUE(order.empty());
        EXPECT_EQ(dispatcher.GetPendingCount(), 2);
        dispatcher.Post([&] { order.push_back(3); });  // posted after them, runs after them
        EXPECT_TRUE(dispatcher.Dispatch());
        waiter.join();
        EXPECT_TRUE(ranBeforeReturn);
        EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
        EXPECT_FALSE(dispatcher.Dispatch());
    }
}

TEST(ManualDispatcherDeathTest, AnotherExceptionFromAJobIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallCrashSignalHandlers();
            ManualDispatcher dispatcher("", 8, true);
            dispatcher.Post([] { throw std::runtime_error("not ours"); });
            dispatcher.Dispatch();
        },
        "CrashInfo=not ours");
}

// A waiter whose job is dropped unrun returns at once, and is told so.
TEST(ManualDispatcher, WaitersOfDroppedJobsAreToldTheyDidNotRun) {
    ManualDispatcher full("", 1, true);
    full.Post([] {});
    bool ran = false;
    EXPECT_THROW(full.PostAndWait([&] { ran = true; }), Vel::AbortException);

    auto dispatcher = std::make_shared<ManualDispatcher>("", 8, true);
    std::atomic<bool> aborted{false};
    std::thread waiter([&, d = dispatcher.get()] {
        try {
            d->PostAndWait([&] { ran = true; });
        } catch (const Vel::AbortException&) {
            aborted = true;
        }
    });
    ASSERT_TRUE(WaitFor([&] { return dispatcher->GetPendingCount() == 1; }));
    dispatcher.reset();
    waiter.join();
    EXPECT_TRUE(aborted);
    EXPECT_FALSE(ran);
}

TEST(ManualDispatcher, TimedJobsRunWhenDue) {
    FakeClock clock;
    ManualDispatcher dispatcher("", 0, false, clock);
    std::vector<int> order;
    dispatcher.PostAfter([&] { order.push_back(2); }, VelDuration(2, VelTimePrecision::Second));
    dispatcher.PostAfter([] { throw std::runtime_error("always caught"); }, VelDuration(1, VelTimePrecision::Second));
    dispatcher.PostAfter([&] { order.push_back(1); }, VelDuration(1, VelTimePrecision::Second));
    EXPECT_FALSE(dispatcher.Dispatch());  // not yet due
    clock.Advance(std::chrono::seconds(1));
    EXPECT_TRUE(dispatcher.Dispatch());
    EXPECT_EQ(order, (std::vector<int>{1}));
    clock.Advance(std::chrono::seconds(1));
    EXPECT_TRUE(dispatcher.Dispatch());
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
}

TEST(ManualDispatcher, CreateReadsTheCatchParameter) {
    GetParameterStore().Set("system.dispatcher.catch_exception", ParameterType::Bool, false);
    auto escaping = ManualDispatcher::Create("", 512);
    GetParameterStore().Set("system.dispatcher.catch_exception", ParameterType::Bool, true);
    escaping->Post([] { throw Vel::Exception("x"); });
    EXPECT_THROW(escaping->Dispatch(), Vel::Exception);

    auto catching = ManualDispatcher::Create("", 512);
    catching->Post([] { throw Vel::Exception("x"); });
    EXPECT_NO_THROW(catching->Dispatch());
}

TEST(AppServices, CreatePumpDestroy) {
    EXPECT_EQ(GetAppThreadPool(), nullptr);
    EXPECT_FALSE(PumpAppDispatcher());
    CreateAppServices();
    ASSERT_NE(GetAppThreadPool(), nullptr);
    bool ran = false;
    GetAppThreadPool()->PostAndWait([&] { GetAppDispatcher()->Post([&] { ran = true; }); });
    EXPECT_TRUE(PumpAppDispatcher());
    EXPECT_TRUE(ran);
    DestroyAppServices();
    EXPECT_EQ(GetAppThreadPool(), nullptr);
    EXPECT_EQ(GetAppDispatcher(), nullptr);
}

}  // namespace
