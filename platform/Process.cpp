#include "platform/Process.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <thread>

#include "platform/LastError.h"

extern char** environ;

namespace Vel::Platform {

const std::string& ExecutablePath() {
    static const std::string path = [] {
        char buffer[PATH_MAX];
        const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }();
    return path;
}

bool ProcessExists(pid_t pid) {
    if (pid <= 0) return false;
    return ::kill(pid, 0) == 0 || errno == EPERM;
}

bool WaitForProcessExit(pid_t pid, int timeoutMs) {
    if (!ProcessExists(pid)) return true;
#ifdef SYS_pidfd_open
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        int rc;
        do {
            rc = ::poll(&p, 1, timeoutMs < 0 ? -1 : timeoutMs);
        } while (rc < 0 && errno == EINTR);
        ::close(fd);
        return rc > 0;
    }
#endif
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (ProcessExists(pid)) {
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

pid_t StartProcess(const ProcessStart& start) {
    std::vector<std::string> argv;
    const std::string elevator = start.elevator.empty() ? std::string("pkexec") : start.elevator;
    if (start.elevated) argv.push_back(elevator);
    argv.push_back(start.program);
    argv.insert(argv.end(), start.arguments.begin(), start.arguments.end());
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!start.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(&actions, start.workingDirectory.c_str());
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    if (start.newSession) posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
    pid_t pid = -1;
    const char* program = start.elevated ? elevator.c_str() : start.program.c_str();
    const int rc = start.elevated ? ::posix_spawnp(&pid, program, &actions, &attributes, args.data(), environ)
                                  : ::posix_spawn(&pid, program, &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        SetLastError(static_cast<unsigned>(rc));
        return -1;
    }
    return pid;
}

int WaitForChild(pid_t pid) {
    int status = 0;
    pid_t rc;
    do {
        rc = ::waitpid(pid, &status, 0);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        SetLastErrorFromErrno();
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ChildWait WaitForChildFor(pid_t pid, int timeoutMs, int& status) {
    const auto reap = [&](int flags) -> int {
        int raw = 0;
        pid_t rc;
        do {
            rc = ::waitpid(pid, &raw, flags);
        } while (rc < 0 && errno == EINTR);
        if (rc < 0) {
            SetLastErrorFromErrno();
            return -1;
        }
        if (rc == 0) return 0;
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return 1;
    };
    int r = reap(WNOHANG);
    if (r != 0) return r > 0 ? ChildWait::Exited : ChildWait::Failed;
#ifdef SYS_pidfd_open
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        int rc;
        do {
            rc = ::poll(&p, 1, timeoutMs);
        } while (rc < 0 && errno == EINTR);
        ::close(fd);
        r = reap(WNOHANG);
        if (r != 0) return r > 0 ? ChildWait::Exited : ChildWait::Failed;
        return ChildWait::Running;
    }
#endif
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        r = reap(WNOHANG);
        if (r != 0) return r > 0 ? ChildWait::Exited : ChildWait::Failed;
        if (std::chrono::steady_clock::now() >= deadline) return ChildWait::Running;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

}  // namespace Vel::Platform
