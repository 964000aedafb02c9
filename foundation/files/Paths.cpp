#include "foundation/files/Paths.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "foundation/core/Exception.h"
#include "platform/LastError.h"

namespace fs = std::filesystem;

namespace {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

// The path the system is handed: '\' read as '/'.
std::string SystemForm(std::string_view path) {
    std::string s(path);
    for (char& c : s)
        if (c == '\\') c = '/';
    return s;
}

// Elements of a path after lexical resolution of "." and ".."; a leading '/' is kept as
// the element "/".
std::vector<std::string> LexicalElements(std::string_view path) {
    std::vector<std::string> out;
    std::string s = SystemForm(path);
    if (!s.empty() && s[0] == '/') out.emplace_back("/");
    std::size_t i = 0;
    while (i < s.size()) {
        std::size_t j = s.find('/', i);
        if (j == std::string::npos) j = s.size();
        std::string e = s.substr(i, j - i);
        i = j + 1;
        if (e.empty() || e == ".") continue;
        if (e == "..") {
            if (!out.empty() && out.back() != "/" && out.back() != "..") {
                out.pop_back();
                continue;
            }
            if (!out.empty() && out.back() == "/") continue;  // "/.." is "/"
        }
        out.push_back(std::move(e));
    }
    return out;
}

std::uint64_t ToTicks1601(const struct statx_timestamp& t) {
    constexpr std::int64_t kEpochDifference = 11644473600LL;  // seconds from 1601 to 1970
    const std::int64_t seconds = t.tv_sec + kEpochDifference;
    if (seconds < 0) return 0;
    return static_cast<std::uint64_t>(seconds) * 10000000ULL + t.tv_nsec / 100;
}

std::string WithSlashOrEmpty(std::string s) {
    if (!s.empty()) EnsureTrailingSlash(s);
    return s;
}

}  // namespace

// ---- Path texts -------------------------------------------------------------------------

std::string NormalizePath(std::string_view path) {
    std::size_t b = 0, e = path.size();
    while (b < e && IsBlank(path[b])) ++b;
    while (e > b && IsBlank(path[e - 1])) --e;
    std::string out;
    out.reserve(e - b);
    for (std::size_t i = b; i < e; ++i) {
        char c = path[i];
        if (IsSeparator(c)) {
            if (!out.empty() && out.back() == '/') continue;
            out.push_back('/');
        } else {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            out.push_back(c);
        }
    }
    return out;
}

std::string NormalizeDirectoryPath(std::string_view path) { return NormalizePath(WithTrailingSlash(path)); }

std::string WithTrailingSlash(std::string_view path) {
    std::string s(path);
    EnsureTrailingSlash(s);
    return s;
}

void EnsureTrailingSlash(std::string& path) {
    if (!path.empty() && !IsSeparator(path.back())) path.push_back('/');
}

std::string WithoutTrailingSeparator(std::string_view path) {
    std::string s(path);
    StripTrailingSeparator(s);
    return s;
}

void StripTrailingSeparator(std::string& path) {
    if (!path.empty() && IsSeparator(path.back())) path.pop_back();
}

