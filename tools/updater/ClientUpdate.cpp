#include "ClientUpdate.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "UpdaterFiles.h"
#include "platform/FileDurability.h"

namespace Updater {
namespace {

struct Prepared {
    std::string relative;
    std::vector<std::string> parent;
    std::string name;
    std::string temporary;
};

std::string TemporaryName(const std::string& name) { return "." + name + ".updating"; }

std::string Why() { return std::strerror(errno); }

bool IsLinkError() { return errno == ELOOP || errno == ENOTDIR; }

void RemoveTemporaries(int clientFd, const std::vector<Prepared>& files, std::size_t from) {
    for (std::size_t i = from; i < files.size(); ++i) {
        const Fd parent = OpenFolderBelow(clientFd, files[i].parent, false);
        if (parent) ::unlinkat(parent.Get(), files[i].temporary.c_str(), 0);
    }
}

// Where a file comes in the commit order: the launcher's own executable next to last, the
// client root's version number last, everything else first in walk order. Killed midway, the
// client never shows the new version over old files.
int CommitRank(const Prepared& f) {
    if (f.parent.empty() && f.name == kVersionFileName) return 2;
    if (f.name == kLauncherFileName) return 1;
    return 0;
}

// The whole plan, checked before anything is written.
bool Check(int clientFd, const std::vector<TreeEntry>& entries, std::ostream& report) {
    for (const TreeEntry& e : entries) {
        std::vector<std::string> elements = SplitPath(e.relative);
        if (e.directory) {
            const Fd folder = OpenFolderBelow(clientFd, elements, false);
            if (!folder && errno != ENOENT) {
                report << "refused: " << e.relative << " (" << Why() << " in the client folder)\n";
                return false;
            }
            continue;
        }
        const std::string name = elements.back();
        elements.pop_back();
        const Fd parent = OpenFolderBelow(clientFd, elements, false);
        if (!parent) {
            if (errno == ENOENT) continue;  // made when applied
            report << "refused: " << e.relative << " (" << Why() << " in the client folder)\n";
            return false;
        }
        struct stat st;
        if (::fstatat(parent.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode)) {
            report << "refused: " << e.relative << " (the client's is not a regular file)\n";
            return false;
        }
    }
    return true;
}

bool Prepare(int stagingFd, int clientFd, const TreeEntry& e, Prepared& out, std::ostream& report) {
    std::vector<std::string> elements = SplitPath(e.relative);
    if (e.directory) {
        if (OpenFolderBelow(clientFd, elements, true)) return true;
        report << "error: cannot make folder " << e.relative << ": " << Why() << "\n";
        return false;
    }
    out.relative = e.relative;
    out.name = elements.back();
    elements.pop_back();
    out.parent = elements;
    out.temporary = TemporaryName(out.name);

    const Fd sourceFolder = OpenFolderBelow(stagingFd, out.parent, false);
    const Fd source(sourceFolder ? ::openat(sourceFolder.Get(), out.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC) : -1);
    struct stat staged;
    if (!source || ::fstat(source.Get(), &staged) != 0 || !S_ISREG(staged.st_mode)) {
        report << "error: cannot read staged " << e.relative << ": " << Why() << "\n";
        return false;
    }
    const Fd parent = OpenFolderBelow(clientFd, out.parent, true);
    if (!parent) {
        report << "error: cannot open the folder of " << e.relative << ": " << Why() << "\n";
        return false;
    }
    if (::unlinkat(parent.Get(), out.temporary.c_str(), 0) != 0 && errno != ENOENT) {
        report << "error: cannot remove the stale " << out.temporary << ": " << Why() << "\n";
        return false;
    }
    const Fd target(::openat(parent.Get(), out.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                             0600));
    if (!target) {
        report << "error: cannot create a temporary for " << e.relative << ": " << Why() << "\n";
        return false;
    }
    bool ok = CopyAndSync(source.Get(), target.Get()) && ::fchmod(target.Get(), staged.st_mode & 0777) == 0;
    if (ok && ::geteuid() == 0) {
        struct stat owner;
        if (::fstatat(parent.Get(), out.name.c_str(), &owner, AT_SYMLINK_NOFOLLOW) != 0) ::fstat(parent.Get(), &owner);
        ok = ::fchown(target.Get(), owner.st_uid, owner.st_gid) == 0 && ::fchmod(target.Get(), staged.st_mode & 0777) == 0;
    }
    if (!ok) {
        report << "error: cannot copy " << e.relative << ": " << Why() << "\n";
        ::unlinkat(parent.Get(), out.temporary.c_str(), 0);
        return false;
    }
    return true;
}

}  // namespace

int UpdateClient(const std::string& staging, const std::string& client, std::ostream& report,
                 const AppliedHook& afterApplied) {
    const Fd stagingFd(::open(staging.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const Fd clientFd(::open(client.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!stagingFd || !clientFd) {
        report << "error: cannot open " << (!stagingFd ? staging : client) << ": " << Why() << "\n";
        return kNotApplied;
    }
    std::vector<TreeEntry> entries;
    std::string offending;
    switch (WalkTree(stagingFd.Get(), entries, offending)) {
        case WalkResult::Ok: break;
        case WalkResult::NotPlain:
            report << "refused: " << offending << " (not a regular file or folder)\n";
            return kRefused;
        case WalkResult::Failed:
            report << "error: cannot list the staging folder: " << Why() << "\n";
            return kNotApplied;
    }
    if (!Check(clientFd.Get(), entries, report)) return kRefused;

    std::vector<Prepared> files;
    for (const TreeEntry& e : entries) {
        Prepared p;
        if (!Prepare(stagingFd.Get(), clientFd.Get(), e, p, report)) {
            RemoveTemporaries(clientFd.Get(), files, 0);
            return IsLinkError() ? kRefused : kNotApplied;
        }
        if (!e.directory) files.push_back(std::move(p));
    }
    std::stable_sort(files.begin(), files.end(),
                     [](const Prepared& a, const Prepared& b) { return CommitRank(a) < CommitRank(b); });

    auto& disk = Vel::Platform::FileDurability::Current();
    for (std::size_t i = 0; i < files.size(); ++i) {
        const Prepared& f = files[i];
        const Fd parent = OpenFolderBelow(clientFd.Get(), f.parent, false);
        const bool renamed =
            parent && disk.RenameAt(parent.Get(), f.temporary.c_str(), parent.Get(), f.name.c_str()) == 0;
        if (!renamed) {
            report << "error: cannot put " << f.relative << " in place: " << Why() << "\n";
            for (std::size_t k = 0; k < files.size(); ++k)
                report << (k < i ? "applied: " : "not applied: ") << files[k].relative << "\n";
            RemoveTemporaries(clientFd.Get(), files, i);
            return i == 0 ? kNotApplied : kPartlyApplied;
        }
        disk.Sync(parent.Get());
        if (afterApplied) afterApplied(i + 1);
    }
    report << "updated " << files.size() << " files\n";
    return kDone;
}

}  // namespace Updater
