#include "delivery/workers/Workers.h"

#include "delivery/workers/WorkerBackend.h"
#include "delivery/workers/WorkerRunner.h"
#include "delivery/workers/WorkerStatus.h"
#include "delivery/archive/ZipCorruptException.h"
#include "foundation/core/Exception.h"
#include "foundation/threads/Thread.h"
#include "platform/Prompt.h"

#include <functional>

namespace Vel {
// ---- OwnThreadWorker

std::shared_ptr<ThreadJob> OwnThreadWorker::StartOnOwnThread(std::string threadName,
                                                             std::function<void(std::shared_ptr<ThreadJob>)> body) {
    auto job = std::make_shared<ThreadJob>();
    std::weak_ptr<ThreadJob> weak = job;
    auto thread = std::make_shared<VelThread>(
        [weak, body = std::move(body)] {
            for (;;) {
                auto job = weak.lock();
                if (!job || job->IsAborted()) return;
                try {
                    body(job);
                    return;
                } catch (...) {
                    try {
                        // Handled means the player chose Retry: run the body again.
                        if (!job->Fail()) return;
                    } catch (...) {
                        return;  // nobody took the failure; the job stays unfinished
                    }
                }
            }
        },
        std::move(threadName), VelThread::kKindWorker);
    job->SetThread(thread);
    SetWorkerProgress(job->GetProgress());
    SetWorkerStatusText(GetTitle());
    BindJob(job);
    thread->Start();
    return job;
}

// ---- UpdateWorker

std::shared_ptr<ThreadJob> UpdateWorker::Start() {
    auto job = std::make_shared<ThreadJob>();
    BindJob(job);
    GetWorkerBackend().StartUpdate(job);
    return job;
}

bool UpdateWorker::ConfirmAbort() { return GetWorkerBackend().AbortUpdate(); }

void UpdateWorker::OnFinished() { EndWorkerStatus(); }

VelURI UpdateWorker::GetInfoUrl() {
    static const VelURI url = [] {
        try {
            return VelURI("http://" + GetWorkerBackend().GetLauncherWebHost() + "/trailstarter/sf/patching.html");
        } catch (const Exception&) {
            return VelURI();  // a host that makes no address: no page
        }
    }();
    return url;
}

// ---- MoveContentWorker

std::shared_ptr<ThreadJob> MoveContentWorker::Start() {
    auto job = std::make_shared<ThreadJob>();
    BindJob(job);
    GetWorkerBackend().StartMoveContent(job, destination_);
    return job;
}

void MoveContentWorker::OnFinished() { EndWorkerStatus(); }

// ---- DownloadDynamicContentWorker

std::shared_ptr<ThreadJob> DownloadDynamicContentWorker::Start() {
    try {
        // The flags are set before the job can end, since OnFinished reads them.
        auto bind = [this, runner = GetJobBinder()](const std::shared_ptr<ThreadJob>& job) {
            compactAfter_ = true;
            jobStarted_ = true;
            if (runner) runner(job);
        };
        jobStarted_ = false;
        auto job = GetWorkerBackend().StartPlanetDataDownload(mode_, bind);
        if (job) {
            compactAfter_ = true;
            jobStarted_ = true;
        }
        return job;
    } catch (const ZipCorruptException& e) {
        SetPendingWorker(std::make_shared<RepairDynamicContentWorker>(e.GetArchivePath()));
        repairScheduled_ = true;
        return nullptr;
    }
}

void DownloadDynamicContentWorker::OnFinished() {
    if (repairScheduled_) return;
    if (mode_ == 0 || jobStarted_) {
        SetPendingWorker(std::make_shared<DownloadDynamicContentWorker>(1, compactAfter_.load()));
    } else if (compactAfter_) {
        SetPendingWorker(std::make_shared<CleanupDynamicContentWorker>());
    } else {
        EndWorkerStatus();
    }
}

bool DownloadDynamicContentWorker::HandleException() {
    try {
        throw;
    } catch (const ZipCorruptException& e) {
        SetPendingWorker(std::make_shared<RepairDynamicContentWorker>(e.GetArchivePath()));
        repairScheduled_ = true;
    }
    return false;
}

// ---- CleanupDynamicContentWorker

std::shared_ptr<ThreadJob> CleanupDynamicContentWorker::Start() {
    return StartOnOwnThread("Cleaning planet data thread", [](std::shared_ptr<ThreadJob> job) {
        GetWorkerBackend().CleanupPaks(std::move(job));
    });
}

void CleanupDynamicContentWorker::OnFinished() { EndWorkerStatus(); }

bool CleanupDynamicContentWorker::HandleException() {
    try {
        throw;
    } catch (const ZipCorruptException& e) {
        SetPendingWorker(std::make_shared<RepairDynamicContentWorker>(e.GetArchivePath()));
    }
    return false;
}

// ---- RepairDynamicContentWorker

std::shared_ptr<ThreadJob> RepairDynamicContentWorker::Start() {
    return StartOnOwnThread("Repair dynamic content thread", [path = archivePath_](std::shared_ptr<ThreadJob> job) {
        GetWorkerBackend().RepairPak(std::move(job), path);
    });
}

bool RepairDynamicContentWorker::ConfirmAbort() {
    return Platform::ShowPrompt(
               "Aborting while repairing can lead to corrupt data. Are you sure you want to continue?",
               Platform::PromptButtons::YesNo, Platform::PromptIcon::Warning) == Platform::kIdYes;
}

void RepairDynamicContentWorker::OnFinished() {
    EndWorkerStatus();
    SetPendingWorker(std::make_shared<DownloadDynamicContentWorker>(0, false));
}

}  // namespace Vel
