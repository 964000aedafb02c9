#include "foundation/AppServices.h"

#include <mutex>

namespace Vel {
namespace {

std::mutex g_servicesMutex;
std::unique_ptr<VelThreadPool> g_pool;
std::shared_ptr<ManualDispatcher> g_dispatcher;

}  // namespace

void CreateAppServices() {
    auto pool = std::make_unique<VelThreadPool>(std::string(), 1, VelThread::kKindWorker);
    auto dispatcher = ManualDispatcher::Create(std::string(), kAppDispatcherMaxPending);
    std::lock_guard lock(g_servicesMutex);
    g_pool = std::move(pool);
    g_dispatcher = std::move(dispatcher);
}

void DestroyAppServices() {
    std::shared_ptr<ManualDispatcher> dispatcher;
    std::unique_ptr<VelThreadPool> pool;
    {
        std::lock_guard lock(g_servicesMutex);
        dispatcher = std::move(g_dispatcher);
        pool = std::move(g_pool);
    }
    dispatcher.reset();
    pool.reset();  // outside the lock: the pool's last jobs may still ask for the services
}

VelThreadPool* GetAppThreadPool() {
    std::lock_guard lock(g_servicesMutex);
    return g_pool.get();
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
