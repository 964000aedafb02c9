#include "foundation/core/CrashHandler.h"

#include <dirent.h>
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
#include <sstream>

#include "foundation/core/AppEnvironment.h"
#include "foundation/core/FatalError.h"

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
std::atomic<void (*)()> g_testHooks[2]{nullptr, nullptr};
std::atomic<void (*)()> g_abortHandler{nullptr};
std::atomic<bool> g_installed{false};

// How far the owner of the crash has come: a fault of its own while it writes the dump goes on
// to the log; one while it writes the log ends the process.
enum : int { kPhaseNone, kPhaseDump, kPhaseLog };
std::atomic<int> g_phase{kPhaseNone};
// The crash being reported, for the log written after such a fault.
int g_crashSignal = 0;
siginfo_t g_crashInfo{};
std::uint64_t g_crashAddress = 0;
const PrecomputedState* g_crashState = nullptr;

void RunTestHook(Testing::CrashHandlerHookPoint point) noexcept {
    if (auto hook = g_testHooks[static_cast<int>(point)].load()) hook();
}

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

// --- a stack walk that cannot fault --------------------------------------------------------
//
// Every address is looked up in the process's mappings (read from /proc/self/maps when the
// crash happens) before anything is read through it; the unwinder of the C library is not used,
// since it reads the code of every frame it meets, a bad address included.

struct Mapping {
    std::uintptr_t start;
    std::uintptr_t end;
    bool readable;
    bool executable;
};
constexpr int kMaxMappings = 8192;
Mapping g_mappings[kMaxMappings];
int g_mappingCount = 0;

void LoadMappings() noexcept {
    g_mappingCount = 0;
    const int fd = static_cast<int>(::syscall(SYS_openat, AT_FDCWD, "/proc/self/maps", O_RDONLY | O_CLOEXEC));
    if (fd < 0) return;
    // One line at a time: "start-end perms offset device inode name". The numbers of field 0 and
    // 1 are hexadecimal, field 2 holds the permissions, field 6 the name: the kernel's [vvar]
    // pages are readable on paper but may raise SIGBUS, so they count as unreadable.
    static const char kVvar[] = "[vvar";
    int field = 0;
    int index = 0;  // characters seen of the current field
    bool vvar = false;
    Mapping m{};
    char chunk[4096];
    for (;;) {
        const long n = ::syscall(SYS_read, fd, chunk, sizeof chunk);
        if (n <= 0) break;
        for (long i = 0; i < n; ++i) {
            const char c = chunk[i];
            if (c == '\n') {
                if (vvar) m.readable = false;
                if (field >= 2 && g_mappingCount < kMaxMappings && m.end > m.start) g_mappings[g_mappingCount++] = m;
                field = 0;
                index = 0;
                vvar = false;
                m = Mapping{};
                continue;
            }
            if (field <= 1) {
                std::uintptr_t& v = field == 0 ? m.start : m.end;
                if (c >= '0' && c <= '9') {
                    v = v * 16 + static_cast<std::uintptr_t>(c - '0');
                } else if (c >= 'a' && c <= 'f') {
                    v = v * 16 + static_cast<std::uintptr_t>(c - 'a' + 10);
                } else {  // '-' or ' '
                    ++field;
                    index = 0;
                }
                continue;
            }
            if (c == ' ') {
                if (index > 0 && field < 6) {
                    ++field;
                    index = 0;
                }
                continue;
            }
            if (field == 2) {
                if (index == 0) m.readable = c == 'r';
                if (index == 2) m.executable = c == 'x';
            } else if (field == 6 && index < 5) {
                vvar = (index == 0 || vvar) && c == kVvar[index];
            }
            ++index;
        }
    }
    ::syscall(SYS_close, fd);
}

const Mapping* MappingOf(std::uintptr_t address) noexcept {
    for (int i = 0; i < g_mappingCount; ++i)
        if (address >= g_mappings[i].start && address < g_mappings[i].end) return &g_mappings[i];
    return nullptr;
}

bool IsReadable(std::uintptr_t address, std::size_t size) noexcept {
    if (size == 0 || address + size < address) return false;
    const Mapping* first = MappingOf(address);
    const Mapping* last = MappingOf(address + size - 1);
    return first != nullptr && last != nullptr && first->readable && last->readable;
}

