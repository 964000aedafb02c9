#include "delivery/Workers.h"

#include "delivery/WorkerBackend.h"
#include "delivery/WorkerRunner.h"
#include "delivery/WorkerStatus.h"
#include "delivery/ZipCorruptException.h"
#include "foundation/Exception.h"
#include "platform/Prompt.h"

#include <functional>

namespace Vel {
// ---- OwnThreadWorker

std::shared_ptr<ThreadJob> OwnThreadWorker::StartOnOwnThread(std::string threadName,
                                                             std::function<void(std::shared_ptr<ThreadJob>)> body) {
    auto job = std::make_shared<ThreadJob>();
    run_ = std::make_shared<std::atomic<bool>>(false);
    std::weak_ptr<ThreadJob> weak = job;
    // Made at its start gate; OnJobBound opens it.
    thread_ = std::make_shared<VelThread>(
        [weak, run = run_, body = std::move(body)] {
            if (!run->load()) return;  // the job was never bound: nothing runs
            auto job = weak.lock();
            if (!job) return;
            try {
                body(job);
            } catch (...) {
                try {
                    job->Fail();
                } catch (...) {
                    // Nobody took the failure; the job stays unfinished.
                }
            }
        },
        std::move(threadName), VelThread::kKindWorker);
    job->SetThread(thread_);
    bound_ = false;
    SetWorkerProgress(job->GetProgress());
    SetWorkerStatusText(GetTitle());
    return job;
}

void OwnThreadWorker::OnJobBound() {
    if (!thread_ || bound_) return;
    bound_ = true;
    run_->store(true);
    thread_->Start();
}

OwnThreadWorker::~OwnThreadWorker() {
    // A thread still at its gate is let out to end at once, so that nobody waits for it.
    if (thread_ && !bound_) thread_->Start();
}

// ---- UpdateWorker

std::shared_ptr<ThreadJob> UpdateWorker::Start() {
    auto job = std::make_shared<ThreadJob>();
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
    GetWorkerBackend().StartMoveContent(job, destination_);
    return job;
}

void MoveContentWorker::OnFinished() { EndWorkerStatus(); }

// ---- DownloadDynamicContentWorker

std::shared_ptr<ThreadJob> DownloadDynamicContentWorker::Start() {
    try {
        auto job = GetWorkerBackend().StartPlanetDataDownload(mode_);
        if (job) {
            compactAfter_ = true;
            jobStarted_ = true;
        } else {
            jobStarted_ = false;
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
