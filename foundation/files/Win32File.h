#pragma once
// An open file by descriptor and path, with the access, sharing, creation and attribute
// choices of the system's own encoding (kept so callers read as they always did).
//
// Contract:
// - access: bit 0x1 read, bit 0x2 write (neither: read-only open for queries).
// - share: accepted and ignored. POSIX has no mandatory share modes: a file in use can be
//   read, written, renamed and deleted by others.
// - creation: 1 create new (fails when it exists), 2 create always (truncates), 3 open
//   existing, 4 open always and move the file position to the end (appends), 5 truncate an
//   existing file; any other value fails with EINVAL.
// - attributes: only 0x8 (read-only) has an effect: a file created by this open gets no
//   write permission bits. The others (archive, hidden, offline, system, temporary) are
//   ignored.
// - Failures return false and leave errno in the thread's last system error.
// - Destruction closes the file. One object is used by one thread at a time; no locks.

#include <cstddef>
#include <cstdint>
#include <string>

class Win32File {
public:
    enum Access : unsigned { kRead = 0x1, kWrite = 0x2 };
    enum Creation : unsigned { kCreateNew = 1, kCreateAlways = 2, kOpenExisting = 3, kOpenAlways = 4, kTruncateExisting = 5 };
    enum Attribute : unsigned { kAttributeReadOnly = 0x8 };

    Win32File() = default;
    explicit Win32File(std::string path) : path_(std::move(path)) {}
    Win32File(std::string path, unsigned access, unsigned share, unsigned creation, unsigned attributes = 0);
    ~Win32File();
    Win32File(const Win32File&) = delete;
    Win32File& operator=(const Win32File&) = delete;

    bool Open(unsigned access, unsigned share, unsigned creation, unsigned attributes = 0);
    // True when the file was not open or closing worked; the file is closed either way.
    bool Close();
    bool IsOpen() const noexcept { return fd_ >= 0; }

    // Resizes out to n bytes and reads n bytes at the file position; true only when exactly
    // n bytes were read.
    bool Read(std::string& out, std::size_t n);
    // Writes all n bytes at the file position; true only when all were written.
    bool Write(const void* data, std::size_t n);
    // Moves the file position to offset from the start; negative offsets fail.
    bool Seek(std::int32_t offset);
    bool Rewind() { return Seek(0); }
    // Cuts the file at the file position.
    bool Truncate();
    // The low 32 bits of the size; 0 on failure.
    std::uint32_t GetSize() const;
    // Unlinks the stored path (the open descriptor stays usable).
    bool Delete();

    const std::string& GetPath() const noexcept { return path_; }
    int Descriptor() const noexcept { return fd_; }

private:
    int fd_ = -1;
    std::string path_;
};
