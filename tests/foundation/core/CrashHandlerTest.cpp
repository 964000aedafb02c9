// The crash handler in forked children: each child installs the handler in its own folder and
// crashes; the parent reads the exit status, the dump and the log.

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/core/CrashHandler.h"
#include "foundation/core/FatalError.h"
#include "foundation/runtime/ProcessRuntime.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"

namespace Vel {
namespace {

using Test::ReadFile;
using Test::TempDir;

// Runs body in a forked child whose current folder is dir, with the crash handler installed;
// returns the child's exit status (128 + signal when a signal ended it unhandled).
int RunCrashingChild(const std::filesystem::path& dir, const std::function<void()>& body) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) ::_exit(99);
        InstallCrashHandler();
        RefreshCrashHandlerState();
        body();
        ::_exit(0);
    }
    int status = 0;
    // The child ends by itself; a child that hangs is killed after the bound and fails the test.
    const bool ended = TestSupport::WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(30));
    if (!ended) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "crashing child did not end";
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    if (start != text.size()) lines.push_back(text.substr(start));  // an unterminated rest
    return lines;
}

std::string KeyOf(const std::string& line) { return line.substr(0, line.find('=')); }

void CallNull() {
    void (*volatile target)() = nullptr;
    target();
}

// A call into an unmapped page: the stack walk meets a frame whose code cannot be read.
void CallUnmapped() {
    void (*volatile target)() = reinterpret_cast<void (*)()>(std::uintptr_t{0x1234});
    target();
}

// The processor's fault, not a sanitizer's report of it.
void DivideByZero() {
#if defined(__x86_64__)
    int zero = 0;
    asm volatile("xorl %%edx, %%edx\n\tmovl $1, %%eax\n\tidivl %0" : : "r"(zero) : "eax", "edx");
#else
    ::raise(SIGFPE);
#endif
}

