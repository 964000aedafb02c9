#pragma once
// The timed-job service: a process-wide schedule of delayed jobs, pumped by whoever calls
// RunDueTimedJobs (the main window's 500 ms timer); it starts no thread of its own.
//
// Contract:
// - Due times are the monotonic clock's now + delay; jobs with equal due times keep the order
//   in which they were scheduled. Ids start at 1; rescheduling a job that has an id replaces
//   its earlier entry.
// - RunDue takes due jobs until none is left (a job scheduled with zero delay from inside a
//   job runs in the same pass). A due job whose target is a thread pool is posted to that
//   pool and runs there; a job without a target, or for a manual dispatcher, runs on the
//   pumping thread, where a Vel::Exception it throws is caught and dropped.
// - Any thread may schedule or cancel. The service's lock (recursive) is held only for map
//   operations and for handing a job to its pool, never while a job runs.
// - A dispatcher that is destroyed must first remove its entries (CancelFor); VelThreadPool
//   does so in its destructor.
// - The clock is injectable; the process-wide service uses DefaultClock().

#include <cstddef>
#include <functional>
#include <map>
#include <memory>

#include "foundation/time/Clock.h"
#include "foundation/threads/Dispatcher.h"
#include "foundation/core/Duration.h"
#include "foundation/threads/Mutex.h"

namespace Vel {

struct TimedJob {
    JobFunction function;
    int id = 0;  // 0 = not scheduled
    std::shared_ptr<JobInfo> info;
};

class TimedJobService {
public:
    explicit TimedJobService(IClock& clock = DefaultClock()) : clock_(&clock) {}
    TimedJobService(const TimedJobService&) = delete;
    TimedJobService& operator=(const TimedJobService&) = delete;

    // Sets job.id to the new entry's id. An empty function schedules nothing.
    void Schedule(TimedJob& job, VelDuration delay, IDispatcher* target);
    // Id 0 or an unknown id changes nothing.
    void Cancel(int id);
    // Removes every entry that targets `target`.
    void CancelFor(const IDispatcher* target);
    // Moves the first due job into `out`; when entries remain, `untilNext` becomes the time
    // from now to the first of them.
    bool TakeDue(TimedJob& out, VelDuration& untilNext);
    void RunDue();
    // Drops every entry without running it.
    void Shutdown();
    std::size_t GetCount() const;

    // Replaces the clock; only while nothing is scheduled (tests).
    void SetClock(IClock& clock) { clock_ = &clock; }

private:
    struct Entry {
        TimedJob job;
        IDispatcher* target;
    };

    template <typename Predicate>
    void RemoveIf(Predicate predicate);

    IClock* clock_;
    mutable VelMutex lock_{"TimedJobs"};
    std::multimap<MonoTime, Entry> schedule_;
    int lastId_ = 0;
};

// The process-wide service (created on first use, never destroyed).
TimedJobService& GetTimedJobService();

void ScheduleTimedJob(TimedJob& job, VelDuration delay, IDispatcher* target);
void CancelTimedJob(int id);
bool TakeDueTimedJob(TimedJob& out, VelDuration& untilNext);
void RunDueTimedJobs();
void ShutdownTimedJobs();

// now + delay without overflowing the clock's range.
MonoTime AddDelay(MonoTime now, VelDuration delay);

}  // namespace Vel
