#pragma once
// Decides which background worker runs: one current worker, one pending worker ordered by
// priority, and four callbacks through which the user interface hears that a worker started,
// completed, failed, or hit an error the user may retry.
//
// Contract:
// - The current and pending slots and the callbacks are guarded by one lock. The lock is never
//   held while a worker's Start, ConfirmAbort, OnFinished or HandleException runs, nor while a
//   callback or a job's Abort runs.
// - StartWorker, RunWorker, AbortCurrentWorker, StartPendingWorker and SwitchToPendingWorker
//   run on the GUI thread. OnWorkerCompleted and OnWorkerFailed run on the job's thread;
//   SetPendingWorker and the readers may be called from any thread.
// - Starting while a worker is current, queuing below a higher-priority pending worker and
//   pre-empting a worker that refuses to abort throw Vel::Exception with an empty text.
// - Any failure of a worker's Start ends in the failure handler (an exception outside the
//   Vel::Exception family is wrapped into it), so a failed start never keeps the slot occupied.
// - A started worker's job is bound (stored in the worker, its error handler and completion
//   callback set) before its work can begin: StartWorker hands the worker a binder for its Start
//   (ITSWorker::BindJob); a job that Start returns unbound is bound as Start returns. A job may
//   therefore end, on its own thread, before StartWorker has returned or called the started
//   callback.
// - The error callback is called with a cancel scope that answers the worker's job's abort
//   flag, so a wait for the user's answer gives up when the job is aborted.
// - The free functions work on one process-wide runner.

#include "delivery/workers/ITSWorker.h"

#include <functional>
#include <memory>
#include "foundation/threads/Mutex.h"

#include <string>

namespace Vel {

class WorkerRunner {
public:
    using ErrorCallback = std::function<bool(const std::string& message)>;
    using CompletedCallback = std::function<void(const std::shared_ptr<ITSWorker>&)>;
    using FailedCallback = std::function<void(bool closeWindow)>;
    using StartedCallback = std::function<void(const std::shared_ptr<ITSWorker>&)>;

    std::shared_ptr<ITSWorker> GetCurrentWorker() const;
    std::shared_ptr<ITSWorker> GetPendingWorker() const;
    bool IsWorkerRunning() const;
    WorkerType GetCurrentWorkerType() const;

    void SetPendingWorker(std::shared_ptr<ITSWorker> worker);
    void ClearPendingWorker();
    // Starts the pending worker; false when none waits or a worker is already current (the
    // pending one then stays).
    bool StartPendingWorker();
    void StartWorker(std::shared_ptr<ITSWorker> worker);
    void RunWorker(std::shared_ptr<ITSWorker> worker);
    bool AbortCurrentWorker();
    void SwitchToPendingWorker();

    void SetErrorCallback(ErrorCallback f);
    void SetCompletedCallback(CompletedCallback f);
    void SetFailedCallback(FailedCallback f);
    void SetStartedCallback(StartedCallback f);
    // Drops the slots and the callbacks (shutdown, tests).
    void Reset();

    void OnWorkerCompleted(const std::shared_ptr<ITSWorker>& worker);
    // Call only while an exception is being handled.
    bool OnWorkerFailed(const std::shared_ptr<ITSWorker>& worker);

private:
    mutable VelMutex mutex_;
    std::shared_ptr<ITSWorker> current_;
    std::shared_ptr<ITSWorker> pending_;
    ErrorCallback error_;
    CompletedCallback completed_;
    FailedCallback failed_;
    StartedCallback started_;
};

WorkerRunner& GetWorkerRunner();

std::shared_ptr<ITSWorker> GetCurrentWorker();
bool IsWorkerRunning();
WorkerType GetCurrentWorkerType();
void SetPendingWorker(std::shared_ptr<ITSWorker> worker);
void ClearPendingWorker();
bool StartPendingWorker();
void StartWorker(std::shared_ptr<ITSWorker> worker);
void RunWorker(std::shared_ptr<ITSWorker> worker);
bool AbortCurrentWorker();
void SwitchToPendingWorker();
void SetWorkerErrorCallback(WorkerRunner::ErrorCallback f);
void SetWorkerCompletedCallback(WorkerRunner::CompletedCallback f);
void SetWorkerFailedCallback(WorkerRunner::FailedCallback f);
void SetWorkerStartedCallback(WorkerRunner::StartedCallback f);

}  // namespace Vel
