#pragma once
// Vel::PeriodicWrapper: runs a function on a request scheduler again and again, one interval
// apart, for as long as it returns true.
//
// Contract: each run calls the function on the scheduler; true posts the wrapper again after
// the interval, false ends the cycle. The wrapper keeps itself alive through the posted job,
// so the cycle lives as long as the scheduler keeps its jobs. Thread-safe as the scheduler is.

#include <functional>
#include <memory>

#include "delivery/update/RouterConnector.h"

namespace Vel {

class PeriodicWrapper : public std::enable_shared_from_this<PeriodicWrapper> {
public:
    PeriodicWrapper(std::function<bool()> function, MonoDuration interval, RouterConnector::IRequestScheduler& scheduler)
        : function_(std::move(function)), interval_(interval), scheduler_(scheduler) {}

    // Posts the first run after one interval.
    void Schedule() {
        auto self = shared_from_this();
        scheduler_.PostAfter([self] { self->Run(); }, interval_);
    }

    void Run() {
        if (function_ && function_()) Schedule();
    }

private:
    std::function<bool()> function_;
    MonoDuration interval_;
    RouterConnector::IRequestScheduler& scheduler_;
};

}  // namespace Vel
