#include "delivery/update/ZipExtractor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cerrno>
#include <filesystem>
#include <system_error>
#include <utility>
#include <vector>

#include "delivery/update/FileList.h"
#include "foundation/core/Exception.h"
#include "platform/LastError.h"

namespace Vel {
namespace {

struct Entry {
    zip_uint64_t index = 0;
    std::string relative;  // with "/" only, no trailing separator
    bool directory = false;
    std::uint32_t executeBits = 0;
};

[[noreturn]] void BadPackage(const std::string& path, const std::string& why) {
    throw Exception("Bad update package " + path + ": " + why);
}

[[noreturn]] void FileFailure(const std::string& path, int error) {
    Platform::SetLastError(static_cast<unsigned>(error));
    throw FileException(path);
}

void MakeFolders(const std::filesystem::path& folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) FileFailure(folder.string(), ec.value());
}

// A descriptor closed by scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int Get() const noexcept { return fd_; }

private:
    int fd_ = -1;
};

int OpenFolderElement(int parent, const std::string& element) {
    return ::openat(parent, element.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Opens the folder below root along elements, one element at a time from root's descriptor,
// making the missing ones. An element that is a symbolic link (or no folder) is a failure of the
// file system (ELOOP, ENOTDIR), so a link planted in the folder is never followed out of it.
Descriptor OpenFoldersBelow(int root, const std::filesystem::path& rootPath, const std::vector<std::string>& elements) {
    Descriptor current(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (current.Get() < 0) FileFailure(rootPath.string(), errno);
    std::filesystem::path shown = rootPath;
    for (const std::string& element : elements) {
        shown /= element;
        int fd = OpenFolderElement(current.Get(), element);
        if (fd < 0 && errno == ENOENT) {
            if (::mkdirat(current.Get(), element.c_str(), 0777) != 0 && errno != EEXIST)
                FileFailure(shown.string(), errno);
            fd = OpenFolderElement(current.Get(), element);
        }
        if (fd < 0) FileFailure(shown.string(), errno);
        current = Descriptor(fd);
    }
    return current;
}

std::vector<std::string> SplitRelative(const std::string& relative) {
    std::vector<std::string> elements;
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = relative.find('/', start);
        elements.push_back(relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) return elements;
        start = slash + 1;
    }
}

}  // namespace

ZipExtractor::ZipExtractor(const std::string& zipPath) : path_(zipPath) {
    int error = 0;
    archive_ = zip_open(zipPath.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    if (archive_ == nullptr) throw Exception();
}

ZipExtractor::~ZipExtractor() {
    if (archive_ != nullptr) zip_discard(archive_);
}

void ZipExtractor::ExtractAll(const std::string& folder, std::uint64_t byteLimit) {
    const zip_int64_t count = zip_get_num_entries(archive_, 0);
    if (count < 0) BadPackage(path_, "no entry table");
    if (static_cast<std::uint64_t>(count) > kMaxEntries) BadPackage(path_, "too many entries");

    // Every entry is checked before the first byte is written.
    std::vector<Entry> entries;
    for (zip_uint64_t i = 0; i < static_cast<zip_uint64_t>(count); ++i) {
        zip_stat_t st;
        zip_stat_init(&st);
        if (zip_stat_index(archive_, i, 0, &st) != 0 || (st.valid & ZIP_STAT_NAME) == 0)
            BadPackage(path_, "unreadable entry");
        Entry e;
        e.index = i;
        std::string name = st.name;
        for (char& c : name)
            if (c == '\\') c = '/';
        if (!name.empty() && name.back() == '/') {
            e.directory = true;
            name.pop_back();
        }
        if (!IsSafeRelativePath(name)) BadPackage(path_, "entry name leaves the folder: " + std::string(st.name));
        e.relative = name;

        zip_uint8_t system = 0;
        zip_uint32_t attributes = 0;
        if (zip_file_get_external_attributes(archive_, i, 0, &system, &attributes) != 0)
            BadPackage(path_, "unreadable entry attributes");
        if (system == ZIP_OPSYS_UNIX) {
            const mode_t mode = static_cast<mode_t>(attributes >> 16);
            const mode_t type = mode & S_IFMT;
            if (type == S_IFDIR) {
                e.directory = true;
            } else if (type != 0 && type != S_IFREG) {
                BadPackage(path_, "entry is not a regular file: " + std::string(st.name));
            }
            e.executeBits = mode & 0111;
        }
        entries.push_back(std::move(e));
    }

    if (entries.empty()) return;
    // The folder itself is the caller's; below it, nothing already there is followed.
    const std::filesystem::path root(folder);
    MakeFolders(root);
    const Descriptor rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (rootFd.Get() < 0) FileFailure(root.string(), errno);
    std::uint64_t total = 0;
    std::vector<char> buffer(64 * 1024);
    for (const Entry& e : entries) {
        const std::filesystem::path target = root / e.relative;
        std::vector<std::string> elements = SplitRelative(e.relative);
        if (e.directory) {
            OpenFoldersBelow(rootFd.Get(), root, elements);
            continue;
        }
        const std::string leaf = std::move(elements.back());
        elements.pop_back();
        const Descriptor parent = OpenFoldersBelow(rootFd.Get(), root, elements);
        zip_file_t* in = zip_fopen_index(archive_, e.index, 0);
        if (in == nullptr) BadPackage(path_, "entry cannot be opened: " + e.relative);
        const int out = ::openat(parent.Get(), leaf.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (out < 0) {
            const int error = errno;
            zip_fclose(in);
            FileFailure(target.string(), error);
        }
        const auto fail = [&](auto&& thrower) {
            zip_fclose(in);
            ::close(out);
            thrower();
        };
        for (;;) {
            const zip_int64_t n = zip_fread(in, buffer.data(), buffer.size());
            if (n < 0) fail([&] { BadPackage(path_, "entry cannot be inflated: " + e.relative); });
            if (n == 0) break;
            const auto size = static_cast<std::uint64_t>(n);
            if (size > byteLimit - total) fail([&] { BadPackage(path_, "entry larger than expected: " + e.relative); });
            total += size;
            for (std::size_t written = 0; written < size;) {
                const ssize_t w = ::write(out, buffer.data() + written, size - written);
                if (w < 0 && errno == EINTR) continue;
                if (w <= 0) {
                    const int error = w < 0 ? errno : EIO;
                    fail([&] { FileFailure(target.string(), error); });
                }
                written += static_cast<std::size_t>(w);
            }
        }
        zip_fclose(in);
        struct stat st;
        if (e.executeBits != 0 && ::fstat(out, &st) == 0) ::fchmod(out, (st.st_mode & 0777) | e.executeBits);
        if (::close(out) != 0) FileFailure(target.string(), errno);
    }
}

}  // namespace Vel
