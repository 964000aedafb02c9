#include "foundation/threads/ThreadPool.h"

#include <algorithm>
#include <chrono>

#include "foundation/core/Exception.h"
#include "foundation/threads/TimedJobs.h"

VelThreadPool::VelThreadPool(std::string name, unsigned threadCount, int kind, Vel::TimedJobService* timedJobs)
    : semaphore_(name, 0),
      name_(std::move(name)),
      activeCount_(threadCount),
      timedJobs_(timedJobs != nullptr ? timedJobs : &Vel::GetTimedJobService()) {
    try {
        for (unsigned i = 0; i < threadCount; ++i)
            threads_.push_back(std::make_unique<VelThread>([this, i] { WorkerLoop(i); }, std::string(), kind));
    } catch (...) {
        // The threads made so far are behind their start gates: let them run to their stop
        // markers so that they can be joined.
        StopThreads();
        for (auto& t : threads_) t->Start();
        threads_.clear();
        throw;
    }
    for (auto& t : threads_) t->Start();
}

VelThreadPool::~VelThreadPool() {
    Shutdown(0);
    timedJobs_->CancelFor(this);
    threads_.clear();  // joins each
    std::deque<Job> rest;
    {
        VelMutex::ScopedLock lock(lock_);
        rest.swap(queue_);
    }
}

void VelThreadPool::Post(std::unique_ptr<VelRunnable> runnable, Vel::JobInfoHolder info) {
    if (!runnable) return;
    {
        VelMutex::ScopedLock lock(lock_);
        if (running_.load()) {
            queue_.push_back(Job{std::move(runnable), std::move(info)});
            pendingCount_.store(static_cast<int>(queue_.size()));
        }
    }
    if (runnable) return;  // shut down: dropped here, outside the lock
    semaphore_.Release();
}

void VelThreadPool::Post(Vel::JobFunction function, Vel::JobInfoHolder info) {
    Post(std::make_unique<VelRunnableImpl>(std::move(function)), std::move(info));
}

void VelThreadPool::Post(Vel::JobFunction function) { Post(std::move(function), Vel::JobInfoHolder()); }
void VelThreadPool::Post(std::unique_ptr<VelRunnable> runnable) { Post(std::move(runnable), Vel::JobInfoHolder()); }

void VelThreadPool::PostAndWait(Vel::JobFunction function, Vel::JobInfoHolder info) {
    if (OwnsThread(VelThread::GetCurrent())) {
        // A pool thread waiting on its own queue would never be served.
        if (function) function();
        return;
    }
    auto waiter = std::make_shared<Vel::JobWaiter>();
    Post(Vel::MakeWaitedJob(std::move(function), waiter), std::move(info));
    waiter->Wait();
}

void VelThreadPool::PostAndWait(Vel::JobFunction function) { PostAndWait(std::move(function), Vel::JobInfoHolder()); }

void VelThreadPool::PostAfter(Vel::JobFunction function, VelDuration delay, Vel::JobInfoHolder info) {
    Vel::TimedJob job;
    job.function = std::move(function);
    job.info = std::move(info);
    timedJobs_->Schedule(job, delay, this);
}

void VelThreadPool::PostAfter(Vel::JobFunction function, VelDuration delay) {
    PostAfter(std::move(function), delay, Vel::JobInfoHolder());
}

bool VelThreadPool::OwnsThread(const VelThread* thread) const {
    if (thread == nullptr) return false;
    return std::any_of(threads_.begin(), threads_.end(), [thread](const auto& t) { return t.get() == thread; });
}

void VelThreadPool::SetActiveThreadCount(unsigned n) {
    if (n == activeCount_.load()) return;
    if (n > threads_.size()) throw Vel::Exception();
    {
        std::lock_guard lock(activeMutex_);
        activeCount_.store(n);
    }
    activeChanged_.notify_all();
}

void VelThreadPool::ClearJobs() {
    std::deque<Job> cleared;
    VelMutex::ScopedLock lock(lock_);
    cleared.swap(queue_);
    pendingCount_.store(0);
    // `cleared` is destroyed after the lock is left
}

void VelThreadPool::StopThreads() {
    {
        VelMutex::ScopedLock lock(lock_);
        running_.store(false);
    }
    {
        std::lock_guard lock(activeMutex_);
        activeCount_.store(static_cast<unsigned>(threads_.size()));
    }
    activeChanged_.notify_all();
    for (std::size_t i = 0; i < threads_.size(); ++i) {
        {
            VelMutex::ScopedLock lock(lock_);
            queue_.push_back(Job{});
        }
        semaphore_.Release();
        VelThread::Sleep(0);
    }
}

bool VelThreadPool::Shutdown(std::uint32_t milliseconds) {
    if (running_.load()) StopThreads();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    bool allEnded = true;
    for (auto& t : threads_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!t->WaitForEnd(std::max(left, std::chrono::milliseconds(0)))) allEnded = false;
    }
    pendingCount_.store(0);
    return allEnded;
}

void VelThreadPool::Stop() {
    Shutdown(0);
    timedJobs_->CancelFor(this);
    for (auto& t : threads_) t->Join();
}

void VelThreadPool::WorkerLoop(unsigned index) {
    for (;;) {
        {
            std::unique_lock lock(activeMutex_);
            activeChanged_.wait(lock, [&] { return index < activeCount_.load(); });
        }
        semaphore_.Wait();
        Job job;
        {
            VelMutex::ScopedLock lock(lock_);
            if (!queue_.empty()) {
                job = std::move(queue_.front());
                queue_.pop_front();
            }
            pendingCount_.store(static_cast<int>(queue_.size()));
        }
        if (job.runnable) {
            try {
                job.runnable->Run();
            } catch (const Vel::Exception&) {
                // dropped: the worker goes on
            }
            continue;
        }
        if (!running_.load()) return;
    }
}
