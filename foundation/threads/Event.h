#pragma once
// VelEvent: a manual- or auto-reset event, initially not signalled.
//
// Contract:
// - Manual reset: Set releases every waiter and keeps the event signalled until Reset.
//   Auto reset: Set releases one waiter, or, with none waiting, leaves the event signalled
//   until one wait consumes it.
// - Set followed at once by Reset (a pulse) still releases the threads that were waiting at
//   the Set: one for an auto-reset event, all for a manual-reset one. A generation count
//   tells a waiter that a Set happened while it slept.
// - TimedWait(d) waits d's whole milliseconds on the monotonic clock; a negative duration
//   waits 0, one beyond 32 bits of milliseconds waits without limit.
// - Any thread may call anything; locks only its own internal mutex.

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "foundation/core/Duration.h"

class VelEvent {
public:
    explicit VelEvent(bool manualReset);
    VelEvent(const VelEvent&) = delete;
    VelEvent& operator=(const VelEvent&) = delete;

    void Set();
    void Reset();
    void Wait();
    bool TimedWait(VelDuration timeout);

    // Threads blocked in Wait or TimedWait right now (for diagnostics and tests).
    int GetWaitingCount() const;

private:
    bool Ready(std::uint64_t generation) const;
    void Consume(std::uint64_t generation);

    const bool manualReset_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_ = false;
    std::uint64_t generation_ = 0;  // manual reset: number of Sets
    int waiting_ = 0;
    int releases_ = 0;  // auto reset: waiters a Set has released and that have not left yet
};
