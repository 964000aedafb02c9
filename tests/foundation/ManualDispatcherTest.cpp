// ctest: threading
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "foundation/AppEnvironment.h"
#include "foundation/AppServices.h"
#include "foundation/Exception.h"
#include "foundation/ManualDispatcher.h"
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

TEST(ManualDispatcher, ExceptionsCaughtOrEscapingWithWaitersReleased) {
    ManualDispatcher catching("", 0, true);
    int runs = 0;
    catching.Post([] { throw Vel::Exception("dropped"); });
    catching.Post([&] { ++runs; });
    EXPECT_TRUE(catching.Dispatch());
    EXPECT_EQ(runs, 1);

    ManualDispatcher escaping("", 8, false);
    escaping.Post([] { throw Vel::Exception("escapes"); });
    std::atomic<bool> returned{false};
    std::atomic<bool> ran{false};
    std::thread waiter([&] {
        escaping.PostAndWait([&] { ran = true; });
        returned = true;
    });
    ASSERT_TRUE(WaitFor([&] { return escaping.GetPendingCount() == 2; }));
    EXPECT_THROW(escaping.Dispatch(), Vel::Exception);
    waiter.join();  // released although its job was discarded
    EXPECT_TRUE(returned);
    EXPECT_FALSE(ran);
    EXPECT_FALSE(escaping.Dispatch());
}

TEST(ManualDispatcher, DestructionReleasesWaiters) {
    auto dispatcher = std::make_shared<ManualDispatcher>("", 8, true);
    std::thread waiter([d = dispatcher.get()] { d->PostAndWait([] {}); });
    ASSERT_TRUE(WaitFor([&] { return dispatcher->GetPendingCount() == 1; }));
    dispatcher.reset();
    waiter.join();
    SUCCEED();
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
