#pragma once
// Vel::ZipManager: one open Vel::Zip per archive file in the process, shared by every thread
// that works on it, with a per-thread batch scope that keeps the archives a thread touches open
// (and their directories unwritten) until the batch ends; and the content format converter.
//
// Contract:
// - Archives are keyed by their path trimmed, with "\" read as "/" and runs of "/" collapsed;
//   the letter case is kept (two paths that differ in case name two files here). An archive is
//   opened with the path the first caller gave.
// - GetZip holds the manager's lock "ZipManager" while it looks an archive up, opens it (which
//   reads its directory) or upgrades it to writing (which flushes and reopens it); the
//   archive's own lock is taken inside, after it. Opening failures pass through unchanged and
//   leave nothing behind.
// - When the last owner lets an archive go, its flush (the destructor writes the directory)
//   and the removal of its table entry happen together under "ZipManager": no second object
//   is opened over a directory that is still being written. Letting the last reference go
//   therefore must not happen while holding an archive's lock.
// - Batches are per thread and need no lock: BeginBatch/EndBatch nest; while a thread's batch
//   is open, every archive GetZip opens for it is held until the outermost EndBatch (or the
//   thread's end), where the archives nobody else holds are flushed and closed on that thread.
//   An archive already open when it is asked for again is returned without being added.
// - Holders: a long-running writer may keep archives open between its batches. It registers
//   an ArchiveHolder; ReleaseHeldArchives asks every registered holder to let its archives go
//   and returns once each has (a holder answers after the batch it is in, whose length it
//   bounds). Whoever opens archives with mode bits of its own (the rescan's offset checks, the
//   repair's recovery, moves and compactions) calls it first, so that it opens its own object
//   instead of being handed the holder's, whose mode a later GetZip could not change. The
//   registry's lock is held while the holders are asked (so a holder cannot go meanwhile); a
//   holder must not ask the manager for archives while it answers, nor call
//   ReleaseHeldArchives itself.
// - Flush notifications are not forwarded: nothing in the program listens to them.
// - ConvertContentFormat is reentrant and takes no lock.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "delivery/archive/Zip.h"
#include "foundation/data/MemoryStream.h"

namespace Vel {

// Keeps archives open beyond a batch; see ReleaseHeldArchives.
class ArchiveHolder {
public:
    virtual ~ArchiveHolder() = default;
    // Lets every archive held go (their directories are written), and returns once done.
    virtual void ReleaseArchives() = 0;
};

class ZipManager {
public:
    // The archive at path, opened with mode (ZipOpenMode bits) or shared with the holders that
    // have it open already; only the addition of Writable has an effect on an open archive.
    static std::shared_ptr<Zip> GetZip(const std::string& path, unsigned mode);

    static void BeginBatch();
    static void EndBatch();

    // Ends a batch scope when it goes.
    class Batch {
    public:
        Batch() { BeginBatch(); }
        ~Batch() { EndBatch(); }
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;
    };

    // The stored bytes converted from one content format code to another; perFileValue keys the
    // RC4 cipher (the file's CRC-32). Decryption comes first and encryption last. An invalid
    // code, a compression kind other than raw deflate where one must act, and encryption kind 2
    // where the cipher must act throw Vel::Exception with an empty text, as do failures of the
    // codec (inflated output is bounded by the largest entry an archive holds).
    static std::shared_ptr<VelMemoryStream> ConvertContentFormat(const void* bytes, std::uint32_t length,
                                                                 int sourceCode, int targetCode,
                                                                 std::uint32_t perFileValue);

    // A holder stays registered until removed; RemoveHolder waits for a release running in it.
    static void AddHolder(ArchiveHolder* holder);
    static void RemoveHolder(ArchiveHolder* holder);
    // Every registered holder lets its archives go before this returns.
    static void ReleaseHeldArchives();

    // The key an archive is known by.
    static std::string ArchiveKey(std::string_view path);
    // Archives open in the process now (for tests and diagnostics).
    static std::size_t OpenArchiveCount();
};

}  // namespace Vel
