#include "delivery/content/ContentFolder.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <limits>
#include <system_error>

#include "foundation/core/Exception.h"
#include "foundation/core/SystemErrorText.h"
#include "foundation/files/Paths.h"
#include "foundation/runtime/SystemInfo.h"
#include "foundation/config/UserFolders.h"
#include "foundation/text/LocalizedStrings.h"
#include "platform/LastError.h"

namespace Vel {

namespace {

// Bytes of a zip entry's central directory record and of its local header, without the name.
constexpr std::uint64_t kCentralRecordBytes = 46;
constexpr std::uint64_t kLocalHeaderBytes = 30;

constexpr unsigned kFolderAccessHint = 1290;  // "... write access ... choose another folder in %s ..."
constexpr unsigned kToolsTitle = 129;
constexpr unsigned kFoldersTitle = 144;

// Where the player picks another content folder, as the tabs are labelled: "Tools, Folders".
std::string FolderAccessHint() {
    const std::string where = LoadLocalizedString(kToolsTitle) + ", " + LoadLocalizedString(kFoldersTitle);
    const std::string format = LoadLocalizedString(kFolderAccessHint);
    const auto at = format.find("%s");
    if (at == std::string::npos) return format;
    return format.substr(0, at) + where + format.substr(at + 2);
}

// The constructor of FileException saves the thread's last error: set it first.
std::string WithLastError(std::string folder, int errorCode) {
    Platform::SetLastError(static_cast<unsigned>(errorCode));
    return folder;
}

}  // namespace

ContentFolderAccessException::ContentFolderAccessException(std::string folder, int errorCode)
    : FileException(WithLastError(std::move(folder), errorCode)) {
    errorText_ = SystemErrorText(static_cast<unsigned>(errorCode)) + "\n\n" + FolderAccessHint();
}

void EnsureContentFolderWritable(const std::string& folder) {
    const std::string absolute = WithTrailingSlash(MakeAbsolutePath(folder));
    const std::string native = ToNativePath(absolute);
    std::error_code error;
    std::filesystem::create_directories(native, error);
    if (error) throw ContentFolderAccessException(absolute, error.value());
    // Only a file made there shows that we may write: the mode bits say nothing about a
    // read-only mount, and root passes every permission test.
    std::string probe = absolute + ".write-test-XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) throw ContentFolderAccessException(absolute, errno);
    ::close(fd);
    ::unlink(probe.c_str());
}

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
