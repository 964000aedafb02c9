#pragma once
// File helpers of the updater: descriptors closed by scope, a folder walk that never follows a
// symbolic link, and copying a file's bytes with fsync.
//
// Contract:
// - Every path is handled relative to an open folder descriptor with O_NOFOLLOW, so a
//   symbolic link planted in a tree is seen as a link, never followed.
// - Failures return false (or an empty descriptor) with errno set; nothing throws.
// - No shared state; single-threaded use.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace Updater {

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd();
    Fd(Fd&& other) noexcept : fd_(other.Release()) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;

    int Get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int Release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_ = -1;
};

struct TreeEntry {
    std::string relative;  // "/"-separated, below the walked folder
    bool directory = false;
    mode_t mode = 0;
    std::uint64_t size = 0;
};

enum class WalkResult { Ok, NotPlain, Failed };

// Lists the tree below the open folder, folders before what they hold. An entry that is
// neither a regular file nor a folder (a symbolic link above all) gives NotPlain and its path
// in `offending`. At most maxEntries entries and maxDepth levels (beyond: Failed, E2BIG).
WalkResult WalkTree(int folderFd, std::vector<TreeEntry>& entries, std::string& offending,
                    std::size_t maxEntries = 200000, int maxDepth = 64);

// Splits a "/"-separated relative path into its elements.
std::vector<std::string> SplitPath(const std::string& relative);

// Opens the folder below root along the elements, never following a link; with create, missing
// folders are made (mode 0755). ELOOP or ENOTDIR when an element is a link or not a folder.
Fd OpenFolderBelow(int rootFd, const std::vector<std::string>& elements, bool create);

// Copies every byte from one descriptor to another (from the start), then fsyncs the target;
// the writes and the sync go through Vel::Platform::FileDurability.
bool CopyAndSync(int from, int to);

}  // namespace Updater
