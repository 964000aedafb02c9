#pragma once
// A request scheduler for tests: jobs run only when the test pumps them, on the test's thread;
// delayed jobs fall due on a FakeClock the test advances. Post may be called from any thread
// (the router's "Net2" posts replies); WaitForJob waits, bounded, for such a post.

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

#include "delivery/update/RouterConnector.h"
#include "foundation/time/Clock.h"

namespace Vel::Test {

class ManualRequestScheduler final : public RouterConnector::IRequestScheduler {
public:
    explicit ManualRequestScheduler(FakeClock& clock) : clock_(clock) {}

    void Post(std::function<void()> job) override;
    void PostAfter(std::function<void()> job, MonoDuration delay) override;

    // Runs queued jobs and the delayed jobs now due, until none is left; returns how many ran.
    int RunReady();
    // Advances the clock by d, stopping at every due time on the way to run what is due.
    int Advance(MonoDuration d);
    // Waits up to `limit` (real time) until a job is queued; true when one is.
    bool WaitForJob(std::chrono::milliseconds limit = std::chrono::seconds(20));
    std::size_t DelayedCount() const;

private:
    FakeClock& clock_;
    mutable std::mutex mutex_;
    std::condition_variable posted_;
    std::deque<std::function<void()>> queue_;
    std::multimap<MonoTime, std::function<void()>> delayed_;
};

}  // namespace Vel::Test
