#include "foundation/files/Win32File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/LastError.h"

namespace {

std::string SystemForm(const std::string& path) {
    std::string s(path);
    for (char& c : s)
        if (c == '\\') c = '/';
    return s;
}

bool Fail() {
    Vel::Platform::SetLastErrorFromErrno();
    return false;
}

}  // namespace

Win32File::Win32File(std::string path, unsigned access, unsigned share, unsigned creation, unsigned attributes)
    : path_(std::move(path)) {
    Open(access, share, creation, attributes);
}

Win32File::~Win32File() { Close(); }

bool Win32File::Open(unsigned access, unsigned /*share*/, unsigned creation, unsigned attributes) {
    Close();
    int flags = O_CLOEXEC;
    if ((access & kRead) && (access & kWrite))
        flags |= O_RDWR;
    else if (access & kWrite)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    switch (creation) {
        case kCreateNew: flags |= O_CREAT | O_EXCL; break;
        case kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
        case kOpenExisting: break;
        case kOpenAlways: flags |= O_CREAT; break;
        case kTruncateExisting: flags |= O_TRUNC; break;
        default: errno = EINVAL; return Fail();
    }
    const mode_t mode = (attributes & kAttributeReadOnly) ? 0444 : 0666;
    int fd;
    do {
        fd = ::open(SystemForm(path_).c_str(), flags, mode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return Fail();
    fd_ = fd;
    if (creation == kOpenAlways && ::lseek(fd_, 0, SEEK_END) < 0) {
        const int saved = errno;
        Close();
        errno = saved;
        return Fail();
    }
    return true;
}

bool Win32File::Close() {
    if (fd_ < 0) return true;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0 || errno == EINTR || Fail();
}

bool Win32File::Read(std::string& out, std::size_t n) {
    out.resize(n);
    if (fd_ < 0) {
        errno = EBADF;
        return Fail();
    }
    std::size_t done = 0;
    while (done < n) {
        const ssize_t r = ::read(fd_, out.data() + done, n - done);
        if (r < 0) {
            if (errno == EINTR) continue;
            return Fail();
        }
        if (r == 0) break;
        done += static_cast<std::size_t>(r);
    }
    if (done != n) {
        Vel::Platform::SetLastError(EIO);
        return false;
    }
    return true;
}

bool Win32File::Write(const void* data, std::size_t n) {
    if (fd_ < 0) {
        errno = EBADF;
        return Fail();
    }
    const char* p = static_cast<const char*>(data);
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::write(fd_, p + done, n - done);
        if (w < 0) {
            if (errno == EINTR) continue;
            return Fail();
        }
        done += static_cast<std::size_t>(w);
    }
    return true;
}

bool Win32File::Seek(std::int32_t offset) {
    if (offset < 0) {
        errno = EINVAL;
        return Fail();
    }
    return ::lseek(fd_, offset, SEEK_SET) >= 0 || Fail();
}

bool Win32File::Truncate() {
    const off_t pos = ::lseek(fd_, 0, SEEK_CUR);
    if (pos < 0) return Fail();
    return ::ftruncate(fd_, pos) == 0 || Fail();
}

std::uint32_t Win32File::GetSize() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
        Fail();
        return 0;
    }
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(st.st_size) & 0xFFFFFFFFu);
}

bool Win32File::Delete() { return ::unlink(SystemForm(path_).c_str()) == 0 || Fail(); }
