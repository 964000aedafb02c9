#include "foundation/FatalError.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace Vel {
namespace {

constexpr std::size_t kCrashInfoSize = 1024;
char g_crashInfo[kCrashInfoSize];
std::atomic<unsigned> g_crashFlags{0};
std::atomic<bool> g_handlersInstalled{false};
// Set just before FatalError traps, so that the handler tells its trap from any other SIGTRAP.
std::atomic<bool> g_fatalTrap{false};

void WriteAll(int fd, const char* data, std::size_t size) noexcept {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n <= 0) return;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void CrashSignalHandler(int sig) {
    if (sig == SIGTRAP && g_fatalTrap.load()) {
        static const char kFatal[] = "Trailstarter fatal error\n";
        WriteAll(2, kFatal, sizeof kFatal - 1);
        WriteAll(2, g_crashInfo, ::strnlen(g_crashInfo, kCrashInfoSize));
        ::_exit(kFatalExitCode);
    }
    static const char kHeader[] = "Trailstarter crashed: signal ";
    WriteAll(2, kHeader, sizeof kHeader - 1);
    char number[8];
    int len = 0;
    int value = sig;
    do {
        number[len++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 && len < 7);
    std::reverse(number, number + len);
    WriteAll(2, number, static_cast<std::size_t>(len));
    WriteAll(2, "\n", 1);
    WriteAll(2, g_crashInfo, ::strnlen(g_crashInfo, kCrashInfoSize));
    ::_exit(128 + sig);
}

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

void SetCrashFlags(unsigned flags) noexcept { g_crashFlags.store(flags); }
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

void InstallCrashSignalHandlers() noexcept {
    if (g_handlersInstalled.exchange(true)) return;
    static char altStack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = altStack;
    ss.ss_size = sizeof altStack;
    ::sigaltstack(&ss, nullptr);
    struct sigaction sa{};
    sa.sa_handler = CrashSignalHandler;
    sa.sa_flags = SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTRAP, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT}) ::sigaction(sig, &sa, nullptr);
}

}  // namespace Vel
