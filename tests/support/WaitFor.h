#pragma once
// Bounded waits for tests: polling for a condition another thread will make true, and a
// thread whose end is awaited with a bound. The generous limits only matter when the code under
// test is broken; then the test fails instead of hanging until ctest's time-out.

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <utility>

namespace TestSupport {

template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!predicate()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// A std::thread whose end the test awaits with a bound. Join returns false, and lets the thread
// go, when it has not ended within the limit; the destructor joins the same way. A thread let go
// still uses what it captured, so a test that goes on after a failed Join holds the state the
// thread touches by shared pointer.
class BoundedThread {
public:
    template <typename Body>
    explicit BoundedThread(Body body)
        : ended_(std::make_shared<std::atomic<bool>>(false)),
          thread_([body = std::move(body), ended = ended_]() mutable {
              body();
              ended->store(true);
          }) {}
    BoundedThread(BoundedThread&&) noexcept = default;
    BoundedThread& operator=(BoundedThread&&) = delete;
    ~BoundedThread() { (void)Join(); }

    // True once the thread has ended and was joined.
    bool Join(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        if (!thread_.joinable()) return ended_ && ended_->load();
        if (!WaitFor([this] { return ended_->load(); }, limit)) {
            thread_.detach();
            return false;
        }
        thread_.join();
        return true;
    }

private:
    std::shared_ptr<std::atomic<bool>> ended_;
    std::thread thread_;
};

}  // namespace TestSupport
