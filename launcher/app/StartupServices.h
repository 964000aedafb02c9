#pragma once
// What the start-up and shutdown sequence calls on: the dialogs before the main window, the
// services it starts and stops in a fixed order, the main window's modal run and the restart.
//
// Contract: every operation is called on the UI (main) thread by CTrailstarterApp, in the
// order the start-up defines; an implementation needs no locking of its own for these calls.
// The production implementation (MakeDefaultStartupServices) wires the real services; tests
// pass a recording fake.

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace Vel {

// Results of the terms of use dialog.
inline constexpr int kTermsAccepted = 1002;
inline constexpr int kTermsDeclined = 1003;

class IStartupServices {
public:
    virtual ~IStartupServices() = default;

    // Waits up to timeoutMs for the given process to end.
    virtual bool WaitForParentProcess(pid_t pid, int timeoutMs) = 0;
    // The language dialog when no language with interface strings is stored; false ends the start.
    virtual bool EnsureLanguageChosen() = 0;
    virtual int RunTermsDialog() = 0;
    virtual void InitUserFolders(unsigned flags) = 0;

    virtual void CreateAppServices() = 0;
    virtual void StartRouter() = 0;
    virtual void InitUpdateManager() = 0;

    // Runs the main window modally; true when it asked for a restart.
    virtual bool RunMainWindow() = 0;

    virtual void ShutdownTimedJobs() = 0;
    virtual void ShutdownUpdateManager() = 0;
    virtual void StopRouter() = 0;
    virtual void ShutdownContentDownload() = 0;
    virtual void ReleaseConnections() = 0;
    virtual void DestroyAppServices() = 0;

    // Starts this program's own executable again, quiet and waiting for this process to end.
    virtual bool RestartSelf() = 0;
};

std::unique_ptr<IStartupServices> MakeDefaultStartupServices();

}  // namespace Vel