bool IsCode(std::uintptr_t address) noexcept {
    const Mapping* m = MappingOf(address);
    return m != nullptr && m->executable;
}

// Reads through an address checked by IsReadable. The stack holds the sanitizer's poisoned
// red zones, which this read may cross on purpose, and other threads may be writing to what it
// reads: neither is a fault of the walk, so the sanitizers look away.
__attribute__((no_sanitize("address", "thread"))) std::uintptr_t LoadWord(std::uintptr_t address) noexcept {
    return *reinterpret_cast<const volatile std::uintptr_t*>(address);
}
[[maybe_unused]] __attribute__((no_sanitize("address", "thread"))) std::uint32_t LoadU32(std::uintptr_t address) noexcept {
    return *reinterpret_cast<const volatile std::uint32_t*>(address);
}
[[maybe_unused]] __attribute__((no_sanitize("address", "thread"))) std::uint8_t LoadByte(std::uintptr_t address) noexcept {
    return *reinterpret_cast<const volatile std::uint8_t*>(address);
}

bool ReadWord(std::uintptr_t address, std::uintptr_t& value) noexcept {
    if (address % sizeof(std::uintptr_t) != 0 || !IsReadable(address, sizeof(std::uintptr_t))) return false;
    value = LoadWord(address);
    return true;
}

// Whether the instruction before a return address is a call, which makes the address a
// likely return address when it is found on the stack by scanning.
bool FollowsCall(std::uintptr_t address) noexcept {
    const Mapping* code = MappingOf(address);
    if (code == nullptr || !code->executable || !code->readable) return false;
    // The call lies in the same mapping as the address after it.
    auto inCode = [code](std::uintptr_t a, std::size_t size) { return a >= code->start && a + size <= code->end; };
    (void)inCode;
#if defined(__x86_64__)
    auto byteAt = [&](std::uintptr_t a, std::uint8_t& b) {
        if (!inCode(a, 1)) return false;
        b = LoadByte(a);
        return true;
    };
    std::uint8_t b = 0;
    if (byteAt(address - 5, b) && b == 0xE8) return true;  // call rel32
    // call r/m64 (FF /2) of 2 to 7 bytes: the ModRM byte right after FF has reg field 2.
    for (std::uintptr_t length = 2; length <= 7; ++length) {
        std::uint8_t op = 0, modrm = 0;
        if (byteAt(address - length, op) && op == 0xFF && byteAt(address - length + 1, modrm) &&
            ((modrm >> 3) & 7) == 2)
            return true;
    }
    return false;
#elif defined(__aarch64__)
    if (address % 4 != 0 || !inCode(address - 4, 4)) return false;
    const std::uint32_t insn = LoadU32(address - 4);
    return (insn & 0xFC000000u) == 0x94000000u || (insn & 0xFFFFFC1Fu) == 0xD63F0000u;  // BL, BLR
#else
    return true;
#endif
}

std::uintptr_t FramePointer(const void* context) noexcept {
    const auto* uc = static_cast<const ucontext_t*>(context);
    if (uc == nullptr) return 0;
#if defined(__x86_64__)
    return static_cast<std::uintptr_t>(uc->uc_mcontext.gregs[REG_RBP]);
#elif defined(__aarch64__)
    return uc->uc_mcontext.regs[29];
#else
    return 0;
#endif
}

