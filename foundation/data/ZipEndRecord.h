#pragma once
// The zip end-of-central-directory record: where it is found and what it says. Shared by the
// archive class and the pak naming, which needs an archive's entry count without opening it.
//
// Contract:
// - FindZipEndRecord scans a file's tail forward from its first byte and takes the first
//   position where the signature and all 22 bytes of the record fit inside the tail.
// - ReadZipEntryCount reads the total-entries field of a file's end record found in its last
//   256 bytes; false when the file cannot be read or has none.
// - Reentrant; no shared state, no locks.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

inline constexpr std::uint32_t kZipEndSignature = 0x06054b50;
inline constexpr std::uint32_t kZipEndRecordSize = 22;
// The end record is looked for in the last 256 bytes of a file.
inline constexpr std::uint32_t kZipEndSearchSpan = 256;
// Entry counts are 16-bit in the record.
inline constexpr std::uint32_t kZipMaxEntries = 65535;

struct ZipEndRecord {
    std::uint16_t disk = 0;
    std::uint16_t directoryDisk = 0;
    std::uint16_t entriesOnDisk = 0;
    std::uint16_t totalEntries = 0;
    std::uint32_t directorySize = 0;
    std::uint32_t directoryOffset = 0;
    std::uint16_t commentLength = 0;
};

// Position of the record within tail[0, length), or nullopt.
std::optional<std::size_t> FindZipEndRecord(const std::uint8_t* tail, std::size_t length);
ZipEndRecord ParseZipEndRecord(const std::uint8_t* record);
void SerializeZipEndRecord(const ZipEndRecord& record, std::uint8_t* out);

bool ReadZipEntryCount(const std::string& path, std::uint32_t& count);
