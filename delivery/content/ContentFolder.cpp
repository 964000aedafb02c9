#include "delivery/content/ContentFolder.h"

#include <chrono>
#include <limits>

#include "foundation/core/Exception.h"
#include "foundation/files/Paths.h"
#include "foundation/runtime/SystemInfo.h"
#include "foundation/config/UserFolders.h"

namespace Vel {

namespace {

// Bytes of a zip entry's central directory record and of its local header, without the name.
constexpr std::uint64_t kCentralRecordBytes = 46;
constexpr std::uint64_t kLocalHeaderBytes = 30;

}  // namespace

std::uint64_t ContentFolderSizeCache::Get(const std::string& folder) {
    const MonoTime now = clock_.Now();
    if (!refreshAt_ || *refreshAt_ < now) {
        refreshAt_ = now + std::chrono::minutes(1);
        size_ = DirectorySize(folder);
    }
    return size_;
}

std::string GetContentRoot() { return WithTrailingSlash(MakeAbsolutePath(GetPublicUsersDataParentFolder())); }

std::uint64_t GetFreeDiskSpace(const std::string& path) {
    return GetDiskFreeBytes(path.empty() ? GetContentRoot() : path);
}

std::optional<std::uint64_t> GetMeasuredFreeSpace(const std::string& path) {
    try {
        const DiskSpace space = GetDiskSpace(path);
        if (space.capacity == 0) return std::nullopt;
        return space.available;
    } catch (const Exception&) {
        return std::nullopt;
    }
}

std::uint64_t GetContentFolderSize() {
    static ContentFolderSizeCache cache(DefaultClock());
    return cache.Get(GetPublicUsersDataFolder());
}

std::uint64_t ArchiveEntrySpace(std::uint64_t nameLength, std::uint64_t storedSize) {
    // In 64 bits: a stored size near 4 GiB must not wrap to a few bytes.
    return (kCentralRecordBytes + nameLength) + (kLocalHeaderBytes + nameLength + storedSize);
}

std::uint64_t RequiredArchiveSize(const FileDescriptorMap& map) {
    std::uint64_t total = 0;
    for (const auto& [name, info] : map) total += ArchiveEntrySpace(name.size(), info.storedSize);
    return total;
}

std::uint64_t GetRequiredContentSize() { return RequiredArchiveSize(*GetFileDescriptors()); }

std::uint64_t ContentSpaceNeeded(std::uint64_t required, std::uint64_t present) {
    const std::uint64_t missing = required > present ? required - present : 0;
    // Far beyond any real content; keeps the margin from wrapping.
    if (missing > std::numeric_limits<std::uint64_t>::max() - kContentSpaceMargin)
        return std::numeric_limits<std::uint64_t>::max();
    return missing + kContentSpaceMargin;
}

std::uint64_t GetContentSpaceNeeded() { return ContentSpaceNeeded(GetRequiredContentSize(), GetContentFolderSize()); }

}  // namespace Vel
