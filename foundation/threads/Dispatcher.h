#pragma once
// Vel::IDispatcher: the one interface through which work is handed to another thread: post a
// runnable or a function, post and wait, post after a delay. Implemented by VelThreadPool
// (ThreadPool.h) and Vel::ManualDispatcher (ManualDispatcher.h).
//
// Contract for every implementation:
// - Post may be called from any thread; jobs of one dispatcher start in the order posted.
// - PostAndWait always returns: after the function has run (its exception, if any, is
//   rethrown to the waiter), or at once when the dispatcher drops the job (full, shut down,
//   cleared or destroyed), then by throwing Vel::AbortException: a waiter whose job never ran
//   is never told that it ran. On a thread the dispatcher owns, the function runs inline.
// - PostAfter runs the function no earlier than the delay on the monotonic clock.
// - A dispatcher takes ownership of the runnables and JobInfo records handed to it.

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/core/Duration.h"
#include "foundation/threads/Thread.h"

namespace Vel {

// The (empty) record handed with a job; kept with the job and deleted with it.
struct JobInfo {};
using JobInfoHolder = std::unique_ptr<JobInfo>;
using JobFunction = std::function<void()>;

class IDispatcher {
public:
    virtual ~IDispatcher() = default;

    virtual void Post(std::unique_ptr<VelRunnable> runnable, JobInfoHolder info) = 0;
    virtual void Post(JobFunction function, JobInfoHolder info) = 0;
    virtual void Post(JobFunction function) = 0;
    virtual void Post(std::unique_ptr<VelRunnable> runnable) = 0;
    virtual void PostAndWait(JobFunction function, JobInfoHolder info) = 0;
    virtual void PostAndWait(JobFunction function) = 0;
    virtual void PostAfter(JobFunction function, VelDuration delay, JobInfoHolder info) = 0;
    virtual void PostAfter(JobFunction function, VelDuration delay) = 0;
    virtual int GetPendingCount() const = 0;
    virtual std::string GetName() const = 0;
    virtual bool OwnsThread(const VelThread* thread) const = 0;
};

// The meeting point of a PostAndWait caller and the job it queued.
class JobWaiter {
public:
    // Releases the waiter after the job ran; `error` (may be null) is rethrown by Wait.
    // Only the first of Finish and Drop counts.
    void Finish(std::exception_ptr error) noexcept;
    // Releases the waiter of a job that will never run.
    void Drop() noexcept;
    // Blocks until Finish or Drop; then rethrows the job's exception if it had one, or throws
    // Vel::AbortException when the job was dropped.
    void Wait();

private:
    std::mutex mutex_;
    std::condition_variable finished_;
    bool done_ = false;
    bool dropped_ = false;
    std::exception_ptr error_;
};

// Wraps `function` for queueing on behalf of a waiter: running the wrapper runs the function
// and hands its exception (any) to the waiter instead of throwing; destroying every copy of
// the wrapper without running it drops the waiter's job, so a dropped job never strands it.
JobFunction MakeWaitedJob(JobFunction function, std::shared_ptr<JobWaiter> waiter);

}  // namespace Vel
