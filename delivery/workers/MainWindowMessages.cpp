#include "delivery/workers/MainWindowMessages.h"

#include <mutex>

namespace Vel {
namespace {
std::mutex g_targetMutex;
IMainWindowTarget* g_target = nullptr;
}  // namespace

void SetMainWindowTarget(IMainWindowTarget* target) {
    std::lock_guard lock(g_targetMutex);
    g_target = target;
}

bool PostMainWindowMessage(MainWindowMessage message, std::uintptr_t wParam, std::intptr_t lParam) {
    std::lock_guard lock(g_targetMutex);
    if (g_target == nullptr) return false;
    g_target->QueueMessage(message, wParam, lParam);
    return true;
}

bool HasMainWindow() {
    std::lock_guard lock(g_targetMutex);
    return g_target != nullptr;
}

}  // namespace Vel