// The frames of the faulting thread, innermost first: the faulting instruction; after a call
// to an address that holds no code, the caller's return address; then the frame-pointer chain.
// Where that chain yields less than two frames (code built without frame pointers), the return
// addresses found by scanning the stack follow, marked `scanned`.
int WalkStack(const void* context, std::uint64_t pc, std::uintptr_t* frames, bool* scanned, int max) noexcept {
    int n = 0;
    frames[n] = static_cast<std::uintptr_t>(pc);
    scanned[n++] = false;
    const std::uintptr_t sp = static_cast<std::uintptr_t>(StackPointer(context));
    if (sp == 0) return n;
    if (!IsCode(static_cast<std::uintptr_t>(pc))) {
        std::uintptr_t ra = 0;
#if defined(__x86_64__)
        if (!ReadWord(sp, ra)) ra = 0;  // pushed by the call
#elif defined(__aarch64__)
        ra = static_cast<const ucontext_t*>(context)->uc_mcontext.regs[30];  // the link register
#endif
        if (ra != 0 && IsCode(ra) && n < max) {
            frames[n] = ra;
            scanned[n++] = false;
        }
    }
    const int chainStart = n;
    std::uintptr_t fp = FramePointer(context);
    while (n < max && fp >= sp && fp - sp < kStackBytes * 16) {
        std::uintptr_t next = 0, ra = 0;
        if (!ReadWord(fp, next) || !ReadWord(fp + sizeof(std::uintptr_t), ra) || !IsCode(ra)) break;
        frames[n] = ra;
        scanned[n++] = false;
        if (next <= fp) break;  // callers' frames lie above
        fp = next;
    }
    if (n - chainStart >= 2) return n;
    for (std::uintptr_t at = sp; n < max && at < sp + kStackBytes; at += sizeof(std::uintptr_t)) {
        std::uintptr_t ra = 0;
        if (!ReadWord(at, ra)) break;  // the end of the stack
        if (ra == frames[n - 1] || !FollowsCall(ra)) continue;
        frames[n] = ra;
        scanned[n++] = true;
    }
    return n;
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
    // What is written so far stays on disk whatever the walk meets.
    out.Flush();
    RunTestHook(Testing::CrashHandlerHookPoint::kDumpStackWalk);
    LoadMappings();
    std::uintptr_t frames[kMaxFrames];
    bool scanned[kMaxFrames];
    const int count = WalkStack(context, address, frames, scanned, kMaxFrames);
    for (int i = 0; i < count; ++i) {
        out.Put("0x");
        out.Hex(frames[i], 16);
        out.Put(scanned[i] ? " scanned\n" : "\n");
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
    RunTestHook(Testing::CrashHandlerHookPoint::kLog);
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
    // An abort may be routed to the fatal-error report, which traps into this handler again.
    if (sig == SIGABRT && g_owner.load() == 0)
        if (auto handler = g_abortHandler.load()) handler();

    const long self = ::syscall(SYS_gettid);
    long expected = 0;
    if (!g_owner.compare_exchange_strong(expected, self)) {
        if (expected == self) {
            // A fault of this thread while it writes the crash: a dump cut short still leaves
            // the log; a fault while the log is written ends the process at once.
            if (g_phase.exchange(kPhaseLog) == kPhaseDump && g_crashState != nullptr)
                WriteLog(*g_crashState, g_crashSignal, &g_crashInfo, g_crashAddress);
            ::_exit(g_exitStatus.load());
        }
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
        g_crashSignal = sig;
        if (info != nullptr) g_crashInfo = *info;
        g_crashAddress = address;
        g_crashState = &s;
        ::syscall(SYS_mkdirat, AT_FDCWD, s.outFolder, 0755);
        ::syscall(SYS_mkdirat, AT_FDCWD, s.folder, 0755);
        g_phase.store(kPhaseDump);
        WriteDump(s, sig, info, context, address);
        if (g_phase.exchange(kPhaseLog) == kPhaseDump) WriteLog(s, sig, info, address);
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
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) found.push_back(path);
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

void ParseKeyValueText(const std::string& text, std::map<std::string, std::string>& values) {
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        while (!line.empty() && line.back() == '\r') line.pop_back();
        const auto eq = line.find('=');
        if (eq == std::string::npos) continue;
        values[line.substr(0, eq)] = line.substr(eq + 1);
    }
}

void ReadKeyValueFile(const std::string& path, std::map<std::string, std::string>& values) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return;
    std::ostringstream text;
    text << in.rdbuf();
    ParseKeyValueText(text.str(), values);
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

void SetCrashAbortHandler(void (*handler)()) noexcept { g_abortHandler.store(handler); }

namespace Testing {
void SetCrashHandlerHookForTesting(CrashHandlerHookPoint point, void (*hook)()) noexcept {
    g_testHooks[static_cast<int>(point)].store(hook);
}
}  // namespace Testing

}  // namespace Vel
