#pragma once
// Vel::Zip: the program's own reader and writer of zip archives, working in place on one file.
// Entries are added, replaced and removed inside the file, freed space is reused first-fit, and
// the central directory is written only when the archive is flushed (at destruction, on a mode
// upgrade, after a recovery). It stores the stored bytes with their format code, CRC-32 and
// sizes as given; it writes no data descriptors, extra fields, comments or Zip64 records.
//
// Contract:
// - Every public operation holds the archive's recursive "Zip Mutex" for its whole duration;
//   any thread may call. CopyEntryFrom also takes the source archive's lock, the two locks in
//   the order of their paths. No other lock is taken.
// - The file is one descriptor used with pread/pwrite. A writable archive holds an exclusive
//   flock on it, a read-only one a shared flock, for as long as it is open; an archive locked
//   the other way by someone else is a Vel::FileException (busy), never corrupt.
// - Crash safety: from the first change after a flush until the next good flush a marker file
//   (MarkerPath) lies beside the archive, holding a copy of the directory of the last good
//   flush. Until the next flush no byte that directory points at is overwritten: space freed
//   since then is not reused, data goes to gaps that were already free or to the end, an
//   entry's bytes are written before its local header, and a reused gap's old local header
//   signature is cleared first. A flush syncs the data, writes the directory and the end
//   record, syncs again and removes the marker. Opening an archive whose marker is present
//   restores the last good flush from the marker and verifies every entry (local header and
//   content CRC-32); a process killed at any moment thus leaves every entry of the last good
//   flush readable with its bytes.
// - Untrusted input: the end record is taken only where its 22 bytes fit in the last 256 bytes;
//   the directory must end before the end record; every entry's extent (local header, name,
//   local extra field and stored bytes, in 64 bits) must end before the directory and its local
//   header must give the directory's stored size; the recovery scan adopts no header whose bytes
//   run past the end of the file. Violations are CorruptException, never a large allocation.
// - Foreign archives: extra fields and comments of the directory are dropped when it is read
//   (their lengths set to 0); a local header's extra field counts in the entry's extent.
// - Errors: CorruptException (with the path) for a damaged archive; Vel::FileException for a
//   file that cannot be opened or is busy; DiskFullException when the volume cannot take the
//   growth of the file (only growth needs free space); Vel::Exception with an empty text for a
//   change without Writable, a length that differs from the stored size, a name not found on
//   removal, the 65,536th entry, and a file that would pass 4 GiB.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "delivery/descriptors/FileDescriptors.h"
#include "delivery/archive/ZipCorruptException.h"
#include "foundation/core/Exception.h"
#include "foundation/data/MemoryStream.h"
#include "foundation/threads/Mutex.h"

namespace Vel {

class ThreadJob;

enum ZipOpenMode : unsigned { kZipRecover = 1, kZipWritable = 2, kZipCheckOffsets = 4 };
enum ZipVerifyFlags : unsigned { kZipRemoveBad = 1, kZipCheckCrc = 2, kZipCheckLocalHeaders = 4 };

inline constexpr std::uint32_t kZipLocalHeaderSize = 30;
inline constexpr std::uint32_t kZipCentralHeaderSize = 46;
inline constexpr std::uint32_t kZipLocalSignature = 0x04034b50;
inline constexpr std::uint32_t kZipCentralSignature = 0x02014b50;
// Free holes of this size or less between entries are not listed (nor are smaller remainders).
inline constexpr std::uint32_t kZipMinimumGap = 30;

// One central directory header with its name. localExtraLength is not part of the header: it is
// the extra length of the entry's local header, which counts in the entry's extent.
struct ZipEntry {
    std::uint32_t signature = kZipCentralSignature;
    std::uint16_t versionMadeBy = 0;
    std::uint16_t versionNeeded = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint16_t time = 0;
    std::uint16_t date = 0;
    std::uint32_t crc32 = 0;
    std::uint32_t compressedSize = 0;
    std::uint32_t uncompressedSize = 0;
    std::uint16_t nameLength = 0;
    std::uint16_t extraLength = 0;
    std::uint16_t commentLength = 0;
    std::uint16_t diskNumberStart = 0;
    std::uint16_t internalAttributes = 0;
    std::uint32_t externalAttributes = 0;
    std::uint32_t localHeaderOffset = 0;
    std::string name;
    std::uint16_t localExtraLength = 0;

