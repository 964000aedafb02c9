#include "delivery/archive/Zip.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>

#include "delivery/archive/Deflate.h"
#include "delivery/jobs/ThreadJob.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/data/ContentFormat.h"
#include "foundation/data/Crc32.h"
#include "foundation/data/LittleEndian.h"
#include "foundation/files/Paths.h"
#include "foundation/data/Rc4Stream.h"
#include "foundation/data/ZipEndRecord.h"
#include "platform/FileDurability.h"
#include "platform/LastError.h"

namespace Vel {

namespace {

constexpr std::uint64_t kMaxOffset = std::numeric_limits<std::uint32_t>::max();
// The recovery scan adopts no entry larger than an archive may grow.
constexpr std::uint32_t kLargestAdoptedEntry = 128'000'000;
constexpr char kMarkerMagic[8] = {'T', 'S', 'Z', 'I', 'P', 'M', 'K', '1'};
// A marker holds at most a directory of 65,535 entries with names of 65,535 bytes; reading
// one larger than this is refused.
constexpr std::uint64_t kLargestMarker = 1ull << 32;
// Internal verification: the content CRC-32 of each entry, decoded by its format code (the
// restore from a marker, which must not depend on the descriptor tables).
constexpr unsigned kVerifyContentCrc = 0x100;


void SerializeCentral(const ZipEntry& e, std::uint8_t* h) {
    Put32(h, e.signature);
    Put16(h + 4, e.versionMadeBy);
    Put16(h + 6, e.versionNeeded);
    Put16(h + 8, e.flags);
    Put16(h + 10, e.method);
    Put16(h + 12, e.time);
    Put16(h + 14, e.date);
    Put32(h + 16, e.crc32);
    Put32(h + 20, e.compressedSize);
    Put32(h + 24, e.uncompressedSize);
    Put16(h + 28, e.nameLength);
    Put16(h + 30, e.extraLength);
    Put16(h + 32, e.commentLength);
    Put16(h + 34, e.diskNumberStart);
    Put16(h + 36, e.internalAttributes);
    Put32(h + 38, e.externalAttributes);
    Put32(h + 42, e.localHeaderOffset);
}

ZipEntry ParseCentral(const std::uint8_t* h) {
    ZipEntry e;
    e.signature = Le32(h);
    e.versionMadeBy = Le16(h + 4);
    e.versionNeeded = Le16(h + 6);
    e.flags = Le16(h + 8);
    e.method = Le16(h + 10);
    e.time = Le16(h + 12);
    e.date = Le16(h + 14);
    e.crc32 = Le32(h + 16);
    e.compressedSize = Le32(h + 20);
    e.uncompressedSize = Le32(h + 24);
    e.nameLength = Le16(h + 28);
    e.extraLength = Le16(h + 30);
    e.commentLength = Le16(h + 32);
    e.diskNumberStart = Le16(h + 34);
    e.internalAttributes = Le16(h + 36);
    e.externalAttributes = Le32(h + 38);
    e.localHeaderOffset = Le32(h + 42);
    return e;
}

void SerializeLocal(const ZipEntry& e, std::uint8_t* h) {
    std::memset(h, 0, kZipLocalHeaderSize);
    Put32(h, kZipLocalSignature);
    Put16(h + 8, e.method);
    Put32(h + 14, e.crc32);
    Put32(h + 18, e.compressedSize);
    Put32(h + 22, e.uncompressedSize);
    Put16(h + 26, e.nameLength);
}

Platform::FileDurability& Disk() { return Platform::FileDurability::Current(); }

bool IsDiskFull(int error) { return error == ENOSPC || error == EDQUOT; }

// Makes a creation in the archive's folder durable.
void SyncFolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    Disk().Sync(fd);
    ::close(fd);
}

}  // namespace

std::string Zip::MarkerPath(const std::string& archivePath) { return ToNativePath(archivePath) + ".unflushed"; }

Zip::Zip(std::string path, unsigned mode) : path_(ToNativePath(path)), mode_(mode) {
    VelMutex::ScopedLock lock(mutex_);
    Open();
}

Zip::~Zip() {
    try {
        VelMutex::ScopedLock lock(mutex_);
        Flush();
    } catch (...) {
    }
    CloseDescriptor();
}

unsigned Zip::GetMode() {
    VelMutex::ScopedLock lock(mutex_);
    return mode_;
}

// ---- Low-level file access ----------------------------------------------------------------

void Zip::ThrowCorrupt() const { throw CorruptException(path_); }

void Zip::OpenDescriptor(bool writable, bool create) {
    CloseDescriptor();
    int flags = O_CLOEXEC | (writable ? O_RDWR : O_RDONLY);
    if (create) flags |= O_CREAT;
    const int fd = ::open(path_.c_str(), flags, 0644);
    if (fd < 0) {
        Platform::SetLastErrorFromErrno();
        throw FileException(path_);
    }
    // Another holder of the lock (a second launcher) is busy with the archive: never corrupt.
    if (::flock(fd, (writable ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        Platform::SetLastErrorFromErrno();
        ::close(fd);
        throw FileException(path_);
    }
    fd_ = fd;
}

void Zip::CloseDescriptor() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    growthChecked_ = 0;
}

std::uint64_t Zip::FileLength() const {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) ThrowCorrupt();
    return static_cast<std::uint64_t>(st.st_size);
}

