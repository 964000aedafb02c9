// ctest: threading
#include <gtest/gtest.h>

#include <map>
#include <set>

#include <condition_variable>
#include <mutex>
#include <optional>

#include "delivery/update/RouterConnector.h"
#include "foundation/runtime/AppServices.h"
#include "foundation/threads/TimedJobs.h"
#include "foundation/runtime/NetAddress.h"
#include "foundation/data/RandomGenerator.h"
#include "tests/support/ManualRequestScheduler.h"
#include "tests/support/UdpPeer.h"

using namespace Vel;
using namespace Vel::RouterConnector;
using Vel::Test::UdpPeer;

namespace {

constexpr std::uint32_t Loopback(unsigned last) { return (127u << 24) | last; }

class ScriptedResolver final : public IHostResolver {
public:
    std::map<std::string, std::vector<NetAddress>> answers;
    int calls = 0;
    void Resolve(const std::string& host, std::vector<NetAddress>& out) override {
        ++calls;
        auto it = answers.find(host);
        if (it != answers.end()) out.insert(out.end(), it->second.begin(), it->second.end());
    }
};

std::vector<std::uint8_t> ReplyTo(std::vector<std::uint8_t> request, const std::string& tag, std::uint32_t major,
                                  std::uint8_t maintenance) {
    ScrambleRouterDatagram(request.data(), request.size());
    std::vector<std::uint8_t> reply(request.begin(), request.begin() + kRouterHeaderSize);
    reply.insert(reply.end(), tag.begin(), tag.end());
    for (std::uint32_t part : {major, 2u, 3u, 4u})
        for (int i = 0; i < 4; ++i) reply.push_back(static_cast<std::uint8_t>(part >> (8 * i)));
    reply.push_back(maintenance);
    ScrambleRouterDatagram(reply.data(), reply.size());
    return reply;
}

class RouterConnectorTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetHostResolver(&resolver_);
        Options options;
        options.scheduler = &scheduler_;
        options.clock = &clock_;
        options.random = &random_;
        options.host = "routers";
        port_ = first_.Local().GetPort();
        options.port = port_;
        Configure(options);
        Start();
    }
    void TearDown() override {
        Stop();
        Configure(Options{});
        SetHostResolver(nullptr);
    }

    void Request() {
        RequestVersion([this](const VersionInfo& info) { results_.push_back(info); });
    }

    FakeClock clock_;
    Vel::Test::ManualRequestScheduler scheduler_{clock_};
    RandomGenerator random_{2026};
    ScriptedResolver resolver_;
    UdpPeer first_{Loopback(2), 0};
    std::uint16_t port_ = 0;
    std::vector<VersionInfo> results_;
};

}  // namespace

TEST_F(RouterConnectorTest, FiveSendsRotateOverSilentRoutersThenFail) {
    UdpPeer second(Loopback(3), port_);
    UdpPeer third(Loopback(4), port_);
    UdpPeer* peers[] = {&first_, &second, &third};
    resolver_.answers["routers"] = {{Loopback(4), 0}, {Loopback(2), 0}, {Loopback(3), 0}, {Loopback(2), 0}};

    Request();
    std::vector<std::uint32_t> order;
    auto collectOneSend = [&] {
        for (UdpPeer* peer : peers) {
            if (auto d = peer->Receive(0)) {
                EXPECT_EQ(d->bytes.size(), kVersionRequestSize);
                order.push_back(peer->Local().GetAddress());
                return;
            }
        }
        // The send is synchronous on loopback, but give the kernel a moment.
        for (UdpPeer* peer : peers)
            if (auto d = peer->Receive(1000)) {
                order.push_back(peer->Local().GetAddress());
                return;
            }
        ADD_FAILURE() << "no request arrived";
    };

    scheduler_.RunReady();
    collectOneSend();
    for (int send = 2; send <= 5; ++send) {
        scheduler_.Advance(std::chrono::milliseconds(1999));
        EXPECT_TRUE(results_.empty());
        scheduler_.Advance(std::chrono::milliseconds(1));
        collectOneSend();
    }
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(std::set<std::uint32_t>(order.begin(), order.begin() + 3).size(), 3u);  // three different routers
    EXPECT_EQ(order[3], order[0]);
    EXPECT_EQ(order[4], order[1]);

    scheduler_.Advance(std::chrono::milliseconds(1999));
    EXPECT_TRUE(results_.empty());
    scheduler_.Advance(std::chrono::milliseconds(1));  // 10 s after the request
    ASSERT_EQ(results_.size(), 1u);
    EXPECT_EQ(results_[0], VersionInfo::Failed());
    EXPECT_EQ(scheduler_.DelayedCount(), 0u);

    // The rotation continues across requests: the next request asks the third router in turn.
    const std::uint32_t thirdInTurn = order[2];
    Request();
    scheduler_.RunReady();
    order.clear();
    collectOneSend();
    ASSERT_EQ(order.size(), 1u);
    EXPECT_EQ(order[0], thirdInTurn);
    EXPECT_EQ(resolver_.calls, 1);
    scheduler_.Advance(std::chrono::seconds(10));
}

