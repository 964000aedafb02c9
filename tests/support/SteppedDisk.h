#pragma once
// A file durability for tests that counts the process's disk steps, tells a hook of each step
// before it is taken, and can end the process with SIGKILL right after a chosen one: where the
// crash tests kill a writer, and where other tests hold a writer or look at it mid-write.
//
// Contract:
// - Every operation of Platform::FileDurability is one step of the kind below; the removal of
//   an archive's crash marker (a path ending in ".unflushed") is a kind of its own.
// - `before` runs on the thread that takes the step, before the step; it may block (a test
//   holds the writer there) and may call KillAfter. Set it before the disk is installed, and
//   change it only while no thread takes steps.
// - KillAfter(n): the process ends right after the nth step from this call on (the step whose
//   hook makes the call counts as the first); 0 never ends it.
// - Counts are atomic: any thread may take steps.

#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <functional>
#include <string_view>

#include "platform/FileDurability.h"

namespace Vel::Test {

class SteppedDisk : public Platform::FileDurability {
public:
    enum Kind { kWrite, kVectorWrite, kSync, kTruncate, kRename, kMarkerRemoval, kUnlink, kKindCount };

    std::function<void(Kind)> before;

    void KillAfter(int steps) noexcept { killAt_ = steps > 0 ? taken_.load() + steps : 0; }
    // Steps taken since the disk was made, in all or of one kind.
    int Steps() const noexcept { return taken_.load(); }
    int Steps(Kind kind) const noexcept { return byKind_[kind].load(); }

    ssize_t WriteAt(int fd, const void* data, size_t length, off_t offset) override {
        Before(kWrite);
        return After(kWrite, FileDurability::WriteAt(fd, data, length, offset));
    }
    ssize_t WriteVectorAt(int fd, const iovec* parts, int count, off_t offset) override {
        Before(kVectorWrite);
        return After(kVectorWrite, FileDurability::WriteVectorAt(fd, parts, count, offset));
    }
    ssize_t Write(int fd, const void* data, size_t length) override {
        Before(kWrite);
        return After(kWrite, FileDurability::Write(fd, data, length));
    }
    int Sync(int fd) override {
        Before(kSync);
        return After(kSync, FileDurability::Sync(fd));
    }
    int Truncate(int fd, off_t length) override {
        Before(kTruncate);
        return After(kTruncate, FileDurability::Truncate(fd, length));
    }
    int Rename(const char* from, const char* to) override {
        Before(kRename);
        return After(kRename, FileDurability::Rename(from, to));
    }
    int RenameAt(int fromFolder, const char* from, int toFolder, const char* to) override {
        Before(kRename);
        return After(kRename, FileDurability::RenameAt(fromFolder, from, toFolder, to));
    }
    int Unlink(const char* path) override {
        const Kind kind = std::string_view(path).ends_with(".unflushed") ? kMarkerRemoval : kUnlink;
        Before(kind);
        return After(kind, FileDurability::Unlink(path));
    }

private:
    void Before(Kind kind) {
        if (before) before(kind);
    }
    template <typename T>
    T After(Kind kind, T result) {
        ++byKind_[kind];
        const int taken = ++taken_;
        if (taken == killAt_.load()) ::kill(::getpid(), SIGKILL);
        return result;
    }

    std::atomic<int> taken_{0};
    std::atomic<int> killAt_{0};
    std::array<std::atomic<int>, kKindCount> byKind_{};
};

}  // namespace Vel::Test
