#include "delivery/update/RouterConnector.h"

#include <algorithm>
#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/system_error.hpp>
#include <map>
#include <optional>
#include <vector>

#include "delivery/update/AppRequestScheduler.h"
#include "delivery/net/ServiceEndpoints.h"
#include "foundation/core/Exception.h"
#include "foundation/core/FatalError.h"
#include "foundation/threads/Mutex.h"
#include "foundation/runtime/NetAddress.h"
#include "foundation/data/RandomGenerator.h"
#include "foundation/threads/Thread.h"

namespace Vel::RouterConnector {
namespace {

namespace asio = boost::asio;
using Udp = asio::ip::udp;

constexpr std::size_t kReceiveBufferSize = 1500;
constexpr int kSocketBufferSize = 65536;
constexpr auto kRouterListLifetime = std::chrono::minutes(30);

// One request: called back once, re-sent to the next router on every time-out.
class RequestVersionContext : public std::enable_shared_from_this<RequestVersionContext> {
public:
    explicit RequestVersionContext(VersionCallback callback) : callback_(std::move(callback)) {}

    void Complete(const VersionInfo& info) {
        done = true;
        if (callback_) callback_(info);
    }
    void Fail() {
        if (callback_) callback_(VersionInfo::Failed());
    }

    std::uint16_t sendCount = 0;
    bool done = false;
    NetAddress endpoint;

private:
    VersionCallback callback_;
};

using ContextPtr = std::shared_ptr<RequestVersionContext>;

// Process-wide connection state. The socket members are guarded by socketMutex; the request
// bookkeeping below them is touched only by scheduler jobs.
struct Connection {
    VelMutex socketMutex{"Router socket"};
    std::unique_ptr<asio::io_context> io;
    std::unique_ptr<Udp::socket> socket;
    std::unique_ptr<VelThread> net2;
    std::array<std::uint8_t, kReceiveBufferSize> receiveBuffer{};
    Udp::endpoint sender;

    Options options;
    std::map<NetAddress, ContextPtr> pending;
    std::vector<NetAddress> routers;
    std::uint16_t routerIndex = 0;
    std::optional<MonoTime> lastRefresh;