TEST(CrashHandlerTest, ACrashingChildLeavesTheDumpAndTheLogAndEndsWithItsStatus) {
    struct Case {
        const char* name;
        std::function<void()> crash;
        int status;
        std::string code;
    };
    const std::vector<Case> cases = {
        {"null call", CallNull, 128 + SIGSEGV, "c0000005"},
        {"call to an unmapped address", CallUnmapped, 128 + SIGSEGV, "c0000005"},
#if defined(__x86_64__)
        {"divide by zero", DivideByZero, 128 + SIGFPE, "c0000094"},
#endif
        {"abort", [] { std::abort(); }, 128 + SIGABRT, "40000015"},
        {"fatal error", [] { FatalError("broken lock"); }, kFatalExitCode, "80000003"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir("crash");
        ASSERT_EQ(RunCrashingChild(dir.Path(), c.crash), c.status);

        const std::string dump = ReadFile(dir / "out/crashes/trailstarter.dmp");
        EXPECT_EQ(dump.rfind("TRAILSTARTER-CRASHDUMP 1\n", 0), 0u);
        for (const char* section : {"\n[registers]\n", "\n[backtrace]\n0x", "\n[maps]\n", "\n[stack]\nstart=0x"})
            EXPECT_NE(dump.find(section), std::string::npos) << section;

        const std::string log = ReadFile(dir / "out/crashes/trailstarter.log");
        const auto lines = Lines(log);
        std::vector<std::string> keys;
        for (const auto& line : lines) keys.push_back(KeyOf(line));
        std::vector<std::string> expected = {"[ExceptionInfo]", "ExceptionAddress", "ExceptionCode", "Version",
                                             "64Bit",           "RunningTime",      "UsedMemory",    "Scope"};
        if (c.status == kFatalExitCode) expected.push_back("CrashInfo");
        expected.push_back("");
        EXPECT_EQ(keys, expected) << log;
        if (keys != expected) continue;
        EXPECT_EQ(lines[2], "ExceptionCode=" + c.code);
        EXPECT_EQ(lines[4], std::string("64Bit=") + (sizeof(void*) == 8 ? "1" : "0"));
        EXPECT_TRUE(lines[5].size() == std::string("RunningTime=00:00:00.000").size()) << lines[5];
        EXPECT_NE(lines[6], "UsedMemory=0");
        if (c.status == kFatalExitCode) {
            // The crash info was stored with its own line end: "\r\r\n", then one empty line.
            const std::string tail = "CrashInfo=broken lock\r\r\n\r\n";
            EXPECT_EQ(log.substr(log.size() - tail.size()), tail);
        }
    }
}

TEST(CrashHandlerTest, ACallToABadAddressReportsThatAddress) {
    struct Case {
        const char* name;
        void (*crash)();
        std::string address;
    };
    for (const Case& c : {Case{"null", CallNull, "0"}, Case{"unmapped", CallUnmapped, "4660"}}) {
        SCOPED_TRACE(c.name);
        TempDir dir("crash");
        EXPECT_EQ(RunCrashingChild(dir.Path(), c.crash), 128 + SIGSEGV);
        std::map<std::string, std::string> values;
        ReadKeyValueFile((dir / "out/crashes/trailstarter.log").string(), values);
        EXPECT_EQ(values["ExceptionAddress"], c.address);
        // The walk starts at the bad address itself and goes on to the caller, whose return
        // address lies in the test's own code.
        const std::string dump = ReadFile(dir / "out/crashes/trailstarter.dmp");
        char first[64];
        std::snprintf(first, sizeof first, "\n[backtrace]\n0x%016llx\n0x", std::stoull(c.address) & 0xffffffffffffull);
        EXPECT_NE(dump.find(first), std::string::npos) << dump.substr(0, 2000);
        EXPECT_NE(dump.find("\n[stack]\nstart=0x"), std::string::npos);
    }
}

TEST(CrashHandlerTest, AFaultInsideTheDumpStillLeavesTheLogAndOneInsideTheLogEndsAtOnce) {
    using Testing::CrashHandlerHookPoint;
    static CrashHandlerHookPoint s_point;  // the child's copy, set before it forks
    struct Case {
        const char* name;
        CrashHandlerHookPoint point;
        bool dumpComplete;
        bool logWritten;
    };
    for (const Case& c : {Case{"in the dump", CrashHandlerHookPoint::kDumpStackWalk, false, true},
                          Case{"in the log", CrashHandlerHookPoint::kLog, true, false}}) {
        SCOPED_TRACE(c.name);
        TempDir dir("crash");
        s_point = c.point;
        // The hook faults itself: a second signal on the thread that writes the crash.
        const int status = RunCrashingChild(dir.Path(), [] {
            Testing::SetCrashHandlerHookForTesting(s_point, [] { ::raise(SIGBUS); });
            ::raise(SIGILL);
        });
        EXPECT_EQ(status, 128 + SIGILL);  // the status of the first signal
        const std::string dump = ReadFile(dir / "out/crashes/trailstarter.dmp");
        EXPECT_EQ(dump.rfind("TRAILSTARTER-CRASHDUMP 1\nsignal=4\n", 0), 0u) << dump.substr(0, 200);
        EXPECT_NE(dump.find("\n[backtrace]\n"), std::string::npos);
        EXPECT_EQ(dump.find("\n[stack]\n") != std::string::npos, c.dumpComplete);
        const std::string log = ReadFile(dir / "out/crashes/trailstarter.log");
        if (c.logWritten) {
            EXPECT_EQ(log.rfind("[ExceptionInfo]\r\nExceptionAddress=", 0), 0u) << log;
            EXPECT_NE(log.find("\r\nExceptionCode=c000001d\r\n"), std::string::npos) << log;  // SIGILL's
            EXPECT_TRUE(log.ends_with("\r\n\r\n")) << log;
        } else {
            EXPECT_EQ(log, "");
        }
    }
}

TEST(CrashHandlerTest, AHandlerReplacedByALibraryIsPutBack) {
    TempDir dir("crash");
    const int status = RunCrashingChild(dir.Path(), [] {
        if (!CheckCrashHandler()) ::_exit(10);
        ::signal(SIGSEGV, SIG_DFL);  // as a library starting up might
        if (CheckCrashHandler()) ::_exit(11);
        if (!CheckCrashHandler()) ::_exit(12);
        ::raise(SIGSEGV);
    });
    EXPECT_EQ(status, 128 + SIGSEGV);
    EXPECT_TRUE(std::filesystem::exists(dir / "out/crashes/trailstarter.log"));
}

// Once the runtime has started, an abort is a fatal error like an uncaught exception.
TEST(CrashHandlerTest, AfterTheRuntimeStartAnAbortIsAFatalError) {
    struct Case {
        const char* name;
        void (*fail)();
    };
    for (const Case& c : {Case{"abort", [] { std::abort(); }}, Case{"terminate", [] { std::terminate(); }}}) {
        SCOPED_TRACE(c.name);
        TempDir dir("crash");
        static void (*s_fail)() = nullptr;
        s_fail = c.fail;
        const int status = RunCrashingChild(dir.Path(), [] {
            const int err = ::open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (err < 0 || ::dup2(err, 2) < 0) ::_exit(98);
            boost::program_options::options_description options;
            RuntimeInit(kRuntimeRootFromCurrentDir, options, {});
            s_fail();
        });
        EXPECT_EQ(status, kFatalExitCode);
        const std::string err = ReadFile(dir / "stderr.txt");
        const auto crashLine = err.find("Application has crashed. ExceptionAddr: ");
        EXPECT_NE(crashLine, std::string::npos) << err;
        EXPECT_NE(err.find("\nCrashInfo=\r\n", crashLine), std::string::npos) << err;

        std::string log, dump;
        for (const auto& entry : std::filesystem::directory_iterator(dir / "out/crashes")) {
            if (entry.path().extension() == ".log") log = ReadFile(entry.path());
            if (entry.path().extension() == ".dmp") dump = ReadFile(entry.path());
        }
        EXPECT_TRUE(log.ends_with("\r\nCrashInfo=\r\r\n\r\n")) << log;
        EXPECT_EQ(dump.rfind("TRAILSTARTER-CRASHDUMP 1\nsignal=5\n", 0), 0u) << dump.substr(0, 100);
    }
}

TEST(CrashFilesTest, ReadKeyValueFileAndListCrashFiles) {
    TempDir dir("crashfiles");
    dir.Write("out/crashes/Solvenda_12.dmp", "d");
    dir.Write("out/crashes/solvenda_7.dmp", "d");
    dir.Write("out/crashes/solvenda_7.log", "Version=1.2.3.4\r\nLogin=a=b\r\n\r\nno equals\r\nPosX=5\r\r\nPosX=6\r\n");
    dir.Write("out/crashes/trailstarter.dmp", "d");
    std::filesystem::create_directories(dir / "out/crashes/solvenda_dir.dmp");

    const auto saved = std::filesystem::current_path();
    std::filesystem::current_path(dir.Path());
    const auto client = ListCrashFiles("solvenda*.dmp");
    std::map<std::string, std::string> values{{"Kept", "yes"}};
    ReadKeyValueFile("out/crashes/solvenda_7.log", values);
    ReadKeyValueFile("out/crashes/missing.log", values);
    std::filesystem::current_path(saved);

    EXPECT_EQ(client, (std::vector<std::string>{"out/crashes/Solvenda_12.dmp", "out/crashes/solvenda_7.dmp"}));
    EXPECT_EQ(values, (std::map<std::string, std::string>{
                          {"Kept", "yes"}, {"Version", "1.2.3.4"}, {"Login", "a=b"}, {"PosX", "6"}}));
}

}  // namespace
}  // namespace Vel
