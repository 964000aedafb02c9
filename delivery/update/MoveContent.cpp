#include "delivery/update/MoveContent.h"

#include <filesystem>
#include <functional>
#include <system_error>

#include "delivery/workers/MainWindowMessages.h"
#include "delivery/update/UpdateApply.h"
#include "delivery/update/UpdateManager.h"
#include "delivery/update/UpdateRun.h"
#include "delivery/workers/WorkerStatus.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/core/Exception.h"
#include "foundation/files/Paths.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/UserFolders.h"
#include "platform/SettingsHive.h"

namespace Vel::UpdateManager {
namespace {

namespace fs = std::filesystem;

constexpr const char* kMovingText = "Moving planet data. This may take a while.";

// The path with the symbolic links of its existing part resolved and "." and ".." removed.
fs::path Resolved(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::path(path), ec);
    if (ec) p = fs::path(path).lexically_normal();
    if (p.has_filename() == false && p.has_parent_path() && p != p.root_path()) p = p.parent_path();
    return p;
}

// The folder itself when it exists, else its nearest existing ancestor.
std::string NearestExisting(const std::string& path) {
    std::error_code ec;
    fs::path p = fs::path(path).lexically_normal();
    while (!fs::exists(p, ec) && p.has_parent_path() && p != p.parent_path()) p = p.parent_path();
    return p.string();
}

bool CanWrite(const std::string& path) { return HasAccess(path, kFileWriteAndDeleteChild); }

// Runs the updater until it has answered; a dismissed elevation asks the player again.
int RunMoveUpdater(const MoveContentPaths& paths) {
    const std::string hive = Platform::SettingsHive::MachineHivePath().string();
    LaunchDescription description;
    description.file = ToNativePath(JoinPath(GetCurrentDir(true, false), kUpdaterRelativePath));
    description.arguments = {"--machine-hive", hive, "--move-content", GetSettingsRegistryPath(""),
                             kParentFolderValueName, paths.from, paths.to};
    description.runas = MoveContentNeedsElevation(paths, hive);

    IUpdateErrorPrompt& prompt = *GetUpdateRunEnvironment().prompt;
    int r = RunProcessAndWait(description, true);
    while (r == 2) {
        if (IsAbortRequested()) return kMoveContentDone;
        if (!prompt.AskRetry(kStringUpdaterNotStarted, "", true)) return kMoveContentFailed;
        r = RunProcessAndWait(description, true);
    }
    ReloadPublicUsersDataParentFolder();
    return kMoveContentDone;
}

}  // namespace

MoveContentPaths MakeMoveContentPaths(const std::string& publicUsersDataFolder, const std::string& target) {
    MoveContentPaths paths;
    paths.from = ToNativePath(MakeAbsolutePath(ToNativePath(publicUsersDataFolder)));
    paths.to = ToNativePath(JoinPath(ToNativePath(target), GetFileName(paths.from)));
    return paths;
}

bool IsMoveIntoItself(const MoveContentPaths& paths) {
    const fs::path from = Resolved(paths.from);
    const fs::path to = Resolved(paths.to);
    auto f = from.begin();
    auto t = to.begin();
    for (; f != from.end(); ++f, ++t)
        if (t == to.end() || *f != *t) return false;
    return true;
}

bool MoveContentNeedsElevation(const MoveContentPaths& paths, const std::string& machineHive,
                               const std::function<bool(const std::string&)>& canWrite) {
    // A hive write takes "<file>.lock" for writing, writes "<file>.tmp" in the hive's folder
    // (made when missing) and renames it over the file.
    const fs::path hive(machineHive);
    const std::string lock = hive.string() + ".lock";
    std::error_code ec;
    if (fs::exists(lock, ec) && !canWrite(lock)) return true;
    if (!canWrite(NearestExisting(hive.parent_path().string()))) return true;
    // The updater renames or removes the source, and makes the target below its parent.
    return !canWrite(paths.from) || !canWrite(fs::path(paths.from).parent_path().string()) ||
           !canWrite(NearestExisting(paths.to));
}

bool MoveContentNeedsElevation(const MoveContentPaths& paths, const std::string& machineHive) {
    return MoveContentNeedsElevation(paths, machineHive, CanWrite);
}

void StartMoveContent(std::shared_ptr<ThreadJob> job, const std::string& target) {
    {
        auto lock = Lock();
        if (!TryStartJob(kMoveContentJob)) {
            // An update run is still ending; moving the content under it is not safe.
            lock.unlock();
            job->Complete();
            PostMainWindowMessage(MainWindowMessage::MoveFinished, kMoveContentFailed);
            return;
        }
    }
    PostUpdatePoolJob([job, target] { MoveContent(job, target); },
                      [job] { FinishMoveContent(job, kMoveContentDone); });
}

void MoveContent(const std::shared_ptr<ThreadJob>& job, const std::string& target) {
    int result = kMoveContentDone;
    // The cause of a failed move, for the window's error box; none unless this move fails.
    SetLastFailure({});
    try {
        BeginWorkerStatus();
        SetWorkerStatusText(kMovingText);
        const MoveContentPaths paths = MakeMoveContentPaths(GetPublicUsersDataFolder(), target);
        if (IsAbortRequested()) {
            result = kMoveContentDone;
        } else if (!IsAbsolutePath(target) || IsMoveIntoItself(paths)) {
            result = kMoveContentFailed;
        } else {
            // The updater moves the archives' files: none may stay open here meanwhile.
            ZipManager::ReleaseHeldArchives();
            result = RunMoveUpdater(paths);
        }
    } catch (const UpdateException& e) {
        // A wait given up at shutdown leaves the updater to finish on its own: no error box.
        result = e.GetCode() == UpdateResult::Aborted ? kMoveContentDone : kMoveContentFailed;
        if (result == kMoveContentFailed) SetLastFailure(e.GetFailure());
    } catch (const Exception&) {
        result = kMoveContentFailed;
    } catch (const std::exception&) {
        result = kMoveContentFailed;
    }
    FinishMoveContent(job, result);
}

void FinishMoveContent(const std::shared_ptr<ThreadJob>& job, int result) {
    {
        auto lock = Lock();
        MarkJobFinished();
    }
    if (job) job->Complete();
    PostMainWindowMessage(MainWindowMessage::MoveFinished, static_cast<std::uintptr_t>(result));
}

}  // namespace Vel::UpdateManager
