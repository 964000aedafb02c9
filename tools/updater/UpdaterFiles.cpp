#include "UpdaterFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileDurability.h"

namespace Updater {

Fd::~Fd() {
    if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = other.Release();
    }
    return *this;
}

std::vector<std::string> SplitPath(const std::string& relative) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= relative.size()) {
        const std::size_t sep = relative.find('/', start);
        const std::string element = relative.substr(start, sep == std::string::npos ? std::string::npos : sep - start);
        if (!element.empty()) out.push_back(element);
        if (sep == std::string::npos) break;
        start = sep + 1;
    }
    return out;
}

namespace {

WalkResult Walk(int folderFd, const std::string& prefix, int depth, std::vector<TreeEntry>& entries,
                std::string& offending, std::size_t maxEntries, int maxDepth) {
    if (depth > maxDepth) {
        errno = E2BIG;
        return WalkResult::Failed;
    }
    const int dupFd = ::dup(folderFd);
    if (dupFd < 0) return WalkResult::Failed;
    DIR* dir = ::fdopendir(dupFd);
    if (dir == nullptr) {
        ::close(dupFd);
        return WalkResult::Failed;
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* d = ::readdir(dir)) {
        if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0) continue;
        names.emplace_back(d->d_name);
    }
    const int readError = errno;
    ::closedir(dir);
    if (readError != 0) {
        errno = readError;
        return WalkResult::Failed;
    }
    for (const std::string& name : names) {
        struct stat st;
        if (::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return WalkResult::Failed;
        TreeEntry entry;
        entry.relative = prefix + name;
        entry.mode = st.st_mode;
        if (S_ISDIR(st.st_mode)) {
            entry.directory = true;
        } else if (S_ISREG(st.st_mode)) {
            entry.size = static_cast<std::uint64_t>(st.st_size);
        } else {
            offending = entry.relative;
            return WalkResult::NotPlain;
        }
        if (entries.size() >= maxEntries) {
            errno = E2BIG;
            return WalkResult::Failed;
        }
        entries.push_back(entry);
        if (entry.directory) {
            Fd sub(::openat(folderFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!sub) {
                if (errno == ELOOP || errno == ENOTDIR) {
                    offending = entry.relative;
                    return WalkResult::NotPlain;
                }
                return WalkResult::Failed;
            }
            const WalkResult r = Walk(sub.Get(), entry.relative + "/", depth + 1, entries, offending, maxEntries, maxDepth);
            if (r != WalkResult::Ok) return r;
        }
    }
    return WalkResult::Ok;
}

}  // namespace

WalkResult WalkTree(int folderFd, std::vector<TreeEntry>& entries, std::string& offending, std::size_t maxEntries,
                    int maxDepth) {
    return Walk(folderFd, "", 0, entries, offending, maxEntries, maxDepth);
}

Fd OpenFolderBelow(int rootFd, const std::vector<std::string>& elements, bool create) {
    Fd current(::fcntl(rootFd, F_DUPFD_CLOEXEC, 0));
    if (!current) return {};
    for (const std::string& element : elements) {
        if (element == "." || element == "..") {
            errno = EINVAL;
            return {};
        }
        Fd next(::openat(current.Get(), element.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next && errno == ENOENT && create) {
            if (::mkdirat(current.Get(), element.c_str(), 0755) != 0 && errno != EEXIST) return {};
            next = Fd(::openat(current.Get(), element.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        }
        if (!next) return {};
        current = std::move(next);
    }
    return current;
}

bool CopyAndSync(int from, int to) {
    auto& disk = Vel::Platform::FileDurability::Current();
    char buffer[64 * 1024];
    if (::lseek(from, 0, SEEK_SET) < 0) return false;
    for (;;) {
        const ssize_t n = ::read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = disk.Write(to, buffer + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                if (w == 0) errno = EIO;
                return false;
            }
            done += w;
        }
    }
    return disk.Sync(to) == 0;
}

}  // namespace Updater
