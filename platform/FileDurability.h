#pragma once
// The system calls that put bytes on the disk and make them durable: writes, syncs, truncation,
// renames and removals, behind one small interface so that a test can watch their order or end
// the process after any one of them.
//
// Contract:
// - Each operation does exactly what its system call does and returns what it returns, with
//   errno set the same way; no retry on EINTR or a short write (the callers loop).
// - FileDurability::Current() is the process's implementation: the real calls unless a test
//   installed another through ScopedFileDurability. Reading it is one atomic load, so any
//   thread may call it at any time; installing is for a test's main thread while no other
//   thread of the test uses the archive or the updater.
// - Not for signal handlers: the crash handler writes its dump with raw system calls.

#include <sys/types.h>
#include <sys/uio.h>

namespace Vel::Platform {

class FileDurability {
public:
    virtual ~FileDurability() = default;

    virtual ssize_t WriteAt(int fd, const void* data, size_t length, off_t offset);
    virtual ssize_t WriteVectorAt(int fd, const iovec* parts, int count, off_t offset);
    virtual ssize_t Write(int fd, const void* data, size_t length);
    virtual int Sync(int fd);
    virtual int Truncate(int fd, off_t length);
    virtual int Rename(const char* from, const char* to);
    virtual int RenameAt(int fromFolder, const char* from, int toFolder, const char* to);
    virtual int Unlink(const char* path);

    static FileDurability& Current();
};

// Installs `replacement` for its lifetime and puts the previous one back afterwards.
class ScopedFileDurability {
public:
    explicit ScopedFileDurability(FileDurability& replacement);
    ~ScopedFileDurability();
    ScopedFileDurability(const ScopedFileDurability&) = delete;
    ScopedFileDurability& operator=(const ScopedFileDurability&) = delete;

private:
    FileDurability* previous_;
};

}  // namespace Vel::Platform