bool Zip::PRead(void* data, std::size_t length, std::uint64_t offset) const {
    auto* p = static_cast<std::uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = ::pread(fd_, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        length -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

void Zip::PWrite(const void* data, std::size_t length, std::uint64_t offset) {
    if (fd_ < 0) ThrowCorrupt();
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (length > 0) {
        const ssize_t n = Disk().WriteAt(fd_, p, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int error = n < 0 ? errno : ENOSPC;
            Platform::SetLastErrorFromErrno();
            if (IsDiskFull(error)) throw DiskFullException(path_);
            ThrowCorrupt();
        }
        p += n;
        length -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
}

void Zip::StartWriteback(std::uint64_t written) noexcept {
    // Large enough for the disk to take in long runs, small enough to overlap the copying.
    constexpr std::uint64_t kWritebackChunk = 8u << 20;
    unsubmitted_ += written;
    if (unsubmitted_ < kWritebackChunk || fd_ < 0) return;
    unsubmitted_ = 0;
    // Only a hint: the sync of the flush is what makes the data durable.
    (void)::sync_file_range(fd_, 0, 0, SYNC_FILE_RANGE_WRITE);
}

void Zip::SyncFile() {
    unsubmitted_ = 0;
    if (Disk().Sync(fd_) != 0) {
        const int error = errno;
        Platform::SetLastErrorFromErrno();
        if (IsDiskFull(error)) throw DiskFullException(path_);
        ThrowCorrupt();
    }
}

void Zip::EnsureGrowthFits(std::uint64_t end) {
    if (end <= growthChecked_) return;
    const std::uint64_t length = FileLength();
    if (end <= length) return;
    struct statvfs sv;
    if (::fstatvfs(fd_, &sv) != 0) return;  // unknown: let the write itself decide
    const std::uint64_t available = static_cast<std::uint64_t>(sv.f_bavail) * sv.f_frsize;
    if (available < end - length) {
        Platform::SetLastError(ENOSPC);
        throw DiskFullException(path_);
    }
    // Half of what is free now may be taken before the volume is asked again; should others
    // fill it meanwhile, the write itself reports the full disk.
    growthChecked_ = length + available / 2;
}

void Zip::RequireWritable() const {
    if ((mode_ & kZipWritable) == 0) throw Exception();
}

long Zip::FindEntry(const std::string& name) {
    if (!indexValid_) {
        index_.clear();
        index_.reserve(entries_.size());
        for (std::size_t k = 0; k < entries_.size(); ++k) index_.emplace(entries_[k].name, k);
        indexValid_ = true;
    }
    const auto it = index_.find(name);
    return it == index_.end() ? -1 : static_cast<long>(it->second);
}

// ---- Opening ------------------------------------------------------------------------------

void Zip::Open() {
    for (;;) {
        if (FileExists(MarkerPath(path_))) {
            RecoverFromMarker();
            if (FileExists(MarkerPath(path_))) throw FileException(MarkerPath(path_));
            continue;
        }
        if (!FileExists(path_)) {
            Create();
            return;
        }
        try {
            OpenExisting();
            return;
        } catch (const CorruptException&) {
            if ((mode_ & kZipRecover) == 0) throw;
        }
        const unsigned asked = mode_;
        mode_ = (mode_ & ~kZipRecover) | kZipWritable;
        try {
            try {
                RecoveryScan();
            } catch (const FileException&) {
                throw;
            } catch (const CorruptException&) {
                throw;
            } catch (const Exception&) {
                CloseDescriptor();
                Create();
            }
            Flush();
        } catch (...) {
            mode_ = asked;
            CloseDescriptor();
            throw;
        }
        mode_ = asked & ~kZipRecover;
        CloseDescriptor();
    }
}

void Zip::ClearDirectory() noexcept {
    entries_.clear();
    InvalidateIndex();
    gaps_.clear();
    freedSinceFlush_.clear();
    totalEntries_ = 0;
    directorySize_ = 0;
    directoryOffset_ = 0;
}

void Zip::Create() {
    ClearDirectory();
    if ((mode_ & kZipWritable) == 0) return;
    // The lock is taken before the file is cut, so a file another launcher holds stays whole.
    OpenDescriptor(true, true);
    EnsureMarker();
    if (Disk().Truncate(fd_, 0) != 0) {
        Platform::SetLastErrorFromErrno();
        CloseDescriptor();
        throw FileException(path_);
    }
    changed_ = true;
}

void Zip::OpenExisting() {
    const bool writable = (mode_ & kZipWritable) != 0;
    OpenDescriptor(writable, false);
    try {
        ClearDirectory();
        const std::uint64_t length = FileLength();
        if (length < kZipEndRecordSize) ThrowCorrupt();
        const std::uint64_t span = std::min<std::uint64_t>(length, kZipEndSearchSpan);
        std::uint8_t tail[kZipEndSearchSpan];
        if (!PRead(tail, span, length - span)) ThrowCorrupt();
        const auto at = FindZipEndRecord(tail, span);
        if (!at) ThrowCorrupt();
        const std::uint64_t recordOffset = length - span + *at;
        const ZipEndRecord record = ParseZipEndRecord(tail + *at);
        // The directory lies before the end record; its size is bounded by the file.
        if (std::uint64_t{record.directoryOffset} + record.directorySize > recordOffset) ThrowCorrupt();
        std::vector<std::uint8_t> directory(record.directorySize);
        if (!PRead(directory.data(), directory.size(), record.directoryOffset)) ThrowCorrupt();
        directoryOffset_ = record.directoryOffset;
        ReadDirectoryFrom(directory.data(), directory.size(), record.totalEntries);
        if ((mode_ & (kZipWritable | kZipCheckOffsets)) != 0) {
            ReadLocalExtras();
            std::stable_sort(entries_.begin(), entries_.end(), [](const ZipEntry& a, const ZipEntry& b) {
                return a.localHeaderOffset < b.localHeaderOffset;
            });
            InvalidateIndex();
            BuildGaps();
        }
        if ((mode_ & kZipCheckOffsets) != 0) VerifyLocked(0, {}, {});
        if (entries_.size() != record.totalEntries) ThrowCorrupt();
        changed_ = false;
        markerWritten_ = false;
    } catch (...) {
        CloseDescriptor();
        throw;
    }
}

void Zip::ReadDirectoryFrom(const std::uint8_t* directory, std::uint64_t size, std::uint16_t count) {
    std::uint64_t pos = 0;
    entries_.reserve(count);
    std::uint32_t kept = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        if (pos + kZipCentralHeaderSize > size) ThrowCorrupt();
        ZipEntry e = ParseCentral(directory + pos);
        if (e.signature != kZipCentralSignature) ThrowCorrupt();
        const std::uint64_t next = pos + kZipCentralHeaderSize + e.nameLength + e.extraLength + e.commentLength;
        if (pos + kZipCentralHeaderSize + e.nameLength > size || next > size) ThrowCorrupt();
        e.name.assign(reinterpret_cast<const char*>(directory + pos + kZipCentralHeaderSize), e.nameLength);
        // Extra fields and comments of other tools are not kept: the header is written back
        // without them.
        e.extraLength = 0;
        e.commentLength = 0;
        kept += kZipCentralHeaderSize + e.nameLength;
        entries_.push_back(std::move(e));
        pos = next;
    }
    totalEntries_ = count;
    directorySize_ = kept;
}

void Zip::ReadLocalExtras() {
    for (auto& e : entries_) {
        std::uint8_t h[kZipLocalHeaderSize];
        if (std::uint64_t{e.localHeaderOffset} + kZipLocalHeaderSize > directoryOffset_ ||
            !PRead(h, sizeof h, e.localHeaderOffset))
            ThrowCorrupt();
        if (Le32(h) != kZipLocalSignature || Le16(h + 26) != e.nameLength || Le32(h + 18) != e.compressedSize)
            ThrowCorrupt();
        e.localExtraLength = Le16(h + 28);
        if (e.End() > directoryOffset_) ThrowCorrupt();
    }
}

void Zip::BuildGaps() {
    gaps_.clear();
    std::vector<std::pair<std::uint64_t, std::uint64_t>> extents;
    extents.reserve(entries_.size());
    for (const auto& e : entries_) extents.emplace_back(e.localHeaderOffset, e.End());
    std::sort(extents.begin(), extents.end());
    std::uint64_t runningEnd = 0;
    for (const auto& [start, end] : extents) {
        if (start < runningEnd) ThrowCorrupt();
        if (start - runningEnd > kZipMinimumGap) gaps_.push_back({runningEnd, start});
        runningEnd = end;
    }
}

// ---- Crash marker and recovery --------------------------------------------------------------

void Zip::EnsureMarker() {
    if (markerWritten_) return;
    // The marker holds the directory as the last good flush left it, so that a kill before
    // the next flush can be undone whatever was overwritten in between.
    WriteMarkerFile(MarkerPath(path_), true);
    SyncFolderOf(path_);
    markerWritten_ = true;
}

void Zip::CommitToMarker() {
    // Written beside the marker and renamed over it: a kill leaves the old marker or the new
    // one, never a part. Not synced: it orders the steps of a compaction against a killed
    // process; the compaction's last flush makes the result durable.
    const std::string marker = MarkerPath(path_);
    const std::string next = marker + ".next";
    WriteMarkerFile(next, false);
    if (Disk().Rename(next.c_str(), marker.c_str()) != 0) {
        Platform::SetLastErrorFromErrno();
        ::unlink(next.c_str());
        throw FileException(marker);
    }
    markerWritten_ = true;
    // Nothing the marker points at was freed since: that space may be written now.
    freedSinceFlush_.clear();
}

void Zip::WriteMarkerFile(const std::string& marker, bool sync) {
    std::vector<std::uint8_t> directory = SerializeDirectory();
    std::vector<std::uint8_t> bytes(sizeof kMarkerMagic);
    std::memcpy(bytes.data(), kMarkerMagic, sizeof kMarkerMagic);
    bytes.insert(bytes.end(), directory.begin(), directory.end());
    std::uint8_t crc[4];
    Put32(crc, Crc32(bytes.data(), bytes.size()));
    bytes.insert(bytes.end(), crc, crc + 4);

    const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        Platform::SetLastErrorFromErrno();
        throw FileException(marker);
    }
    std::size_t done = 0;
    int error = 0;
    while (done < bytes.size()) {
        const ssize_t n = Disk().Write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : ENOSPC;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (error == 0 && sync && Disk().Sync(fd) != 0) error = errno;
    ::close(fd);
    if (error != 0) {
        ::unlink(marker.c_str());
        errno = error;
        Platform::SetLastErrorFromErrno();
        if (IsDiskFull(error)) throw DiskFullException(path_);
        throw FileException(marker);
    }
}

void Zip::RemoveMarker() {
    // Not synced: should the removal be lost, the marker brings back the flush before, whose
    // bytes nothing has overwritten yet (the next change writes a new marker first).
    Disk().Unlink(MarkerPath(path_).c_str());
    markerWritten_ = false;
}

void Zip::RecoverFromMarker() {
    const unsigned asked = mode_;
    mode_ = (mode_ & ~kZipRecover) | kZipWritable;
    struct ModeRestore {
        Zip* zip;
        unsigned mode;
        ~ModeRestore() { zip->mode_ = mode; }
    } restore{this, asked};

    const std::string marker = MarkerPath(path_);
    if (!FileExists(path_)) {
        // Killed before the archive's file existed, or after it was deleted as empty.
        RemoveMarker();
        return;
    }
    // The lock first: a marker is also present while another launcher writes the archive.
    OpenDescriptor(true, false);
    std::vector<std::uint8_t> bytes;
    {
        const int fd = ::open(marker.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat st;
        if (fd >= 0 && ::fstat(fd, &st) == 0 && static_cast<std::uint64_t>(st.st_size) < kLargestMarker) {
            bytes.resize(static_cast<std::size_t>(st.st_size));
            std::size_t done = 0;
            while (done < bytes.size()) {
                const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
                if (n <= 0) break;
                done += static_cast<std::size_t>(n);
            }
            bytes.resize(done);
        }
        if (fd >= 0) ::close(fd);
    }
    const std::size_t overhead = sizeof kMarkerMagic + kZipEndRecordSize + 4;
    bool valid = bytes.size() >= overhead && std::memcmp(bytes.data(), kMarkerMagic, sizeof kMarkerMagic) == 0 &&
                 Crc32(bytes.data(), bytes.size() - 4) == Le32(bytes.data() + bytes.size() - 4);
    ZipEndRecord record;
    if (valid) {
        record = ParseZipEndRecord(bytes.data() + bytes.size() - 4 - kZipEndRecordSize);
        valid = Le32(bytes.data() + bytes.size() - 4 - kZipEndRecordSize) == kZipEndSignature &&
                std::uint64_t{record.directorySize} + overhead == bytes.size();
    }
    if (!valid) {
        // Killed while the marker was written: nothing of the archive had been touched yet.
        CloseDescriptor();
        RemoveMarker();
        return;
    }
    ClearDirectory();
    written_.clear();
    directoryOffset_ = record.directoryOffset;
    ReadDirectoryFrom(bytes.data() + sizeof kMarkerMagic, record.directorySize, record.totalEntries);
    // The entries the marker lists were not to be overwritten; check each against the file
    // all the same and drop what does not hold.
    for (auto& e : entries_) {
        std::uint8_t h[kZipLocalHeaderSize];
        if (std::uint64_t{e.localHeaderOffset} + kZipLocalHeaderSize <= directoryOffset_ &&
            PRead(h, sizeof h, e.localHeaderOffset) && Le32(h) == kZipLocalSignature)
            e.localExtraLength = Le16(h + 28);
    }
    markerWritten_ = true;
    changed_ = true;
    ::unlink((marker + ".next").c_str());
    VerifyLocked(kZipRemoveBad | kZipCheckLocalHeaders | kVerifyContentCrc, {}, {});
    BuildGaps();
    Flush();
    CloseDescriptor();
}

void Zip::RecoveryScan() {
    try {
        OpenDescriptor(true, false);
    } catch (const FileException& e) {
        if (e.GetErrorCode() == EWOULDBLOCK) throw;
        ThrowCorrupt();
    }
    ClearDirectory();
    const std::uint64_t length = FileLength();

    const std::size_t kChunk = static_cast<std::size_t>(std::min<std::uint64_t>(length, 4 << 20));
    std::vector<std::uint8_t> buffer(std::max<std::size_t>(kChunk, 4));
    std::uint64_t bufferStart = 0;
    std::size_t bufferLength = 0;
    auto load = [&](std::uint64_t at) {
        bufferStart = at;
        bufferLength = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, length - at));
        if (bufferLength > 0 && !PRead(buffer.data(), bufferLength, at)) ThrowCorrupt();
    };
    std::uint64_t pos = 0;
    load(0);
    while (pos < length) {
        if (pos < bufferStart || pos + 4 > bufferStart + bufferLength) {
            if (pos + 4 > length) break;
            load(pos);
        }
        const std::uint8_t* base = buffer.data() + (pos - bufferStart);
        const std::size_t avail = bufferLength - static_cast<std::size_t>(pos - bufferStart);
        const void* hit = std::memchr(base, 'P', avail);
        if (hit == nullptr) {
            pos += avail;
            continue;
        }
        pos += static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - base);
        if (pos + 4 > bufferStart + bufferLength) {
            if (pos + 4 > length) break;
            load(pos);
        }
        if (Le32(buffer.data() + (pos - bufferStart)) != kZipLocalSignature) {
            ++pos;
            continue;
        }
        // A header cut by the end of the file ends the scan; what was found is kept.
        if (pos + kZipLocalHeaderSize > length) break;
        std::uint8_t h[kZipLocalHeaderSize];
        if (!PRead(h, sizeof h, pos)) ThrowCorrupt();
        ZipEntry e;
        e.method = Le16(h + 8);
        e.crc32 = Le32(h + 14);
        e.compressedSize = Le32(h + 18);
        e.uncompressedSize = Le32(h + 22);
        e.nameLength = Le16(h + 26);
        e.localExtraLength = Le16(h + 28);
        e.localHeaderOffset = static_cast<std::uint32_t>(std::min(pos, kMaxOffset));
        const std::uint64_t end = pos + e.Extent();
        // Not an entry this archive can hold (larger than an archive may grow, running past the
        // end of the file, or beyond what the directory can address): its claimed size is not
        // trusted, so the scan looks on from the byte after its signature's first, and entries
        // behind a damaged size are still found. Adopted entries never overlap: the scan goes on
        // behind each.
        if (e.compressedSize > kLargestAdoptedEntry || end > length || pos > kMaxOffset || end > kMaxOffset ||
            entries_.size() >= kZipMaxEntries) {
            ++pos;
            continue;
        }
        e.name.resize(e.nameLength);
        if (e.nameLength > 0 && !PRead(e.name.data(), e.nameLength, pos + kZipLocalHeaderSize)) ThrowCorrupt();
        ++totalEntries_;
        directorySize_ += kZipCentralHeaderSize + e.nameLength;
        directoryOffset_ = std::max(directoryOffset_, end);
        entries_.push_back(std::move(e));
        pos = end;
    }
    changed_ = true;
    VerifyLocked(kZipCheckLocalHeaders, {}, {});
    BuildGaps();
    // The rebuilt directory goes behind every adopted entry and overwrites nothing they hold: a
    // kill while it is written leaves the archive to be scanned again, so no marker is needed.
    markerWritten_ = true;
}

