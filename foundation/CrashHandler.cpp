#include "foundation/CrashHandler.h"

#include <dirent.h>
#include <execinfo.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <mutex>

#include "foundation/AppEnvironment.h"
#include "foundation/FatalError.h"

namespace Vel {
namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGTRAP, SIGABRT};
constexpr std::size_t kPathSize = 512;
constexpr std::size_t kAltStackSize = 64 * 1024;
constexpr std::size_t kStackBytes = 64 * 1024;
constexpr int kMaxFrames = 64;

// What the handler writes that cannot be computed inside it. Two slots: a refresh fills the
// slot not in use and then publishes it, so the handler never reads a half-written one.
struct PrecomputedState {
    // Zero-filled, so that two states compare equal byte for byte when their texts do.
    char folder[kPathSize];     // "out/crashes/"
    char outFolder[kPathSize];  // "out/"
    char dump[kPathSize];
    char log[kPathSize];
    char version[128];
};
PrecomputedState g_state[2];
std::atomic<int> g_stateIndex{-1};
std::mutex g_refreshMutex;

std::int64_t MonotonicNs() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}
// The process start, taken when static data is initialised.
const std::int64_t g_startNs = MonotonicNs();
long g_pageSize = ::sysconf(_SC_PAGESIZE);

// The thread that owns the crash (0: none) and the status it will end with.
std::atomic<long> g_owner{0};
std::atomic<int> g_exitStatus{0};
std::atomic<void (*)()> g_testHook{nullptr};
std::atomic<bool> g_installed{false};

thread_local const char* t_scopeText = nullptr;
thread_local bool t_scopeCorrupt = false;

// --- async-signal-safe output -------------------------------------------------------------

void RawWrite(int fd, const void* data, std::size_t size) noexcept {
    // The system call itself: a sanitizer's write() wrapper would check the bytes it is given.
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const long n = ::syscall(SYS_write, fd, p, size);
        if (n <= 0) return;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

// A fixed buffer that text is appended to, flushed to a descriptor.
struct Out {
    explicit Out(int descriptor) noexcept : fd(descriptor) {}
    int fd;
    char buffer[1024];
    std::size_t used = 0;

    void Flush() noexcept {
        RawWrite(fd, buffer, used);
        used = 0;
    }
    void Put(const char* s, std::size_t n) noexcept {
        while (n > 0) {
            if (used == sizeof buffer) Flush();
            const std::size_t k = std::min(n, sizeof buffer - used);
            std::memcpy(buffer + used, s, k);
            used += k;
            s += k;
            n -= k;
        }
    }
    void Put(const char* s) noexcept { Put(s, ::strlen(s)); }
    void Dec(std::uint64_t v, int width = 1) noexcept {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v > 0);
        while (n < width && n < 20) digits[n++] = '0';
        while (n > 0) Put(&digits[--n], 1);
    }
    void Hex(std::uint64_t v, int width) noexcept {
        static const char kDigits[] = "0123456789abcdef";
        char digits[16];
        for (int i = width - 1; i >= 0; --i) {
            digits[i] = kDigits[v & 15];
            v >>= 4;
        }
        Put(digits, static_cast<std::size_t>(width));
    }
};

int CreateFile(const char* path) noexcept {
    return static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
}

std::uint64_t InstructionAddress(const siginfo_t* info, const void* context) noexcept {
    const auto* uc = static_cast<const ucontext_t*>(context);
#if defined(__x86_64__)
    if (uc != nullptr) return static_cast<std::uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__aarch64__)
    if (uc != nullptr) return uc->uc_mcontext.pc;
#endif
    (void)uc;
    return info != nullptr ? reinterpret_cast<std::uintptr_t>(info->si_addr) : 0;
}

std::uint64_t StackPointer(const void* context) noexcept {
    const auto* uc = static_cast<const ucontext_t*>(context);
    if (uc == nullptr) return 0;
#if defined(__x86_64__)
    return static_cast<std::uint64_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
    return uc->uc_mcontext.sp;
#else
    return 0;
#endif
}

