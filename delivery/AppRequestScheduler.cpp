#include "delivery/AppRequestScheduler.h"

#include <atomic>

#include "foundation/FatalError.h"

namespace Vel::RouterConnector {
namespace {
std::atomic<IRequestScheduler*> g_scheduler{nullptr};
}

void SetAppRequestScheduler(IRequestScheduler* scheduler) { g_scheduler = scheduler; }

IRequestScheduler& AppRequestScheduler() {
    IRequestScheduler* scheduler = g_scheduler.load();
    if (scheduler == nullptr) FatalError("router request before the application scheduler was installed");
    return *scheduler;
}

}  // namespace Vel::RouterConnector