// ---- Flush ----------------------------------------------------------------------------------

std::vector<std::uint8_t> Zip::SerializeDirectory() const {
    std::vector<std::uint8_t> out(std::uint64_t{directorySize_} + kZipEndRecordSize);
    std::size_t pos = 0;
    for (const auto& e : entries_) {
        const std::size_t size = kZipCentralHeaderSize + e.nameLength + e.extraLength + e.commentLength;
        if (pos + size > directorySize_) ThrowCorrupt();
        SerializeCentral(e, out.data() + pos);
        std::memcpy(out.data() + pos + kZipCentralHeaderSize, e.name.data(), e.nameLength);
        pos += size;
    }
    if (pos != directorySize_) ThrowCorrupt();
    ZipEndRecord record;
    record.entriesOnDisk = totalEntries_;
    record.totalEntries = totalEntries_;
    record.directorySize = directorySize_;
    record.directoryOffset = static_cast<std::uint32_t>(directoryOffset_);
    SerializeZipEndRecord(record, out.data() + pos);
    return out;
}

void Zip::Flush() {
    if (!changed_) return;
    RequireWritable();
    if (entries_.empty()) {
        if (fd_ >= 0) Disk().Unlink(path_.c_str());
        else TryDeleteFileIfPresent(path_);
        CloseDescriptor();
        RemoveMarker();
    } else {
        if (fd_ < 0) ThrowCorrupt();
        EnsureMarker();
        const std::vector<std::uint8_t> directory = SerializeDirectory();
        const std::uint64_t end = directoryOffset_ + directory.size();
        // Data first, then the directory and the end record, then the whole made durable.
        SyncFile();
        EnsureGrowthFits(end);
        PWrite(directory.data(), directory.size(), directoryOffset_);
        if (FileLength() > end && Disk().Truncate(fd_, static_cast<off_t>(end)) != 0) {
            Platform::SetLastErrorFromErrno();
            throw FileException(path_);
        }
        SyncFile();
        RemoveMarker();
        // Space the old directory pointed at is free from now on.
        freedSinceFlush_.clear();
        BuildGaps();
    }
    changed_ = false;
    WrittenEntries written;
    written.swap(written_);
    for (const auto& listener : listeners_) listener(*this, written);
}

