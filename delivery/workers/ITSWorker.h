#pragma once
// The interface of the background workers: an object that starts one piece of long-running
// work on another thread and hands back the job through which it is aborted and reports its end.
//
// Contract:
// - Held by shared pointer, never copied. Started by the worker runner only.
// - Start, ConfirmAbort, GetInfoUrl and the flag queries run on the GUI thread; OnFinished and
//   HandleException run on the thread that completes or fails the job.
// - The job pointer is guarded by the worker's own small lock (the runner stores it on the GUI
//   thread while a job thread may already be reading it).
// - HandleException is called while the job's exception is being handled; the base rethrows it.
// - The runner hands the worker a binder before Start (SetJobBinder). Start passes its job to
//   BindJob before the job's work can begin (before handing it to the thread or service that
//   runs it), so that the job's end, even one that comes before Start returns, reaches the
//   runner. The binder is guarded by the same lock and called with no lock held.

#include "delivery/jobs/ThreadJob.h"
#include "foundation/runtime/VelURI.h"

#include <memory>
#include <mutex>
#include <string>

namespace Vel {

enum WorkerType : int {
    kNoWorker = 0,
    kUpdateWorker = 1,
    kMoveContentWorker = 2,
    kDownloadPlanetDataWorker = 3,
    kCompactPlanetDataWorker = 4,
    kRepairPlanetDataWorker = 5,
};

class ITSWorker {
public:
    explicit ITSWorker(std::string title) : title_(std::move(title)) {}
    virtual ~ITSWorker() = default;
    ITSWorker(const ITSWorker&) = delete;
    ITSWorker& operator=(const ITSWorker&) = delete;

    // Begins the work; an empty result means there was nothing to do.
    virtual std::shared_ptr<ThreadJob> Start() = 0;
    virtual bool ConfirmAbort() { return true; }
    virtual void OnFinished() {}
    // A web page to show while the worker runs; an empty URI for none.
    virtual VelURI GetInfoUrl() { return {}; }
    virtual bool CloseOnFailure() { return true; }
    virtual bool CloseOnFinish() { return true; }
    virtual bool AllowsTools() { return false; }
    virtual bool AllowsLaunch() { return false; }
    // True: handled, start the work again. The base rethrows the exception being handled.
    virtual bool HandleException() { throw; }
    virtual int GetPriority() { return 0; }
    virtual WorkerType GetType() = 0;

    const std::string& GetTitle() const { return title_; }
    std::shared_ptr<ThreadJob> GetJob() const {
        std::lock_guard lock(jobMutex_);
        return job_;
    }
    // The runner stores the job when it binds its completion and failure to it.
    void SetJob(std::shared_ptr<ThreadJob> job) {
        std::lock_guard lock(jobMutex_);
        job_ = std::move(job);
    }
    // Set by the runner before Start, cleared after it; empty when no runner starts the worker.
    void SetJobBinder(ThreadJobBinder binder) {
        std::lock_guard lock(jobMutex_);
        binder_ = std::move(binder);
    }

protected:
    // Binds the job to the runner; Start calls it before the job's work can begin.
    void BindJob(const std::shared_ptr<ThreadJob>& job) const {
        if (auto binder = GetJobBinder()) binder(job);
    }
    ThreadJobBinder GetJobBinder() const {
        std::lock_guard lock(jobMutex_);
        return binder_;
    }

private:
    const std::string title_;
    mutable std::mutex jobMutex_;
    std::shared_ptr<ThreadJob> job_;
    ThreadJobBinder binder_;
};

}  // namespace Vel
