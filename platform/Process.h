#pragma once
// Processes: our own executable's path, waiting for another process, and starting programs.
//
// Contract:
// - ExecutablePath is resolved once, the first time it is asked (main asks it first thing);
//   after a self-update the old path would read as "(deleted)", so it is never re-read.
// - WaitForProcessExit waits for an unrelated process (not necessarily our child) with a
//   pidfd where the kernel has one, else by polling; it returns true when the process has
//   ended (or does not exist) within the time-out. A negative time-out waits without limit.
// - StartProcess starts a program with posix_spawn; descriptors we open are close-on-exec, so
//   the child inherits none of our locks. The child stays in our process group unless
//   newSession puts it in a session of its own (setsid), out of reach of a signal to our group. An elevated start runs the elevation command
//   (pkexec unless another is named) with the program and its arguments; pkexec ends with 126
//   when the player dismissed its authentication dialog and 127 when not authorised or on an
//   error. Any thread may call these.

#include <sys/types.h>

#include <string>
#include <vector>

namespace Vel::Platform {

const std::string& ExecutablePath();

bool WaitForProcessExit(pid_t pid, int timeoutMs);

struct ProcessStart {
    std::string program;                 // path of the executable
    std::vector<std::string> arguments;  // without the program itself
    std::string workingDirectory;        // empty: ours
    bool elevated = false;               // through the elevation command
    std::string elevator;                // the elevation command; empty: "pkexec" from PATH
    bool newSession = false;             // leads a session (and process group) of its own
};

// The elevation command's own exit codes.
inline constexpr int kElevationDismissed = 126;
inline constexpr int kElevationNotAuthorised = 127;

// The child's process id, or -1 with the last error set.
pid_t StartProcess(const ProcessStart& start);

// Waits for a child started by StartProcess and gives its exit status (0-255), or -1 when it was
// ended by a signal or could not be waited for.
int WaitForChild(pid_t pid);

// Waits up to timeoutMs for a child started by StartProcess. Exited: it has ended and is reaped;
// status holds its exit status (0-255), or -1 when a signal ended it. Running: still running
// after the time. Failed: it cannot be waited for (last error set).
enum class ChildWait { Exited, Running, Failed };
ChildWait WaitForChildFor(pid_t pid, int timeoutMs, int& status);

// True when the process exists (it may belong to another user).
bool ProcessExists(pid_t pid);

}  // namespace Vel::Platform
