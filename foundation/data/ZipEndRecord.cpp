#include "foundation/data/ZipEndRecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/data/LittleEndian.h"
#include "foundation/files/Paths.h"

using Vel::Le16;
using Vel::Le32;
using Vel::Put16;
using Vel::Put32;

std::optional<std::size_t> FindZipEndRecord(const std::uint8_t* tail, std::size_t length) {
    if (length < kZipEndRecordSize) return std::nullopt;
    for (std::size_t p = 0; p + kZipEndRecordSize <= length; ++p) {
        if (tail[p] == 'P' && Le32(tail + p) == kZipEndSignature) return p;
    }
    return std::nullopt;
}

ZipEndRecord ParseZipEndRecord(const std::uint8_t* r) {
    ZipEndRecord e;
    e.disk = Le16(r + 4);
    e.directoryDisk = Le16(r + 6);
    e.entriesOnDisk = Le16(r + 8);
    e.totalEntries = Le16(r + 10);
    e.directorySize = Le32(r + 12);
    e.directoryOffset = Le32(r + 16);
    e.commentLength = Le16(r + 20);
    return e;
}

void SerializeZipEndRecord(const ZipEndRecord& e, std::uint8_t* out) {
    Put32(out, kZipEndSignature);
    Put16(out + 4, e.disk);
    Put16(out + 6, e.directoryDisk);
    Put16(out + 8, e.entriesOnDisk);
    Put16(out + 10, e.totalEntries);
    Put32(out + 12, e.directorySize);
    Put32(out + 16, e.directoryOffset);
    Put16(out + 20, e.commentLength);
}

bool ReadZipEntryCount(const std::string& path, std::uint32_t& count) {
    const int fd = ::open(ToNativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = false;
    if (::fstat(fd, &st) == 0) {
        // The last 256 bytes are searched for the record's start, and the record needs its 22.
        const auto size = static_cast<std::uint64_t>(st.st_size);
        const std::uint64_t span = std::min<std::uint64_t>(size, kZipEndSearchSpan);
        std::vector<std::uint8_t> tail(span);
        const off_t at = static_cast<off_t>(size - span);
        if (span > 0 && ::pread(fd, tail.data(), span, at) == static_cast<ssize_t>(span)) {
            if (const auto p = FindZipEndRecord(tail.data(), tail.size())) {
                count = ParseZipEndRecord(tail.data() + *p).totalEntries;
                ok = true;
            }
        }
    }
    ::close(fd);
    return ok;
}