TEST_F(RouterConnectorTest, AnswerCallsBackOnceAndStrayRepliesAreDropped) {
    resolver_.answers["routers"] = {{Loopback(2), 0}};
    UdpPeer stranger(Loopback(5), 0);

    Request();
    scheduler_.RunReady();
    auto request = first_.Receive();
    ASSERT_TRUE(request);
    const NetAddress launcher = request->from;

    // From an endpoint with no pending request, and with another tag: nothing.
    stranger.SendTo(launcher, ReplyTo(request->bytes, "PSRV", 9, 0));
    first_.SendTo(launcher, ReplyTo(request->bytes, "XXXX", 9, 0));
    // The answer, then the same datagram again (UDP may duplicate it).
    const auto reply = ReplyTo(request->bytes, "PSRV", 15, 1);
    first_.SendTo(launcher, reply);
    first_.SendTo(launcher, reply);

    // Net2 hands over every well-formed datagram, the stranger's too; wait for all four.
    int dispatched = 0;
    while (dispatched < 4 && scheduler_.WaitForJob()) dispatched += scheduler_.RunReady();
    ASSERT_EQ(dispatched, 4);
    ASSERT_EQ(results_.size(), 1u);
    EXPECT_EQ(results_[0], (VersionInfo{VersionNumber(15, 2, 3, 4), 1, 0}));

    // The time-out only removes the entry: no resend, no second callback, and a late reply is dropped.
    scheduler_.Advance(std::chrono::seconds(2));
    EXPECT_FALSE(first_.Receive(50));
    first_.SendTo(launcher, reply);
    ASSERT_TRUE(scheduler_.WaitForJob());
    EXPECT_EQ(scheduler_.RunReady(), 1);
    EXPECT_EQ(results_.size(), 1u);
    EXPECT_EQ(scheduler_.DelayedCount(), 0u);
}

TEST_F(RouterConnectorTest, NoRouterFailsAtOnceAndResolvesAgain) {
    Request();
    EXPECT_TRUE(results_.empty());  // never inside RequestVersion
    scheduler_.RunReady();
    ASSERT_EQ(results_.size(), 1u);
    EXPECT_EQ(results_[0], VersionInfo::Failed());

    resolver_.answers["routers"] = {{Loopback(2), 0}};
    Request();
    scheduler_.RunReady();
    EXPECT_EQ(resolver_.calls, 2);
    EXPECT_TRUE(first_.Receive());
    scheduler_.Advance(std::chrono::seconds(10));
    EXPECT_EQ(results_.size(), 2u);
}

TEST_F(RouterConnectorTest, RouterListIsResolvedAgainAfterThirtyMinutes) {
    resolver_.answers["routers"] = {{Loopback(2), 0}};
    Request();
    scheduler_.Advance(std::chrono::seconds(10));
    clock_.Advance(std::chrono::minutes(29));
    Request();
    scheduler_.Advance(std::chrono::seconds(10));
    EXPECT_EQ(resolver_.calls, 1);
    clock_.Advance(std::chrono::minutes(31));
    Request();
    scheduler_.Advance(std::chrono::seconds(10));
    EXPECT_EQ(resolver_.calls, 2);
    EXPECT_EQ(results_.size(), 3u);
}

// The program's own path: request steps on the application thread pool, time-outs through the
// timed-job service, pumped here as the main window's timer would.
TEST(RouterConnectorOnAppPool, TimeOutsRunThroughTheTimedJobs) {
    FakeClock clock;
    GetTimedJobService().SetClock(clock);
    CreateAppServices();
    ScriptedResolver resolver;
    UdpPeer router(Loopback(2), 0);
    resolver.answers["routers"] = {{Loopback(2), 0}};
    SetHostResolver(&resolver);
    Options options;  // default scheduler: the application pool
    options.clock = &clock;
    options.host = "routers";
    options.port = router.Local().GetPort();
    Configure(options);
    Start();

    std::mutex mutex;
    std::condition_variable changed;
    std::optional<VersionInfo> result;
    bool onPoolThread = false;
    RequestVersion([&](const VersionInfo& info) {
        std::lock_guard lock(mutex);
        result = info;
        onPoolThread = GetAppThreadPool()->OwnsThread(VelThread::GetCurrent());
        changed.notify_all();
    });

    for (unsigned send = 1; send <= kMaxSends; ++send) {
        ASSERT_TRUE(router.Receive()) << send;  // the send ran on the pool
        // Let the pool schedule the send's time-out before the clock moves.
        for (int i = 0; i < 10000 && GetTimedJobService().GetCount() == 0; ++i) VelThread::Sleep(1);
        ASSERT_EQ(GetTimedJobService().GetCount(), 1u);
        clock.Advance(std::chrono::seconds(2));
        RunDueTimedJobs();
    }
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return result.has_value(); }));
        EXPECT_EQ(*result, VersionInfo::Failed());
        EXPECT_TRUE(onPoolThread);
    }

    Stop();
    Configure(Options{});
    SetHostResolver(nullptr);
    DestroyAppServices();
    GetTimedJobService().SetClock(DefaultClock());
}
