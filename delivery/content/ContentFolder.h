#pragma once
// Where the planet content lives and how much room it needs: the queries of the content-folder
// page.
//
// Contract:
// - GetContentRoot is the public users data parent folder made absolute: a relative setting,
//   and the empty default, resolve against the installation root (the current directory), so
//   the result is always a real folder ending in "/". GetFreeDiskSpace("") asks about that
//   same folder's volume; any other path is asked about as given (0 when the query fails).
// - GetMeasuredFreeSpace(path) is the same figure for a volume that can be measured, and
//   nothing for one that cannot: the query fails, or the volume reports no blocks at all (a
//   pseudo file system such as /proc or /sys, which holds no files of ours).
// - GetContentFolderSize measures the public users data folder (all files, recursively) at
//   most once a minute on the monotonic clock; calls within the minute return the cached value
//   even when files changed. The first call always measures.
// - GetRequiredContentSize is the archive space of every described file: (46 + n) for its
//   central directory record plus (30 + n + s) for its local header, name and stored data
//   (n name length, s stored size), summed in 64 bits.
// - GetContentSpaceNeeded is max(required - folder size, 0) + 1 GiB.
// - EnsureContentFolderWritable makes the folder with its parents and creates (and removes) a
//   probe file in it; when either fails it throws ContentFolderAccessException naming the
//   folder made absolute and the system's reason. No other file is touched. Any thread.
// - Meant for the user-interface thread: the module's folder size cache has no lock.
//   ContentFolderSizeCache objects likewise belong to one thread.

#include <cstdint>
#include <optional>
#include <string>

#include "delivery/descriptors/FileDescriptors.h"
#include "foundation/core/Exception.h"
#include "foundation/time/Clock.h"

namespace Vel {

inline constexpr std::uint64_t kContentSpaceMargin = 1073741824;  // 1 GiB

std::string GetContentRoot();
std::uint64_t GetFreeDiskSpace(const std::string& path);
std::optional<std::uint64_t> GetMeasuredFreeSpace(const std::string& path);
std::uint64_t GetContentFolderSize();
std::uint64_t GetRequiredContentSize();
std::uint64_t GetContentSpaceNeeded();

// The archive space one file takes: its central directory record and its local header, name
// and stored data.
std::uint64_t ArchiveEntrySpace(std::uint64_t nameLength, std::uint64_t storedSize);
// The archive space the files of map take (see the contract).
std::uint64_t RequiredArchiveSize(const FileDescriptorMap& map);
// max(required - present, 0) + 1 GiB.
std::uint64_t ContentSpaceNeeded(std::uint64_t required, std::uint64_t present);

// The content folder cannot be made or written. The file name is the folder (absolute); the
// error text is the system's reason followed by where the player chooses another folder
// (Tools, Folders), so the ordinary "Couldn't access file" report says all of it.
class ContentFolderAccessException : public FileException {
public:
    // errorCode: the errno of the failed call.
    ContentFolderAccessException(std::string folder, int errorCode);
    ContentFolderAccessException(const ContentFolderAccessException&) = default;
};

void EnsureContentFolderWritable(const std::string& folder);

// A folder's total file size, measured again only when the last measurement is more than a
// minute old.
class ContentFolderSizeCache {
public:
    explicit ContentFolderSizeCache(const IClock& clock) : clock_(clock) {}
    std::uint64_t Get(const std::string& folder);

private:
    const IClock& clock_;
    std::optional<MonoTime> refreshAt_;
    std::uint64_t size_ = 0;
};

}  // namespace Vel
