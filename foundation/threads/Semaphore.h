#pragma once
// VelSemaphore: a counting semaphore (count limit 1,000,000,000).
//
// Contract:
// - Any thread may Release or wait; one Release satisfies exactly one wait. A Release that
//   would pass the limit is ignored.
// - TimedWait(ms): a negative count waits 0 ms; a count that does not fit in 32 bits waits
//   without limit; otherwise that many milliseconds on the monotonic clock.
// - Locks only its own internal mutex.

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <chrono>

class VelSemaphore {
public:
    static constexpr std::int64_t kMaxCount = 1000000000;

    VelSemaphore(std::string name, std::int64_t initialCount);
    VelSemaphore(const VelSemaphore&) = delete;
    VelSemaphore& operator=(const VelSemaphore&) = delete;

    void Release();
    void Wait();
    bool TimedWait(std::int64_t milliseconds);

    const std::string& GetName() const noexcept { return name_; }
    // Threads blocked in Wait or TimedWait right now (for diagnostics and tests).
    int GetWaitingCount() const;

    // The wait a millisecond count stands for: nullopt = without limit.
    static std::optional<std::chrono::milliseconds> WaitLimit(std::int64_t milliseconds) noexcept;

private:
    std::string name_;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    std::int64_t count_;
    int waiting_ = 0;
};
