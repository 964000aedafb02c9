#pragma once
// The update manifest "client_files.xml": every file of the installed client with its size
// and SHA-1, and the size and SHA-1 of the zip package that carries it.
//
// Contract:
// - ReadFileList accepts only a whole, valid manifest and throws Vel::Exception with an
//   empty text otherwise; nothing of a rejected manifest remains. Comments, processing
//   instructions and a document type around the root element "files" are ignored; every
//   child node of "files" is an entry, so a comment there fails the manifest. Elements nested
//   deeper than kMaxXmlDepth (BoundedXml.h) fail it before it is parsed.
// - Every entry's path is relative and confined to the client folder: a path that is
//   empty, absolute, or has an empty, "." or ".." element invalidates the manifest. Sizes
//   are unsigned decimal numbers (no sign), hashes exactly 40 hexadecimal digits.
// - The size totals saturate at the largest 64-bit value instead of wrapping.
// - Plain values; no shared state; thread-safe as values are.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/data/Sha1.h"
#include "foundation/core/VersionNumber.h"

struct FileListEntry {
    std::string path;  // relative to the client folder, as the manifest writes it
    bool isNew = false;
    std::uint64_t size = 0;
    std::uint64_t size_zip = 0;
    Sha1Digest sha1;
    Sha1Digest sha1_zip;
};

struct FileList {
    VersionNumber version;  // never 0.0.0.0
    std::uint32_t client_crc = 0;
    std::uint32_t client_crc64 = 0;
    std::vector<FileListEntry> files;
};

FileList ReadFileList(const std::string& text);

std::uint64_t GetTotalZipSize(const FileList& list);
std::uint64_t GetSelectedSize(const FileList& list);
// "client_files/" + the entry's folder + its stem + "_" + the lower-case SHA-1 of the
// installed file + ".zip", joined with "/".
std::string GetCachedZipPath(const FileListEntry& entry);
// The path when it is shorter than 40 bytes, else its file name.
std::string GetDisplayName(const FileListEntry& entry);
// Whether a manifest path stays inside the client folder (see the contract).
bool IsSafeRelativePath(std::string_view path);
