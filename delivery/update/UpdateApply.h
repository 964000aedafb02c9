#pragma once
// The last two stages of an update run: the downloaded packages are unpacked into the staging
// folder's "update" folder, and the updater executable moves the unpacked files into the client
// folder, run elevated when needed. RunProcessAndWait also serves the content move.
//
// Contract:
// - Everything here runs on the update pool's thread. The abort flag, the applying flag and
//   the shutting-down flag are the update manager's (its lock).
// - ExtractDownloads unpacks every entry's package (ZipExtractor) below "update" + the entry's
//   folder, each capped at the entry's size; a file-system failure throws UpdateException 5, a
//   package that cannot be opened or unpacked (also a hostile one) throws Vel::Exception.
//   Every unpacked entry file gets one modification and access time, taken once before the
//   first package (Linux keeps no settable creation time).
// - RunProcessAndWait starts the program (elevated: through the elevation command, the
//   parameter "trailstarter.elevationCommand", "pkexec" by default) and waits for it in 500 ms
//   steps. Result 2: the elevation was dismissed (the elevation command's 126); 1: exit code
//   0; 0: another exit code of a run that is not strict. It throws UpdateException 6 when the
//   program cannot be started or waited for, when a strict run exits non-zero (a death by
//   signal counts as non-zero), and when the elevation command refuses (127); its failure
//   names the cause where one is known (the elevation command is not installed or refused,
//   the updater's exit code). At shutdown
//   the wait gives up with UpdateException 2, leaving the program to finish on its own.
// - RunUpdater runs the updater (a freshly delivered one in "update" is preferred) with
//   "--update-client", the update and the client folders; plainly when the client folder is
//   writable, else elevated; a plain run that fails is repeated elevated; a dismissed
//   elevation asks the prompt (string 105) until it is cancelled (false). While it runs, the
//   update cannot be aborted (UpdateManager::Abort refuses).

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "delivery/update/FileList.h"
#include "delivery/update/UpdateErrorPrompt.h"
#include "foundation/time/Clock.h"

namespace Vel::UpdateManager {

// The staging record of an update run; every folder is absolute and ends in "/".
struct UpdateFolders {
    std::string root;
    std::string download;  // the packages, each at its cached zip path
    std::string update;    // the unpacked files, in the client folder's layout
    std::string client;    // the installation root
};

// The updater below an installation (or the "update" folder).
inline constexpr const char* kUpdaterRelativePath = "bin32/SolvendaUpdater";
inline constexpr auto kShortExtractPause = std::chrono::milliseconds(150);
inline constexpr auto kShortExtractLimit = std::chrono::milliseconds(250);

void ExtractDownloads(const FileList& list, const UpdateFolders& folders, std::uint64_t fileWeight,
                      IClock& clock = DefaultClock());

// Sets the file's modification and access time; every failure is ignored.
void SetFileTimeFromSystemTime(const std::string& path, std::chrono::system_clock::time_point time);

struct LaunchDescription {
    std::string file;  // absolute
    std::vector<std::string> arguments;
    bool runas = false;  // elevated
};

// "trailstarter.elevationCommand", else "pkexec".
std::string ElevationCommand();

int RunProcessAndWait(const LaunchDescription& description, bool strict);

bool RunUpdater(const UpdateFolders& folders, std::uint64_t applyWeight, IUpdateErrorPrompt& prompt);

}  // namespace Vel::UpdateManager