void WriteRegisters(Out& out, const void* context) noexcept {
    const auto* uc = static_cast<const ucontext_t*>(context);
    if (uc == nullptr) return;
#if defined(__x86_64__)
    static const struct {
        const char* name;
        int index;
    } kRegs[] = {{"rax", REG_RAX}, {"rbx", REG_RBX}, {"rcx", REG_RCX}, {"rdx", REG_RDX}, {"rsi", REG_RSI},
                 {"rdi", REG_RDI}, {"rbp", REG_RBP}, {"rsp", REG_RSP}, {"r8", REG_R8},   {"r9", REG_R9},
                 {"r10", REG_R10}, {"r11", REG_R11}, {"r12", REG_R12}, {"r13", REG_R13}, {"r14", REG_R14},
                 {"r15", REG_R15}, {"rip", REG_RIP}, {"eflags", REG_EFL}};
    for (const auto& r : kRegs) {
        out.Put(r.name);
        out.Put("=0x");
        out.Hex(static_cast<std::uint64_t>(uc->uc_mcontext.gregs[r.index]), 16);
        out.Put("\n");
    }
#elif defined(__aarch64__)
    for (int i = 0; i < 31; ++i) {
        out.Put("x");
        out.Dec(static_cast<std::uint64_t>(i));
        out.Put("=0x");
        out.Hex(uc->uc_mcontext.regs[i], 16);
        out.Put("\n");
    }
    out.Put("sp=0x");
    out.Hex(uc->uc_mcontext.sp, 16);
    out.Put("\npc=0x");
    out.Hex(uc->uc_mcontext.pc, 16);
    out.Put("\n");
#endif
}

void CopyFileTo(Out& out, const char* path) noexcept {
    const int in = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, path, O_RDONLY | O_CLOEXEC));
    if (in < 0) return;
    out.Flush();
    char chunk[4096];
    for (;;) {
        const long n = ::syscall(SYS_read, in, chunk, sizeof chunk);
        if (n <= 0) break;
        RawWrite(out.fd, chunk, static_cast<std::size_t>(n));
    }
    ::syscall(SYS_close, in);
}

void WriteDump(const PrecomputedState& s, int sig, const siginfo_t* info, const void* context,
               std::uint64_t address) noexcept {
    const int fd = CreateFile(s.dump);
    if (fd < 0) return;
    Out out(fd);
    out.Put("TRAILSTARTER-CRASHDUMP 1\n");
    out.Put("signal=");
    out.Dec(static_cast<std::uint64_t>(sig));
    out.Put("\ncode=");
    out.Dec(static_cast<std::uint64_t>(static_cast<std::uint32_t>(info != nullptr ? info->si_code : 0)));
    out.Put("\nexceptionCode=");
    out.Hex(ExceptionCodeForSignal(sig, info != nullptr ? info->si_code : 0), 8);
    out.Put("\naddress=0x");
    out.Hex(address, 16);
    out.Put("\nfaultAddress=0x");
    out.Hex(info != nullptr ? reinterpret_cast<std::uintptr_t>(info->si_addr) : 0, 16);
    out.Put("\npid=");
    out.Dec(static_cast<std::uint64_t>(::getpid()));
    out.Put("\nthread=");
    out.Dec(static_cast<std::uint64_t>(::syscall(SYS_gettid)));
    out.Put("\nversion=");
    out.Put(s.version);
    out.Put("\n[registers]\n");
    WriteRegisters(out, context);
    out.Put("[backtrace]\n");
    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    for (int i = 0; i < count; ++i) {
        out.Put("0x");
        out.Hex(reinterpret_cast<std::uintptr_t>(frames[i]), 16);
        out.Put("\n");
    }
    out.Put("[maps]\n");
    CopyFileTo(out, "/proc/self/maps");
    // The faulting thread's stack from its stack pointer up, as far as it is readable: the
    // kernel refuses (EFAULT) to copy from an unmapped page instead of faulting.
    const std::uint64_t sp = StackPointer(context);
    out.Put("[stack]\nstart=0x");
    out.Hex(sp, 16);
    out.Put("\n");
    out.Flush();
    if (sp != 0) {
        const char* p = reinterpret_cast<const char*>(static_cast<std::uintptr_t>(sp));
        std::size_t done = 0;
        while (done < kStackBytes) {
            const std::size_t pageLeft = g_pageSize - ((sp + done) % static_cast<std::uint64_t>(g_pageSize));
            const std::size_t n = std::min(pageLeft, kStackBytes - done);
            const long w = ::syscall(SYS_write, fd, p + done, n);
            if (w <= 0) break;
            done += static_cast<std::size_t>(w);
        }
    }
    ::syscall(SYS_fsync, fd);
    ::syscall(SYS_close, fd);
}

std::uint64_t UsedMemoryMiB() noexcept {
    const int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, "/proc/self/statm", O_RDONLY | O_CLOEXEC));
    if (fd < 0) return 0;
    char text[128];
    const long n = ::syscall(SYS_read, fd, text, sizeof text - 1);
    ::syscall(SYS_close, fd);
    if (n <= 0) return 0;
    text[n] = '\0';
    // "size resident shared ...": the second number, in pages.
    const char* p = text;
    while (*p != '\0' && *p != ' ') ++p;
    while (*p == ' ') ++p;
    std::uint64_t pages = 0;
    while (*p >= '0' && *p <= '9') pages = pages * 10 + static_cast<std::uint64_t>(*p++ - '0');
    return pages * static_cast<std::uint64_t>(g_pageSize) / (1024 * 1024);
}

