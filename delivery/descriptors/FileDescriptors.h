#pragma once
// The content file descriptors and the list of files found corrupt.
//
// Every planet-content file the content servers offer is described by one ContentFileInfo in a
// binary descriptor table ("*.xbc" in "file_descs/" of the folder the content driver passes,
// the program data folder). LoadFileDescriptors reads every table into one process-wide map
// from file name to record; FindFileDescriptor and GetFileDescriptors read it.
// "corrupt_files.lst" in the public users data folder is the game client's list of files it
// found corrupt, one name per line.
//
// Contract:
// - The map is immutable once published: LoadFileDescriptors builds a new map and replaces the
//   published one as a whole. GetFileDescriptors hands out shared ownership of the map it
//   returns, so a holder keeps reading that map even after a replacement; a holder notices a
//   replacement by comparing its map with the one GetFileDescriptors returns now (the content
//   driver clears its scanned flag then). Any thread may call any function; only the swap of
//   the published pointer takes a small internal lock.
// - Tables are read in the order of their names (byte order), and the first table that names
//   a file wins. A table whose version is not 1 is used but makes the result false. A table
//   that cannot be read to its end adds nothing and makes the result false; reading stops at
//   the first record that fails, and nothing is reserved by the stored record count.
// - Nothing here throws for bad data. A missing "file_descs/" gives an empty map and true.
// - The corrupt list: reading takes a shared lock on the file and leaves it as it is; empty
//   lines are dropped and one trailing "\r" of a line is dropped. ForgetCorruptFiles takes
//   the names that were handled out of the file under an exclusive lock, re-reading it inside
//   the lock, so that lines added by the game client in the meantime stay. The locks are
//   advisory flocks on the file itself.

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

namespace Vel {

struct ContentFileInfo {
    std::uint32_t crc = 0;         // CRC-32 of the content (also the entry's zip CRC-32 field)
    std::uint32_t storedCrc = 0;   // CRC-32 of the stored form
    std::uint32_t size = 0;        // size of the content
    std::uint32_t storedSize = 0;  // size of the stored form
    std::uint16_t compression = 0;
    std::uint16_t encryption = 0;
    std::string planetIds;  // comma-separated planet ids

    bool operator==(const ContentFileInfo&) const = default;
};

using FileDescriptorMap = std::unordered_map<std::string, ContentFileInfo>;

inline constexpr const char* kFileDescriptorFolderName = "file_descs/";
inline constexpr const char* kCorruptFileListName = "corrupt_files.lst";

// Loads every "*.xbc" table in folder + "file_descs/" into a new map and publishes it. True
// when every table had version 1 and was read completely.
bool LoadFileDescriptors(const std::string& folder);
std::optional<ContentFileInfo> FindFileDescriptor(const std::string& name);
// The published map (never null; empty before the first load).
std::shared_ptr<const FileDescriptorMap> GetFileDescriptors();

// The public users data folder followed by "corrupt_files.lst".
std::string GetCorruptFileListPath();
// The names listed in the corrupt list, ordered and without duplicates; empty when the file
// is missing or cannot be read.
std::set<std::string> ReadCorruptFileList();
std::set<std::string> ReadCorruptFileList(const std::string& path);
// Removes the lines naming one of handled; other lines stay as they are. False when the file
// exists but could not be rewritten.
bool ForgetCorruptFiles(const std::set<std::string>& handled);
bool ForgetCorruptFiles(const std::string& path, const std::set<std::string>& handled);

}  // namespace Vel
