// Shows the main window with a stand-in backend whose update and planet-data download make
// visible progress for a few seconds each: the buttons, the progress bar and the status,
// time, rate and size texts. Close it with Escape or the close box.

#include "delivery/workers/MainWindowMessages.h"
#include "delivery/workers/WorkerBackend.h"
#include "delivery/workers/WorkerStatus.h"
#include "foundation/config/SiteName.h"
#include "foundation/threads/Thread.h"
#include "launcher/window/TrailstarterDlg.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using namespace Vel;

void RunSteps(const std::shared_ptr<ThreadJob>& job, const char* text, std::uint64_t total) {
    job->GetProgress()->SetTotal(total);
    BeginWorkerStatus();
    SetWorkerProgress(job->GetProgress());
    SetWorkerStatusText(text);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));  // the marquee while it "prepares"
    GetWorkerStatusRecord().End();
    SetWorkerProgress(job->GetProgress());
    SetWorkerPhase(1);
    for (std::uint64_t done = 0; done < total && !job->IsAborted(); done += total / 50) {
        job->GetProgress()->SetDone(done);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

class DemoBackend final : public IWorkerBackend {
public:
    void StartUpdate(std::shared_ptr<ThreadJob> job) override {
        std::weak_ptr<ThreadJob> weak = job;
        auto thread = std::make_shared<VelThread>(
            [weak] {
                auto job = weak.lock();
                if (!job) return;
                RunSteps(job, "Updating", 10000);
                if (job->IsAborted()) return;
                job->Complete();
                PostMainWindowMessage(MainWindowMessage::UpdateFinished, 0);
            },
            "demo update", VelThread::kKindWorker);
        job->SetThread(thread);
        thread->Start();
    }
    bool AbortUpdate() override { return true; }
    void StartMoveContent(std::shared_ptr<ThreadJob> job, const std::string&) override { job->Complete(); }
    std::shared_ptr<ThreadJob> StartPlanetDataDownload(int mode, const ThreadJobBinder& bind) override {
        if (mode != 0) return nullptr;
        auto job = std::make_shared<ThreadJob>();
        std::weak_ptr<ThreadJob> weak = job;
        auto thread = std::make_shared<VelThread>(
            [weak] {
                auto job = weak.lock();
                if (!job) return;
                RunSteps(job, "Downloading planet data", 250'000'000);
                if (!job->IsAborted()) job->Complete();
            },
            "demo download", VelThread::kKindWorker);
        job->SetThread(thread);
        bind(job);
        thread->Start();
        return job;
    }
    void CleanupPaks(std::shared_ptr<ThreadJob> job) override { job->Complete(); }
    void RepairPak(std::shared_ptr<ThreadJob> job, const std::string&) override { job->Complete(); }
    std::string GetLauncherWebHost() override { return "localhost"; }
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    SetSiteNameForTesting("demo");
    DemoBackend backend;
    SetWorkerBackend(&backend);
    int result = 0;
    {
        CTrailstarterDlg window(MainWindowServices{});
        // With a file name: save a picture of the window after a few seconds, then close it.
        if (argc > 1) {
            const QString file = QString::fromLocal8Bit(argv[1]);
            QTimer::singleShot(std::chrono::milliseconds(argc > 2 ? std::atoi(argv[2]) : 3000), &window, [&window, file] {
                window.grab().save(file);
                window.close();
            });
        }
        window.exec();
    }
    SetWorkerBackend(nullptr);
    return result;
}
