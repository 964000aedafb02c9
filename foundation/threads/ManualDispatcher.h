#pragma once
// Vel::ManualDispatcher: a Vel::IDispatcher whose jobs run only when a thread calls Dispatch,
// on that thread (the UI thread, from the main window's timer).
//
// Contract:
// - Any thread may post; only the owner should call Dispatch. Dispatch runs the queued jobs in
//   posting order, then its own timed jobs that are due.
// - With maxPending n > 0, a post that would make more than n jobs pending is dropped without
//   notice (GetPendingCount counts only then).
// - With catchExceptions (the default), a Vel::Exception from a queued job is caught and
//   dropped and the batch goes on; any other exception is a fatal error, as on a pool thread.
//   Without it, a queued job's exception (any) leaves Dispatch to its caller, and the jobs
//   taken with it that have not run stay queued, in order, for the next Dispatch. Either way
//   no job of a batch is lost. Timed jobs' standard exceptions are always caught and dropped.
// - PostAndWait runs inline on the bound owner thread; from anywhere else it waits for the
//   Dispatch that runs the job (a job's exception is rethrown to the waiter); when the job is
//   dropped (limit reached, dispatcher destroyed) it throws Vel::AbortException.
// - Locks: the queue lock around the job list only; the timed lock (a VelMutex) around the
//   timed map only, released while a timed job runs.

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/time/Clock.h"
#include "foundation/threads/Dispatcher.h"
#include "foundation/threads/Mutex.h"

namespace Vel {

class IManualDispatcher : public IDispatcher {
public:
    // Runs the queued jobs, then the due timed jobs; true when at least one ran.
    virtual bool Dispatch() = 0;
    // Makes the calling VelThread the owner; returns it (null on a thread without one).
    virtual VelThread* BindToCurrentThread() = 0;
};

class ManualDispatcher : public IManualDispatcher {
public:
    // Reads "system.dispatcher.catch_exception" (default true) from the parameter store.
    static std::shared_ptr<ManualDispatcher> Create(std::string name, int maxPending);

    ManualDispatcher(std::string name, int maxPending, bool catchExceptions, IClock& clock = DefaultClock());
    ManualDispatcher(const ManualDispatcher&) = delete;
    ManualDispatcher& operator=(const ManualDispatcher&) = delete;
    ~ManualDispatcher() override;

    void Post(std::unique_ptr<VelRunnable> runnable, JobInfoHolder info) override;
    void Post(JobFunction function, JobInfoHolder info) override;
    void Post(JobFunction function) override;
    void Post(std::unique_ptr<VelRunnable> runnable) override;
    void PostAndWait(JobFunction function, JobInfoHolder info) override;
    void PostAndWait(JobFunction function) override;
    void PostAfter(JobFunction function, VelDuration delay, JobInfoHolder info) override;
    void PostAfter(JobFunction function, VelDuration delay) override;
    int GetPendingCount() const override { return pendingCount_.load(); }
    std::string GetName() const override { return name_; }
    bool OwnsThread(const VelThread* thread) const override;

    bool Dispatch() override;
    VelThread* BindToCurrentThread() override;

private:
    struct Entry {
        JobFunction function;
        std::int64_t sequence;
    };

    // Puts jobs[first..] back on the queue after a job's exception left Dispatch.
    void Requeue(std::vector<Entry>& jobs, std::size_t first) noexcept;

    const std::string name_;
    const int maxPending_;
    const bool catchExceptions_;
    IClock& clock_;
    std::atomic<int> pendingCount_{0};
    std::mutex queueMutex_;
    std::int64_t sequence_ = 0;  // under queueMutex_
    std::vector<Entry> jobs_;
    VelMutex timedLock_{"ManualDispatcher timed jobs"};
    std::multimap<MonoTime, JobFunction> timed_;
    std::atomic<VelThread*> owner_{nullptr};
};

}  // namespace Vel
