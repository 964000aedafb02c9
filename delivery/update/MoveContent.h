#pragma once
// The content move: the planet content folder (the public users data folder) is moved below a
// new parent folder by the updater executable ("--move-content"), which copies or renames it,
// records the new parent folder in the machine hive and removes the source; the launcher then
// re-reads the parent folder setting. The result reaches the main window as WM_APP+16.
//
// Contract:
// - StartMoveContent runs on the GUI thread: under the update-manager lock it takes the job
//   state "move" (clearing the abort flag) and posts the move to the update pool. When another
//   update-manager job is still ending, the move does not start: its job completes at once and
//   the result is 1.
// - MoveContent runs on the update pool's thread and always ends in FinishMoveContent, which
//   (under the lock) clears the job state, completes the job and posts the result: 0 when the
//   updater moved the content and the setting was re-read, and also when the move was aborted
//   (nothing is run then, and the window shows no error); 1 when the move was refused, the
//   updater failed or did not start, or the player declined its elevation. A move discarded
//   from the pool unrun (abort, shutdown) finishes with 0.
// - A target that is the source or lies inside it (symbolic links resolved) is refused without
//   running the updater.
// - The updater runs elevated (the elevation command) only when the machine hive, the source,
//   the source's parent or the target's nearest existing folder cannot be written by this
//   process; otherwise it runs plainly. The machine hive path is passed on its command line
//   (an elevated process has a cleared environment). A dismissed elevation asks the update
//   run's prompt (string 105) until the player cancels.
// - Nothing escapes to the pool: every failure is the result 1. A failure whose cause is known
//   (the elevation command missing or refused, the updater's exit code) leaves it for the
//   window's error box (SetLastFailure); any other move leaves no cause behind.

#include <functional>
#include <memory>
#include <string>

#include "delivery/jobs/ThreadJob.h"

namespace Vel::UpdateManager {

inline constexpr int kMoveContentDone = 0;
inline constexpr int kMoveContentFailed = 1;
inline constexpr const char* kParentFolderValueName = "PublicUsersDataParentFolder";

struct MoveContentPaths {
    std::string from;  // the content folder, native form (no trailing separator)
    std::string to;    // the target joined with the content folder's own name, native form
};

// from: the public users data folder made absolute (relative paths against the current
// directory, the installation root); to: the target folder (absolute) joined with from's last
// element, so the folder keeps its name under its new parent. Letter case is kept.
MoveContentPaths MakeMoveContentPaths(const std::string& publicUsersDataFolder, const std::string& target);

// True when to is from or lies below it, compared after "." and ".." and symbolic links of the
// existing part of each path are resolved.
bool IsMoveIntoItself(const MoveContentPaths& paths);

// True when this process could not write one of: the machine hive (its lock file, or the
// nearest existing folder that will hold it), the source, the source's parent, or the nearest
// existing folder of the target.
bool MoveContentNeedsElevation(const MoveContentPaths& paths, const std::string& machineHive);
// The same, asking canWrite (path) for each folder or file.
bool MoveContentNeedsElevation(const MoveContentPaths& paths, const std::string& machineHive,
                               const std::function<bool(const std::string&)>& canWrite);

void StartMoveContent(std::shared_ptr<ThreadJob> job, const std::string& target);
void MoveContent(const std::shared_ptr<ThreadJob>& job, const std::string& target);
void FinishMoveContent(const std::shared_ptr<ThreadJob>& job, int result);

}  // namespace Vel::UpdateManager
