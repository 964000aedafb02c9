#include "platform/FileDurability.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <atomic>

namespace Vel::Platform {

namespace {

FileDurability& RealCalls() {
    static FileDurability real;
    return real;
}

std::atomic<FileDurability*> g_current{nullptr};

}  // namespace

ssize_t FileDurability::WriteAt(int fd, const void* data, size_t length, off_t offset) {
    return ::pwrite(fd, data, length, offset);
}

ssize_t FileDurability::WriteVectorAt(int fd, const iovec* parts, int count, off_t offset) {
    return ::pwritev(fd, parts, count, offset);
}

ssize_t FileDurability::Write(int fd, const void* data, size_t length) { return ::write(fd, data, length); }

int FileDurability::Sync(int fd) { return ::fsync(fd); }

int FileDurability::Truncate(int fd, off_t length) { return ::ftruncate(fd, length); }

int FileDurability::Rename(const char* from, const char* to) { return ::rename(from, to); }

int FileDurability::RenameAt(int fromFolder, const char* from, int toFolder, const char* to) {
    return ::renameat(fromFolder, from, toFolder, to);
}

int FileDurability::Unlink(const char* path) { return ::unlink(path); }

FileDurability& FileDurability::Current() {
    FileDurability* installed = g_current.load(std::memory_order_acquire);
    return installed ? *installed : RealCalls();
}

ScopedFileDurability::ScopedFileDurability(FileDurability& replacement)
    : previous_(g_current.exchange(&replacement, std::memory_order_acq_rel)) {}

ScopedFileDurability::~ScopedFileDurability() { g_current.store(previous_, std::memory_order_release); }

}  // namespace Vel::Platform
