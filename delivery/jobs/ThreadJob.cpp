#include "delivery/jobs/ThreadJob.h"

#include "foundation/threads/Thread.h"

#include <exception>

namespace Vel {

ThreadJob::ThreadJob() : progress_(std::make_shared<DownloadProgress>()) {}

void ThreadJob::Abort() {
    RequestAbort();
    std::shared_ptr<VelThread> thread;
    {
        std::lock_guard lock(mutex_);
        thread = thread_;
    }
    if (thread && thread.get() != VelThread::GetCurrent()) thread->Join();
}

void ThreadJob::RequestAbort() {
    aborted_.store(true);
    std::function<void()> handler;
    {
        std::lock_guard lock(mutex_);
        handler = abortHandler_;
    }
    if (handler) handler();
}

void ThreadJob::Complete() {
    std::vector<std::function<void()>> callbacks;
    {
        std::lock_guard lock(mutex_);
        if (completed_) return;
        completed_ = true;
        callbacks = completionCallbacks_;
    }
    for (const auto& callback : callbacks)
        if (callback) callback();
}

bool ThreadJob::Fail() {
    std::function<bool()> handler;
    {
        std::lock_guard lock(mutex_);
        if (!errorHandler_ && failureCallbacks_.empty()) throw;  // the exception being handled
        if (!aborted_.load()) handler = errorHandler_;
    }
    if (handler && handler()) return true;

    std::vector<std::function<void()>> callbacks;
    {
        std::lock_guard lock(mutex_);
        if (failed_) return false;
        failed_ = true;
        callbacks = failureCallbacks_;
    }
    for (const auto& callback : callbacks)
        if (callback) callback();
    return false;
}

void ThreadJob::AddCompletionCallback(std::function<void()> callback) {
    bool runNow = false;
    {
        std::lock_guard lock(mutex_);
        completionCallbacks_.push_back(callback);
        runNow = completed_;
    }
    if (runNow && callback) callback();
}

void ThreadJob::AddFailureCallback(std::function<void()> callback) {
    std::lock_guard lock(mutex_);
    failureCallbacks_.push_back(std::move(callback));
}

void ThreadJob::SetErrorHandler(std::function<bool()> handler) {
    std::lock_guard lock(mutex_);
    errorHandler_ = std::move(handler);
}

void ThreadJob::SetAbortHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    abortHandler_ = std::move(handler);
}

void ThreadJob::SetThread(std::shared_ptr<VelThread> thread) {
    std::lock_guard lock(mutex_);
    thread_ = std::move(thread);
}

}  // namespace Vel
