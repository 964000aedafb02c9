#pragma once
// The calling thread's last system error, as the layer's failure sites leave it.
//
// Contract: one record per thread, zero when the thread starts. Our own code sets it where
// a system call fails (errno values) or a transfer fails (the 12000-12174 network codes),
// and the exception family saves and restores it, so a caller can read it after catching.
// No locks: the record is thread_local.

namespace Vel::Platform {

unsigned GetLastError() noexcept;
void SetLastError(unsigned code) noexcept;

// Sets the record from errno and returns the value stored.
unsigned SetLastErrorFromErrno() noexcept;

// Saves the record on construction and puts it back on destruction.
class LastErrorGuard {
public:
    LastErrorGuard() noexcept : saved_(GetLastError()) {}
    ~LastErrorGuard() { SetLastError(saved_); }
    LastErrorGuard(const LastErrorGuard&) = delete;
    LastErrorGuard& operator=(const LastErrorGuard&) = delete;

private:
    unsigned saved_;
};

}  // namespace Vel::Platform
