#include "delivery/workers/WorkerRunner.h"

#include "foundation/core/Exception.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/threads/WaitCancel.h"

#include <exception>
#include <mutex>

namespace Vel {
namespace {

// String 152 with its one "%s" replaced by the file name (the name is never read as a format).
std::string FileAccessText(const std::string& fileName) {
    const std::string format = LoadLocalizedString(152);
    const auto at = format.find("%s");
    if (at == std::string::npos) return format + " " + fileName;
    return format.substr(0, at) + fileName + format.substr(at + 2);
}

}  // namespace

std::shared_ptr<ITSWorker> WorkerRunner::GetCurrentWorker() const {
    std::lock_guard lock(mutex_);
    return current_;
}

std::shared_ptr<ITSWorker> WorkerRunner::GetPendingWorker() const {
    std::lock_guard lock(mutex_);
    return pending_;
}

bool WorkerRunner::IsWorkerRunning() const { return GetCurrentWorker() != nullptr; }

WorkerType WorkerRunner::GetCurrentWorkerType() const {
    auto current = GetCurrentWorker();
    return current ? current->GetType() : kNoWorker;
}

void WorkerRunner::SetPendingWorker(std::shared_ptr<ITSWorker> worker) {
    const int priority = worker->GetPriority();
    std::lock_guard lock(mutex_);
    if (pending_ && pending_->GetPriority() > priority) throw Exception();
    pending_ = std::move(worker);
}

void WorkerRunner::ClearPendingWorker() {
    std::shared_ptr<ITSWorker> dropped;
    std::lock_guard lock(mutex_);
    dropped.swap(pending_);
}

bool WorkerRunner::StartPendingWorker() {
    std::shared_ptr<ITSWorker> worker;
    {
        std::lock_guard lock(mutex_);
        if (!pending_ || current_) return false;
        worker.swap(pending_);
    }
    StartWorker(std::move(worker));
    return true;
}

void WorkerRunner::StartWorker(std::shared_ptr<ITSWorker> worker) {
    {
        std::lock_guard lock(mutex_);
        if (current_) throw Exception();
        current_ = worker;
    }
    // The binder the worker calls before its job can run: it stores the job in the worker, then
    // binds the job's failure and completion to this runner. The job must not own its worker (the
    // worker owns the job).
    struct Bound {
        std::mutex mutex;
        std::shared_ptr<ThreadJob> job;
    };
    auto bound = std::make_shared<Bound>();
    std::weak_ptr<ITSWorker> weak = worker;
    ThreadJobBinder bind = [this, weak, bound](const std::shared_ptr<ThreadJob>& job) {
        auto w = weak.lock();
        if (!job || !w) return;
        {
            std::lock_guard lock(bound->mutex);
            if (bound->job == job) return;  // bound already
            bound->job = job;
        }
        w->SetJob(job);
        job->SetErrorHandler([this, weak] {
            auto w = weak.lock();
            return w ? OnWorkerFailed(w) : false;
        });
        job->AddCompletionCallback([this, weak] {
            if (auto w = weak.lock()) OnWorkerCompleted(w);
        });
    };
    worker->SetJobBinder(bind);
    struct ClearBinder {
        ITSWorker& worker;
        ~ClearBinder() { worker.SetJobBinder({}); }
    } clearBinder{*worker};

    std::shared_ptr<ThreadJob> job;
    for (;;) {
        try {
            try {
                job = worker->Start();
                break;
            } catch (const Exception&) {
                throw;
            } catch (const std::exception& e) {
                throw Exception(e.what());
            } catch (...) {
                throw Exception();
            }
        } catch (const Exception&) {
            if (!OnWorkerFailed(worker)) return;
        }
    }

    if (!job) {
        OnWorkerCompleted(worker);
        return;
    }
    StartedCallback started;
    {
        std::lock_guard lock(mutex_);
        started = started_;
    }
    if (started) started(worker);
    bind(job);  // a job that Start did not bind itself
}

void WorkerRunner::RunWorker(std::shared_ptr<ITSWorker> worker) {
    const int priority = worker->GetPriority();
    std::shared_ptr<ITSWorker> current;
    std::shared_ptr<ITSWorker> dropped;
    {
        std::lock_guard lock(mutex_);
        if (pending_ && priority >= pending_->GetPriority()) dropped.swap(pending_);
        current = current_;
    }
    if (current) {
        if (priority < current->GetPriority()) {
            SetPendingWorker(std::move(worker));
            return;
        }
        if (!AbortCurrentWorker()) throw Exception();
    }
    StartWorker(std::move(worker));
}

bool WorkerRunner::AbortCurrentWorker() {
    auto current = GetCurrentWorker();
    if (!current) return true;
    if (!current->ConfirmAbort()) return false;
    auto job = current->GetJob();
    if (!job) return false;
    job->Abort();
    std::lock_guard lock(mutex_);
    if (current_ == current) current_.reset();
    return true;
}

void WorkerRunner::SwitchToPendingWorker() {
    (void)AbortCurrentWorker();
    StartPendingWorker();
}

void WorkerRunner::OnWorkerCompleted(const std::shared_ptr<ITSWorker>& worker) {
    CompletedCallback completed;
    {
        std::lock_guard lock(mutex_);
        if (current_ != worker) return;
        current_.reset();
        completed = completed_;
    }
    try {
        worker->OnFinished();
    } catch (const Exception&) {
        // A chained worker below a higher-priority pending one is dropped; the end of this
        // worker is still reported.
    }
    if (completed) completed(worker);
}

bool WorkerRunner::OnWorkerFailed(const std::shared_ptr<ITSWorker>& worker) {
    ErrorCallback error;
    {
        std::lock_guard lock(mutex_);
        if (current_ != worker) return false;
        error = error_;
    }
    if (error) {
        bool handled = false;
        std::string message;
        try {
            handled = worker->HandleException();
        } catch (const NetworkException& e) {
            message = "Failed downloading " + e.GetUrl() + "\n\n" + e.GetErrorText() + ".\n\n" + LoadLocalizedString(1122);
        } catch (const FileException& e) {
            message = FileAccessText(e.GetFileName()) + "\n\n" + e.GetErrorText();
        } catch (...) {
            // Any other failure is not the user's to retry: it ends the worker below.
        }
        if (!message.empty()) {
            auto job = worker->GetJob();
            CancelScope cancel([job] { return job && job->IsAborted(); });
            handled = error(message);
        }
        if (handled) return true;
    }
    const bool close = worker->CloseOnFailure();
    FailedCallback failed;
    {
        std::lock_guard lock(mutex_);
        if (current_ == worker) current_.reset();
        failed = failed_;
    }
    if (failed) failed(close);
    return false;
}

void WorkerRunner::SetErrorCallback(ErrorCallback f) {
    std::lock_guard lock(mutex_);
    error_ = std::move(f);
}
void WorkerRunner::SetCompletedCallback(CompletedCallback f) {
    std::lock_guard lock(mutex_);
    completed_ = std::move(f);
}
void WorkerRunner::SetFailedCallback(FailedCallback f) {
    std::lock_guard lock(mutex_);
    failed_ = std::move(f);
}
void WorkerRunner::SetStartedCallback(StartedCallback f) {
    std::lock_guard lock(mutex_);
    started_ = std::move(f);
}

void WorkerRunner::Reset() {
    std::shared_ptr<ITSWorker> current, pending;
    ErrorCallback e;
    CompletedCallback c;
    FailedCallback f;
    StartedCallback s;
    std::lock_guard lock(mutex_);
    current.swap(current_);
    pending.swap(pending_);
    e.swap(error_);
    c.swap(completed_);
    f.swap(failed_);
    s.swap(started_);
}

WorkerRunner& GetWorkerRunner() {
    static WorkerRunner runner;
    return runner;
}

std::shared_ptr<ITSWorker> GetCurrentWorker() { return GetWorkerRunner().GetCurrentWorker(); }
bool IsWorkerRunning() { return GetWorkerRunner().IsWorkerRunning(); }
WorkerType GetCurrentWorkerType() { return GetWorkerRunner().GetCurrentWorkerType(); }
void SetPendingWorker(std::shared_ptr<ITSWorker> worker) { GetWorkerRunner().SetPendingWorker(std::move(worker)); }
void ClearPendingWorker() { GetWorkerRunner().ClearPendingWorker(); }
bool StartPendingWorker() { return GetWorkerRunner().StartPendingWorker(); }
void StartWorker(std::shared_ptr<ITSWorker> worker) { GetWorkerRunner().StartWorker(std::move(worker)); }
void RunWorker(std::shared_ptr<ITSWorker> worker) { GetWorkerRunner().RunWorker(std::move(worker)); }
bool AbortCurrentWorker() { return GetWorkerRunner().AbortCurrentWorker(); }
void SwitchToPendingWorker() { GetWorkerRunner().SwitchToPendingWorker(); }
void SetWorkerErrorCallback(WorkerRunner::ErrorCallback f) { GetWorkerRunner().SetErrorCallback(std::move(f)); }
void SetWorkerCompletedCallback(WorkerRunner::CompletedCallback f) {
    GetWorkerRunner().SetCompletedCallback(std::move(f));
}
void SetWorkerFailedCallback(WorkerRunner::FailedCallback f) { GetWorkerRunner().SetFailedCallback(std::move(f)); }
void SetWorkerStartedCallback(WorkerRunner::StartedCallback f) {
    GetWorkerRunner().SetStartedCallback(std::move(f));
}

}  // namespace Vel
