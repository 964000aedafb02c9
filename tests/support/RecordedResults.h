#pragma once
// A main-window target that records the result (wParam) of every message of one kind, such as
// the update's or the content move's "finished". Thread-safe: results arrive on worker threads
// while the test reads them.

#include <cstdint>
#include <mutex>
#include <vector>

#include "delivery/workers/MainWindowMessages.h"

namespace Vel::Test {

class RecordedResults final : public IMainWindowTarget {
public:
    explicit RecordedResults(MainWindowMessage kind) : kind_(kind) {}

    void QueueMessage(MainWindowMessage message, std::uintptr_t wParam, std::intptr_t) override {
        std::lock_guard lock(mutex_);
        if (message == kind_) results_.push_back(static_cast<int>(wParam));
    }
    std::vector<int> Results() const {
        std::lock_guard lock(mutex_);
        return results_;
    }

private:
    const MainWindowMessage kind_;
    mutable std::mutex mutex_;
    std::vector<int> results_;
};

}  // namespace Vel::Test
