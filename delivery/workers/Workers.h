#pragma once
// The five workers: update, move content, download planet data, compact planet data and
// repair planet data.
//
// Contract (beyond ITSWorker's):
// - The jobs themselves come from the worker backend (delivery/workers/WorkerBackend.h).
// - A planet-data download chains further downloads and finally a compaction; a corrupt
//   archive found while downloading or compacting becomes a pending repair, and a repair is
//   followed by a fresh required-data download. Chaining puts the next worker into the
//   runner's pending slot.
// - Every Start binds its job (ITSWorker::BindJob) before the job's work can begin.
// - The download worker's flags are written by Start (GUI thread) before its job can end, and
//   read by OnFinished and HandleException (job thread); they are atomics.
// - The compaction and repair workers run their job body on a thread of their own, which the
//   job's Abort joins. A failure the player answers with Retry runs the body again on that
//   thread; a failure nobody handles, or an abort, ends the thread.

#include "delivery/workers/ITSWorker.h"

#include <atomic>
#include <functional>
#include <string>

namespace Vel {

class UpdateWorker final : public ITSWorker {
public:
    UpdateWorker() : ITSWorker("Updating") {}
    std::shared_ptr<ThreadJob> Start() override;
    bool ConfirmAbort() override;
    void OnFinished() override;
    VelURI GetInfoUrl() override;
    bool CloseOnFinish() override { return false; }
    WorkerType GetType() override { return kUpdateWorker; }
};

class MoveContentWorker final : public ITSWorker {
public:
    explicit MoveContentWorker(std::string destination)
        : ITSWorker("Moving planet data"), destination_(std::move(destination)) {}
    std::shared_ptr<ThreadJob> Start() override;
    // The folder is being moved by the updater: aborting would free the slot for work on it.
    bool ConfirmAbort() override { return false; }
    void OnFinished() override;
    bool CloseOnFailure() override { return false; }
    bool CloseOnFinish() override { return false; }
    bool AllowsTools() override { return true; }
    bool HandleException() override { return false; }
    WorkerType GetType() override { return kMoveContentWorker; }
    const std::string& GetDestination() const { return destination_; }

private:
    std::string destination_;
};

class DownloadDynamicContentWorker final : public ITSWorker {
public:
    DownloadDynamicContentWorker(int mode, bool compactAfter)
        : ITSWorker("Downloading planet data"), mode_(mode), compactAfter_(compactAfter) {}
    std::shared_ptr<ThreadJob> Start() override;
    void OnFinished() override;
    bool CloseOnFailure() override { return false; }
    bool CloseOnFinish() override { return false; }
    bool AllowsTools() override { return true; }
    bool AllowsLaunch() override { return mode_ != 0; }
    bool HandleException() override;
    int GetPriority() override { return -1; }
    WorkerType GetType() override { return kDownloadPlanetDataWorker; }

    int GetMode() const { return mode_; }
    bool GetCompactAfter() const { return compactAfter_; }

private:
    const int mode_;
    std::atomic<bool> compactAfter_;
    std::atomic<bool> jobStarted_{false};
    std::atomic<bool> repairScheduled_{false};
};

// A worker whose job body runs on a thread of its own.
class OwnThreadWorker : public ITSWorker {
public:
    using ITSWorker::ITSWorker;

protected:
    std::shared_ptr<ThreadJob> StartOnOwnThread(std::string threadName,
                                                std::function<void(std::shared_ptr<ThreadJob>)> body);
};

class CleanupDynamicContentWorker final : public OwnThreadWorker {
public:
    CleanupDynamicContentWorker() : OwnThreadWorker("Compacting planet data") {}
    std::shared_ptr<ThreadJob> Start() override;
    void OnFinished() override;
    bool CloseOnFailure() override { return false; }
    bool CloseOnFinish() override { return false; }
    bool AllowsTools() override { return true; }
    bool AllowsLaunch() override { return true; }
    bool HandleException() override;
    WorkerType GetType() override { return kCompactPlanetDataWorker; }
};

class RepairDynamicContentWorker final : public OwnThreadWorker {
public:
    explicit RepairDynamicContentWorker(std::string archivePath)
        : OwnThreadWorker("Repairing planet data"), archivePath_(std::move(archivePath)) {}
    std::shared_ptr<ThreadJob> Start() override;
    // Asks the player first; true only for Yes.
    bool ConfirmAbort() override;
    void OnFinished() override;
    bool CloseOnFinish() override { return false; }
    bool AllowsTools() override { return true; }
    WorkerType GetType() override { return kRepairPlanetDataWorker; }
    const std::string& GetArchivePath() const { return archivePath_; }

private:
    std::string archivePath_;
};

}  // namespace Vel