// ---- Changes --------------------------------------------------------------------------------

void Zip::SortGaps() {
    std::sort(gaps_.begin(), gaps_.end(), [](const Gap& a, const Gap& b) { return a.start < b.start; });
}

// Takes room from the front of a gap; a rest too small for any entry is no longer a gap.
std::uint64_t Zip::TakeFromGap(std::vector<Gap>::iterator gap, std::uint64_t room) {
    const std::uint64_t offset = gap->start;
    if (gap->end - gap->start - room < kZipMinimumGap)
        gaps_.erase(gap);
    else
        gap->start += room;
    return offset;
}

std::uint64_t Zip::Allocate(std::uint64_t room, bool& fromGap) {
    for (auto it = gaps_.begin(); it != gaps_.end(); ++it) {
        if (it->end - it->start < room) continue;
        fromGap = true;
        return TakeFromGap(it, room);
    }
    const std::uint64_t offset = directoryOffset_;
    if (offset + room > kMaxOffset) throw Exception();
    EnsureGrowthFits(offset + room);
    directoryOffset_ = offset + room;
    fromGap = false;
    return offset;
}

void Zip::WriteEntryAt(ZipEntry& e, std::uint64_t offset, bool clearOldSignature, const void* bytes) {
    e.localHeaderOffset = static_cast<std::uint32_t>(offset);
    e.localExtraLength = 0;
    std::vector<std::uint8_t> header(kZipLocalHeaderSize + e.nameLength);
    SerializeLocal(e, header.data());
    std::memcpy(header.data() + kZipLocalHeaderSize, e.name.data(), e.nameLength);
    if (!clearOldSignature) {
        // Beyond everything else in the file: nothing there for a scan to mistake, so header
        // and bytes go in one call.
        if (fd_ < 0) ThrowCorrupt();
        iovec parts[2] = {{header.data(), header.size()}, {const_cast<void*>(bytes), e.compressedSize}};
        const std::size_t total = header.size() + e.compressedSize;
        const ssize_t n = Disk().WriteVectorAt(fd_, parts, 2, static_cast<off_t>(offset));
        if (n == static_cast<ssize_t>(total)) {
            StartWriteback(total);
            return;
        }
        if (n < 0 && errno != EINTR) {
            const int error = errno;
            Platform::SetLastErrorFromErrno();
            if (IsDiskFull(error)) throw DiskFullException(path_);
            ThrowCorrupt();
        }
        // A short write: finish in the careful order below.
    } else {
        // A gap may start with the local header of what lay there before: no longer valid once
        // new bytes follow it.
        const std::uint8_t zero[4] = {};
        PWrite(zero, sizeof zero, offset);
    }
    PWrite(bytes, e.compressedSize, offset + kZipLocalHeaderSize + e.nameLength);
    PWrite(header.data(), header.size(), offset);
    StartWriteback(header.size() + e.compressedSize);
}

