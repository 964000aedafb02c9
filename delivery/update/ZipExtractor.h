#pragma once
// ZipExtractor: unpacks an update package (a zip file) into a folder.
//
// Contract:
// - The package is untrusted. Before anything is written, every entry is checked: a name that
//   is empty, absolute, or has an empty, "." or ".." element ("/" and "\" both separate), an
//   entry recorded as a symbolic link (or any other non-regular file), and more than
//   kMaxEntries entries make the whole package bad. Nothing is ever written outside the folder.
// - Directory entries (a name ending in a separator) become folders; the parent folders of
//   nested entries are created. Below the folder, every folder on the way to an entry is opened
//   one element at a time from the folder's descriptor, and files are created, without
//   following a symbolic link: a link already there (at an entry or at a folder on its way)
//   fails the extraction as a failure of the file system, and nothing outside changes. A file
//   keeps the execute bits its entry records (entries made on a Unix system); other mode bits
//   are the defaults.
// - The inflated bytes of all entries together are capped at the byte limit given to
//   ExtractAll, checked as they inflate: a package that would exceed it is refused midway.
// - A package that cannot be opened, read, checked (CRC) or that breaks the rules above throws
//   Vel::Exception. A failure of the file system (creating a folder or file, writing) throws
//   Vel::FileException naming the path, so callers can tell the two apart.
// - One object is used by one thread; the reader is closed when it is destroyed.

#include <cstdint>
#include <limits>
#include <string>

struct zip;

namespace Vel {

class ZipExtractor {
public:
    static constexpr std::uint64_t kMaxEntries = 10000;

    explicit ZipExtractor(const std::string& zipPath);
    ~ZipExtractor();
    ZipExtractor(const ZipExtractor&) = delete;
    ZipExtractor& operator=(const ZipExtractor&) = delete;

    void ExtractAll(const std::string& folder,
                    std::uint64_t byteLimit = std::numeric_limits<std::uint64_t>::max());

private:
    zip* archive_ = nullptr;
    std::string path_;
};

}  // namespace Vel
