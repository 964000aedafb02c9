#pragma once
// The progress record of one running job: units of work in all and done, bytes to transfer and
// transferred, the transfer rate averaged over recent samples, and the time left.
//
// Contract:
// - Writers (AddDone, SetDone, SubtractDone, RestoreDone, AddTotal, SetTotal, SetTransferTotal,
//   AddTransferDone, SubtractTransferDone) may run on any number of threads at once; each holds the object's VelMutex (recursive).
//   GetPercent and GetTimeLeft hold it too. GetDone, GetTotal, GetRateText and GetSizeText read
//   atomics without the lock (a display text may mix values from two moments).
// - done never exceeds total and never goes below 0: AddDone clamps at total, SubtractDone takes
//   back at most what is done.
// - A speed sample is taken by AddDone when more than 300 ms have passed on the clock since the
//   last one: (done - done at last sample) per second into a ring of 20; the rate is the mean of
//   the non-zero samples, truncated, saturating at 2^32 - 1. The first sample after done was
//   lowered counts as 0 and restarts the base at the current done.
// - A stall: when no units have arrived (no AddDone of more than 0, no raising SetDone) for
//   longer than kSampleWindow, the ring's time span, the rate shown (GetRateText) is 0 and so
//   is the time left, whatever the ring still holds. The first units after such a stall start
//   the averaging afresh, as if the ring had turned through zero samples meanwhile: the ring
//   is emptied and the next sample measures from that moment.
// - RestoreDone gives back units taken back before (clamped at total); they arrived earlier, so
//   they count to no sample and end no stall.
// - Time left is 0 while the rate is 0, else the remaining units (transfer pair when a transfer
//   total is set; never below 0) divided by the rate, in whole seconds (saturating at 2^32 - 1).
// - The clock must outlive the object. Held by shared pointer and never copied.

#include "foundation/time/Clock.h"
#include "foundation/core/Duration.h"
#include "foundation/threads/Mutex.h"

#include <atomic>
#include <cstdint>
#include <string>

namespace Vel {

class DownloadProgress {
public:
    static constexpr int kSampleCount = 20;
    static constexpr auto kSampleInterval = std::chrono::milliseconds(300);
    // The time the ring of samples spans; a longer stall shows a rate of 0.
    static constexpr auto kSampleWindow = kSampleInterval * kSampleCount;

    explicit DownloadProgress(IClock& clock = DefaultClock());
    DownloadProgress(const DownloadProgress&) = delete;
    DownloadProgress& operator=(const DownloadProgress&) = delete;

    void AddDone(std::uint64_t n);
    void SetDone(std::uint64_t v);
    void SubtractDone(std::uint64_t n);
    // Gives back units taken back earlier (clamped at total): done rises, but nothing arrived
    // now, so neither the rate nor the stall's clock counts them.
    void RestoreDone(std::uint64_t n);
    void AddTotal(std::uint64_t n);
    void SetTotal(std::uint64_t v);
    void SetTransferTotal(std::uint64_t v);
    void AddTransferDone(std::uint64_t n);
    // Takes back transferred bytes that were counted for a failed attempt (never below 0).
    void SubtractTransferDone(std::uint64_t n);

    std::uint64_t GetDone() const noexcept { return done_.load(std::memory_order_relaxed); }
    std::uint64_t GetTotal() const noexcept { return total_.load(std::memory_order_relaxed); }
    float GetPercent() const;
    // FormatByteSize(rate) + "/s"; "0 B/s" during a stall.
    std::string GetRateText() const;
    // "done / total" as byte sizes; the transfer pair once a transfer total is set.
    std::string GetSizeText() const;
    // The time left in whole seconds (see the contract); the zero duration while the rate is 0.
    VelDuration GetTimeLeft() const;
    // GetTimeLeft as a number of seconds.
    std::uint32_t GetSecondsLeft() const;

private:
    void AddDoneLocked(std::uint64_t n);
    void TakeSampleLocked();
    // The rate as shown: 0 once nothing has arrived for longer than the window.
    std::uint32_t ShownRate() const;

    IClock& clock_;
    mutable VelMutex mutex_;
    std::atomic<std::uint64_t> total_{0};
    std::atomic<std::uint64_t> transferTotal_{0};
    std::atomic<std::uint64_t> done_{0};
    std::atomic<std::uint64_t> transferDone_{0};
    std::uint64_t doneAtLastSample_ = 0;
    std::atomic<std::uint32_t> rate_{0};
    double samples_[kSampleCount] = {};
    int sampleIndex_ = 0;
    MonoTime lastSample_;
    // When units last arrived (clock ticks), read by the display without the lock.
    std::atomic<MonoDuration::rep> lastArrival_;
    bool lowered_ = false;  // done went down since the last sample
};

}  // namespace Vel
