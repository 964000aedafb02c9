#include "delivery/UpdateWorkerBackend.h"

#include "delivery/content/ContentDownload.h"
#include "delivery/update/MoveContent.h"
#include "delivery/net/ServiceEndpoints.h"
#include "delivery/update/UpdateRun.h"

namespace Vel {

void UpdateWorkerBackend::StartUpdate(std::shared_ptr<ThreadJob> job) { UpdateManager::StartUpdate(std::move(job)); }

bool UpdateWorkerBackend::AbortUpdate() { return UpdateManager::AbortUpdate(); }

void UpdateWorkerBackend::StartMoveContent(std::shared_ptr<ThreadJob> job, const std::string& destination) {
    UpdateManager::StartMoveContent(std::move(job), destination);
}

std::shared_ptr<ThreadJob> UpdateWorkerBackend::StartPlanetDataDownload(int mode, const ThreadJobBinder& bind) {
    return ContentDownload::StartPlanetDataDownload(mode, bind);
}

void UpdateWorkerBackend::CleanupPaks(std::shared_ptr<ThreadJob> job) { ContentDownload::CleanupPaks(job); }

void UpdateWorkerBackend::RepairPak(std::shared_ptr<ThreadJob> job, const std::string& archivePath) {
    ContentDownload::RepairPak(job, archivePath);
}

std::string UpdateWorkerBackend::GetLauncherWebHost() { return Vel::GetLauncherWebHost(); }

}  // namespace Vel
