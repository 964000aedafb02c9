#include "ContentMove.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "ClientUpdate.h"
#include "UpdaterFiles.h"
#include "platform/FileDurability.h"
#include "platform/FileOwner.h"
#include "platform/SettingsHive.h"

namespace fs = std::filesystem;

namespace Updater {
namespace {

Vel::Platform::FileDurability& Disk() { return Vel::Platform::FileDurability::Current(); }

bool SameBytes(int a, int b) {
    char x[64 * 1024];
    char y[64 * 1024];
    if (::lseek(a, 0, SEEK_SET) < 0 || ::lseek(b, 0, SEEK_SET) < 0) return false;
    for (;;) {
        const ssize_t n = ::read(a, x, sizeof x);
        if (n < 0) return false;
        ssize_t got = 0;
        while (got < n) {
            const ssize_t m = ::read(b, y + got, static_cast<std::size_t>(n - got));
            if (m <= 0) return false;
            got += m;
        }
        if (std::memcmp(x, y, static_cast<std::size_t>(n)) != 0) return false;
        if (n == 0) return ::read(b, y, 1) == 0;
    }
}

// Gives a copied file or folder to the owner and group of the moved folder, as a rename would
// have left it: an elevated updater must not hand the player's content to root. Only a failure
// as root is an error.
bool TakeOwner(int fd, const struct stat& owner) { return Vel::Platform::GiveToOwner(fd, owner.st_uid, owner.st_gid); }

// Gives every folder of the copy its source's permission bits, the deepest first, once nothing
// more is written into it (a folder the source has read-only would refuse its own files).
bool GiveFolderModes(int targetFd, const std::vector<TreeEntry>& entries, mode_t rootMode) {
    for (auto e = entries.rbegin(); e != entries.rend(); ++e) {
        if (!e->directory) continue;
        const Fd folder = OpenFolderBelow(targetFd, SplitPath(e->relative), false);
        if (!folder || ::fchmod(folder.Get(), e->mode & 07777) != 0) return false;
    }
    return ::fchmod(targetFd, rootMode & 07777) == 0;
}

// Copies the tree below `from` into the new folder `to` and checks every file. The copy keeps
// each entry's permission bits and belongs to the owner of `from`.
bool CopyTree(const std::string& from, const std::string& to, std::ostream& report) {
    const Fd source(::open(from.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat owner;
    if (!source || ::fstat(source.Get(), &owner) != 0) {
        report << "error: cannot open " << from << ": " << std::strerror(errno) << "\n";
        return false;
    }
    std::vector<TreeEntry> entries;
    std::string offending;
    const WalkResult walk = WalkTree(source.Get(), entries, offending);
    if (walk == WalkResult::NotPlain) {
        report << "refused: " << offending << " (not a regular file or folder)\n";
        return false;
    }
    if (walk == WalkResult::Failed || ::mkdir(to.c_str(), 0755) != 0) {
        report << "error: cannot copy " << from << ": " << std::strerror(errno) << "\n";
        return false;
    }
    const Fd target(::open(to.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!target || !TakeOwner(target.Get(), owner)) {
        report << "error: cannot take over " << to << ": " << std::strerror(errno) << "\n";
        return false;
    }
    for (const TreeEntry& e : entries) {
        std::vector<std::string> elements = SplitPath(e.relative);
        if (e.directory) {
            const Fd made = OpenFolderBelow(target.Get(), elements, true);
            if (!made || !TakeOwner(made.Get(), owner)) {
                report << "error: cannot make " << e.relative << ": " << std::strerror(errno) << "\n";
                return false;
            }
            continue;
        }
        const std::string name = elements.back();
        elements.pop_back();
        const Fd inFolder = OpenFolderBelow(source.Get(), elements, false);
        const Fd outFolder = OpenFolderBelow(target.Get(), elements, true);
        const Fd in(inFolder ? ::openat(inFolder.Get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1);
        const Fd out(outFolder ? ::openat(outFolder.Get(), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                          e.mode & 0777)
                               : -1);
        if (!in || !out || !TakeOwner(out.Get(), owner) || ::fchmod(out.Get(), e.mode & 0777) != 0 ||
            !CopyAndSync(in.Get(), out.Get())) {
            report << "error: cannot copy " << e.relative << ": " << std::strerror(errno) << "\n";
            return false;
        }
        if (!SameBytes(in.Get(), out.Get())) {
            report << "error: the copy of " << e.relative << " differs from its source\n";
            return false;
        }
    }
    if (!GiveFolderModes(target.Get(), entries, owner.st_mode)) {
        report << "error: cannot set the modes of " << to << ": " << std::strerror(errno) << "\n";
        return false;
    }
    return Disk().Sync(target.Get()) == 0;
}

bool WriteParentFolder(const std::string& hive, const std::string& key, const std::string& valueName,
                       const std::string& to, std::ostream& report) {
    const std::string parent = fs::path(to).parent_path().string();
    Vel::Platform::SettingsHive settings(hive, false);
    if (settings.SetValue(key, valueName, Vel::Platform::kHiveTypeString, parent + '\0')) return true;
    report << "error: cannot write " << valueName << " into " << hive << "\n";
    return false;
}

}  // namespace

int MoveContent(const std::string& key, const std::string& valueName, const std::string& from, const std::string& to,
                const std::string& machineHive, std::ostream& report) {
    std::error_code ec;
    const fs::path source = fs::weakly_canonical(fs::absolute(from), ec);
    const fs::path target = fs::weakly_canonical(fs::absolute(to), ec);
    if (ec || !fs::is_directory(fs::symlink_status(source))) {
        report << "error: " << from << " is not a folder\n";
        return kMoveFailed;
    }
    if (fs::exists(fs::symlink_status(target))) {
        report << "error: " << to << " exists already\n";
        return kMoveFailed;
    }
    const auto [end, _] = std::mismatch(source.begin(), source.end(), target.begin(), target.end());
    if (end == source.end()) {
        report << "error: " << to << " lies inside " << from << "\n";
        return kMoveFailed;
    }
    fs::create_directories(target.parent_path(), ec);
    if (ec) {
        report << "error: cannot make " << target.parent_path().string() << ": " << ec.message() << "\n";
        return kMoveFailed;
    }

    if (Disk().Rename(source.c_str(), target.c_str()) == 0) {
        if (WriteParentFolder(machineHive, key, valueName, target.string(), report)) {
            report << "moved " << source.string() << " to " << target.string() << "\n";
            return kDone;
        }
        Disk().Rename(target.c_str(), source.c_str());
        return kMoveFailed;
    }
    if (errno != EXDEV) {
        report << "error: cannot move " << from << ": " << std::strerror(errno) << "\n";
        return kMoveFailed;
    }

    const std::string partial = target.string() + ".moving";
    fs::remove_all(partial, ec);
    if (!CopyTree(source.string(), partial, report) || Disk().Rename(partial.c_str(), target.c_str()) != 0) {
        fs::remove_all(partial, ec);
        return kMoveFailed;
    }
    if (!WriteParentFolder(machineHive, key, valueName, target.string(), report)) {
        fs::remove_all(target, ec);
        return kMoveFailed;
    }
    fs::remove_all(source, ec);
    if (ec) report << "warning: the old folder " << source.string() << " is not removed whole: " << ec.message() << "\n";
    report << "copied " << source.string() << " to " << target.string() << "\n";
    return kDone;
}

}  // namespace Updater
