#pragma once
// The token that a worker's background thread and the user interface share while one piece of
// background work runs: the abort request, the completed and failed states, the progress shown
// by the UI, the thread doing the work, and the callbacks for completion and failure.
//
// Contract:
// - Always held by shared pointer. Any thread may call any operation.
// - The aborted flag is an atomic that the work polls (IsAborted) without a lock. Everything
//   else (the completed and failed flags, the callback lists, the handlers, the thread) is
//   guarded by the job's VelMutex; callbacks and handlers are always called with the mutex
//   released, so they may call back into the job.
// - Completion callbacks run exactly once each: those present when Complete runs are called by
//   Complete, in the order added; one added after completion is called by
//   AddCompletionCallback at once. Complete and a failure take effect once; later calls do
//   nothing more. Flags never go back.
// - Abort sets the flag, calls the abort handler, then joins the attached thread (10 s limit,
//   fatal beyond) unless Abort runs on that thread itself. Several threads may abort one job at
//   once: each returns once the thread has ended.
//   RequestAbort does the same without the join.
// - Fail is called only inside an exception handler: with no error handler and no failure
//   callback it rethrows the exception being handled.

#include "delivery/jobs/DownloadProgress.h"
#include "foundation/threads/Mutex.h"

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class VelThread;

namespace Vel {

class ThreadJob {
public:
    ThreadJob();
    ThreadJob(const ThreadJob&) = delete;
    ThreadJob& operator=(const ThreadJob&) = delete;

    bool IsAborted() const noexcept { return aborted_.load(); }
    void Abort();
    // Sets the flag and calls the abort handler like Abort, but does not wait for the job's
    // thread: for code that the job's thread may itself be waiting on.
    void RequestAbort();
    void Complete();
    // True when the error handler handled the failure; false after the failure callbacks ran.
    bool Fail();

    void AddCompletionCallback(std::function<void()> callback);
    void AddFailureCallback(std::function<void()> callback);
    void SetErrorHandler(std::function<bool()> handler);
    void SetAbortHandler(std::function<void()> handler);
    void SetThread(std::shared_ptr<VelThread> thread);

    const std::shared_ptr<DownloadProgress>& GetProgress() const noexcept { return progress_; }

private:
    std::atomic<bool> aborted_{false};
    mutable VelMutex mutex_;
    bool completed_ = false;
    bool failed_ = false;
    const std::shared_ptr<DownloadProgress> progress_;
    std::shared_ptr<VelThread> thread_;
    std::vector<std::function<void()>> completionCallbacks_;
    std::vector<std::function<void()>> failureCallbacks_;
    std::function<bool()> errorHandler_;
    std::function<void()> abortHandler_;
};

// Binds a job to whoever hears of its end (its completion callback and error handler). Whoever
// starts a job's work calls it first, so that no end of the job comes before anybody listens.
using ThreadJobBinder = std::function<void(const std::shared_ptr<ThreadJob>&)>;

}  // namespace Vel