void Zip::AddEntry(const std::string& name, const ContentFileInfo& info, const void* bytes, std::uint32_t length) {
    const int formatCode = MakeContentFormatCode(info.compression, info.encryption);
    AddEntry(name, formatCode, info.crc, info.storedSize, info.size, bytes, length);
}

void Zip::AddEntry(const std::string& name, int formatCode, std::uint32_t crc32, std::uint32_t compressedSize,
                   std::uint32_t uncompressedSize, const void* bytes, std::uint32_t length) {
    VelMutex::ScopedLock lock(mutex_);
    AddEntryLocked(name, formatCode, crc32, compressedSize, uncompressedSize, bytes, length);
}

void Zip::AddEntryLocked(const std::string& name, int formatCode, std::uint32_t crc32, std::uint32_t compressedSize,
                         std::uint32_t uncompressedSize, const void* bytes, std::uint32_t length) {
    PlaceEntry(FindEntry(name), name, formatCode, crc32, compressedSize, uncompressedSize, bytes, length);
}

// Writes the bytes as a new entry (found < 0) or in place of the entry at index found.
void Zip::PlaceEntry(long found, const std::string& name, int formatCode, std::uint32_t crc32,
                     std::uint32_t compressedSize, std::uint32_t uncompressedSize, const void* bytes,
                     std::uint32_t length) {
    RequireWritable();
    if (length != compressedSize || name.size() > 0xFFFF || formatCode < 0 || formatCode > 0xFFFF)
        throw Exception();
    if (fd_ < 0) ThrowCorrupt();
    // Entry counts are 16-bit: the 65,536th entry cannot be recorded.
    if (found < 0 && entries_.size() >= kZipMaxEntries) throw Exception();
    EnsureMarker();

    ZipEntry e;
    if (found >= 0) e = entries_[static_cast<std::size_t>(found)];
    e.name = name;
    e.nameLength = static_cast<std::uint16_t>(name.size());
    e.method = static_cast<std::uint16_t>(formatCode);
    e.crc32 = crc32;
    e.compressedSize = compressedSize;
    e.uncompressedSize = uncompressedSize;
    bool fromGap = false;
    const std::uint64_t offset =
        Allocate(std::uint64_t{kZipLocalHeaderSize} + e.nameLength + compressedSize, fromGap);
    WriteEntryAt(e, offset, fromGap, bytes);

    if (found >= 0) {
        ZipEntry& old = entries_[static_cast<std::size_t>(found)];
        // The last good flush's directory still points at the old bytes.
        freedSinceFlush_.push_back({old.localHeaderOffset, old.End()});
        old = e;
    } else {
        entries_.push_back(e);
        if (indexValid_) index_.emplace(name, entries_.size() - 1);
        ++totalEntries_;
        directorySize_ += kZipCentralHeaderSize + e.nameLength;
    }
    written_[name] = e;
    changed_ = true;
}

