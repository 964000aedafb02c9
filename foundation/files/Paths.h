#pragma once
// Path texts, file-system questions and the known folders.
//
// Contract:
// - Paths are UTF-8 texts; both '/' and '\' separate. Folder texts end in '/' by convention.
// - NormalizePath gives a lower-cased lookup key (ASCII letters only, independent of the
//   locale). It names another file on a case-sensitive file system, so it is used only to
//   compare paths and to build server paths; every function here that touches the file
//   system uses the path as given (with '\' read as '/').
// - An absolute path starts with a separator; "/" alone is the root. There are no drive
//   letters or root names.
// - Functions named Try... and the known-folder functions never throw. FileSize,
//   DeleteFileIfPresent and GetDiskSpace throw Vel::Exception with an empty text; RemovePath
//   throws Vel::FileException for the path. A failing system call leaves errno in the
//   thread's last system error.
// - Everything is reentrant; no locks, no shared state.

#include <cstdint>
#include <string>
#include <string_view>

// ---- Path texts -------------------------------------------------------------------------

std::string NormalizePath(std::string_view path);
std::string NormalizeDirectoryPath(std::string_view path);
std::string WithTrailingSlash(std::string_view path);
void EnsureTrailingSlash(std::string& path);
std::string WithoutTrailingSeparator(std::string_view path);
void StripTrailingSeparator(std::string& path);
// The form handed to the system: '\' turned into '/', one trailing separator removed
// (the root "/" stays).
std::string ToNativePath(std::string_view path);
std::string JoinPath(std::string_view folder, std::string_view name);
std::string GetFileName(std::string_view path);
// A text holding no '.' is taken to be a folder and returned whole; otherwise the text up to
// and including the last separator, or "" when there is none.
std::string GetDirectoryPart(std::string_view path);
std::string RemoveExtension(std::string_view path);
std::string ReplaceExtension(std::string_view path, std::string_view extension);
bool IsAbsolutePath(std::string_view path);
std::string MakeAbsolutePath(std::string_view path);
// Always "": POSIX paths have no root names.
std::string GetRootName(std::string_view path);

// ---- File system ------------------------------------------------------------------------

// True for "" (no system call).
bool FileExists(std::string_view path);
bool IsDirectory(std::string_view path);
std::uint64_t FileSize(std::string_view path);
bool TryFileSize(std::string_view path, std::uint64_t& size);
// The file's birth time where the file system keeps one, else its last-write time, as
// 100-ns ticks since 1601-01-01 UTC.
bool GetFileCreationTime(std::string_view path, std::uint64_t& ticksSince1601);
std::uint64_t DirectorySize(std::string_view folder);
bool EnsureParentDirectory(std::string_view path);
bool DeleteFileIfPresent(std::string_view path);
bool TryDeleteFileIfPresent(std::string_view path);
bool TryDeleteFile(std::string_view path);
void RemovePath(std::string_view path, bool recursive);
bool TryRemovePath(std::string_view path, bool recursive);
// The whole file cut at its first NUL byte; "" when it cannot be opened.
std::string ReadFileToString(std::string_view path);

// Access masks of the system's own encoding, as callers pass them.
inline constexpr std::uint32_t kFileGenericRead = 0x120089;
inline constexpr std::uint32_t kFileGenericWrite = 0x120116;
inline constexpr std::uint32_t kFileGenericExecute = 0x1200A0;
inline constexpr std::uint32_t kFileWriteAndDeleteChild = 0x120156;

// Whether the process's effective user and group may use the path as the mask asks:
// read bits map to R_OK, write, append, attribute-write and delete-child bits to W_OK
// (and, for a folder, X_OK too: creating or deleting in it needs both), execute to X_OK.
// False when the path does not exist.
bool HasAccess(std::string_view path, std::uint32_t accessMask);

// True when path lies below folder (a file directly in it included, the folder itself not).
// Both are compared lexically after "." and ".." elements are resolved.
bool IsInsideDirectory(std::string_view folder, std::string_view path);

struct DiskSpace {
    std::uint64_t capacity = 0;
    std::uint64_t free = 0;
    std::uint64_t available = 0;
};
DiskSpace GetDiskSpace(std::string_view path);

// ---- Known folders (each ends in '/' unless empty) --------------------------------------

// The program's own executable; no trailing '/'.
std::string GetModulePath();
std::string GetCurrentDir(bool withTrailingSlash, bool normalised);
// $XDG_DOCUMENTS_DIR, else the documents folder of xdg-user-dirs (user-dirs.dirs), else
// $HOME/Documents; created when missing.
std::string GetDocumentsFolder();
// $PUBLIC, else $XDG_DATA_HOME, else $HOME/.local/share.
std::string GetPublicFolder();
std::string GetSystemDir();
// $TMPDIR, else /tmp.
std::string GetTempDir();
// The mount point of the file system that holds the path (its nearest existing ancestor).
std::string GetVolumeRoot(std::string_view path);
// The variable's value; the default when it is not set; "" when it is set and empty.
std::string GetEnvironmentVar(const std::string& name, const std::string& defaultValue);