std::string ToNativePath(std::string_view path) {
    std::string s = SystemForm(path);
    if (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
    if (folder.empty()) return std::string(name);
    return WithTrailingSlash(folder) + std::string(name);
}

std::string GetFileName(std::string_view path) {
    const auto pos = path.find_last_of("/\\");
    if (pos == std::string_view::npos) return std::string(path);
    return std::string(path.substr(pos + 1));
}

std::string GetDirectoryPart(std::string_view path) {
    if (path.find('.') == std::string_view::npos) return std::string(path);
    const auto pos = path.find_last_of("/\\");
    if (pos == std::string_view::npos) return {};
    return std::string(path.substr(0, pos + 1));
}

std::string RemoveExtension(std::string_view path) {
    const auto dot = path.rfind('.');
    if (dot == std::string_view::npos) return std::string(path);
    const auto sep = path.find_last_of("/\\:");
    if (sep != std::string_view::npos && sep > dot) return std::string(path);
    return std::string(path.substr(0, dot));
}

std::string ReplaceExtension(std::string_view path, std::string_view extension) {
    std::string s = RemoveExtension(path);
    if (!extension.empty()) {
        s.push_back('.');
        s.append(extension);
    }
    return s;
}

bool IsAbsolutePath(std::string_view path) { return !path.empty() && IsSeparator(path[0]); }

std::string MakeAbsolutePath(std::string_view path) {
    if (IsAbsolutePath(path)) return std::string(path);
    return GetCurrentDir(true, false) + std::string(path);
}

std::string GetRootName(std::string_view) { return {}; }

// ---- File system ------------------------------------------------------------------------

bool FileExists(std::string_view path) {
    if (path.empty()) return true;
    struct stat st;
    if (::stat(SystemForm(path).c_str(), &st) != 0) {
        Vel::Platform::SetLastErrorFromErrno();
        return false;
    }
    return true;
}

bool IsDirectory(std::string_view path) {
    std::error_code ec;
    return fs::is_directory(SystemForm(path), ec);
}

bool TryFileSize(std::string_view path, std::uint64_t& size) {
    struct stat st;
    if (::stat(SystemForm(path).c_str(), &st) != 0) {
        Vel::Platform::SetLastErrorFromErrno();
        return false;
    }
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

std::uint64_t FileSize(std::string_view path) {
    std::uint64_t size = 0;
    if (!TryFileSize(path, size)) throw Vel::Exception();
    return size;
}

bool GetFileCreationTime(std::string_view path, std::uint64_t& ticksSince1601) {
    struct statx sx;
    if (::statx(AT_FDCWD, ToNativePath(path).c_str(), 0, STATX_BTIME | STATX_MTIME, &sx) != 0) {
        Vel::Platform::SetLastErrorFromErrno();
        return false;
    }
    ticksSince1601 = (sx.stx_mask & STATX_BTIME) ? ToTicks1601(sx.stx_btime) : ToTicks1601(sx.stx_mtime);
    return true;
}

std::uint64_t DirectorySize(std::string_view folder) {
    std::uint64_t total = 0;
    std::error_code ec;
    fs::recursive_directory_iterator it(SystemForm(folder), fs::directory_options::skip_permission_denied, ec);
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code fileEc;
        if (!it->is_regular_file(fileEc)) continue;
        const auto size = it->file_size(fileEc);
        if (!fileEc) total += size;
    }
    return total;
}

bool EnsureParentDirectory(std::string_view path) {
    const std::string folder = SystemForm(GetDirectoryPart(path));
    if (folder.empty()) return true;
    std::error_code ec;
    if (fs::exists(folder, ec)) return true;
    fs::create_directories(folder, ec);
    if (ec) {
        Vel::Platform::SetLastError(static_cast<unsigned>(ec.value()));
        return false;
    }
    return true;
}

bool TryDeleteFileIfPresent(std::string_view path) {
    if (::unlink(ToNativePath(path).c_str()) == 0) return true;
    if (errno == ENOENT || errno == ENOTDIR) return true;
    Vel::Platform::SetLastErrorFromErrno();
    return false;
}

bool DeleteFileIfPresent(std::string_view path) {
    if (!TryDeleteFileIfPresent(path)) throw Vel::Exception();
    return true;
}

bool TryDeleteFile(std::string_view path) {
    if (::unlink(SystemForm(path).c_str()) == 0) return true;
    Vel::Platform::SetLastErrorFromErrno();
    return false;
}

void RemovePath(std::string_view path, bool recursive) {
    if (path.empty()) return;
    const std::string p = SystemForm(path);
    struct stat st;
    if (::lstat(p.c_str(), &st) != 0) return;
    std::error_code ec;
    if (recursive)
        fs::remove_all(p, ec);
    else
        fs::remove(p, ec);
    if (ec) {
        Vel::Platform::SetLastError(static_cast<unsigned>(ec.value()));
        throw Vel::FileException(std::string(path));
    }
}

bool TryRemovePath(std::string_view path, bool recursive) {
    try {
        RemovePath(path, recursive);
        return true;
    } catch (const Vel::Exception&) {
        return false;
    }
}

std::string ReadFileToString(std::string_view path) {
    std::ifstream in(SystemForm(path), std::ios::binary);
    if (!in) return {};
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return text;
}

bool HasAccess(std::string_view path, std::uint32_t accessMask) {
    std::string p = ToNativePath(SystemForm(path));
    std::size_t b = p.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return false;
    p = p.substr(b, p.find_last_not_of(" \t\r\n") - b + 1);
    struct stat st;
    if (::stat(p.c_str(), &st) != 0) {
        Vel::Platform::SetLastErrorFromErrno();
        return false;
    }
    constexpr std::uint32_t kGenericRead = 0x80000000, kGenericWrite = 0x40000000;
    constexpr std::uint32_t kGenericExecute = 0x20000000, kGenericAll = 0x10000000;
    int mode = 0;
    if (accessMask & (0x1 | 0x8 | kGenericRead | kGenericAll)) mode |= R_OK;        // read data, read EA
    if (accessMask & (0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | kGenericWrite | kGenericAll))
        mode |= W_OK;  // write, append, write EA, delete child, write attributes, delete
    if (accessMask & (0x20 | kGenericExecute | kGenericAll)) mode |= X_OK;
    if ((mode & W_OK) && S_ISDIR(st.st_mode)) mode |= X_OK;
    if (mode == 0) mode = F_OK;
    if (::faccessat(AT_FDCWD, p.c_str(), mode, AT_EACCESS) != 0) {
        Vel::Platform::SetLastErrorFromErrno();
        return false;
    }
    return true;
}

bool IsInsideDirectory(std::string_view folder, std::string_view path) {
    const auto f = LexicalElements(folder);
    auto p = LexicalElements(path);
    if (p.empty() || f.empty()) return false;
    p.pop_back();
    if (p.size() < f.size()) return false;
    for (std::size_t i = 0; i < f.size(); ++i)
        if (p[i] != f[i]) return false;
    return true;
}

DiskSpace GetDiskSpace(std::string_view path) {
    struct statvfs sv;
    if (::statvfs(SystemForm(path).c_str(), &sv) != 0) {
        Vel::Platform::SetLastErrorFromErrno();
        throw Vel::Exception();
    }
    DiskSpace d;
    d.capacity = static_cast<std::uint64_t>(sv.f_blocks) * sv.f_frsize;
    d.free = static_cast<std::uint64_t>(sv.f_bfree) * sv.f_frsize;
    d.available = static_cast<std::uint64_t>(sv.f_bavail) * sv.f_frsize;
    return d;
}

// ---- Known folders ----------------------------------------------------------------------

std::string GetModulePath() {
    std::error_code ec;
    auto p = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : p.string();
}

std::string GetCurrentDir(bool withTrailingSlash, bool normalised) {
    std::error_code ec;
    std::string dir = fs::current_path(ec).string();
    if (ec) return {};
    if (normalised) dir = NormalizePath(dir);
    if (withTrailingSlash) EnsureTrailingSlash(dir);
    return dir;
}

namespace {

// The documents folder that xdg-user-dirs records in $XDG_CONFIG_HOME/user-dirs.dirs (else
// ~/.config/user-dirs.dirs) as XDG_DOCUMENTS_DIR="$HOME/..." or "/..."; "" when the file or
// the line is missing, or the folder is the home folder itself (the user turned it off).
std::string XdgUserDocumentsDir(const std::string& home) {
    std::string config = GetEnvironmentVar("XDG_CONFIG_HOME", "");
    if (config.empty()) {
        if (home.empty()) return {};
        config = JoinPath(home, ".config");
    }
    std::ifstream in(JoinPath(config, "user-dirs.dirs"));
    std::string line;
    std::string found;
    for (int lines = 0; lines < 1000 && std::getline(in, line); ++lines) {
        std::size_t i = 0;
        while (i < line.size() && IsBlank(line[i])) ++i;
        static constexpr std::string_view kKey = "XDG_DOCUMENTS_DIR=\"";
        if (line.compare(i, kKey.size(), kKey) != 0) continue;
        std::string value;
        bool closed = false;
        for (i += kKey.size(); i < line.size(); ++i) {
            if (line[i] == '"') {
                closed = true;
                break;
            }
            if (line[i] == '\\' && i + 1 < line.size()) ++i;
            value += line[i];
        }
        if (!closed) continue;
        if (value.rfind("$HOME", 0) == 0 && (value.size() == 5 || value[5] == '/')) {
            if (home.empty()) continue;
            value = home + value.substr(5);
        } else if (value.empty() || value[0] != '/') {
            continue;
        }
        found = value;  // the last assignment counts, as in a shell
    }
    if (!found.empty() && WithoutTrailingSeparator(found) == WithoutTrailingSeparator(home)) return {};
    return found;
}

}  // namespace

std::string GetDocumentsFolder() {
    const std::string home = GetEnvironmentVar("HOME", "");
    std::string dir = GetEnvironmentVar("XDG_DOCUMENTS_DIR", "");
    if (dir.empty()) dir = XdgUserDocumentsDir(home);
    if (dir.empty()) {
        if (home.empty()) return {};
        dir = JoinPath(home, "Documents");
    }
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!fs::is_directory(dir, ec)) return {};
    return WithTrailingSlash(dir);
}