void Zip::CopyEntryFrom(Zip& source, const ZipEntry& entry, const std::string& name) {
    // Both locks, in the order of the paths, so two copies in opposite directions cannot
    // deadlock.
    Zip* first = this;
    Zip* second = &source;
    if (source.path_ < path_) std::swap(first, second);
    VelMutex::ScopedLock lockFirst(first->mutex_);
    VelMutex::ScopedLock lockSecond(second->mutex_);
    const auto bytes = source.ReadEntryLocked(entry);
    AddEntryLocked(name, entry.method, entry.crc32, entry.compressedSize, entry.uncompressedSize, bytes->GetData(),
                   bytes->GetSize());
}

void Zip::RemoveEntry(const std::string& name) {
    VelMutex::ScopedLock lock(mutex_);
    RemoveEntryLocked(name);
}

void Zip::RemoveEntryLocked(const std::string& name) {
    RequireWritable();
    const long found = FindEntry(name);
    if (found < 0) throw Exception();
    EnsureMarker();
    const auto it = entries_.begin() + found;
    freedSinceFlush_.push_back({it->localHeaderOffset, it->End()});
    directorySize_ -= kZipCentralHeaderSize + it->nameLength + it->extraLength + it->commentLength;
    --totalEntries_;
    entries_.erase(it);
    InvalidateIndex();
    changed_ = true;
}

// ---- Reading --------------------------------------------------------------------------------

std::shared_ptr<VelMemoryStream> Zip::ReadEntry(const ZipEntry& entry) {
    VelMutex::ScopedLock lock(mutex_);
    return ReadEntryLocked(entry);
}

std::shared_ptr<VelMemoryStream> Zip::ReadEntryLocked(const ZipEntry& entry) {
    if (fd_ < 0) ThrowCorrupt();
    const std::uint64_t offset = entry.localHeaderOffset;
    const std::uint64_t size = entry.compressedSize;
    // Bounded by the archive before anything is allocated.
    const std::uint64_t guess = std::uint64_t{kZipLocalHeaderSize} + entry.nameLength + size;
    if (offset + guess > directoryOffset_ || guess > kMaxOffset) ThrowCorrupt();
    auto stream = std::make_shared<VelMemoryStream>(static_cast<std::uint32_t>(guess));
    std::uint8_t* p = stream->WriteSpace(static_cast<std::uint32_t>(guess));
    if (p == nullptr || !PRead(p, guess, offset)) ThrowCorrupt();
    if (Le32(p) != kZipLocalSignature || Le32(p + 18) != entry.compressedSize) ThrowCorrupt();
    const std::uint16_t localName = Le16(p + 26);
    const std::uint16_t localExtra = Le16(p + 28);
    const std::uint64_t skip = std::uint64_t{kZipLocalHeaderSize} + localName + localExtra;
    if (localName == entry.nameLength && localExtra == 0) {
        std::memmove(p, p + skip, size);
    } else {
        if (offset + skip + size > directoryOffset_) ThrowCorrupt();
        if (size > 0 && !PRead(p, size, offset + skip)) ThrowCorrupt();
    }
    stream->Resize(static_cast<std::uint32_t>(size));
    stream->Rewind();
    return stream;
}

bool Zip::GetEntryInfo(const std::string& name, ZipEntry& entry) {
    VelMutex::ScopedLock lock(mutex_);
    const long found = FindEntry(name);
    if (found < 0) return false;
    entry = entries_[static_cast<std::size_t>(found)];
    return true;
}

std::vector<ZipEntry> Zip::GetEntries() {
    VelMutex::ScopedLock lock(mutex_);
    return entries_;
}

std::size_t Zip::GetEntryCount() {
    VelMutex::ScopedLock lock(mutex_);
    return entries_.size();
}

bool Zip::FreeSpaceAtLeast(std::uint64_t threshold) {
    VelMutex::ScopedLock lock(mutex_);
    RequireWritable();
    std::uint64_t sum = 0;
    for (const auto& g : gaps_) sum += g.end - g.start;
    for (const auto& g : freedSinceFlush_) sum += g.end - g.start;
    return sum >= threshold;
}

