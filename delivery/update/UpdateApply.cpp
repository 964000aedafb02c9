#include "delivery/update/UpdateApply.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "delivery/jobs/DownloadProgress.h"
#include "delivery/update/UpdateManager.h"
#include "delivery/workers/WorkerStatus.h"
#include "delivery/update/ZipExtractor.h"
#include "foundation/core/ParameterStore.h"
#include "foundation/files/Paths.h"
#include "foundation/core/SystemErrorText.h"
#include "platform/LastError.h"
#include "platform/Process.h"

namespace Vel::UpdateManager {
namespace {

constexpr int kWaitStepMs = 500;

[[noreturn]] void Throw(UpdateResult code) { throw UpdateException(code); }
[[noreturn]] void ThrowApplyError(std::string cause) {
    throw UpdateException(UpdateResult::ApplyError, {std::move(cause), false});
}

std::string EntryFolder(const std::string& path) {
    const auto sep = path.find_last_of("/\\");
    if (sep == std::string::npos) return {};
    std::string folder = path.substr(0, sep + 1);
    for (char& c : folder)
        if (c == '\\') c = '/';
    return folder;
}

class ApplyingScope {
public:
    ApplyingScope() { SetApplying(true); }
    ~ApplyingScope() { SetApplying(false); }
    ApplyingScope(const ApplyingScope&) = delete;
    ApplyingScope& operator=(const ApplyingScope&) = delete;
};

}  // namespace

void SetFileTimeFromSystemTime(const std::string& path, std::chrono::system_clock::time_point time) {
    const auto since = time.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
    timespec times[2];
    times[0].tv_sec = static_cast<time_t>(seconds.count());
    times[0].tv_nsec = static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    times[1] = times[0];
    ::utimensat(AT_FDCWD, ToNativePath(path).c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void ExtractDownloads(const FileList& list, const UpdateFolders& folders, std::uint64_t fileWeight, IClock& clock) {
    SetWorkerPhase(0);
    const auto stamp = std::chrono::system_clock::now();
    for (const FileListEntry& entry : list.files) {
        if (IsAbortRequested()) return;
        const MonoTime start = clock.Now();
        SetWorkerStatusText("Extracting file: " + GetDisplayName(entry));
        const std::string zipPath = JoinPath(folders.download, GetCachedZipPath(entry));
        const std::string target = JoinPath(folders.update, EntryFolder(entry.path));
        std::error_code ec;
        std::filesystem::create_directories(ToNativePath(target), ec);
        if (ec) Throw(UpdateResult::ExtractError);
        try {
            ZipExtractor zip(zipPath);
            zip.ExtractAll(target, entry.size);
        } catch (const FileException&) {
            Throw(UpdateResult::ExtractError);
        }
        SetFileTimeFromSystemTime(JoinPath(target, GetFileName(entry.path)), stamp);
        if (clock.Now() - start < kShortExtractLimit) clock.SleepFor(kShortExtractPause);
        if (const auto progress = GetWorkerProgress()) progress->AddDone(entry.size_zip + fileWeight);
    }
}

std::string ElevationCommand() { return GetConfigString("trailstarter.elevationCommand", "pkexec"); }

int RunProcessAndWait(const LaunchDescription& description, bool strict) {
    Platform::ProcessStart start;
    start.program = description.file;
    start.arguments = description.arguments;
    start.elevated = description.runas;
    if (description.runas) start.elevator = ElevationCommand();
    const pid_t pid = Platform::StartProcess(start);
    if (pid <= 0) {
        const unsigned error = Platform::GetLastError();
        if (!description.runas)
            ThrowApplyError("The updater could not be started: " + description.file + ": " + SystemErrorText(error));
        if (error == ENOENT)
            ThrowApplyError("The elevation command \"" + start.elevator + "\" is not installed.");
        ThrowApplyError("The elevation command \"" + start.elevator + "\" could not be started: " + SystemErrorText(error));
    }

    int status = -1;
    for (;;) {
        const Platform::ChildWait wait = Platform::WaitForChildFor(pid, kWaitStepMs, status);
        if (wait == Platform::ChildWait::Exited) break;
        if (wait == Platform::ChildWait::Failed) Throw(UpdateResult::ApplyError);
        // The program is left to finish on its own: stopping an updater midway is worse.
        if (IsShuttingDown()) Throw(UpdateResult::Aborted);
    }
    if (description.runas) {
        if (status == Platform::kElevationDismissed) return 2;
        if (status == Platform::kElevationNotAuthorised)
            ThrowApplyError("The elevation command \"" + start.elevator +
                            "\" refused to run the updater (exit code 127): not authorised, or no authentication "
                            "agent is running.");
    }
    if (status != 0 && strict)
        ThrowApplyError(status < 0 ? std::string("The updater was ended by a signal.")
                                   : "The updater ended with exit code " + std::to_string(status) + ".");
    return status == 0 ? 1 : 0;
}

bool RunUpdater(const UpdateFolders& folders, std::uint64_t applyWeight, IUpdateErrorPrompt& prompt) {
    const ApplyingScope applying;
    SetWorkerStatusText("Updating...");
    const std::string update = MakeAbsolutePath(folders.update);
    const std::string client = MakeAbsolutePath(folders.client);

    const std::string staged = ToNativePath(JoinPath(update, kUpdaterRelativePath));
    std::error_code ec;
    const bool fresh = std::filesystem::is_regular_file(staged, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) Throw(UpdateResult::ApplyError);

    const bool writable = HasAccess(client, kFileWriteAndDeleteChild);
    LaunchDescription description;
    description.file = fresh ? staged : ToNativePath(JoinPath(client, kUpdaterRelativePath));
    description.arguments = {"--update-client", ToNativePath(update), ToNativePath(client)};
    description.runas = !writable;

    int r = RunProcessAndWait(description, !writable);
    if (r != 1 && !description.runas) {
        description.runas = true;
        r = RunProcessAndWait(description, true);
    }
    while (r == 2) {
        if (!prompt.AskRetry(kStringUpdaterNotStarted, "", true)) return false;
        r = RunProcessAndWait(description, true);
    }
    if (const auto progress = GetWorkerProgress()) progress->AddDone(applyWeight);
    return true;
}

}  // namespace Vel::UpdateManager
