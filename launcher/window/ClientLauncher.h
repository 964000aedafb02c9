#pragma once
// Launching the game client and watching it until it ends.
//
// Contract:
// - LaunchClient runs on the GUI thread: it takes the launch switches from an options page
//   that is never shown, chooses bin64/ (64-bit system and the 64bitClient setting) or bin32/
//   + "Solvenda" + the launcher's name suffix, and starts it with posix_spawn in the
//   installation root with "--run" and the switches as arguments, alone in a new session
//   (so a signal to the launcher's process group or terminal does not end the game). A missing executable is
//   reported ("Client executable not found...") and, like a failed start, handled as a client
//   that ended at once (WM_APP+12 with 0). After a start the update manager is told the client
//   runs and the monitor thread "SolvendaMonitor" starts (a monitor of an earlier launch is
//   stopped and joined first).
// - The monitor waits for the client's instance object (UpdateManager::ClientInstanceObjectName)
//   to appear, polling every 500 ms while the process lives, then for the object
//   to be let go or the process to end. It reaps the child (waitpid), so the client never
//   stays a zombie while the launcher runs; a child still running when the object is let go
//   is reaped later by the monitor. Then it tells the update manager the client exited and
//   posts WM_APP+12 with 1 when the object was seen, else 0.
// - The monitor only reads its own copies and an atomic flag; StopMonitor (and the
//   destructor) clears the flag and joins the thread within one 500 ms step.

#include "launcher/window/MainWindowServices.h"

#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class VelThread;

namespace Vel {

// "bin64/" or "bin32/", "Solvenda", the name suffix; relative to the installation root.
std::string ClientExecutablePath(bool use64, const std::string& nameSuffix);
// "--run" followed by each switch of the options page's switch text.
std::vector<std::string> ClientArguments(const std::string& switches);

class ClientLauncher final : public IClientLauncher {
public:
    struct Choice {
        std::string switches;
        bool use64 = false;
    };
    // chooser: null takes the switches and the 64-bit choice from a hidden options page.
    explicit ClientLauncher(std::function<Choice()> chooser = nullptr);
    ~ClientLauncher() override;

    bool LaunchClient(QWidget* window) override;
    void StopMonitor();

    // Tests: how long the monitor sleeps between checks.
    void SetPollIntervalForTesting(int milliseconds) { pollMs_ = milliseconds; }

private:
    void StartClientMonitor(pid_t pid);
    static void Monitor(pid_t pid, std::string objectName, std::shared_ptr<std::atomic<bool>> active, int pollMs);

    std::function<Choice()> chooser_;
    std::shared_ptr<VelThread> monitor_;
    std::shared_ptr<std::atomic<bool>> active_;
    int pollMs_ = 500;
};

}  // namespace Vel
