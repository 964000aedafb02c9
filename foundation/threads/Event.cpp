#include "foundation/threads/Event.h"

#include "foundation/threads/Semaphore.h"

VelEvent::VelEvent(bool manualReset) : manualReset_(manualReset) {}

void VelEvent::Set() {
    std::lock_guard lock(mutex_);
    if (manualReset_) {
        signalled_ = true;
        ++generation_;
        changed_.notify_all();
    } else if (waiting_ > releases_) {
        ++releases_;
        changed_.notify_all();
    } else {
        signalled_ = true;
    }
}

void VelEvent::Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool VelEvent::Ready(std::uint64_t generation) const {
    if (manualReset_) return signalled_ || generation_ != generation;
    return signalled_ || releases_ > 0;
}

void VelEvent::Consume(std::uint64_t /*generation*/) {
    if (manualReset_) return;
    if (releases_ > 0)
        --releases_;
    else
        signalled_ = false;
}

void VelEvent::Wait() {
    std::unique_lock lock(mutex_);
    const std::uint64_t generation = generation_;
    ++waiting_;
    changed_.wait(lock, [&] { return Ready(generation); });
    --waiting_;
    Consume(generation);
}

bool VelEvent::TimedWait(VelDuration timeout) {
    auto limit = VelSemaphore::WaitLimit(timeout.Count(VelTimePrecision::Millisecond));
    if (!limit) {
        Wait();
        return true;
    }
    std::unique_lock lock(mutex_);
    const std::uint64_t generation = generation_;
    ++waiting_;
    bool ready = changed_.wait_for(lock, *limit, [&] { return Ready(generation); });
    --waiting_;
    if (ready) Consume(generation);
    return ready;
}

int VelEvent::GetWaitingCount() const {
    std::lock_guard lock(mutex_);
    return waiting_;
}
