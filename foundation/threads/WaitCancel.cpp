#include "foundation/threads/WaitCancel.h"

#include <utility>

namespace Vel {
namespace {
thread_local CancelScope* t_innermost = nullptr;
}

CancelScope::CancelScope(std::function<bool()> isCancelled)
    : isCancelled_(std::move(isCancelled)), previous_(t_innermost) {
    t_innermost = this;
}

CancelScope::~CancelScope() { t_innermost = previous_; }

bool IsWaitCancelled() {
    for (CancelScope* scope = t_innermost; scope != nullptr; scope = scope->previous_)
        if (scope->isCancelled_ && scope->isCancelled_()) return true;
    return false;
}

}  // namespace Vel
