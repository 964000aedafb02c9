#pragma once
// Monotonic time for delays, time-outs and due times, behind a small interface so that tests
// can drive it.
//
// Contract:
// - IClock::Now never goes backwards. SleepFor waits at least the given time on that clock, or
//   returns early when the clock says so (a fake clock returns at once after advancing).
// - SteadyClock is std::chrono::steady_clock; stateless and callable from any thread.
// - FakeClock starts at an arbitrary fixed point and moves only by Advance or SleepFor; it
//   locks its own small mutex, so any thread may read it while a test advances it.
// - DefaultClock() is the process's steady clock, living for the whole process.

#include <chrono>
#include <mutex>

namespace Vel {

using MonoClock = std::chrono::steady_clock;
using MonoTime = MonoClock::time_point;
using MonoDuration = MonoClock::duration;

class IClock {
public:
    virtual ~IClock() = default;
    virtual MonoTime Now() const = 0;
    virtual void SleepFor(MonoDuration d) = 0;
};

class SteadyClock final : public IClock {
public:
    MonoTime Now() const override { return MonoClock::now(); }
    void SleepFor(MonoDuration d) override;
};

class FakeClock final : public IClock {
public:
    FakeClock() : now_(MonoTime{} + std::chrono::hours(24)) {}
    MonoTime Now() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    // Advances the clock by d instead of waiting.
    void SleepFor(MonoDuration d) override { Advance(d); }
    void Advance(MonoDuration d) {
        std::lock_guard lock(mutex_);
        now_ += d;
    }

private:
    mutable std::mutex mutex_;
    MonoTime now_;
};

IClock& DefaultClock();

}  // namespace Vel
