#include "foundation/core/FatalError.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "foundation/core/CrashHandler.h"

namespace Vel {
namespace {

constexpr std::size_t kCrashInfoSize = 1024;
char g_crashInfo[kCrashInfoSize];
std::atomic<unsigned> g_crashFlags{0};
// Set just before FatalError traps, so that the handler tells its trap from any other SIGTRAP.
std::atomic<bool> g_fatalTrap{false};

}  // namespace

void SetCrashInfo(std::string_view text) noexcept {
    static const char kPrefix[] = "CrashInfo=";
    std::size_t pos = 0;
    auto put = [&](const char* s, std::size_t n) {
        n = std::min(n, kCrashInfoSize - 3 - pos);
        if (n == 0) return;  // an empty text may have no data at all
        std::memcpy(g_crashInfo + pos, s, n);
        pos += n;
    };
    put(kPrefix, sizeof kPrefix - 1);
    put(text.data(), text.size());
    g_crashInfo[pos++] = '\r';
    g_crashInfo[pos++] = '\n';
    g_crashInfo[pos] = '\0';
}

void SetCrashFlags(unsigned flags) noexcept { g_crashFlags.fetch_or(flags); }
const char* GetCrashInfoLine() noexcept { return g_crashInfo; }
unsigned GetCrashFlags() noexcept { return g_crashFlags.load(); }

void FatalError(std::string_view text) noexcept {
    SetCrashInfo(text);
    SetCrashFlags(0);
    // Without our handler the trap would end the process by the signal (status 128 + 5 to a
    // shell) instead of kFatalExitCode, and nothing would report the crash info.
    InstallCrashSignalHandlers();
    g_fatalTrap.store(true);
    ::raise(SIGTRAP);
    ::_exit(kFatalExitCode);
}

void InstallCrashSignalHandlers() noexcept { InstallCrashHandler(); }

bool FatalTrapPending() noexcept { return g_fatalTrap.load(); }

}  // namespace Vel
