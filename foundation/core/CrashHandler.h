#pragma once
// The crash handler: when the process faults in a way nothing catches (SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, SIGTRAP, and SIGABRT unless it is routed elsewhere), it writes a dump and a short crash
// log into the crash folder and ends the process.
//
// Contract:
// - The handlers run on an alternate signal stack (each VelThread gets its own through
//   EnsureCrashAltStack; other threads use theirs when they have one). They call only
//   async-signal-safe functions: every path, the version text and the start time are
//   precomputed by InstallCrashHandler and RefreshCrashHandlerState.
// - One thread writes: the first faulting thread owns the crash; another thread that faults
//   meanwhile waits until the owner ends the process. A fault of the owner itself while it
//   writes the dump leaves the dump as far as it got and goes on to the log; one while it
//   writes the log ends the process at once, writing nothing more. The dump's stack walk reads
//   only through addresses it has found mapped, so a bad frame (a call to an unmapped address)
//   cuts the walk short instead of faulting.
// - SIGABRT goes to the handler set with SetCrashAbortHandler when there is one (the process
//   runtime routes it to the fatal-error report); without one it is a crash like the others.
// - The process ends with kFatalExitCode after the trap of FatalError and with 128 + the signal
//   number otherwise, after "Application has crashed. ExceptionAddr: N" on standard error, the
//   dump (base + ".dmp", format in docs/crash-dump.md) and the log (base + ".log"), where base
//   is the crash folder + the executable's name without extension. A new crash overwrites the
//   files of the previous one.
// - The crash log: 8-bit text, lines ended by "\r\n", in this order: "[ExceptionInfo]",
//   "ExceptionAddress=" (instruction address, decimal), "ExceptionCode=" (the Windows exception
//   code the signal maps to, 8 lower-case hex digits), "Version=", "64Bit=", "RunningTime="
//   (hh:mm:ss.mmm since the start), "UsedMemory=" (resident MiB), "Scope=", "CorruptData=1"
//   (only when flagged), the CrashInfo line (only when set; it ends in "\r\r\n"), an empty line.
// - InstallCrashHandler (idempotent) and CheckCrashHandler may be called from any thread;
//   libraries that install their own handlers later (Qt, the browser engine, libcurl) are
//   undone by CheckCrashHandler, which the main window calls from its timer.
// - The file helpers (GetCrashFolder, ListCrashFiles, ReadKeyValueFile) are ordinary code,
//   callable from any thread; they take no locks.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Vel {

// Installs the handlers for the crash signals (again, when something replaced them) and
// precomputes what the handler needs. Returns true when every handler is in place.
bool InstallCrashHandler() noexcept;
// Recomputes the paths (from the current executable name) and the version text the handler
// writes; call after the application environment is known and when the client version changes.
void RefreshCrashHandlerState();
// Re-installs any crash handler that another library replaced; true when all were in place.
bool CheckCrashHandler() noexcept;
// Gives the calling thread an alternate signal stack, kept until the thread ends.
void EnsureCrashAltStack() noexcept;
// The function SIGABRT runs, on the aborting thread, before it is taken as a crash; it is
// expected not to return (null: none). It must be async-signal-safe.
void SetCrashAbortHandler(void (*handler)()) noexcept;

// The Windows exception code the log shows for a signal and its si_code.
std::uint32_t ExceptionCodeForSignal(int signal, int code) noexcept;

// "out/crashes/".
std::string GetCrashFolder();
// The regular files of the crash folder whose names match the wildcard pattern ('*', '?'),
// without regard to case, sorted by name; each as crash folder + name. Symbolic links are not
// followed and not listed.
std::vector<std::string> ListCrashFiles(const std::string& pattern);
// Every non-empty line holding "=" sets values[text before the first "="] = the text after it,
// with any trailing "\r" removed; a later line wins. An unreadable file changes nothing.
void ReadKeyValueFile(const std::string& path, std::map<std::string, std::string>& values);
// The same for a text already read.
void ParseKeyValueText(const std::string& text, std::map<std::string, std::string>& values);
// Whether this process is a 64-bit program (the "64Bit=" line).
constexpr bool Is64BitProcess() noexcept { return sizeof(void*) == 8; }

// A thread's crash scope: its text goes to the "Scope=" line, its flag counts like crash flag
// bit 1. Kept for the life of the object on the thread that made it.
class ThreadScope {
public:
    explicit ThreadScope(const char* text, bool corruptData = false) noexcept;
    ~ThreadScope();
    ThreadScope(const ThreadScope&) = delete;
    ThreadScope& operator=(const ThreadScope&) = delete;

private:
    const char* previousText_;
    bool previousCorrupt_;
};

namespace Testing {
enum class CrashHandlerHookPoint {
    kDumpStackWalk,  // the dump's header and registers are on disk; the stack walk is next
    kLog,            // the log file is created and still empty
};
// Called by the handler at that point of its work; null: none.
void SetCrashHandlerHookForTesting(CrashHandlerHookPoint point, void (*hook)()) noexcept;
}  // namespace Testing

}  // namespace Vel