    // Bytes from the local header's start to the end of the stored bytes.
    std::uint64_t Extent() const noexcept {
        return std::uint64_t{kZipLocalHeaderSize} + nameLength + localExtraLength + compressedSize;
    }
    std::uint64_t End() const noexcept { return localHeaderOffset + Extent(); }
};

class Zip {
public:
    using CorruptException = ZipCorruptException;

    // The volume cannot hold what the archive is about to grow by. Not corrupt: a repair cannot
    // help.
    class DiskFullException : public FileException {
    public:
        explicit DiskFullException(std::string path) : FileException(std::move(path)) {}
        DiskFullException(const DiskFullException&) = default;
    };

    using WrittenEntries = std::map<std::string, ZipEntry>;
    using FlushListener = std::function<void(Zip&, const WrittenEntries&)>;

    Zip(std::string path, unsigned mode);
    ~Zip();
    Zip(const Zip&) = delete;
    Zip& operator=(const Zip&) = delete;

    // Adds or replaces name with stored bytes described by info: the format code made from its
    // compression and encryption kinds, its CRC-32, its stored size and its size.
    void AddEntry(const std::string& name, const ContentFileInfo& info, const void* bytes, std::uint32_t length);
    // Adds or replaces name with stored bytes of the given format code, CRC-32 and sizes.
    void AddEntry(const std::string& name, int formatCode, std::uint32_t crc32, std::uint32_t compressedSize,
                  std::uint32_t uncompressedSize, const void* bytes, std::uint32_t length);
    // Adds or replaces name with the stored bytes of source's entry, its format code, CRC-32 and
    // sizes; nothing is converted.
    void CopyEntryFrom(Zip& source, const ZipEntry& entry, const std::string& name);
    void RemoveEntry(const std::string& name);
    std::shared_ptr<VelMemoryStream> ReadEntry(const ZipEntry& entry);
    // False when name is not in the archive.
    bool GetEntryInfo(const std::string& name, ZipEntry& entry);
    std::vector<ZipEntry> GetEntries();
    std::size_t GetEntryCount();
    // Moves the entries together, in the order of their offsets, so that the free gaps disappear
    // (requires Writable), and flushes. A job, when given, can stop it between entries (the
    // entries moved so far keep their new places) and receives the bytes walked as progress.
    // Crash safety: no entry is written over bytes that the marker's directory still points
    // at; when the next move needs such space the marker is brought up to date first, and an
    // entry whose new place overlaps its old one is first parked in a free gap above it or at
    // the end of the file (only then can the file grow, and only then is free space asked for).
    void Compact(const std::shared_ptr<ThreadJob>& job);
    bool FreeSpaceAtLeast(std::uint64_t threshold);
    bool IsModified();
    // Walks the entries in table order: every local header offset must lie below the directory;
    // kZipCheckLocalHeaders reads each local header; kZipCheckCrc looks the entry's name up in
    // the content file descriptors (none: bad) and, when the entry holds the descriptor's
    // version (CRC-32) in the descriptor's format, compares the CRC-32 of the stored bytes with
    // the descriptor's stored CRC-32; with kZipRemoveBad a mismatch in a coded format is first
    // repaired by decoding and encoding it again. A bad entry throws CorruptException, or with
    // kZipRemoveBad is reported and removed (by its place, not its name) after the walk. A
    // progress function that returns false, or an aborted job, stops the walk and removes
    // nothing. The callbacks run under the archive's lock and must not ask the manager for
    // archives.
    void Verify(unsigned flags, const std::function<bool(std::size_t)>& progress,
                const std::function<void(const std::string&)>& badEntry,
                const std::shared_ptr<ThreadJob>& job = nullptr);
    // Only gaining Writable has an effect: the archive is flushed and opened again for writing.
    void SetMode(unsigned bits);
    // Writes the directory of the changes made so far now, as the destructor would, but lets
    // its failure out (the destructor swallows it); the archive stays open. Nothing happens
    // when nothing changed.
    void FlushChanges();
    void AddFlushListener(FlushListener listener);

    const std::string& GetPath() const noexcept { return path_; }
    unsigned GetMode();

