#include "tests/support/ManualRequestScheduler.h"

namespace Vel::Test {

void ManualRequestScheduler::Post(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(job));
    }
    posted_.notify_all();
}

void ManualRequestScheduler::PostAfter(std::function<void()> job, MonoDuration delay) {
    std::lock_guard lock(mutex_);
    delayed_.emplace(clock_.Now() + delay, std::move(job));
}

int ManualRequestScheduler::RunReady() {
    int ran = 0;
    for (;;) {
        std::function<void()> job;
        {
            std::lock_guard lock(mutex_);
            if (!queue_.empty()) {
                job = std::move(queue_.front());
                queue_.pop_front();
            } else if (!delayed_.empty() && delayed_.begin()->first <= clock_.Now()) {
                job = std::move(delayed_.begin()->second);
                delayed_.erase(delayed_.begin());
            } else {
                return ran;
            }
        }
        job();
        ++ran;
    }
}

int ManualRequestScheduler::Advance(MonoDuration d) {
    // Step from due time to due time, so that jobs posted on the way fall due in turn.
    const MonoTime target = clock_.Now() + d;
    int ran = RunReady();
    for (;;) {
        MonoTime next;
        {
            std::lock_guard lock(mutex_);
            if (delayed_.empty() || delayed_.begin()->first > target) break;
            next = delayed_.begin()->first;
        }
        if (next > clock_.Now()) clock_.Advance(next - clock_.Now());
        ran += RunReady();
    }
    if (target > clock_.Now()) clock_.Advance(target - clock_.Now());
    return ran + RunReady();
}

bool ManualRequestScheduler::WaitForJob(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return posted_.wait_for(lock, limit, [this] { return !queue_.empty(); });
}

std::size_t ManualRequestScheduler::DelayedCount() const {
    std::lock_guard lock(mutex_);
    return delayed_.size();
}

}  // namespace Vel::Test
