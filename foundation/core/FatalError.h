#pragma once
// The program-wide fatal-error pattern, for broken internal invariants.
//
// Contract: FatalError records "CrashInfo=" + text for the crash log in a static buffer
// (no allocation, no lock: it is reached from a damaged mutex or a failed allocation), adds no
// crash flag, installs the crash handlers when nobody has yet, and traps with SIGTRAP into
// the crash handler (foundation/core/CrashHandler.h), which writes the dump and the crash log and
// ends the process with kFatalExitCode (a debugger stops at the trap first). Should execution go on past the trap, the process ends with kFatalExitCode too.
// Callable from any thread; the buffer is written by whichever thread fails, last writer wins.

#include <string_view>

namespace Vel {

// 1000 does not fit an 8-bit exit status; 232 is 1000 modulo 256.
inline constexpr int kFatalExitCode = 232;

void SetCrashInfo(std::string_view text) noexcept;
void SetCrashFlags(unsigned flags) noexcept;

// The recorded line, "CrashInfo=" + text + "\r\n"; empty when nothing was recorded.
const char* GetCrashInfoLine() noexcept;
unsigned GetCrashFlags() noexcept;

[[noreturn]] void FatalError(std::string_view text = {}) noexcept;

// SetCrashFlags ORs bits into the crash flags (bit 1: data is corrupt).
// InstallCrashSignalHandlers installs the crash handler (InstallCrashHandler): it ends the
// process with kFatalExitCode for the trap of FatalError, with 128 + the signal number for any
// other crash signal. Idempotent.
void InstallCrashSignalHandlers() noexcept;
// True between FatalError's trap and the end of the process (the crash handler's question).
bool FatalTrapPending() noexcept;

}  // namespace Vel