void WriteLog(const PrecomputedState& s, int sig, const siginfo_t* info, std::uint64_t address) noexcept {
    const int fd = CreateFile(s.log);
    if (fd < 0) return;
    Out out(fd);
    out.Put("[ExceptionInfo]\r\nExceptionAddress=");
    out.Dec(address);
    out.Put("\r\nExceptionCode=");
    out.Hex(ExceptionCodeForSignal(sig, info != nullptr ? info->si_code : 0), 8);
    out.Put("\r\nVersion=");
    out.Put(s.version);
    out.Put("\r\n64Bit=");
    out.Put(Is64BitProcess() ? "1" : "0");
    // The running time in the style "[Nd ]hh:mm:ss.mmm".
    std::uint64_t ms = static_cast<std::uint64_t>(std::max<std::int64_t>(0, MonotonicNs() - g_startNs)) / 1'000'000;
    out.Put("\r\nRunningTime=");
    const std::uint64_t days = ms / 86'400'000;
    ms %= 86'400'000;
    if (days > 0) {
        out.Dec(days);
        out.Put("d ");
    }
    out.Dec(ms / 3'600'000, 2);
    out.Put(":");
    out.Dec(ms / 60'000 % 60, 2);
    out.Put(":");
    out.Dec(ms / 1000 % 60, 2);
    out.Put(".");
    out.Dec(ms % 1000, 3);
    out.Put("\r\nUsedMemory=");
    out.Dec(UsedMemoryMiB());
    out.Put("\r\nScope=");
    if (t_scopeText != nullptr) out.Put(t_scopeText);
    out.Put("\r\n");
    if ((GetCrashFlags() & 1u) != 0 || t_scopeCorrupt) out.Put("CorruptData=1\r\n");
    // The CrashInfo line is stored with its "\r\n"; every "\n" becomes "\r\n".
    const char* crashInfo = GetCrashInfoLine();
    if (crashInfo != nullptr && crashInfo[0] != '\0') {
        for (const char* p = crashInfo; *p != '\0'; ++p) {
            if (*p == '\n')
                out.Put("\r\n");
            else
                out.Put(p, 1);
        }
    }
    out.Put("\r\n");
    out.Flush();
    ::syscall(SYS_fsync, fd);
    ::syscall(SYS_close, fd);
}

void CrashSignalHandler(int sig, siginfo_t* info, void* context) {
    const long self = ::syscall(SYS_gettid);
    long expected = 0;
    if (!g_owner.compare_exchange_strong(expected, self)) {
        // A fault while this thread writes the crash: end now, writing nothing more.
        if (expected == self) ::_exit(g_exitStatus.load());
        // Another thread owns the crash and ends the process when it has written.
        for (;;) {
            timespec pause{1, 0};
            ::nanosleep(&pause, nullptr);
        }
    }
    const int status = (sig == SIGTRAP && FatalTrapPending()) ? kFatalExitCode : 128 + sig;
    g_exitStatus.store(status);
    const std::uint64_t address = InstructionAddress(info, context);

    Out err(2);
    err.Put("Application has crashed. ExceptionAddr: ");
    err.Dec(address);
    err.Put("\n");
    if (const char* line = GetCrashInfoLine(); line != nullptr) err.Put(line);
    err.Flush();

    const int index = g_stateIndex.load();
    if (index >= 0) {
        const PrecomputedState& s = g_state[index];
        ::syscall(SYS_mkdirat, AT_FDCWD, s.outFolder, 0755);
        ::syscall(SYS_mkdirat, AT_FDCWD, s.folder, 0755);
        WriteDump(s, sig, info, context, address);
        if (auto hook = g_testHook.load()) hook();
        WriteLog(s, sig, info, address);
    }
    ::_exit(status);
}

void FillState(PrecomputedState& s, const std::string& stem, const std::string& version) {
    auto copy = [](char* to, const std::string& from) {
        const std::size_t n = std::min(from.size(), kPathSize - 1);
        std::memcpy(to, from.data(), n);
        to[n] = '\0';
    };
    const std::string folder = GetCrashFolder();
    const std::string base = folder + (stem.empty() ? std::string("trailstarter") : stem);
    copy(s.outFolder, GetOutputFolder());
    copy(s.folder, folder);
    copy(s.dump, base + ".dmp");
    copy(s.log, base + ".log");
    const std::size_t n = std::min(version.size(), sizeof s.version - 1);
    std::memcpy(s.version, version.data(), n);
    s.version[n] = '\0';
}

bool IsOurs(int sig) noexcept {
    struct sigaction current{};
    if (::sigaction(sig, nullptr, &current) != 0) return false;
    return (current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == CrashSignalHandler;
}

bool InstallHandlers() noexcept {
    struct sigaction sa{};
    sa.sa_sigaction = CrashSignalHandler;
    // SA_NODEFER: a fault inside the handler enters it again (and ends the process there)
    // instead of being fatal while blocked.
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_NODEFER;
    sigemptyset(&sa.sa_mask);
    bool all = true;
    for (int sig : kCrashSignals) {
        if (IsOurs(sig)) continue;
        if (::sigaction(sig, &sa, nullptr) != 0) all = false;
    }
    return all;
}

struct AltStack {
    void* memory = nullptr;
    ~AltStack() {
        if (memory == nullptr) return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        ::sigaltstack(&off, nullptr);
        ::munmap(memory, kAltStackSize);
    }
};

}  // namespace

bool InstallCrashHandler() noexcept {
    if (!g_installed.exchange(true)) {
        // Loads the unwinder now: its first use may allocate, which the handler must not.
        void* frame[1];
        ::backtrace(frame, 1);
        try {
            RefreshCrashHandlerState();
        } catch (...) {
            // Without names yet the handler still ends the process with the right status.
        }
    }
    EnsureCrashAltStack();
    return InstallHandlers();
}

void RefreshCrashHandlerState() {
    std::lock_guard lock(g_refreshMutex);
    const int current = g_stateIndex.load();
    PrecomputedState fresh{};
    FillState(fresh, GetExeStem(), GetVersionString());
    // Unchanged: the slot a crash may be reading right now is left alone.
    if (current >= 0 && std::memcmp(&fresh, &g_state[current], sizeof fresh) == 0) return;
    const int next = current == 0 ? 1 : 0;
    g_state[next] = fresh;
    g_stateIndex.store(next);
}

bool CheckCrashHandler() noexcept {
    bool all = true;
    for (int sig : kCrashSignals)
        if (!IsOurs(sig)) all = false;
    if (!all) InstallHandlers();
    return all;
}

void EnsureCrashAltStack() noexcept {
    thread_local AltStack stack;
    if (stack.memory != nullptr) return;
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE) == 0) return;  // has one
    void* memory = ::mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (memory == MAP_FAILED) return;
    stack_t ss{};
    ss.ss_sp = memory;
    ss.ss_size = kAltStackSize;
    if (::sigaltstack(&ss, nullptr) != 0) {
        ::munmap(memory, kAltStackSize);
        return;
    }
    stack.memory = memory;
}

