#pragma once
// Vel::UpdateManager::DownloadCallback: the update run's one callback for all of its download
// jobs. It feeds the worker status and progress, asks the download error question, and calls
// the run's finished function exactly once: after the last job, at the first failed job, or,
// when an abort has discarded the jobs still queued and none is running, on the finish
// dispatcher (the update pool).
//
// Contract:
// - Constructed with the number of jobs the run posts; every job is counted off once, by its
//   OnDone or, for a job discarded without running, by its OnDiscarded. Whether the last job
//   has ended is read from that count, never from a queue.
// - OnDone after the finish does nothing (no progress, no second finish).
// - OnRetry shows the download error dialog (1117, no Try again), then aborts the update
//   (abort flag set, queued jobs discarded) and returns false.
// - IsAborted is the update manager's abort flag, read under the update-manager lock.
// - Threads: the update pool's (the jobs), and whichever thread discards queued jobs (the UI
//   thread through UpdateManager::Abort). The count and the finished flag are guarded by a
//   small mutex of this object; the finished function and the prompt are called without it.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

#include "delivery/update/DownloadJob.h"
#include "delivery/update/UpdateErrorPrompt.h"

namespace Vel {
class IDispatcher;

namespace UpdateManager {

class DownloadCallback final : public VelDownloadJob::ICallback {
public:
    using Finished = std::function<void(bool failed)>;

    // finishDispatcher: where a finish caused by discarded jobs runs (null: on the discarding
    // thread; held, so a pool stopped by a shutdown meanwhile drops the finish instead of being
    // used after it is gone). The prompt must outlive this object.
    DownloadCallback(std::size_t jobCount, std::uint64_t fileWeight, Finished finished, IUpdateErrorPrompt& prompt,
                     std::shared_ptr<IDispatcher> finishDispatcher);

    void OnDone(const DownloadItem& item, bool failed) override;
    bool OnRetry(const DownloadItem& item, const std::string& message) override;
    void SetStatus(const std::string& text) override;
    void AddProgress(std::uint64_t bytes) override;
    void TakeBackProgress(std::uint64_t bytes) override;
    void SetTransferring(bool transferring) override;
    bool IsAborted() override;
    void OnDiscarded(const DownloadItem& item) override;

    bool IsFinished() const;

private:
    // Counts one job off; true when this call finishes the run.
    bool CountOff(bool failed);

    const std::uint64_t fileWeight_;
    const Finished finished_;
    IUpdateErrorPrompt& prompt_;
    const std::shared_ptr<IDispatcher> finishDispatcher_;
    mutable std::mutex mutex_;
    std::size_t remaining_;
    bool done_ = false;
};

}  // namespace UpdateManager
}  // namespace Vel
