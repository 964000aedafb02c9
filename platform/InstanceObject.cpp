#include "platform/InstanceObject.h"

#include <errno.h>
#include <fcntl.h>
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

bool IsPrivateDirectory(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    return S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & 0077) == 0;
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

std::string RuntimeDirectory() {
    if (const char* xdg = ::getenv("XDG_RUNTIME_DIR"); xdg && *xdg && IsPrivateDirectory(xdg))
        return xdg;
    const char* tmp = ::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/trailstarter-" + std::to_string(::geteuid());
    ::mkdir(dir.c_str(), 0700);
    return dir;
}

std::string InstanceObject::LockPath(const std::string& name) { return RuntimeDirectory() + "/" + name + ".lock"; }

InstanceObject::~InstanceObject() { Release(); }

InstanceObject::Result InstanceObject::Create(const std::string& name) {
    Release();
    const std::string dir = RuntimeDirectory();
    if (!IsPrivateDirectory(dir)) {  // someone else's folder: never lock files in it
        SetLastError(EACCES);
        return Result::Failed;
    }
    fd_ = ::open(LockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
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
    if (::stat(path.c_str(), &st) != 0) return false;
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
