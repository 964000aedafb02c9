#pragma once
// Runs a program as a child process with its standard output on a pipe, for tests of the
// stand-in executables. The destructor sends SIGTERM (if it still runs) and reaps it.

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace Vel::Test {

class ChildProcess {
public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args, const std::string& workDir = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // The next line of standard output (without its newline); "" at end or after the
    // time-out.
    std::string ReadLine(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Waits for the exit and returns the exit status (or 128 + signal); -1 after the
    // time-out.
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void Terminate();
    pid_t Pid() const noexcept { return pid_; }

private:
    pid_t pid_ = -1;
    int out_ = -1;
    std::string pending_;
    bool reaped_ = false;
    int status_ = -1;
};

// The build folder's path of a tool executable (TRAILSTARTER_BUILD_DIR/tools/NAME/NAME).
std::string ToolPath(const std::string& name);

}  // namespace Vel::Test
