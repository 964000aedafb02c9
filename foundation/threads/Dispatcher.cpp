#include "foundation/threads/Dispatcher.h"

#include "foundation/core/Exception.h"

namespace Vel {

void JobWaiter::Finish(std::exception_ptr error) noexcept {
    std::lock_guard lock(mutex_);
    if (done_) return;
    done_ = true;
    error_ = std::move(error);
    finished_.notify_all();
}

void JobWaiter::Drop() noexcept {
    std::lock_guard lock(mutex_);
    if (done_) return;
    done_ = true;
    dropped_ = true;
    finished_.notify_all();
}

void JobWaiter::Wait() {
    // The exception is moved, never shared, between the job's thread and the waiter.
    std::exception_ptr error;
    bool dropped = false;
    {
        std::unique_lock lock(mutex_);
        finished_.wait(lock, [&] { return done_; });
        error = std::move(error_);
        dropped = dropped_;
    }
    if (error) std::rethrow_exception(std::move(error));
    if (dropped) throw AbortException();  // made here, on the waiter's own thread
}

namespace {

struct WaitedJob {
    JobFunction function;
    std::shared_ptr<JobWaiter> waiter;

    ~WaitedJob() {
        if (waiter) waiter->Drop();  // destroyed without running
    }
    void Run() {
        std::exception_ptr error;
        try {
            if (function) function();
        } catch (...) {
            error = std::current_exception();
        }
        function = nullptr;
        auto w = std::move(waiter);
        waiter.reset();
        if (w) w->Finish(std::move(error));
    }
};

}  // namespace

JobFunction MakeWaitedJob(JobFunction function, std::shared_ptr<JobWaiter> waiter) {
    auto job = std::make_shared<WaitedJob>();
    job->function = std::move(function);
    job->waiter = std::move(waiter);
    return [job] { job->Run(); };
}

}  // namespace Vel
