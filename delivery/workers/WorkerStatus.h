#pragma once
// The one process-wide record through which background work reports to the main window:
// whether a job is active, whether its progress is to be shown, whether a download error
// occurred, the job's phase, the status text and the current download progress.
//
// Contract:
// - Every field is guarded by the record's own lock; readers return copies.
// - Writers that change what the window must show (BeginWorkerStatus, SetWorkerProgress,
//   NewWorkerProgress, EndWorkerStatus) call the listener afterwards, on the writer's thread and
//   after the lock has been released, so a listener may read the record. SetWorkerStatusText,
//   SetWorkerError and SetWorkerPhase do not call it: the window picks those up on its timer.
// - EndWorkerStatus keeps the last progress object and status text readable.
// - Any thread may call any operation. The free functions work on one global instance that
//   lives for the whole process.

#include <cstdint>
#include <functional>
#include <memory>
#include "foundation/threads/Mutex.h"

#include <string>

namespace Vel {

class DownloadProgress;

class WorkerStatus {
public:
    using Listener = std::function<void()>;

    WorkerStatus() = default;
    WorkerStatus(const WorkerStatus&) = delete;
    WorkerStatus& operator=(const WorkerStatus&) = delete;

    void Begin();
    void SetProgress(std::shared_ptr<DownloadProgress> progress);
    void NewProgress(std::uint64_t total);
    void End();
    void SetStatusText(std::string text);
    void SetError();
    void SetPhase(std::uint8_t phase);
    void SetListener(Listener listener);

    std::shared_ptr<DownloadProgress> GetProgress() const;
    std::string GetStatusText() const;
    bool IsJobActive() const;
    bool IsShown() const;
    bool HasError() const;
    std::uint8_t GetPhase() const;
    // String 1196 ("Time remaining"), a blank and the current progress's time left in the
    // clock form (style 3: hh:mm:ss, with a day prefix past a day); "" while there is no
    // progress.
    std::string GetTimeRemainingText() const;

private:
    void Notify();

    mutable VelMutex mutex_;
    std::shared_ptr<DownloadProgress> progress_;
    std::string statusText_;
    bool active_ = false;
    bool shown_ = false;
    bool error_ = false;
    std::uint8_t phase_ = 1;
    Listener listener_;
};

// The process-wide record.
WorkerStatus& GetWorkerStatusRecord();

void BeginWorkerStatus();
void SetWorkerProgress(std::shared_ptr<DownloadProgress> progress);
void NewWorkerProgress(std::uint64_t total);
void EndWorkerStatus();
void SetWorkerStatusText(std::string text);
void SetWorkerError();
void SetWorkerPhase(std::uint8_t phase);
void SetWorkerStatusListener(WorkerStatus::Listener listener);

std::shared_ptr<DownloadProgress> GetWorkerProgress();
std::string GetWorkerStatusText();
bool IsWorkerJobActive();
bool IsWorkerStatusShown();
bool HasWorkerError();
std::uint8_t GetWorkerPhase();
std::string GetTimeRemainingText();

}  // namespace Vel
