#pragma once
// Vel::RouterConnector: asks the game's router servers over UDP which client version is
// current and whether the servers are in maintenance (datagrams: delivery/update/RouterProtocol.h).
//
// Contract:
// - One connection per process. Start opens an IPv4 UDP socket bound to 0.0.0.0:0 and starts
//   the thread "Net2", which only receives and unscrambles datagrams; Stop ends "Net2" (joined)
//   and closes the socket. A second Start while started does nothing.
// - Every request step (send, time-out, reply dispatch, callback) runs on the request
//   scheduler, which runs one job at a time (the application thread pool in the program), so
//   the pending table and the router list need no lock of their own. The socket is used from
//   both threads under the socket lock.
// - RequestVersion returns at once; its callback runs exactly once on the scheduler: with the
//   first matching "PSRV" reply (a duplicate datagram does not call it again), or with
//   (0.0.0.0, 0, failed 1) when no router is known or 5 sends, each given 2 s, got no answer.
//   The callback is never run inside RequestVersion, so a caller may hold its own lock.
// - Routers: the site's "login" host resolved by ResolveHost (sorted, duplicates removed), every
//   address given the router port, shuffled, then used in turn across requests; resolved again
//   after 30 minutes, or at the next request when resolution gave nothing.
// - Configure (tests, start-up) must not race running requests.

#include <functional>
#include <memory>
#include <string>

#include "delivery/update/RouterProtocol.h"
#include "foundation/time/Clock.h"

class RandomGenerator;

namespace Vel::RouterConnector {

using VersionCallback = std::function<void(const VersionInfo&)>;

// Where the request steps run: one job at a time, in posting order.
class IRequestScheduler {
public:
    virtual ~IRequestScheduler() = default;
    // Any thread.
    virtual void Post(std::function<void()> job) = 0;
    // Runs the job on the scheduler once the delay has passed.
    virtual void PostAfter(std::function<void()> job, MonoDuration delay) = 0;
};

struct Options {
    IRequestScheduler* scheduler = nullptr;  // null: the application thread pool
    IClock* clock = nullptr;                 // null: the process's steady clock (router list age)
    RandomGenerator* random = nullptr;       // null: the process's generator
    std::string host;                        // empty: the site's login host
    std::uint16_t port = kRouterPort;
    MonoDuration sendTimeout = std::chrono::seconds(2);
};

inline constexpr unsigned kMaxSends = 5;

// Replaces the options and forgets the router list and the pending requests.
void Configure(const Options& options);

// Throws boost::system::system_error ("set_option") when a socket option cannot be set.
void Start();
// Throws boost::system::system_error ("close") when the socket cannot be closed.
void Stop();
bool IsStarted();

void RequestVersion(VersionCallback callback);

}  // namespace Vel::RouterConnector
