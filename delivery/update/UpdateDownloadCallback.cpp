#include "delivery/update/UpdateDownloadCallback.h"

#include "delivery/jobs/DownloadProgress.h"
#include "delivery/update/UpdateManager.h"
#include "delivery/workers/WorkerStatus.h"
#include "foundation/threads/Dispatcher.h"

namespace Vel::UpdateManager {

DownloadCallback::DownloadCallback(std::size_t jobCount, std::uint64_t fileWeight, Finished finished,
                                   IUpdateErrorPrompt& prompt, std::shared_ptr<IDispatcher> finishDispatcher)
    : fileWeight_(fileWeight),
      finished_(std::move(finished)),
      prompt_(prompt),
      finishDispatcher_(std::move(finishDispatcher)),
      remaining_(jobCount) {}

bool DownloadCallback::CountOff(bool failed) {
    std::lock_guard lock(mutex_);
    if (remaining_ > 0) --remaining_;
    if (done_) return false;
    if (failed || remaining_ == 0) done_ = true;
    return done_;
}

bool DownloadCallback::IsFinished() const {
    std::lock_guard lock(mutex_);
    return done_;
}

void DownloadCallback::OnDone(const DownloadItem&, bool failed) {
    {
        std::lock_guard lock(mutex_);
        if (done_) return;
    }
    if (const auto progress = GetWorkerProgress()) progress->AddDone(fileWeight_);
    if (CountOff(failed) && finished_) finished_(failed);
}

void DownloadCallback::OnDiscarded(const DownloadItem&) {
    if (!CountOff(false) || !finished_) return;
    // Nobody runs any more: the abort discarded the last jobs between two of them. The run
    // finishes on its own pool, not on the thread that aborted.
    if (finishDispatcher_ != nullptr) {
        finishDispatcher_->Post([finished = finished_] { finished(true); });
    } else {
        finished_(true);
    }
}

bool DownloadCallback::OnRetry(const DownloadItem& item, const std::string& message) {
    std::string text = "Failed downloading: " + item.displayName;
    if (!message.empty()) text += "\r\n\r\n" + message;
    prompt_.AskRetry(kStringDownloadError, text, false);
    Abort();
    return false;
}

void DownloadCallback::SetStatus(const std::string& text) { SetWorkerStatusText(text); }

void DownloadCallback::AddProgress(std::uint64_t bytes) {
    if (bytes == 0) return;
    if (const auto progress = GetWorkerProgress()) {
        progress->AddDone(bytes);
        progress->AddTransferDone(bytes);
    }
}

void DownloadCallback::TakeBackProgress(std::uint64_t bytes) {
    if (const auto progress = GetWorkerProgress()) {
        progress->SubtractDone(bytes);
        progress->SubtractTransferDone(bytes);
    }
}

void DownloadCallback::SetTransferring(bool) {}

bool DownloadCallback::IsAborted() { return IsAbortRequested(); }

}  // namespace Vel::UpdateManager
