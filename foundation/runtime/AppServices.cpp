#include "foundation/runtime/AppServices.h"

#include <mutex>

namespace Vel {
namespace {

std::mutex g_servicesMutex;
std::shared_ptr<VelThreadPool> g_pool;
std::shared_ptr<ManualDispatcher> g_dispatcher;

// Outside the services lock: the pool's last jobs may still ask for the services.
void StopAndRelease(std::shared_ptr<VelThreadPool> pool) {
    if (pool) pool->Stop();
}

}  // namespace

void CreateAppServices() {
    auto pool = std::make_shared<VelThreadPool>(std::string(), 1, VelThread::kKindWorker);
    auto dispatcher = ManualDispatcher::Create(std::string(), kAppDispatcherMaxPending);
    {
        std::lock_guard lock(g_servicesMutex);
        std::swap(g_pool, pool);
        std::swap(g_dispatcher, dispatcher);
    }
    dispatcher.reset();
    StopAndRelease(std::move(pool));  // services made before, if any
}

void DestroyAppServices() {
    std::shared_ptr<ManualDispatcher> dispatcher;
    std::shared_ptr<VelThreadPool> pool;
    {
        std::lock_guard lock(g_servicesMutex);
        dispatcher = std::move(g_dispatcher);
        pool = std::move(g_pool);
    }
    dispatcher.reset();
    StopAndRelease(std::move(pool));
}

std::shared_ptr<VelThreadPool> GetAppThreadPool() {
    std::lock_guard lock(g_servicesMutex);
    return g_pool;
}

std::shared_ptr<ManualDispatcher> GetAppDispatcher() {
    std::lock_guard lock(g_servicesMutex);
    return g_dispatcher;
}

bool PumpAppDispatcher() {
    auto dispatcher = GetAppDispatcher();
    return dispatcher ? dispatcher->Dispatch() : false;
}

}  // namespace Vel
