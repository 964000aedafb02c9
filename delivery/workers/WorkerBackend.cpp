#include "delivery/workers/WorkerBackend.h"

#include "delivery/net/ServiceEndpoints.h"

#include <atomic>

namespace Vel {
namespace {

class IdleBackend final : public IWorkerBackend {
public:
    void StartUpdate(std::shared_ptr<ThreadJob> job) override { job->Complete(); }
    bool AbortUpdate() override { return true; }
    void StartMoveContent(std::shared_ptr<ThreadJob> job, const std::string&) override { job->Complete(); }
    std::shared_ptr<ThreadJob> StartPlanetDataDownload(int, const ThreadJobBinder&) override { return nullptr; }
    void CleanupPaks(std::shared_ptr<ThreadJob> job) override { job->Complete(); }
    void RepairPak(std::shared_ptr<ThreadJob> job, const std::string&) override { job->Complete(); }
    std::string GetLauncherWebHost() override { return Vel::GetLauncherWebHost(); }
};

IdleBackend g_idle;
std::atomic<IWorkerBackend*> g_backend{nullptr};

}  // namespace

IWorkerBackend& GetWorkerBackend() {
    IWorkerBackend* backend = g_backend.load();
    return backend != nullptr ? *backend : g_idle;
}

void SetWorkerBackend(IWorkerBackend* backend) { g_backend.store(backend); }

}  // namespace Vel
