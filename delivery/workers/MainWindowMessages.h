#pragma once
// The main window's private messages, and the one process-wide entry point through which
// background parts post them.
//
// Contract:
// - The main window registers itself as the target when it is created and unregisters when it
//   is destroyed; both take the entry point's lock, so a post never reaches a destroyed window.
// - PostMainWindowMessage never blocks on the user interface: the target only queues the
//   message for the GUI thread. With no target registered the message is dropped and the call
//   returns false (a version reply can arrive after the window is gone).
// - Any thread may post.

#include <cstdint>

namespace Vel {

inline constexpr unsigned kWmApp = 0x8000;
inline constexpr unsigned kWmClose = 0x0010;

enum class MainWindowMessage : unsigned {
    Refresh = kWmApp + 8,          // navigate the browser again to its current location
    UpdateProgress = kWmApp + 9,   // the worker status changed
    RetryQuestion = kWmApp + 10,   // sent, not posted: see the retry question in the launcher
    WorkerDone = kWmApp + 11,      // a worker completed or failed
    ClientEnded = kWmApp + 12,     // wParam 1 when the client's instance object was seen
    VersionCurrent = kWmApp + 13,  // the installed version is the announced one
    StartUpdate = kWmApp + 14,     // a different version is announced
    UpdateFinished = kWmApp + 15,  // wParam: the update result
    MoveFinished = kWmApp + 16,    // wParam 1 = failure
    StartDownload = kWmApp + 17,
    StartPending = kWmApp + 18,
    SwitchToPending = kWmApp + 19,
    Close = kWmClose,
};

class IMainWindowTarget {
public:
    virtual ~IMainWindowTarget() = default;
    // Queues the message for the GUI thread; must not block.
    virtual void QueueMessage(MainWindowMessage message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

// Registers (or, with null, clears) the target. Called by the main window on the GUI thread.
void SetMainWindowTarget(IMainWindowTarget* target);

bool PostMainWindowMessage(MainWindowMessage message, std::uintptr_t wParam = 0, std::intptr_t lParam = 0);

// True while a main window is registered.
bool HasMainWindow();

}  // namespace Vel
