#pragma once
// The jobs the five workers start, behind one interface: the update run and the content move
// of the update manager, the planet-data download, and the compaction and repair routines.
//
// Contract:
// - GetWorkerBackend returns the installed backend, or a default one that has nothing to do
//   (the update and the move complete their job at once, the download finds nothing, the
//   compaction and the repair complete at once).
// - SetWorkerBackend (null restores the default) is called during start-up or by a test before
//   any worker starts; the object must outlive its use. The pointer is read atomically.
// - StartUpdate, StartMoveContent, StartPlanetDataDownload and AbortUpdate are called on the
//   GUI thread; CleanupPaks and RepairPak are job bodies, run on the worker's own thread; they
//   complete the job, or throw, which fails it.
// - The jobs handed to StartUpdate and StartMoveContent are bound already. StartPlanetDataDownload
//   makes its own job and calls `bind` with it, during the call, before the job's work can begin
//   (between attaching its thread and letting that thread run).

#include "delivery/jobs/ThreadJob.h"

#include <memory>
#include <string>

namespace Vel {

class IWorkerBackend {
public:
    virtual ~IWorkerBackend() = default;
    virtual void StartUpdate(std::shared_ptr<ThreadJob> job) = 0;
    // The update manager's answer: false when the running update refuses (it applies files).
    virtual bool AbortUpdate() = 0;
    virtual void StartMoveContent(std::shared_ptr<ThreadJob> job, const std::string& destination) = 0;
    // The content download's job, or null when there is nothing to download. May throw
    // ZipCorruptException.
    virtual std::shared_ptr<ThreadJob> StartPlanetDataDownload(int mode, const ThreadJobBinder& bind) = 0;
    virtual void CleanupPaks(std::shared_ptr<ThreadJob> job) = 0;
    virtual void RepairPak(std::shared_ptr<ThreadJob> job, const std::string& archivePath) = 0;
    // The host of the launcher's web pages (the patching page).
    virtual std::string GetLauncherWebHost() = 0;
};

IWorkerBackend& GetWorkerBackend();
void SetWorkerBackend(IWorkerBackend* backend);

}  // namespace Vel
