#pragma once
// The updater's "--update-client" half: every file of the staging folder is put in place in
// the client folder, keeping the staged layout and mode bits.
//
// Contract:
// - Nothing is written before the whole plan is checked: a staged entry that is not a regular
//   file or folder (a symbolic link above all), and a client path that crosses a symbolic
//   link or a file where a folder must be, refuse the update (kRefused) with the client
//   untouched. Nothing is ever written outside the client folder.
// - Each file is first copied to a temporary name in its target's own folder and fsynced
//   (with the staged permission bits, never set-id bits; as root, owned like the file it
//   replaces or else like its folder). Only when every copy is ready are they renamed over
//   their targets one by one, each rename followed by an fsync of the folder. So a file is at
//   any moment either old or new, never torn, even when the updater is killed; a running
//   program's file is replaced this way too. A stale temporary of an earlier, killed run is
//   replaced.
// - Renames follow the staging walk, except that the launcher's own executable ("Trailstarter",
//   in any folder) comes after every other file and the client root's "version.txt" last of
//   all: an updater killed midway leaves the old version number, so the launcher updates
//   again (checking every file by hash) instead of trusting half-new files.
// - The copies' writes and syncs, the renames and the folder syncs go through
//   Vel::Platform::FileDurability, so a test can watch their order.
// - Exit codes: kDone only when every file is in place; kNotApplied when it failed before any
//   file was replaced (temporaries removed); kPartlyApplied when it failed midway, after
//   reporting which files were applied and which not. 126 and 127 are never used (they are
//   the elevation command's own).
// - Every outcome is reported as lines on `report`. Single-threaded.

#include <cstddef>
#include <functional>
#include <ostream>
#include <string>

namespace Updater {

inline constexpr const char* kVersionFileName = "version.txt";
inline constexpr const char* kLauncherFileName = "Trailstarter";

enum ExitCode : int {
    kDone = 0,
    kBadCommandLine = 1,
    kRefused = 2,
    kNotApplied = 3,
    kPartlyApplied = 4,
    kMoveFailed = 5,
};

// Called after each file has been renamed into place, with the number applied so far (tests
// stop the updater there).
using AppliedHook = std::function<void(std::size_t applied)>;

int UpdateClient(const std::string& staging, const std::string& client, std::ostream& report,
                 const AppliedHook& afterApplied = {});

}  // namespace Updater
