#include "delivery/UpdateWorkerBackend.h"

#include "delivery/MoveContent.h"
#include "delivery/ServiceEndpoints.h"
#include "delivery/UpdateRun.h"

namespace Vel {

void UpdateWorkerBackend::StartUpdate(std::shared_ptr<ThreadJob> job) { UpdateManager::StartUpdate(std::move(job)); }

bool UpdateWorkerBackend::AbortUpdate() { return UpdateManager::AbortUpdate(); }

void UpdateWorkerBackend::StartMoveContent(std::shared_ptr<ThreadJob> job, const std::string& destination) {
    UpdateManager::StartMoveContent(std::move(job), destination);
}

std::shared_ptr<ThreadJob> UpdateWorkerBackend::StartPlanetDataDownload(int, const ThreadJobBinder&) { return nullptr; }

void UpdateWorkerBackend::CleanupPaks(std::shared_ptr<ThreadJob> job) { job->Complete(); }

void UpdateWorkerBackend::RepairPak(std::shared_ptr<ThreadJob> job, const std::string&) { job->Complete(); }

std::string UpdateWorkerBackend::GetLauncherWebHost() { return Vel::GetLauncherWebHost(); }

}  // namespace Vel
