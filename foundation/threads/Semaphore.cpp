#include "foundation/threads/Semaphore.h"

VelSemaphore::VelSemaphore(std::string name, std::int64_t initialCount)
    : name_(std::move(name)), count_(initialCount < 0 ? 0 : (initialCount > kMaxCount ? kMaxCount : initialCount)) {}

std::optional<std::chrono::milliseconds> VelSemaphore::WaitLimit(std::int64_t milliseconds) noexcept {
    if (milliseconds < 0) return std::chrono::milliseconds(0);
    if (milliseconds > 0xFFFFFFFFll) return std::nullopt;
    return std::chrono::milliseconds(milliseconds);
}

void VelSemaphore::Release() {
    std::lock_guard lock(mutex_);
    if (count_ >= kMaxCount) return;
    ++count_;
    released_.notify_one();
}

void VelSemaphore::Wait() {
    std::unique_lock lock(mutex_);
    ++waiting_;
    released_.wait(lock, [&] { return count_ > 0; });
    --waiting_;
    --count_;
}

bool VelSemaphore::TimedWait(std::int64_t milliseconds) {
    auto limit = WaitLimit(milliseconds);
    if (!limit) {
        Wait();
        return true;
    }
    std::unique_lock lock(mutex_);
    ++waiting_;
    bool acquired = released_.wait_for(lock, *limit, [&] { return count_ > 0; });
    --waiting_;
    if (acquired) --count_;
    return acquired;
}

int VelSemaphore::GetWaitingCount() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}