    VelMutex startMutex;  // Start and Stop against each other
};

Connection& State() {
    static Connection connection;
    return connection;
}

IRequestScheduler& Scheduler() {
    Connection& c = State();
    return c.options.scheduler != nullptr ? *c.options.scheduler : AppRequestScheduler();
}

IClock& ClockOf() {
    Connection& c = State();
    return c.options.clock != nullptr ? *c.options.clock : DefaultClock();
}

RandomGenerator& RandomOf() {
    Connection& c = State();
    return c.options.random != nullptr ? *c.options.random : GetRandomGenerator();
}

void SendVersionRequest(const ContextPtr& context);

void OnRouterDatagram(const boost::system::error_code& error, std::size_t length);

void ArmRouterReceive() {
    Connection& c = State();
    VelMutex::ScopedLock lock(c.socketMutex);
    if (!c.socket) return;
    c.socket->async_receive_from(asio::buffer(c.receiveBuffer), c.sender,
                                 [](const boost::system::error_code& error, std::size_t length) {
                                     OnRouterDatagram(error, length);
                                 });
}

void DispatchRouterReply(NetAddress sender, const std::shared_ptr<VelMemoryStream>& payload) {
    Connection& c = State();
    auto it = c.pending.find(sender);
    if (it == c.pending.end()) return;
    const std::optional<VersionInfo> reply = ReadVersionReply(*payload);
    if (!reply) return;
    // The entry stays until the send's time-out; a duplicated datagram finds the request done.
    if (it->second->done) return;
    it->second->Complete(*reply);
}

// On "Net2".
void OnRouterDatagram(const boost::system::error_code& error, std::size_t length) {
    if (error == asio::error::operation_aborted) return;
    Connection& c = State();
    if (error) {
        VelThread::Sleep(100);
    } else if (length > kRouterHeaderSize) {
        // Linux cuts an oversized datagram to the buffer; the bytes we use are at the front.
        auto payload = std::make_shared<VelMemoryStream>(128);
        if (AcceptRouterDatagram(c.receiveBuffer.data(), length, *payload)) {
            const NetAddress from(c.sender.address().to_v4().to_uint(), c.sender.port());
            Scheduler().Post([from, payload] { DispatchRouterReply(from, payload); });
        }
    }
    ArmRouterReceive();
}

void RouterNetThreadMain() {
    try {
        ArmRouterReceive();
        State().io->run();
    } catch (const std::exception& e) {
        FatalError(e.what());
    } catch (...) {
        FatalError("Net2: unknown exception");
    }
}

void SendRouterDatagram(const NetAddress& to, const VelMemoryStream& packet) {
    Connection& c = State();
    VelMutex::ScopedLock lock(c.socketMutex);
    if (!c.socket) return;
    const Udp::endpoint endpoint(asio::ip::address_v4(to.GetAddress()), to.GetPort());
    boost::system::error_code ignored;  // the time-out covers a failed send
    c.socket->send_to(asio::buffer(packet.GetData(), packet.GetSize()), endpoint, 0, ignored);
}

void BuildVersionRequestPacket(const NetAddress& endpoint) {
    const VelMemoryStream packet = BuildVersionRequestDatagram(RandomOf());
    SendRouterDatagram(endpoint, packet);
}

NetAddress NextRouterEndpoint() {
    Connection& c = State();
    const MonoTime now = ClockOf().Now();
    if (!c.lastRefresh || now - *c.lastRefresh > kRouterListLifetime) {
        c.lastRefresh = now;
        const std::string host = c.options.host.empty() ? GetLoginHost() : c.options.host;
        std::vector<NetAddress> routers;
        ResolveHost(host, routers);
        for (auto& router : routers) router.SetPort(c.options.port);
        RandomGenerator& random = RandomOf();
        for (std::size_t k = 1; k < routers.size(); ++k) {
            const std::size_t j = random.NextUInt32() % (k + 1);
            std::swap(routers[k], routers[j]);
        }
        c.routers = std::move(routers);
        c.routerIndex = 0;
    }
    if (c.routers.empty()) {
        c.lastRefresh.reset();
        return {};
    }
    if (c.routerIndex >= c.routers.size()) c.routerIndex = 0;
    const NetAddress endpoint = c.routers[c.routerIndex];
    c.routerIndex = static_cast<std::uint16_t>((c.routerIndex + 1) % c.routers.size());
    return endpoint;
}

void OnVersionRequestTimeout(const ContextPtr& context) {
    Connection& c = State();
    auto it = c.pending.find(context->endpoint);
    // A later request to the same router may have taken the slot; leave its entry alone.
    if (it != c.pending.end() && it->second == context) c.pending.erase(it);
    if (context->done) return;
    ++context->sendCount;
    if (context->sendCount < kMaxSends) {
        SendVersionRequest(context);
    } else {
        context->Fail();
    }
}

void SendVersionRequest(const ContextPtr& context) {
    Connection& c = State();
    const NetAddress endpoint = NextRouterEndpoint();
    if (!endpoint.IsValid()) {
        context->Fail();
        return;
    }
    context->endpoint = endpoint;
    c.pending[endpoint] = context;
    BuildVersionRequestPacket(endpoint);
    Scheduler().PostAfter([context] { OnVersionRequestTimeout(context); }, c.options.sendTimeout);
}

void ThrowIf(const boost::system::error_code& error, const char* what) {
    if (error) throw boost::system::system_error(error, what);
}

}  // namespace

void Configure(const Options& options) {
    Connection& c = State();
    c.options = options;
    c.pending.clear();
    c.routers.clear();
    c.routerIndex = 0;
    c.lastRefresh.reset();
}

void Start() {
    Connection& c = State();
    VelMutex::ScopedLock startLock(c.startMutex);
    if (c.io) return;
    auto io = std::make_unique<asio::io_context>();
    {
        VelMutex::ScopedLock lock(c.socketMutex);
        auto socket = std::make_unique<Udp::socket>(*io, Udp::endpoint(Udp::v4(), 0));
        boost::system::error_code error;
        socket->set_option(asio::socket_base::reuse_address(true), error);
        ThrowIf(error, "set_option");
        socket->set_option(asio::socket_base::send_buffer_size(kSocketBufferSize), error);
        ThrowIf(error, "set_option");
        socket->set_option(asio::socket_base::receive_buffer_size(kSocketBufferSize), error);
        ThrowIf(error, "set_option");
        socket->non_blocking(true, error);
        ThrowIf(error, "set_option");
        c.socket = std::move(socket);
    }
    c.io = std::move(io);
    c.net2 = std::make_unique<VelThread>(RouterNetThreadMain, "Net2", VelThread::kKindNetwork);
    c.net2->Start();
}

void Stop() {
    Connection& c = State();
    VelMutex::ScopedLock startLock(c.startMutex);
    if (!c.io) return;
    c.io->stop();
    c.net2.reset();  // joins
    boost::system::error_code error;
    {
        VelMutex::ScopedLock lock(c.socketMutex);
        if (c.socket) c.socket->close(error);
        c.socket.reset();
    }
    c.io.reset();
    ThrowIf(error, "close");
}

bool IsStarted() {
    Connection& c = State();
    VelMutex::ScopedLock startLock(c.startMutex);
    return c.io != nullptr;
}

void RequestVersion(VersionCallback callback) {
    auto context = std::make_shared<RequestVersionContext>(std::move(callback));
    Scheduler().Post([context] { SendVersionRequest(context); });
}

}  // namespace Vel::RouterConnector
