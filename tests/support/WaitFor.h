#pragma once
// Bounded polling for a condition another thread will make true; the generous limit only
// matters when the code under test is broken.

#include <chrono>
#include <thread>

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

}  // namespace TestSupport
