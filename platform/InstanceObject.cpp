#include "platform/InstanceObject.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/LastError.h"

namespace Vel::Platform {
namespace {

// 0 when path is a folder (not a link) of the effective user that nobody else may enter;
// else why not.
int PrivateDirectoryError(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    if (st.st_uid != ::geteuid() || (st.st_mode & 0077) != 0) return EACCES;
    return 0;
}

// Makes path (0700) when it is missing; 0 when it can then be used as the runtime folder.
int UsablePrivateDirectory(const std::string& path) {
    if (path.size() > kMaxRuntimeDirectoryLength) return ENAMETOOLONG;
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    return PrivateDirectoryError(path);
}

std::string NonEmptyEnv(const char* name) {
    const char* value = ::getenv(name);
    return value && *value ? value : "";
}

// $XDG_CACHE_HOME when it is absolute, else ~/.cache; "" without a home folder.
std::string CacheHome() {
    if (std::string cache = NonEmptyEnv("XDG_CACHE_HOME"); !cache.empty() && cache[0] == '/') return cache;
    std::string home = NonEmptyEnv("HOME");
    if (home.empty()) {
        if (const passwd* entry = ::getpwuid(::geteuid()); entry && entry->pw_dir) home = entry->pw_dir;
    }
    return home.empty() ? "" : home + "/.cache";
}

// Makes the missing folders of path, each 0700 (the cache home's rule).
void MakePrivateParents(const std::string& path) {
    for (std::size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        ::mkdir(path.substr(0, at).c_str(), 0700);
    ::mkdir(path.c_str(), 0700);
}

// Whether the kernel's lock table shows a flock on the file's inode.
bool LockTableShowsFlock(const struct stat& st, bool& readable) {
    std::ifstream locks("/proc/locks");
    readable = static_cast<bool>(locks);
    if (!readable) return false;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    std::string line;
    while (std::getline(locks, line)) {
        if (line.find("FLOCK") == std::string::npos) continue;
        std::istringstream fields(line);
        std::string field;
        while (fields >> field) {
            if (field == wanted) return true;
        }
    }
    return false;
}

}  // namespace

RuntimeDirectoryChoice ChooseRuntimeDirectory() {
    RuntimeDirectoryChoice choice;
    auto accept = [&choice](const std::string& dir, int error) {
        if (error == 0) {
            choice.path = dir;
            return true;
        }
        choice.refused = dir;
        choice.error = error;
        return false;
    };
    // The system's own runtime folder is never made here.
    if (const std::string xdg = NonEmptyEnv("XDG_RUNTIME_DIR"); !xdg.empty()) {
        const int error = xdg.size() > kMaxRuntimeDirectoryLength ? ENAMETOOLONG : PrivateDirectoryError(xdg);
        if (accept(xdg, error)) return choice;
    }
    const std::string leaf = "/trailstarter-" + std::to_string(::geteuid());
    // A shared temp folder: another user may have made this name first, or opened it to all.
    std::string tmp = NonEmptyEnv("TMPDIR");
    if (tmp.empty()) tmp = "/tmp";
    if (accept(tmp + leaf, UsablePrivateDirectory(tmp + leaf))) return choice;
    // The player's own cache folder, which nobody else can take.
    const std::string cache = CacheHome();
    if (cache.empty()) return choice;
    const std::string dir = cache + leaf;
    if (dir.size() <= kMaxRuntimeDirectoryLength) MakePrivateParents(cache);
    accept(dir, UsablePrivateDirectory(dir));
    return choice;
}

std::string RuntimeDirectory() { return ChooseRuntimeDirectory().path; }

std::string InstanceObject::LockPath(const std::string& name) {
    const std::string dir = RuntimeDirectory();
    return dir.empty() ? "" : dir + "/" + name + ".lock";
}

InstanceObject::~InstanceObject() { Release(); }

InstanceObject::Result InstanceObject::Create(const std::string& name) {
    Release();
    const RuntimeDirectoryChoice dir = ChooseRuntimeDirectory();
    if (dir.path.empty()) {  // no folder of our own: never lock files in anyone else's
        SetLastError(static_cast<unsigned>(dir.error != 0 ? dir.error : ENOENT));
        return Result::Failed;
    }
    fd_ = ::open((dir.path + "/" + name + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) {
        SetLastErrorFromErrno();
        return Result::Failed;
    }
    if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        held_ = true;
        return Result::New;
    }
    if (errno == EWOULDBLOCK) return Result::Existed;
    SetLastErrorFromErrno();
    Release();
    return Result::Failed;
}

bool InstanceObject::Wait(int timeoutMs) {
    if (held_) return true;
    if (fd_ < 0) return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) return held_ = true;
        if (errno != EWOULDBLOCK) return false;
        if (timeoutMs >= 0 && std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void InstanceObject::Release() {
    if (fd_ >= 0) ::close(fd_);  // closing drops the lock; the file stays for the next holder
    fd_ = -1;
    held_ = false;
}

bool InstanceObject::Exists(const std::string& name) {
    const std::string path = LockPath(name);
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
    bool readable = false;
    const bool held = LockTableShowsFlock(st, readable);
    if (readable) return held;
    // No lock table to read: probe with a shared lock, which an exclusive holder refuses.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    const bool busy = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd);
    return busy;
}

}  // namespace Vel::Platform
