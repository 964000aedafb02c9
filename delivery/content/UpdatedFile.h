#pragma once
// UpdatedFile: one planet-content file that has to be fetched or rewritten, and
// DownloadParameters: the planet ids a collection of such files is made for.
//
// Contract:
// - descriptor points into a published descriptor map (FileDescriptors.h); whoever keeps an
//   UpdatedFile keeps that map alive (the map is never changed once published). It is never
//   null in a file that was collected.
// - Sets of UpdatedFile are ordered by the described file's name, so a set holds at most one
//   element per described file.
// - Plain values: no locks; copy them between threads.

#include <cstdint>
#include <set>
#include <string>

#include "delivery/descriptors/FileDescriptors.h"

namespace Vel::ContentDownload {

struct UpdatedFile {
    // An archive holds the file with the right CRC and size but in another content format, so
    // it may be rebuilt from that copy.
    bool replace = false;
    // The archive holding a copy that cannot be used unchanged, and the archive the file is
    // written back to; empty when no archive holds the file.
    std::string archivePath;
    const FileDescriptorMap::value_type* descriptor = nullptr;

    const std::string& Name() const { return descriptor->first; }
    const ContentFileInfo& Info() const { return descriptor->second; }

    friend bool operator<(const UpdatedFile& a, const UpdatedFile& b) { return a.Name() < b.Name(); }
};

using UpdatedFileSet = std::set<UpdatedFile>;

struct DownloadParameters {
    std::set<std::uint16_t> planetIds;
};

// The sum of the stored sizes of the files' descriptors.
inline std::uint64_t SumFileSizes(const UpdatedFileSet& files) {
    std::uint64_t total = 0;
    for (const UpdatedFile& file : files) total += file.Info().storedSize;
    return total;
}

}  // namespace Vel::ContentDownload