std::string GetPublicFolder() {
    std::string dir = GetEnvironmentVar("PUBLIC", "");
    if (dir.empty()) dir = GetEnvironmentVar("XDG_DATA_HOME", "");
    if (dir.empty()) {
        const std::string home = GetEnvironmentVar("HOME", "");
        if (!home.empty()) dir = JoinPath(home, ".local/share");
    }
    return WithSlashOrEmpty(dir);
}

std::string GetSystemDir() { return "/usr/lib/"; }

std::string GetTempDir() {
    std::string dir = GetEnvironmentVar("TMPDIR", "");
    if (dir.empty()) dir = "/tmp";
    return WithSlashOrEmpty(dir);
}

std::string GetVolumeRoot(std::string_view path) {
    std::error_code ec;
    fs::path p = fs::absolute(SystemForm(path), ec);
    if (ec) return {};
    p = p.lexically_normal();
    while (!fs::exists(p, ec) && p.has_parent_path() && p != p.parent_path()) p = p.parent_path();
    struct stat st;
    if (::stat(p.c_str(), &st) != 0) return {};
    const dev_t dev = st.st_dev;
    while (p.has_parent_path() && p != p.parent_path()) {
        struct stat up;
        if (::stat(p.parent_path().c_str(), &up) != 0 || up.st_dev != dev) break;
        p = p.parent_path();
    }
    return WithTrailingSlash(p.string());
}

std::string GetEnvironmentVar(const std::string& name, const std::string& defaultValue) {
    const char* v = ::getenv(name.c_str());
    return v ? std::string(v) : defaultValue;
}
