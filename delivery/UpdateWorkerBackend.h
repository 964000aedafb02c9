#pragma once
// The worker backend the running launcher installs: the update worker reaches the update run
// (StartUpdate, AbortUpdate answering the update manager's abort), the move-content worker the
// content move through the updater (StartMoveContent); the planet-data download, the
// compaction and the repair reach the process-wide content download driver.
//
// Contract: as IWorkerBackend's. Stateless apart from what the update run keeps under the
// update-manager lock and the content driver under its content lock; install it with
// SetWorkerBackend before the first worker starts.

#include "delivery/workers/WorkerBackend.h"

namespace Vel {

class UpdateWorkerBackend final : public IWorkerBackend {
public:
    void StartUpdate(std::shared_ptr<ThreadJob> job) override;
    bool AbortUpdate() override;
    void StartMoveContent(std::shared_ptr<ThreadJob> job, const std::string& destination) override;
    std::shared_ptr<ThreadJob> StartPlanetDataDownload(int mode, const ThreadJobBinder& bind) override;
    void CleanupPaks(std::shared_ptr<ThreadJob> job) override;
    void RepairPak(std::shared_ptr<ThreadJob> job, const std::string& archivePath) override;
    std::string GetLauncherWebHost() override;
};

}  // namespace Vel
