#include "delivery/jobs/DownloadProgress.h"

#include "foundation/core/StringUtils.h"

#include <algorithm>
#include <iterator>
#include <limits>

namespace Vel {

DownloadProgress::DownloadProgress(IClock& clock)
    : clock_(clock), lastSample_(clock.Now()), lastArrival_(lastSample_.time_since_epoch().count()) {}

void DownloadProgress::AddDone(std::uint64_t n) {
    std::lock_guard lock(mutex_);
    AddDoneLocked(n);
}

void DownloadProgress::AddDoneLocked(std::uint64_t n) {
    const std::uint64_t total = total_.load(std::memory_order_relaxed);
    const std::uint64_t done = done_.load(std::memory_order_relaxed);
    if (n > 0) {
        const MonoTime now = clock_.Now();
        const MonoTime lastArrival{MonoDuration(lastArrival_.load(std::memory_order_relaxed))};
        if (now - lastArrival > kSampleWindow) {
            // Back after a stall that outlasted every sample: measure afresh from here.
            std::fill(std::begin(samples_), std::end(samples_), 0.0);
            rate_.store(0, std::memory_order_relaxed);
            lastSample_ = now;
            doneAtLastSample_ = done;
            lowered_ = false;
        }
        lastArrival_.store(now.time_since_epoch().count(), std::memory_order_relaxed);
    }
    const std::uint64_t room = total > done ? total - done : 0;
    done_.store(done + std::min(n, room), std::memory_order_relaxed);
    if (done > total) done_.store(total, std::memory_order_relaxed);  // total was lowered below done
    TakeSampleLocked();
}

void DownloadProgress::TakeSampleLocked() {
    const MonoTime now = clock_.Now();
    const auto elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - lastSample_).count();
    if (elapsedMs <= kSampleInterval.count()) return;

    const std::uint64_t done = done_.load(std::memory_order_relaxed);
    sampleIndex_ = (sampleIndex_ + 1) % kSampleCount;
    if (lowered_ || done < doneAtLastSample_) {
        samples_[sampleIndex_] = 0.0;  // the base is stale: count nothing for this interval
        lowered_ = false;
    } else {
        samples_[sampleIndex_] =
            static_cast<double>(done - doneAtLastSample_) / (static_cast<double>(elapsedMs) / 1000.0);
    }

    double sum = 0.0;
    int used = 0;
    for (double s : samples_) {
        if (s != 0.0) {
            sum += s;
            ++used;
        }
    }
    const double mean = used > 0 ? sum / used : 0.0;
    constexpr double kMaxRate = static_cast<double>(std::numeric_limits<std::uint32_t>::max());
    rate_.store(mean >= kMaxRate ? std::numeric_limits<std::uint32_t>::max() : static_cast<std::uint32_t>(mean),
                std::memory_order_relaxed);
    lastSample_ = now;
    doneAtLastSample_ = done;
}

void DownloadProgress::SetDone(std::uint64_t v) {
    std::lock_guard lock(mutex_);
    const std::uint64_t done = done_.load(std::memory_order_relaxed);
    if (v <= done) {
        if (v < done) lowered_ = true;
        done_.store(v, std::memory_order_relaxed);
        return;
    }
    AddDoneLocked(v - done);
}

void DownloadProgress::SubtractDone(std::uint64_t n) {
    std::lock_guard lock(mutex_);
    const std::uint64_t done = done_.load(std::memory_order_relaxed);
    const std::uint64_t taken = std::min(n, done);
    if (taken == 0) return;
    done_.store(done - taken, std::memory_order_relaxed);
    lowered_ = true;
}

void DownloadProgress::RestoreDone(std::uint64_t n) {
    std::lock_guard lock(mutex_);
    const std::uint64_t total = total_.load(std::memory_order_relaxed);
    const std::uint64_t done = done_.load(std::memory_order_relaxed);
    const std::uint64_t added = std::min(n, total > done ? total - done : 0);
    done_.store(done + added, std::memory_order_relaxed);
    // The next sample measures from a base that holds them (a lowered base restarts anyway).
    if (!lowered_) doneAtLastSample_ += added;
}

void DownloadProgress::AddTotal(std::uint64_t n) {
    std::lock_guard lock(mutex_);
    total_.store(total_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

void DownloadProgress::SetTotal(std::uint64_t v) {
    std::lock_guard lock(mutex_);
    total_.store(v, std::memory_order_relaxed);
}

void DownloadProgress::SetTransferTotal(std::uint64_t v) {
    std::lock_guard lock(mutex_);
    transferTotal_.store(v, std::memory_order_relaxed);
}

void DownloadProgress::AddTransferDone(std::uint64_t n) {
    std::lock_guard lock(mutex_);
    transferDone_.store(transferDone_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

void DownloadProgress::SubtractTransferDone(std::uint64_t n) {
    std::lock_guard lock(mutex_);
    const std::uint64_t done = transferDone_.load(std::memory_order_relaxed);
    transferDone_.store(done - std::min(n, done), std::memory_order_relaxed);
}

float DownloadProgress::GetPercent() const {
    std::lock_guard lock(mutex_);
    const float total = static_cast<float>(total_.load(std::memory_order_relaxed));
    if (!(total > 0.0f)) return 0.0f;
    const float done = static_cast<float>(done_.load(std::memory_order_relaxed));
    return static_cast<float>(done * 100.0 / total);
}

std::uint32_t DownloadProgress::ShownRate() const {
    const MonoTime lastArrival{MonoDuration(lastArrival_.load(std::memory_order_relaxed))};
    if (clock_.Now() - lastArrival > kSampleWindow) return 0;
    return rate_.load(std::memory_order_relaxed);
}

std::string DownloadProgress::GetRateText() const { return FormatByteSize(ShownRate()) + "/s"; }

std::string DownloadProgress::GetSizeText() const {
    const std::uint64_t transferTotal = transferTotal_.load(std::memory_order_relaxed);
    if (transferTotal != 0)
        return FormatByteSize(transferDone_.load(std::memory_order_relaxed)) + " / " + FormatByteSize(transferTotal);
    return FormatByteSize(GetDone()) + " / " + FormatByteSize(GetTotal());
}

VelDuration DownloadProgress::GetTimeLeft() const {
    if (ShownRate() == 0) return VelDuration();
    return VelDuration(GetSecondsLeft(), VelTimePrecision::Second);
}

std::uint32_t DownloadProgress::GetSecondsLeft() const {
    if (ShownRate() == 0) return 0;
    std::lock_guard lock(mutex_);
    const std::uint32_t rate = ShownRate();
    if (rate == 0) return 0;
    const std::uint64_t transferTotal = transferTotal_.load(std::memory_order_relaxed);
    const std::uint64_t all = transferTotal != 0 ? transferTotal : total_.load(std::memory_order_relaxed);
    const std::uint64_t part = transferTotal != 0 ? transferDone_.load(std::memory_order_relaxed)
                                                  : done_.load(std::memory_order_relaxed);
    const std::uint64_t remaining = all > part ? all - part : 0;
    const std::uint64_t seconds = remaining / rate;
    return seconds > std::numeric_limits<std::uint32_t>::max() ? std::numeric_limits<std::uint32_t>::max()
                                                                : static_cast<std::uint32_t>(seconds);
}

}  // namespace Vel
