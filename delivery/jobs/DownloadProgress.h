#pragma once
// The progress record of one running job: units of work in all and done, bytes to transfer and
// transferred, the transfer rate averaged over recent samples, and the time left.
//
// Contract:
// - Writers (AddDone, SetDone, SubtractDone, AddTotal, SetTotal, SetTransferTotal,
//   AddTransferDone, SubtractTransferDone) may run on any number of threads at once; each holds the object's VelMutex (recursive).
//   GetPercent and GetTimeLeft hold it too. GetDone, GetTotal, GetRateText and GetSizeText read
//   atomics without the lock (a display text may mix values from two moments).
// - done never exceeds total and never goes below 0: AddDone clamps at total, SubtractDone takes
//   back at most what is done.
// - A speed sample is taken by AddDone when more than 300 ms have passed on the clock since the
//   last one: (done - done at last sample) per second into a ring of 20; the rate is the mean of
//   the non-zero samples, truncated, saturating at 2^32 - 1. The first sample after done was
//   lowered counts as 0 and restarts the base at the current done.
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

    explicit DownloadProgress(IClock& clock = DefaultClock());
    DownloadProgress(const DownloadProgress&) = delete;
    DownloadProgress& operator=(const DownloadProgress&) = delete;

    void AddDone(std::uint64_t n);
    void SetDone(std::uint64_t v);
    void SubtractDone(std::uint64_t n);
    void AddTotal(std::uint64_t n);
    void SetTotal(std::uint64_t v);
    void SetTransferTotal(std::uint64_t v);
    void AddTransferDone(std::uint64_t n);
    // Takes back transferred bytes that were counted for a failed attempt (never below 0).
    void SubtractTransferDone(std::uint64_t n);

    std::uint64_t GetDone() const noexcept { return done_.load(std::memory_order_relaxed); }
    std::uint64_t GetTotal() const noexcept { return total_.load(std::memory_order_relaxed); }
    float GetPercent() const;
    // FormatByteSize(rate) + "/s".
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
    bool lowered_ = false;  // done went down since the last sample
};

}  // namespace Vel
