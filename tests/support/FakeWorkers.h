#pragma once
// Workers and a worker backend for tests: a scripted worker whose start, abort answer and
// failure handling a test sets, and a backend that records what the five workers asked for.
// Thread-safe where the runner calls them from job threads (counters are atomics, lists locked).

#include "delivery/workers/ITSWorker.h"
#include "delivery/workers/WorkerBackend.h"
#include "foundation/threads/Thread.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Vel::Test {

class FakeWorker final : public ITSWorker {
public:
    FakeWorker(WorkerType type, int priority, std::string title = "fake")
        : ITSWorker(std::move(title)), type_(type), priority_(priority) {}

    std::function<std::shared_ptr<ThreadJob>()> onStart = [] { return std::make_shared<ThreadJob>(); };
    std::function<void()> onFinished;
    bool agreesToAbort = true;
    bool handleResult = false;  // HandleException's answer when it does not rethrow
    bool rethrow = true;
    bool closeOnFailure = false;
    bool closeOnFinish = false;
    bool allowsLaunch = false;
    std::atomic<int> starts{0};
    std::atomic<int> finishes{0};

    std::shared_ptr<ThreadJob> Start() override {
        ++starts;
        return onStart();
    }
    bool ConfirmAbort() override { return agreesToAbort; }
    void OnFinished() override {
        ++finishes;
        if (onFinished) onFinished();
    }
    bool HandleException() override {
        if (rethrow) throw;
        return handleResult;
    }
    bool CloseOnFailure() override { return closeOnFailure; }
    bool CloseOnFinish() override { return closeOnFinish; }
    bool AllowsLaunch() override { return allowsLaunch; }
    int GetPriority() override { return priority_; }
    WorkerType GetType() override { return type_; }

private:
    WorkerType type_;
    int priority_;
};

// Runs body(job) on a VelThread attached to the job (the thread holds the job weakly).
inline void StartJobThread(const std::shared_ptr<ThreadJob>& job, std::function<void(ThreadJob&)> body) {
    std::weak_ptr<ThreadJob> weak = job;
    auto thread = std::make_shared<VelThread>(
        [weak, body = std::move(body)] {
            if (auto job = weak.lock()) body(*job);
        },
        "test job", VelThread::kKindWorker);
    job->SetThread(thread);
    thread->Start();
}

// Records the backend calls; planet-data download answers come from a script per call.
class RecordingBackend final : public IWorkerBackend {
public:
    RecordingBackend() { SetWorkerBackend(this); }
    ~RecordingBackend() override { SetWorkerBackend(nullptr); }

    // Answers for StartPlanetDataDownload, in call order; past the end: nothing to download.
    std::vector<std::function<std::shared_ptr<ThreadJob>(int mode, const ThreadJobBinder& bind)>> downloads;
    // What the update run and the move do with their job; by default they keep it running.
    std::function<void(std::shared_ptr<ThreadJob>)> update;
    std::function<void(std::shared_ptr<ThreadJob>)> move;
    std::function<void(std::shared_ptr<ThreadJob>)> cleanup = [](auto job) { job->Complete(); };
    std::function<void(std::shared_ptr<ThreadJob>, const std::string&)> repair =
        [](auto job, const std::string&) { job->Complete(); };

    void StartUpdate(std::shared_ptr<ThreadJob> job) override {
        Record("update");
        lastUpdateJob = job;
        if (update) update(std::move(job));
    }
    bool AbortUpdate() override {
        Record("abort-update");
        return true;
    }
    void StartMoveContent(std::shared_ptr<ThreadJob> job, const std::string& d) override {
        Record("move " + d);
        if (move) move(std::move(job));
    }
    std::shared_ptr<ThreadJob> StartPlanetDataDownload(int mode, const ThreadJobBinder& bind) override {
        std::size_t index;
        {
            std::lock_guard lock(mutex_);
            calls_.push_back("download " + std::to_string(mode));
            index = downloadCalls_++;
        }
        return index < downloads.size() ? downloads[index](mode, bind) : nullptr;
    }
    void CleanupPaks(std::shared_ptr<ThreadJob> job) override {
        Record("cleanup");
        cleanup(std::move(job));
    }
    void RepairPak(std::shared_ptr<ThreadJob> job, const std::string& path) override {
        Record("repair " + path);
        repair(std::move(job), path);
    }
    std::string GetLauncherWebHost() override { return "launcher.test"; }

    std::vector<std::string> Calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::shared_ptr<ThreadJob> lastUpdateJob;

private:
    void Record(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
    std::size_t downloadCalls_ = 0;
};

}  // namespace Vel::Test
