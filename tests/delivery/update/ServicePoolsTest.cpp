// ctest: threading
// The two process-wide pools (the application pool, the update manager's pool) are handed out
// while other threads may stop and replace them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "delivery/update/UpdateManager.h"
#include "foundation/runtime/AppServices.h"
#include "foundation/time/Clock.h"
#include "foundation/core/Exception.h"
#include "foundation/threads/ThreadPool.h"
#include "tests/support/ManualRequestScheduler.h"
#include "tests/support/WaitFor.h"

using namespace Vel;

namespace {

struct AppPool {
    static void Start() { CreateAppServices(); }
    static void Stop() { DestroyAppServices(); }
    static auto Get() { return GetAppThreadPool(); }
};

struct UpdatePool {
    static void Start() {
        static FakeClock clock;
        static Test::ManualRequestScheduler scheduler(clock);  // the periodic check never runs
        UpdateManager::Init(&scheduler);
    }
    static void Stop() { UpdateManager::Shutdown(); }
    static auto Get() { return UpdateManager::GetUpdateThreadPool(); }
};

template <class Registry>
class ServicePoolTest : public ::testing::Test {};
using Registries = ::testing::Types<AppPool, UpdatePool>;
TYPED_TEST_SUITE(ServicePoolTest, Registries);

// What a caller got stays usable across the shutdown: it only drops posts from then on.
TYPED_TEST(ServicePoolTest, AHeldPoolOutlivesItsShutdown) {
    TypeParam::Start();
    auto pool = TypeParam::Get();
    ASSERT_NE(pool, nullptr);
    TypeParam::Stop();
    EXPECT_EQ(TypeParam::Get(), nullptr);
    bool ran = false;
    pool->Post([&] { ran = true; });
    EXPECT_THROW(pool->PostAndWait([&] { ran = true; }), AbortException);
    EXPECT_FALSE(ran);
}

// Posters (and jobs that post again through the registry) race a thread that keeps shutting
// the pool down and making a new one; a waiter learns whether its job ran.
TYPED_TEST(ServicePoolTest, PostsRaceShutdownAndInit) {
    TypeParam::Start();
    std::atomic<bool> done{false};
    std::atomic<int> waits{0}, ran{0}, aborted{0}, reposts{0};
    std::vector<std::thread> posters;
    for (int t = 0; t < 3; ++t)
        posters.emplace_back([&, t] {
            while (!done) {
                auto pool = TypeParam::Get();
                if (!pool) continue;
                if (t == 0) {
                    ++waits;
                    try {
                        pool->PostAndWait([&] { ++ran; });
                    } catch (const AbortException&) {
                        ++aborted;
                    }
                } else {
                    pool->Post([&] {
                        (void)UpdateManager::IsAbortRequested();  // takes the update-manager lock
                        if (auto again = TypeParam::Get()) again->Post([&] { ++reposts; });
                    });
                }
            }
        });
    bool progressed = true;
    for (int round = 0; round < 40 && progressed; ++round) {
        progressed = TestSupport::WaitFor([&] { return waits.load() > round; });
        TypeParam::Stop();
        TypeParam::Start();
    }
    done = true;
    for (auto& p : posters) p.join();
    TypeParam::Stop();
    EXPECT_TRUE(progressed);
    EXPECT_EQ(ran + aborted, waits.load());
}

}  // namespace
