#include "foundation/threads/ManualDispatcher.h"

#include <algorithm>

#include "foundation/core/AppEnvironment.h"
#include "foundation/core/Exception.h"
#include "foundation/core/FatalError.h"
#include "foundation/core/ParameterStore.h"
#include "foundation/threads/TimedJobs.h"

namespace Vel {

std::shared_ptr<ManualDispatcher> ManualDispatcher::Create(std::string name, int maxPending) {
    bool catchExceptions = true;
    GetParameterStore().Get("system.dispatcher.catch_exception", ParameterType::Bool, catchExceptions);
    return std::make_shared<ManualDispatcher>(std::move(name), maxPending, catchExceptions);
}

ManualDispatcher::ManualDispatcher(std::string name, int maxPending, bool catchExceptions, IClock& clock)
    : name_(std::move(name)), maxPending_(maxPending), catchExceptions_(catchExceptions), clock_(clock) {}

ManualDispatcher::~ManualDispatcher() {
    // Dropping the entries releases the waiters of any that were posted with PostAndWait (they
    // throw Vel::AbortException).
    std::vector<Entry> jobs;
    std::multimap<MonoTime, JobFunction> timed;
    {
        std::lock_guard lock(queueMutex_);
        jobs.swap(jobs_);
    }
    {
        VelMutex::ScopedLock lock(timedLock_);
        timed.swap(timed_);
    }
}

void ManualDispatcher::Post(JobFunction function) {
    if (!function) return;
    {
        // The count changes with the list, so a job counted as pending is always in it.
        std::lock_guard lock(queueMutex_);
        if (maxPending_ == 0 || pendingCount_.load() < maxPending_) {
            if (maxPending_ != 0) pendingCount_.fetch_add(1);
            jobs_.push_back(Entry{std::move(function), sequence_++});
            return;
        }
    }
    // Dropped without notice; `function` is destroyed here, outside the lock, which releases
    // a PostAndWait caller at once (with Vel::AbortException).
}

void ManualDispatcher::Post(std::unique_ptr<VelRunnable> runnable) {
    if (!runnable) return;
    Post(JobFunction(VelRunnable::Functor(std::move(runnable))));
}

void ManualDispatcher::Post(std::unique_ptr<VelRunnable> runnable, JobInfoHolder) { Post(std::move(runnable)); }
void ManualDispatcher::Post(JobFunction function, JobInfoHolder) { Post(std::move(function)); }

void ManualDispatcher::PostAndWait(JobFunction function) {
    VelThread* owner = owner_.load();
    if (owner != nullptr && owner == VelThread::GetCurrent()) {
        if (function) function();
        return;
    }
    auto waiter = std::make_shared<JobWaiter>();
    Post(MakeWaitedJob(std::move(function), waiter));  // a dropped job makes Wait throw at once
    waiter->Wait();
}

void ManualDispatcher::PostAndWait(JobFunction function, JobInfoHolder) { PostAndWait(std::move(function)); }

void ManualDispatcher::PostAfter(JobFunction function, VelDuration delay) {
    if (!function) return;
    VelMutex::ScopedLock lock(timedLock_);
    timed_.emplace(AddDelay(clock_.Now(), delay), std::move(function));
}

void ManualDispatcher::PostAfter(JobFunction function, VelDuration delay, JobInfoHolder) {
    PostAfter(std::move(function), delay);
}

bool ManualDispatcher::OwnsThread(const VelThread* thread) const {
    VelThread* owner = owner_.load();
    return owner != nullptr && owner == thread;
}

VelThread* ManualDispatcher::BindToCurrentThread() {
    VelThread* current = VelThread::GetCurrent();
    owner_.store(current);
    return current;
}

void ManualDispatcher::Requeue(std::vector<Entry>& jobs, std::size_t first) noexcept {
    std::lock_guard lock(queueMutex_);
    const std::size_t count = jobs.size() - first;
    // The next Dispatch sorts them ahead of the jobs posted since, by their sequence numbers.
    // (noexcept: a failed allocation here is fatal, as everywhere.)
    for (std::size_t i = first; i < jobs.size(); ++i) jobs_.push_back(std::move(jobs[i]));
    if (maxPending_ != 0) pendingCount_.fetch_add(static_cast<int>(count));
}

bool ManualDispatcher::Dispatch() {
    std::vector<Entry> jobs;
    {
        std::lock_guard lock(queueMutex_);
        jobs.swap(jobs_);
        if (maxPending_ != 0) pendingCount_.fetch_sub(static_cast<int>(jobs.size()));
    }
    std::sort(jobs.begin(), jobs.end(), [](const Entry& a, const Entry& b) { return a.sequence < b.sequence; });

    bool ran = false;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        JobFunction function = std::move(jobs[i].function);
        ran = true;
        if (!catchExceptions_) {
            try {
                function();
            } catch (...) {
                // The exception is the caller's; the jobs taken with this one stay queued, in
                // their order, for the next Dispatch, and their waiters keep waiting.
                Requeue(jobs, i + 1);
                throw;
            }
            continue;
        }
        try {
            function();
        } catch (const Exception&) {
            // dropped: the batch goes on
        } catch (const std::exception& e) {
            FatalError(e.what());  // as on a pool thread: nothing else is a job's to throw
        } catch (...) {
            FatalError("unknown exception");
        }
    }

    const MonoTime now = clock_.Now();
    for (;;) {
        JobFunction function;
        {
            VelMutex::ScopedLock lock(timedLock_);
            if (timed_.empty() || now < timed_.begin()->first) break;
            function = std::move(timed_.begin()->second);
            timed_.erase(timed_.begin());
        }
        ran = true;
        try {
            function();
        } catch (const std::exception&) {
            // dropped, whatever catchExceptions says
        }
    }
    return ran;
}

}  // namespace Vel
