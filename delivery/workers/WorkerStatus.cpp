#include "delivery/workers/WorkerStatus.h"

#include <utility>

namespace Vel {

void WorkerStatus::Notify() {
    Listener listener;
    {
        std::lock_guard lock(mutex_);
        listener = listener_;
    }
    if (listener) listener();
}

void WorkerStatus::Begin() {
    {
        std::lock_guard lock(mutex_);
        phase_ = 0;
        active_ = true;
        shown_ = true;
    }
    Notify();
}

void WorkerStatus::SetProgress(std::shared_ptr<DownloadProgress> progress) {
    {
        std::lock_guard lock(mutex_);
        progress_ = std::move(progress);
        shown_ = true;
    }
    Notify();
}

void WorkerStatus::End() {
    {
        std::lock_guard lock(mutex_);
        shown_ = false;
        phase_ = 1;
        active_ = false;
        error_ = false;
    }
    Notify();
}

void WorkerStatus::SetStatusText(std::string text) {
    std::lock_guard lock(mutex_);
    statusText_ = std::move(text);
}

void WorkerStatus::SetError() {
    std::lock_guard lock(mutex_);
    error_ = true;
}

void WorkerStatus::SetPhase(std::uint8_t phase) {
    std::lock_guard lock(mutex_);
    phase_ = phase;
}

void WorkerStatus::SetListener(Listener listener) {
    std::lock_guard lock(mutex_);
    listener_ = std::move(listener);
}

std::shared_ptr<DownloadProgress> WorkerStatus::GetProgress() const {
    std::lock_guard lock(mutex_);
    return progress_;
}

std::string WorkerStatus::GetStatusText() const {
    std::lock_guard lock(mutex_);
    return statusText_;
}

bool WorkerStatus::IsJobActive() const {
    std::lock_guard lock(mutex_);
    return active_;
}

bool WorkerStatus::IsShown() const {
    std::lock_guard lock(mutex_);
    return shown_;
}

bool WorkerStatus::HasError() const {
    std::lock_guard lock(mutex_);
    return error_;
}

std::uint8_t WorkerStatus::GetPhase() const {
    std::lock_guard lock(mutex_);
    return phase_;
}

WorkerStatus& GetWorkerStatusRecord() {
    static WorkerStatus record;
    return record;
}

void BeginWorkerStatus() { GetWorkerStatusRecord().Begin(); }
void SetWorkerProgress(std::shared_ptr<DownloadProgress> progress) {
    GetWorkerStatusRecord().SetProgress(std::move(progress));
}
void NewWorkerProgress(std::uint64_t total) { GetWorkerStatusRecord().NewProgress(total); }
void EndWorkerStatus() { GetWorkerStatusRecord().End(); }
void SetWorkerStatusText(std::string text) { GetWorkerStatusRecord().SetStatusText(std::move(text)); }
void SetWorkerError() { GetWorkerStatusRecord().SetError(); }
void SetWorkerPhase(std::uint8_t phase) { GetWorkerStatusRecord().SetPhase(phase); }
void SetWorkerStatusListener(WorkerStatus::Listener listener) {
    GetWorkerStatusRecord().SetListener(std::move(listener));
}

std::shared_ptr<DownloadProgress> GetWorkerProgress() { return GetWorkerStatusRecord().GetProgress(); }
std::string GetWorkerStatusText() { return GetWorkerStatusRecord().GetStatusText(); }
bool IsWorkerJobActive() { return GetWorkerStatusRecord().IsJobActive(); }
bool IsWorkerStatusShown() { return GetWorkerStatusRecord().IsShown(); }
bool HasWorkerError() { return GetWorkerStatusRecord().HasError(); }
std::uint8_t GetWorkerPhase() { return GetWorkerStatusRecord().GetPhase(); }
std::string GetTimeRemainingText() { return GetWorkerStatusRecord().GetTimeRemainingText(); }

}  // namespace Vel

// ---- progress-dependent parts
#include "delivery/jobs/DownloadProgress.h"
#include "foundation/core/Duration.h"
#include "foundation/text/LocalizedStrings.h"

namespace Vel {

void WorkerStatus::NewProgress(std::uint64_t total) {
    auto progress = std::make_shared<DownloadProgress>();
    progress->SetTotal(total);
    SetProgress(std::move(progress));
}

std::string WorkerStatus::GetTimeRemainingText() const {
    std::shared_ptr<DownloadProgress> progress;
    {
        std::lock_guard lock(mutex_);
        progress = progress_;
    }
    if (!progress) return "";
    const VelDuration left(progress->GetSecondsLeft(), VelTimePrecision::Second);
    return LoadLocalizedString(1196) + " " + left.ToString(3);
}

}  // namespace Vel