    // The marker file that lies beside an archive with unflushed changes.
    static std::string MarkerPath(const std::string& archivePath);

private:
    struct Gap {
        std::uint64_t start;
        std::uint64_t end;
    };

    void Open();
    void Create();
    void OpenExisting();
    void RecoverFromMarker();
    void RecoveryScan();
    void OpenDescriptor(bool writable, bool create);
    void CloseDescriptor() noexcept;
    void ReadDirectoryFrom(const std::uint8_t* directory, std::uint64_t size, std::uint16_t count);
    void ReadLocalExtras();
    void BuildGaps();
    void Flush();
    void WriteDirectory();
    std::vector<std::uint8_t> SerializeDirectory() const;

    void RequireWritable() const;
    void EnsureMarker();
    void CommitToMarker();
    void WriteMarkerFile(const std::string& marker, bool sync);
    void RemoveMarker();
    void AddEntryLocked(const std::string& name, int formatCode, std::uint32_t crc32, std::uint32_t compressedSize,
                        std::uint32_t uncompressedSize, const void* bytes, std::uint32_t length);
    void PlaceEntry(long found, const std::string& name, int formatCode, std::uint32_t crc32,
                    std::uint32_t compressedSize, std::uint32_t uncompressedSize, const void* bytes,
                    std::uint32_t length);
    void RemoveEntryLocked(const std::string& name);
    std::shared_ptr<VelMemoryStream> ReadEntryLocked(const ZipEntry& entry);
    void VerifyLocked(unsigned flags, const std::function<bool(std::size_t)>& progress,
                      const std::function<void(const std::string&)>& badEntry,
                      const std::shared_ptr<ThreadJob>& job = nullptr);
    bool ContentCrcMatches(const ZipEntry& entry, const VelMemoryStream& stored) const;
    std::optional<std::uint32_t> StoredCrc(const ZipEntry& entry) const;
    bool StoredCrcMatches(std::size_t index, const ContentFileInfo& descriptor, bool repair);
    std::uint64_t ParkingPlace(const ZipEntry& entry, bool& fromGap);
    void WriteEntryAt(ZipEntry& entry, std::uint64_t offset, bool clearOldSignature, const void* bytes);
    std::uint64_t Allocate(std::uint64_t room, bool& fromGap);
    std::uint64_t TakeFromGap(std::vector<Gap>::iterator gap, std::uint64_t room);
    void SortGaps();
    void EnsureGrowthFits(std::uint64_t end);
    void PWrite(const void* data, std::size_t length, std::uint64_t offset);
    // Counts bytes written; once enough are, starts their write-out without waiting, so that
    // the flush's sync finds most of them on disk already.
    void StartWriteback(std::uint64_t written) noexcept;
    bool PRead(void* data, std::size_t length, std::uint64_t offset) const;
    void SyncFile();
    std::uint64_t FileLength() const;
    long FindEntry(const std::string& name);
    void InvalidateIndex() noexcept { indexValid_ = false; }
    // Forgets every entry, gap and count (the file is not touched).
    void ClearDirectory() noexcept;
    [[noreturn]] void ThrowCorrupt() const;

    VelMutex mutex_{"Zip Mutex"};
    std::string path_;
    unsigned mode_;
    int fd_ = -1;
    std::vector<ZipEntry> entries_;
    std::unordered_map<std::string, std::size_t> index_;
    bool indexValid_ = false;
    std::uint16_t totalEntries_ = 0;
    std::uint32_t directorySize_ = 0;
    // The directory offset, which is also where data that fits no gap is appended.
    std::uint64_t directoryOffset_ = 0;
    bool changed_ = false;
    bool markerWritten_ = false;
    // The file may grow up to here before free space is asked for again.
    std::uint64_t growthChecked_ = 0;
    // Bytes written since the write-out was last started.
    std::uint64_t unsubmitted_ = 0;
    // Free ranges that the last good flush's directory does not point at, sorted by start.
    std::vector<Gap> gaps_;
    // Ranges freed since the last good flush: usable only after the next one.
    std::vector<Gap> freedSinceFlush_;
    WrittenEntries written_;
    std::vector<FlushListener> listeners_;
};

}  // namespace Vel