std::uint32_t ExceptionCodeForSignal(int signal, int code) noexcept {
    switch (signal) {
        case SIGSEGV: return 0xC0000005u;  // access violation
        case SIGBUS: return code == BUS_ADRALN ? 0x80000002u : 0xC0000006u;  // misalignment, in-page error
        case SIGILL: return code == ILL_PRVOPC ? 0xC0000096u : 0xC000001Du;  // privileged, illegal instruction
        case SIGFPE:
            switch (code) {
                case FPE_INTDIV: return 0xC0000094u;
                case FPE_INTOVF: return 0xC0000095u;
                case FPE_FLTDIV: return 0xC000008Eu;
                case FPE_FLTOVF: return 0xC0000091u;
                case FPE_FLTUND: return 0xC0000093u;
                case FPE_FLTRES: return 0xC000008Fu;
                default: return 0xC0000090u;  // invalid operation
            }
        case SIGTRAP: return 0x80000003u;  // breakpoint
        case SIGABRT: return 0x40000015u;  // fatal application exit
        default: return 0xE0000000u | static_cast<std::uint32_t>(signal & 0xFF);
    }
}

std::string GetCrashFolder() { return GetOutputFolder() + "crashes/"; }

std::vector<std::string> ListCrashFiles(const std::string& pattern) {
    std::vector<std::string> found;
    const std::string folder = GetCrashFolder();
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return found;
    while (const dirent* entry = ::readdir(dir)) {
        if (::fnmatch(pattern.c_str(), entry->d_name, FNM_CASEFOLD | FNM_PERIOD) != 0) continue;
        const std::string path = folder + entry->d_name;
        struct stat st{};
        if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) found.push_back(path);
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

void ReadKeyValueFile(const std::string& path, std::map<std::string, std::string>& values) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && line.back() == '\r') line.pop_back();
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        values[line.substr(0, eq)] = line.substr(eq + 1);
    }
}

ThreadScope::ThreadScope(const char* text, bool corruptData) noexcept
    : previousText_(t_scopeText), previousCorrupt_(t_scopeCorrupt) {
    t_scopeText = text;
    t_scopeCorrupt = corruptData;
}

ThreadScope::~ThreadScope() {
    t_scopeText = previousText_;
    t_scopeCorrupt = previousCorrupt_;
}

namespace Testing {
void SetCrashHandlerHookForTesting(void (*hook)()) noexcept { g_testHook.store(hook); }
}  // namespace Testing

}  // namespace Vel
