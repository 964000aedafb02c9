#pragma once
// The update run: brings the installed client to the state the update manifest describes.
// It fetches "client_files.xml", keeps the entries whose installed file differs, makes a
// staging folder under the temporary folder, checks disk space, downloads every package (one
// download job each, in manifest order, on the update pool), unpacks them, runs the updater,
// and finishes with an UpdateResult posted to the main window as WM_APP+15.
//
// Contract:
// - StartUpdate and AbortUpdate run on the GUI thread; everything else on the update pool's
//   one thread. The run's state (the waiting run, the download callback, the environment) is
//   guarded by the update-manager lock; no dialog is shown while it is held.
// - Abort is one token per run. A run started while an aborted one is still ending does not
//   clear that abort: it waits (the GUI thread never blocks on it) and is handed the update
//   state when the ending run finishes, so IsUpdateRunning stays true all the while. Aborting
//   the waiting run marks it, and it finishes as aborted when its turn comes.
// - A run or finish job that an abort discards from the update pool is posted again as the
//   run's aborted finish, so every started run ends with exactly one FinishUpdate. At shutdown
//   the finish runs at once on the discarding thread, without its pause.
// - Staging folder: TMPDIR (else /tmp; made with its parents when missing, in the ordinary
//   modes) + a "%%%%-%%%%-%%%%-%%%%-SF_Update" name of random hexadecimal digits, made by
//   mkdir with mode 0700 (a new name on EEXIST), holding "download", "update" and the lock
//   file ".owner.lock", flock'ed by the run until the folder is removed.
//   Leftover staging folders whose lock nobody holds are removed when a run prepares its own
//   (a folder without a lock file only once it is older than a minute).
// - Disk space: 1 GiB is added to every figure of space needed; volumes are told apart by
//   device id and named by mount point; a volume that cannot be measured ends the run as
//   aborted (result 2), like a cancelled disk-space question.
// - The finish shows the result text of 0-2 for kFinishPause on the run's clock before it
//   completes the job; a shutdown that begins meanwhile cuts the pause short (checked every
//   kFinishPauseSlice), and one already under way skips it.
// - The updater never runs while the game client runs (IsClientRunning, which counts a client
//   the player started himself): the unpacked update waits for it in kClientWaitStep steps on
//   the run's clock, and an abort or shutdown meanwhile ends the run as aborted.
// - Failures end the run with their UpdateResult (UpdateException), 7 for any other
//   Vel::Exception; nothing escapes to the pool.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "delivery/update/FileList.h"
#include "delivery/jobs/ThreadJob.h"
#include "delivery/update/UpdateApply.h"
#include "delivery/update/UpdateErrorPrompt.h"
#include "delivery/update/UpdateManager.h"
#include "foundation/time/Clock.h"

namespace Vel::UpdateManager {

// A volume as the disk-space check sees it.
struct VolumeInfo {
    std::uint64_t device = 0;
    std::string mountPoint;
    std::uint64_t available = 0;  // bytes available to this user
};

class IVolumeProbe {
public:
    virtual ~IVolumeProbe() = default;
    // Throws Vel::FileException when the path's volume cannot be measured.
    virtual VolumeInfo Query(const std::string& path) = 0;
};

// stat's device id, GetVolumeRoot's mount point and statvfs' space available to the user.
IVolumeProbe& SystemVolumeProbe();

// What every run uses. The objects must outlive the runs; null members take the defaults
// (no prompt: every question answers Cancel).
struct UpdateRunEnvironment {
    IUpdateErrorPrompt* prompt = nullptr;
    IClock* clock = nullptr;
    IVolumeProbe* volumes = nullptr;
};
void SetUpdateRunEnvironment(const UpdateRunEnvironment& environment);
// The environment with the defaults filled in for its null members.
UpdateRunEnvironment GetUpdateRunEnvironment();

// Posts body to the update pool. When the pool discards it unrun (an abort, a shutdown),
// onDiscard is posted in its place, or run at once once the pool is going or gone, so that a
// job posted this way always reaches its end.
void PostUpdatePoolJob(std::function<void()> body, std::function<void()> onDiscard);

inline constexpr std::uint64_t kSpaceMargin = std::uint64_t{1} << 30;
inline constexpr const char* kStagingPattern = "%%%%-%%%%-%%%%-%%%%-SF_Update";
inline constexpr const char* kStagingLockName = ".owner.lock";
inline constexpr const char* kSelfFileName = "Trailstarter";
inline constexpr unsigned kStringNoDiskSpace = 1262;
inline constexpr auto kFinishPause = std::chrono::milliseconds(1000);
// The finish pause looks for a shutdown this often.
inline constexpr auto kFinishPauseSlice = std::chrono::milliseconds(50);
// How often an unpacked update looks whether the game client has ended.
inline constexpr auto kClientWaitStep = std::chrono::milliseconds(500);

void StartUpdate(std::shared_ptr<ThreadJob> job);
// UpdateManager::Abort for the current (or waiting) run.
bool AbortUpdate();
void RunUpdate(std::shared_ptr<ThreadJob> job);

bool IsSelfInList(const FileList& list);
Sha1Digest Sha1OfFile(const std::string& path);
std::uint64_t GetClientGrowth(const FileList& list, const UpdateFolders& folders);
// Removes the staging folders below tempDir that no live run owns.
void RemoveStaleStagingFolders(const std::string& tempDir);
// The disk-space message for the needs (each with the margin) on one or two volumes.
std::string DiskSpaceMessage(std::uint64_t stagingNeed, const std::string& stagingVolume, std::uint64_t clientNeed,
                             const std::string& clientVolume, bool twoVolumes);
// True: the player cancelled.
bool CheckDiskSpace(const FileList& list, const UpdateFolders& folders);

}  // namespace Vel::UpdateManager
