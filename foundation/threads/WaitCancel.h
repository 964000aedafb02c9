#pragma once
// A per-thread answer to "should a wait on this thread give up now?".
//
// Contract:
// - A CancelScope installs a predicate for the calling thread for as long as it lives; scopes
//   nest, and IsWaitCancelled asks every installed predicate of the calling thread, newest first.
// - Used where a thread blocks on something that another thread must do for it (a dialog shown
//   by the GUI thread on a worker's behalf): the waiter polls IsWaitCancelled between short
//   slices, so an aborted job is never stuck behind the thread that is aborting it.
// - Per thread only: no locks; a scope must end on the thread that made it.

#include <functional>

namespace Vel {

class CancelScope {
public:
    explicit CancelScope(std::function<bool()> isCancelled);
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

private:
    friend bool IsWaitCancelled();
    std::function<bool()> isCancelled_;
    CancelScope* previous_;
};

// True when any predicate installed on the calling thread says so.
bool IsWaitCancelled();

}  // namespace Vel
