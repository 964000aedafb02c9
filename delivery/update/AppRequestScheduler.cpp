#include "delivery/update/AppRequestScheduler.h"

#include <atomic>

#include "foundation/runtime/AppServices.h"
#include "foundation/core/Duration.h"

namespace Vel::RouterConnector {
namespace {

// The application thread pool as a request scheduler; delayed jobs go through the pool's
// PostAfter (the timed-job service, which posts them back to the pool when due). Without a
// pool (before the start-up created it, after the shutdown released it) jobs are dropped.
class AppPoolScheduler final : public IRequestScheduler {
public:
    void Post(std::function<void()> job) override {
        if (auto pool = GetAppThreadPool()) pool->Post(std::move(job));
    }
    void PostAfter(std::function<void()> job, MonoDuration delay) override {
        if (auto pool = GetAppThreadPool()) pool->PostAfter(std::move(job), VelDuration::FromChrono(delay));
    }
};

AppPoolScheduler g_appPool;
std::atomic<IRequestScheduler*> g_scheduler{nullptr};

}  // namespace

void SetAppRequestScheduler(IRequestScheduler* scheduler) { g_scheduler = scheduler; }

IRequestScheduler& AppRequestScheduler() {
    IRequestScheduler* scheduler = g_scheduler.load();
    return scheduler != nullptr ? *scheduler : g_appPool;
}

}  // namespace Vel::RouterConnector