void Zip::FlushChanges() {
    VelMutex::ScopedLock lock(mutex_);
    Flush();
}

bool Zip::IsModified() {
    VelMutex::ScopedLock lock(mutex_);
    return changed_;
}

void Zip::SetMode(unsigned bits) {
    VelMutex::ScopedLock lock(mutex_);
    if (bits == mode_ || (bits & kZipWritable) == 0 || (mode_ & kZipWritable) != 0) return;
    mode_ |= kZipWritable;
    Flush();
    CloseDescriptor();
    Open();
}

void Zip::AddFlushListener(FlushListener listener) {
    VelMutex::ScopedLock lock(mutex_);
    listeners_.push_back(std::move(listener));
}

// ---- Verification ---------------------------------------------------------------------------

bool Zip::ContentCrcMatches(const ZipEntry& entry, const VelMemoryStream& stored) const {
    int compression = 0, encryption = 0;
    // Codes this program cannot decode are not judged.
    if (!SplitContentFormatCode(entry.method, compression, encryption) || encryption == 2) return true;
    const std::uint8_t* data = stored.GetData();
    std::uint32_t size = stored.GetSize();
    std::vector<std::uint8_t> plain;
    if (encryption == 1) {
        plain.assign(data, data + size);
        Rc4Stream::ForContent(entry.crc32).Decrypt(plain.data(), plain.size(), plain.data());
        data = plain.data();
    }
    VelMemoryStream inflated;
    if (compression == 1) {
        try {
            InflateRaw(data, size, inflated, entry.uncompressedSize);
        } catch (const Exception&) {
            return false;
        }
        data = inflated.GetData();
        size = inflated.GetSize();
    }
    return size == entry.uncompressedSize && Crc32(data, size) == entry.crc32;
}

std::optional<std::uint32_t> Zip::StoredCrc(const ZipEntry& entry) const {
    std::uint8_t h[kZipLocalHeaderSize];
    const std::uint64_t offset = entry.localHeaderOffset;
    if (fd_ < 0 || offset + kZipLocalHeaderSize > directoryOffset_ || !PRead(h, sizeof h, offset) ||
        Le32(h) != kZipLocalSignature || Le32(h + 18) != entry.compressedSize)
        return std::nullopt;
    std::uint64_t at = offset + kZipLocalHeaderSize + Le16(h + 26) + Le16(h + 28);
    std::uint64_t left = entry.compressedSize;
    if (at + left > directoryOffset_) return std::nullopt;
    // Streamed through one block per thread: no buffer the size of the entry, no allocation
    // per entry.
    thread_local std::vector<std::uint8_t> block(1 << 20);
    std::uint32_t crc = 0;
    while (left > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, block.size()));
        if (!PRead(block.data(), n, at)) return std::nullopt;
        crc = Crc32Update(crc, block.data(), n);
        at += n;
        left -= n;
    }
    return crc;
}

bool Zip::StoredCrcMatches(std::size_t index, const ContentFileInfo& descriptor, bool repair) {
    const auto crc = StoredCrc(entries_[index]);
    if (!crc) return false;
    if (*crc == descriptor.storedCrc) return true;
    const ZipEntry e = entries_[index];
    if (!repair || e.method == ContentFormat::kStored) return false;
    std::shared_ptr<VelMemoryStream> stored;
    try {
        stored = ReadEntryLocked(e);
    } catch (const CorruptException&) {
        return false;
    }
    // Decoded and encoded again: a damaged coding that still decodes comes back whole.
    try {
        const auto plain = ZipManager::ConvertContentFormat(stored->GetData(), stored->GetSize(), e.method,
                                                            ContentFormat::kStored, e.crc32);
        const auto again = ZipManager::ConvertContentFormat(plain->GetData(), plain->GetSize(),
                                                            ContentFormat::kStored, e.method, e.crc32);
        if (Crc32(again->GetData(), again->GetSize()) != descriptor.storedCrc) return false;
        PlaceEntry(static_cast<long>(index), e.name, MakeContentFormatCode(descriptor.compression, descriptor.encryption),
                   descriptor.crc, descriptor.storedSize, descriptor.size, again->GetData(), again->GetSize());
        return true;
    } catch (const Exception&) {
        return false;
    }
}

void Zip::Verify(unsigned flags, const std::function<bool(std::size_t)>& progress,
                 const std::function<void(const std::string&)>& badEntry, const std::shared_ptr<ThreadJob>& job) {
    VelMutex::ScopedLock lock(mutex_);
    VerifyLocked(flags, progress, badEntry, job);
}

