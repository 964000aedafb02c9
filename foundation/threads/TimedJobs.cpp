#include "foundation/threads/TimedJobs.h"

#include <limits>
#include <vector>

#include "foundation/core/Exception.h"
#include "foundation/threads/ManualDispatcher.h"

namespace Vel {

MonoTime AddDelay(MonoTime now, VelDuration delay) {
    using Rep = MonoDuration::rep;
    // Ticks are 100 ns; the clock counts nanoseconds.
    Rep ns;
    if (__builtin_mul_overflow(static_cast<Rep>(delay.Ticks()), Rep{100}, &ns))
        ns = delay.Ticks() > 0 ? std::numeric_limits<Rep>::max() : std::numeric_limits<Rep>::min();
    Rep result;
    if (__builtin_add_overflow(now.time_since_epoch().count(), ns, &result))
        result = ns > 0 ? std::numeric_limits<Rep>::max() : std::numeric_limits<Rep>::min();
    return MonoTime(MonoDuration(result));
}

void TimedJobService::Schedule(TimedJob& job, VelDuration delay, IDispatcher* target) {
    if (!job.function) return;
    if (job.id != 0) {
        Cancel(job.id);
        job.id = 0;
    }
    VelMutex::ScopedLock lock(lock_);
    job.id = ++lastId_;
    schedule_.emplace(AddDelay(clock_->Now(), delay), Entry{job, target});
}

template <typename Predicate>
void TimedJobService::RemoveIf(Predicate predicate) {
    // The removed jobs are destroyed after the lock is left: their destructors may schedule.
    std::vector<Entry> removed;
    VelMutex::ScopedLock lock(lock_);
    for (auto it = schedule_.begin(); it != schedule_.end();) {
        if (predicate(it->second)) {
            removed.push_back(std::move(it->second));
            it = schedule_.erase(it);
        } else {
            ++it;
        }
    }
}

void TimedJobService::Cancel(int id) {
    if (id == 0) return;
    RemoveIf([id](const Entry& entry) { return entry.job.id == id; });
}

void TimedJobService::CancelFor(const IDispatcher* target) {
    if (target == nullptr) return;
    RemoveIf([target](const Entry& entry) { return entry.target == target; });
}

bool TimedJobService::TakeDue(TimedJob& out, VelDuration& untilNext) {
    VelMutex::ScopedLock lock(lock_);
    if (schedule_.empty()) return false;
    const MonoTime now = clock_->Now();
    bool taken = false;
    auto first = schedule_.begin();
    if (first->first <= now) {
        out = std::move(first->second.job);
        schedule_.erase(first);
        taken = true;
    }
    if (!schedule_.empty())
        untilNext = VelDuration::FromChrono(schedule_.begin()->first - now);
    return taken;
}

void TimedJobService::RunDue() {
    for (;;) {
        TimedJob job;
        {
            VelMutex::ScopedLock lock(lock_);
            if (schedule_.empty()) return;
            auto first = schedule_.begin();
            if (clock_->Now() < first->first) return;
            job = std::move(first->second.job);
            IDispatcher* target = first->second.target;
            schedule_.erase(first);
            // A pool's job runs on the pool. Handing it over under the lock keeps the pool from
            // being destroyed meanwhile (its destructor removes its entries under this lock).
            if (target != nullptr && dynamic_cast<IManualDispatcher*>(target) == nullptr) {
                if (job.function) target->Post(std::move(job.function));
                continue;
            }
        }
        if (!job.function) continue;
        try {
            job.function();
        } catch (const Exception&) {
            // dropped, as a thread pool drops the failures of its jobs
        }
    }
}

void TimedJobService::Shutdown() {
    std::multimap<MonoTime, Entry> dropped;
    {
        VelMutex::ScopedLock lock(lock_);
        dropped.swap(schedule_);
    }
}

std::size_t TimedJobService::GetCount() const {
    VelMutex::ScopedLock lock(lock_);
    return schedule_.size();
}

TimedJobService& GetTimedJobService() {
    static TimedJobService* service = new TimedJobService;
    return *service;
}

void ScheduleTimedJob(TimedJob& job, VelDuration delay, IDispatcher* target) { GetTimedJobService().Schedule(job, delay, target); }
void CancelTimedJob(int id) { GetTimedJobService().Cancel(id); }
bool TakeDueTimedJob(TimedJob& out, VelDuration& untilNext) { return GetTimedJobService().TakeDue(out, untilNext); }
void RunDueTimedJobs() { GetTimedJobService().RunDue(); }
void ShutdownTimedJobs() { GetTimedJobService().Shutdown(); }

}  // namespace Vel
