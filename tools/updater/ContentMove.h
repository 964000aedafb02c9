#pragma once
// The updater's "--move-content" half: moves the planet content folder to another place and
// records its new parent folder in the machine hive.
//
// Contract:
// - `from` must be an existing folder and `to` must not exist (nor lie inside `from`). On one
//   file system the folder is renamed; otherwise the tree is copied to a temporary sibling of
//   `to` (a symbolic link or other special file in it refuses the move), every copied file is
//   compared byte for byte with its source, the copy is renamed to `to`, and the source is
//   removed only after the hive has been written.
// - As a rename would, the copy keeps every file's and folder's permission bits, and all of it
//   belongs to the owner and group of `from`: an updater elevated for the move leaves the
//   player's content the player's. (The hive keeps its own owner and mode, see SettingsHive.)
// - The hive value `valueName` under `key` becomes the parent folder of `to` (a string value),
//   written through the settings library into the hive file given explicitly: an elevated
//   updater runs with a cleared environment and never takes the path from a variable.
// - Any failure returns kMoveFailed after undoing what it did (the copy removed, a rename turned
//   back), so the content stays where the setting says it is; kDone otherwise. Every outcome
//   is reported as lines on `report`. The copies' writes and syncs and the renames go through
//   Vel::Platform::FileDurability. Single-threaded.

#include <ostream>
#include <string>

namespace Updater {

// The machine hive an updater writes when the command line names none.
inline constexpr const char* kDefaultMachineHive = "/etc/Corvane/settings.reg";

int MoveContent(const std::string& key, const std::string& valueName, const std::string& from, const std::string& to,
                const std::string& machineHive, std::ostream& report);

}  // namespace Updater
