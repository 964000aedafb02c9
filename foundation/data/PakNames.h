#pragma once
// Names of the ".pak" content archives and the choice of the archive that takes a new entry.
//
// A content file belongs to the group named by its path up to and including the second '/'
// (planets/alpha/ for planets/alpha/x/y.dds); a group's archives are numbered 01 to 99 and named
// by the group with '/' turned into '_', the two-digit number and ".pak".
//
// Contract:
// - Every function that looks at the file system takes the dynamic content folder (ending in
//   '/') it works in; names are relative to it, paths are folder + name.
// - FindPakWithRoom returns the first existing archive (in number order) whose size plus the
//   entry's size, in 64 bits, stays below kPakSizeLimit and which holds fewer than
//   kZipMaxEntries entries; otherwise the free name with the lowest number. An archive's entry
//   count comes from entryCount when given (an open archive knows more than its file), else
//   from the end record in the file (an unreadable record counts as 0: opening it decides).
// - GetFreePakFileName / GetFreePakPath throw Vel::Exception with an empty text when all 99
//   names exist; FileSize's exception passes out of FindPakWithRoom.
// - Reentrant; no shared state, no locks.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// An archive takes a new entry only while its size plus the entry's stays below this.
inline constexpr std::uint64_t kPakSizeLimit = 128'000'000;
inline constexpr int kPakMaxNumber = 99;

std::string PakGroupOf(std::string_view contentPath);
std::string MakePakFileName(std::string_view group, int number);
std::vector<std::string> FindPakFiles(const std::string& contentFolder, std::string_view group);
std::string GetFreePakFileName(const std::string& contentFolder, std::string_view group);
std::vector<std::string> ListPakPaths(const std::string& contentFolder, std::string_view group);
std::string GetFreePakPath(const std::string& contentFolder, std::string_view group);

using PakEntryCounter = std::function<std::uint32_t(const std::string& path)>;
std::string FindPakWithRoom(const std::string& contentFolder, std::string_view contentPath, std::uint32_t entrySize,
                            const PakEntryCounter& entryCount = {});
// The same choice among the group's archives listed already (paths in number order, as
// ListPakPaths gives them), for a caller that places many entries at once.
std::string FindPakWithRoomAmong(const std::vector<std::string>& paths, const std::string& contentFolder,
                                 std::string_view contentPath, std::uint32_t entrySize,
                                 const PakEntryCounter& entryCount = {});
