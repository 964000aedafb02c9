#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <thread>

namespace Vel::Test {

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& args,
                           const std::string& workDir) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> argvText{program};
    argvText.insert(argvText.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argvText) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(fds[1], 1);
        if (!workDir.empty() && ::chdir(workDir.c_str()) != 0) ::_exit(126);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    out_ = fds[0];
}

ChildProcess::~ChildProcess() {
    Terminate();
    Wait(std::chrono::seconds(20));
    if (out_ >= 0) ::close(out_);
}

std::string ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto nl = pending_.find('\n');
        if (nl != std::string::npos) {
            std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return {};
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
        char buf[512];
        const ssize_t n = ::read(out_, buf, sizeof buf);
        if (n <= 0) {
            std::string rest;
            rest.swap(pending_);
            return rest;
        }
        pending_.append(buf, static_cast<std::size_t>(n));
    }
}

int ChildProcess::Wait(std::chrono::milliseconds timeout) {
    if (reaped_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int st = 0;
        const pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // bounded poll on the exit
    }
}

void ChildProcess::Terminate() {
    if (!reaped_ && pid_ > 0) ::kill(pid_, SIGTERM);
}

std::string ToolPath(const std::string& name) {
    const char* build = ::getenv("TRAILSTARTER_BUILD_DIR");
    std::filesystem::path root;
    if (build && *build) {
        root = build;
    } else {
        // The test executables live in BUILD/tests/<folder>/.
        std::error_code ec;
        root = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().parent_path().parent_path();
    }
    return (root / "tools" / name / name).string();
}

}  // namespace Vel::Test
