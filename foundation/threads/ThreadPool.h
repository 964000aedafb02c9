#pragma once
// VelThreadPool: a Vel::IDispatcher with a fixed set of VelThreads taking jobs from one FIFO
// queue.
//
// Contract:
// - Any thread may post. Jobs start in posting order; they run outside the queue lock. A
//   Vel::Exception thrown by a job is caught and dropped (the worker goes on); any other
//   exception is fatal (it escapes the worker thread).
// - PostAndWait from one of the pool's own threads runs inline; from elsewhere it waits, and
//   is released even when the job throws (rethrown to the waiter), is cleared, or is dropped.
// - PostAfter hands the job to the timed-job service with this pool as target; the due job
//   is posted back here and runs on a pool thread.
// - Shutdown lets the jobs already queued run, then stops the threads; jobs posted after it
//   are dropped at once. The destructor shuts down, removes this pool's timed jobs and joins
//   every thread (a job running longer than 10 s is fatal). Destroy the pool from a thread
//   that is not its own; a shared pool is stopped (Stop) before its last owner lets go.
// - Locks: the queue lock (a VelMutex) around queue operations only; the active-count lock
//   around the active count only.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/threads/Dispatcher.h"
#include "foundation/threads/Mutex.h"
#include "foundation/threads/Semaphore.h"
#include "foundation/threads/Thread.h"

namespace Vel {
class TimedJobService;
}

class VelThreadPool : public Vel::IDispatcher {
public:
    // `timedJobs` null means the process-wide service.
    VelThreadPool(std::string name, unsigned threadCount, int kind, Vel::TimedJobService* timedJobs = nullptr);
    VelThreadPool(const VelThreadPool&) = delete;
    VelThreadPool& operator=(const VelThreadPool&) = delete;
    ~VelThreadPool() override;

    void Post(std::unique_ptr<VelRunnable> runnable, Vel::JobInfoHolder info) override;
    void Post(Vel::JobFunction function, Vel::JobInfoHolder info) override;
    void Post(Vel::JobFunction function) override;
    void Post(std::unique_ptr<VelRunnable> runnable) override;
    void PostAndWait(Vel::JobFunction function, Vel::JobInfoHolder info) override;
    void PostAndWait(Vel::JobFunction function) override;
    void PostAfter(Vel::JobFunction function, VelDuration delay, Vel::JobInfoHolder info) override;
    void PostAfter(Vel::JobFunction function, VelDuration delay) override;
    int GetPendingCount() const override { return pendingCount_.load(); }
    std::string GetName() const override { return name_; }
    bool OwnsThread(const VelThread* thread) const override;

    // Lets only threads 0..n-1 take jobs. n above the thread count throws Vel::Exception.
    void SetActiveThreadCount(unsigned n);
    // Deletes every queued job without running it (their waiters are released).
    void ClearJobs();
    // Stops the pool; true when every thread ended within `milliseconds`.
    bool Shutdown(std::uint32_t milliseconds);
    // Does what the destructor does (shut down, drop this pool's timed jobs, join every thread:
    // 10 s each, fatal beyond) but leaves the object alive, dropping every later post. A pool
    // shared by several owners is stopped this way before its registry lets go of it, so that
    // whichever owner lets go last is never one of the pool's own threads. Call it from a
    // thread that is not the pool's own, never twice at once.
    void Stop();

private:
    struct Job {
        std::unique_ptr<VelRunnable> runnable;  // null = stop marker
        Vel::JobInfoHolder info;
    };

    void WorkerLoop(unsigned index);
    void StopThreads();

    VelSemaphore semaphore_;
    VelMutex lock_{"VelThreadPool"};
    std::string name_;
    std::atomic<bool> running_{true};
    std::atomic<int> pendingCount_{0};
    std::mutex activeMutex_;
    std::condition_variable activeChanged_;
    std::atomic<unsigned> activeCount_;
    std::deque<Job> queue_;
    std::vector<std::unique_ptr<VelThread>> threads_;
    Vel::TimedJobService* timedJobs_;
};
