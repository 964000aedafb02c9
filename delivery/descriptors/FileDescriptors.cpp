#include "delivery/descriptors/FileDescriptors.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <vector>

#include "delivery/descriptors/ContentFileInfoStream.h"
#include "foundation/files/FileSearch.h"
#include "foundation/data/MemoryStream.h"
#include "foundation/files/Paths.h"
#include "foundation/config/UserFolders.h"

namespace Vel {

namespace {

std::mutex g_mapLock;
std::shared_ptr<const FileDescriptorMap>& Published() {
    static std::shared_ptr<const FileDescriptorMap> map = std::make_shared<const FileDescriptorMap>();
    return map;
}

// Reads one table into out (first name wins inside the table). False when the table could
// not be loaded or read to its end, or had another version than 1; complete tells whether its
// records may be used.
bool ReadTable(const std::string& path, FileDescriptorMap& out, bool& complete) {
    complete = false;
    VelMemoryStream stream;
    if (!stream.LoadFile(path)) return false;
    const std::uint16_t version = stream.ReadUInt16();
    const bool versionOk = stream.IsGood() && version == 1;
    const std::uint32_t count = stream.ReadCompactLength();
    // The count is not trusted: records are read until it is reached or the first one fails.
    for (std::uint32_t k = 0; k < count && stream.IsGood(); ++k) {
        std::string name;
        ContentFileInfo info;
        stream >> name;
        ReadContentFileInfo(stream, info);
        if (!stream.IsGood()) break;
        out.emplace(std::move(name), std::move(info));
    }
    complete = stream.IsGood();
    return complete && versionOk;
}

bool ReadLocked(int fd, std::string& text) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    // A list of names: anything beyond this is not a list the client wrote.
    constexpr off_t kLargestList = 64 << 20;
    if (st.st_size > kLargestList) return false;
    text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::pread(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    text.resize(done);
    return true;
}

// The name a line holds: one trailing "\r" (a CRLF line) is not part of it.
std::string_view NameOf(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

template <typename F>
void ForEachLine(const std::string& text, F&& f) {
    std::size_t start = 0;
    while (start < text.size()) {
        const auto end = text.find('\n', start);
        const std::size_t stop = end == std::string::npos ? text.size() : end;
        f(std::string_view(text).substr(start, stop - start), end != std::string::npos);
        start = stop + 1;
    }
}

class LockedFile {
public:
    LockedFile(const std::string& path, bool exclusive) {
        fd_ = ::open(path.c_str(), (exclusive ? O_RDWR : O_RDONLY) | O_CLOEXEC);
        if (fd_ >= 0 && ::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~LockedFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;
    int Get() const noexcept { return fd_; }

private:
    int fd_ = -1;
};

}  // namespace

bool LoadFileDescriptors(const std::string& folder) {
    const std::string tables = WithTrailingSlash(folder) + kFileDescriptorFolderName;
    std::vector<std::string> paths = FileSearch(tables, "*.xbc").GetPaths(false);
    // The first table that names a file wins, so the order must not be the file system's.
    std::sort(paths.begin(), paths.end());
    auto map = std::make_shared<FileDescriptorMap>();
    bool ok = true;
    for (const auto& path : paths) {
        FileDescriptorMap table;
        bool complete = false;
        if (!ReadTable(path, table, complete)) ok = false;
        if (!complete) continue;
        for (auto& [name, info] : table) map->emplace(name, std::move(info));
    }
    std::shared_ptr<const FileDescriptorMap> published = std::move(map);
    {
        std::lock_guard<std::mutex> lock(g_mapLock);
        Published().swap(published);
    }
    // The old map goes here, outside the lock, unless a holder keeps it.
    return ok;
}

std::shared_ptr<const FileDescriptorMap> GetFileDescriptors() {
    std::lock_guard<std::mutex> lock(g_mapLock);
    return Published();
}

std::optional<ContentFileInfo> FindFileDescriptor(const std::string& name) {
    const auto map = GetFileDescriptors();
    const auto it = map->find(name);
    if (it == map->end()) return std::nullopt;
    return it->second;
}

std::string GetCorruptFileListPath() { return GetPublicUsersDataFolder() + kCorruptFileListName; }

std::set<std::string> ReadCorruptFileList() { return ReadCorruptFileList(GetCorruptFileListPath()); }

std::set<std::string> ReadCorruptFileList(const std::string& path) {
    std::set<std::string> names;
    LockedFile file(ToNativePath(path), false);
    std::string text;
    if (file.Get() < 0 || !ReadLocked(file.Get(), text)) return names;
    ForEachLine(text, [&](std::string_view line, bool) {
        const auto name = NameOf(line);
        if (!name.empty()) names.emplace(name);
    });
    return names;
}

bool ForgetCorruptFiles(const std::set<std::string>& handled) {
    return ForgetCorruptFiles(GetCorruptFileListPath(), handled);
}

bool ForgetCorruptFiles(const std::string& path, const std::set<std::string>& handled) {
    const std::string native = ToNativePath(path);
    if (!FileExists(native)) return true;
    LockedFile file(native, true);
    std::string text;
    if (file.Get() < 0 || !ReadLocked(file.Get(), text)) return false;
    std::string kept;
    kept.reserve(text.size());
    ForEachLine(text, [&](std::string_view line, bool ended) {
        const auto name = NameOf(line);
        if (name.empty() || handled.count(std::string(name)) != 0) return;
        kept.append(line);
        if (ended) kept.push_back('\n');
    });
    if (kept == text) return true;
    // Rewritten in place: the game client may hold the file open to append to it.
    std::size_t done = 0;
    while (done < kept.size()) {
        const ssize_t n = ::pwrite(file.Get(), kept.data() + done, kept.size() - done, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return ::ftruncate(file.Get(), static_cast<off_t>(kept.size())) == 0;
}

}  // namespace Vel