void Zip::VerifyLocked(unsigned flags, const std::function<bool(std::size_t)>& progress,
                       const std::function<void(const std::string&)>& badEntry,
                       const std::shared_ptr<ThreadJob>& job) {
    // One map for the whole walk, even should the tables be loaded again meanwhile.
    const auto descriptors = (flags & kZipCheckCrc) != 0 ? GetFileDescriptors() : nullptr;
    std::vector<std::size_t> bad;
    for (std::size_t k = 0; k < entries_.size(); ++k) {
        if (job && job->IsAborted()) return;
        if (progress && !progress(k)) return;
        const ZipEntry& e = entries_[k];
        bool good = e.localHeaderOffset < directoryOffset_;
        if (good && (flags & kZipCheckLocalHeaders) != 0) {
            std::uint8_t h[kZipLocalHeaderSize];
            good = fd_ >= 0 && std::uint64_t{e.localHeaderOffset} + kZipLocalHeaderSize <= directoryOffset_ &&
                   PRead(h, sizeof h, e.localHeaderOffset) && Le32(h) == kZipLocalSignature &&
                   Le32(h + 18) == e.compressedSize && Le16(h + 26) == e.nameLength &&
                   e.localHeaderOffset + kZipLocalHeaderSize + std::uint64_t{e.nameLength} + Le16(h + 28) +
                           e.compressedSize <=
                       directoryOffset_;
            if (good && e.nameLength > 0) {
                std::string name(e.nameLength, '\0');
                good = PRead(name.data(), name.size(), e.localHeaderOffset + kZipLocalHeaderSize) && name == e.name;
            }
        }
        if (good && (flags & kZipCheckCrc) != 0) {
            const auto found = descriptors->find(e.name);
            if (found == descriptors->end()) {
                good = false;
            } else {
                const ContentFileInfo& d = found->second;
                int code = -1;
                try {
                    code = MakeContentFormatCode(d.compression, d.encryption);
                } catch (const Exception&) {
                }
                // Another version of the file, or the file in another form: the descriptor's
                // stored CRC-32 does not describe these bytes.
                if (d.crc == e.crc32 && code == e.method)
                    good = StoredCrcMatches(k, d, (flags & kZipRemoveBad) != 0);
            }
        }
        if (good && (flags & kVerifyContentCrc) != 0) {
            try {
                good = ContentCrcMatches(e, *ReadEntryLocked(e));
            } catch (const CorruptException&) {
                good = false;
            }
        }
        if (good) continue;
        if ((flags & kZipRemoveBad) == 0) ThrowCorrupt();
        bad.push_back(k);
        if (badEntry) badEntry(entries_[k].name);
    }
    if (bad.empty()) return;
    RequireWritable();
    EnsureMarker();
    for (auto it = bad.rbegin(); it != bad.rend(); ++it) {
        const auto pos = entries_.begin() + static_cast<long>(*it);
        freedSinceFlush_.push_back({pos->localHeaderOffset, pos->End()});
        directorySize_ -= kZipCentralHeaderSize + pos->nameLength + pos->extraLength + pos->commentLength;
        --totalEntries_;
        entries_.erase(pos);
    }
    InvalidateIndex();
    changed_ = true;
}

// ---- Compaction -----------------------------------------------------------------------------

std::uint64_t Zip::ParkingPlace(const ZipEntry& entry, bool& fromGap) {
    const std::uint64_t room = entry.Extent();
    // A gap above the entry has not been touched by the compaction and is free in the marker's
    // directory.
    for (auto it = gaps_.begin(); it != gaps_.end(); ++it) {
        if (it->start < entry.End() || it->end - it->start < room) continue;
        fromGap = true;
        return TakeFromGap(it, room);
    }
    // The end of the file: the marker holds the directory that lies there.
    fromGap = false;
    const std::uint64_t offset = directoryOffset_;
    if (offset + room > kMaxOffset) throw Exception();
    EnsureGrowthFits(offset + room);
    directoryOffset_ = offset + room;
    return offset;
}

void Zip::Compact(const std::shared_ptr<ThreadJob>& job) {
    VelMutex::ScopedLock lock(mutex_);
    RequireWritable();
    if (fd_ < 0) ThrowCorrupt();
    // Space freed before the compaction becomes writable once the marker no longer points at it.
    if (!freedSinceFlush_.empty()) CommitToMarker();
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const ZipEntry& a, const ZipEntry& b) { return a.localHeaderOffset < b.localHeaderOffset; });
    InvalidateIndex();
    const auto progress = job ? job->GetProgress() : nullptr;

    constexpr std::uint64_t kNothing = std::numeric_limits<std::uint64_t>::max();
    // The lowest old place of an entry moved since the marker was last brought up to date: the
    // marker's directory still points there, so nothing may be written from there on.
    std::uint64_t vacatedFrom = kNothing;
    auto move = [&](ZipEntry& e, std::uint64_t offset, bool clearOld, const VelMemoryStream& bytes) {
        const Gap old{e.localHeaderOffset, e.End()};
        WriteEntryAt(e, offset, clearOld, bytes.GetData());
        freedSinceFlush_.push_back(old);
        vacatedFrom = std::min(vacatedFrom, old.start);
        written_[e.name] = e;
        changed_ = true;
    };

    std::uint64_t writePos = 0;
    bool aborted = false;
    try {
        for (auto& e : entries_) {
            if (job && job->IsAborted()) {
                aborted = true;
                break;
            }
            if (e.localHeaderOffset < writePos) ThrowCorrupt();
            const std::uint64_t extent = e.Extent();
            if (e.localHeaderOffset > writePos) {
                EnsureMarker();
                const auto bytes = ReadEntryLocked(e);
                if (writePos + extent > std::min(vacatedFrom, std::uint64_t{e.localHeaderOffset})) {
                    if (vacatedFrom != kNothing) {
                        CommitToMarker();
                        vacatedFrom = kNothing;
                    }
                    if (writePos + extent > e.localHeaderOffset) {
                        // The new place overlaps the old one, which the marker points at.
                        bool fromGap = false;
                        const std::uint64_t parked = ParkingPlace(e, fromGap);
                        move(e, parked, fromGap, *bytes);
                        CommitToMarker();
                        vacatedFrom = kNothing;
                    }
                }
                move(e, writePos, true, *bytes);
            }
            writePos = e.localHeaderOffset + extent;
            if (progress) progress->AddDone(extent);
        }
        if (!aborted && !changed_ && writePos == directoryOffset_) {
            // Nothing to move and nothing unwritten.
            gaps_.clear();
        } else if (!aborted) {
            // The directory follows the last entry; the marker says so before it is written
            // there, over places it may still point at.
            directoryOffset_ = writePos;
            gaps_.clear();
            changed_ = true;
            CommitToMarker();
            Flush();
            if (fd_ < 0 && !entries_.empty()) ThrowCorrupt();
        } else {
            // Stopped: every hole is free once the marker matches the table.
            CommitToMarker();
            BuildGaps();
        }
    } catch (...) {
        // Gaps below the write position may be taken: none is offered until the next flush.
        gaps_.clear();
        throw;
    }
}

}  // namespace Vel
