#pragma once
// Vel::BodyBufferPool: a small pool of owning VelMemoryStream blocks for downloaded file bodies,
// so that the download threads do not allocate (and the allocator does not fault in) a fresh
// block for every file.
//
// Contract:
// - Take(capacity) hands out an empty owning stream (size 0, position 0, good, no optional
//   flags) whose capacity is at least `capacity`: a kept block of the closest fitting size when
//   one fits without wasting more than the request itself (or kMinWasteAllowance), else a new
//   block of exactly `capacity` bytes. Its bytes are not cleared.
// - When the last holder of the shared stream lets it go, its block goes back to the pool when
//   the pool then holds at most maxBuffers blocks and maxBytes bytes of capacity; otherwise it
//   is freed. A stream that no longer owns a block, or has none, is simply deleted.
// - Streams may outlive the pool object: the kept blocks and their bounds live in a shared
//   state that the last stream or the pool, whichever goes last, frees.
// - Thread-safe: one mutex guards the kept blocks and the bounds. It is never held while a
//   block is allocated or freed, nor while a stream is constructed or destroyed (the list of
//   kept blocks is reserved when the bounds are set, so keeping one allocates nothing).

#include <cstddef>
#include <cstdint>
#include <memory>

#include "foundation/data/MemoryStream.h"

namespace Vel {

class BodyBufferPool {
public:
    static constexpr std::size_t kDefaultMaxBuffers = 24;
    static constexpr std::uint64_t kDefaultMaxBytes = 32ull * 1024 * 1024;
    // A kept block may be larger than asked for by up to the request, or by this much.
    static constexpr std::uint32_t kMinWasteAllowance = 64u * 1024;

    explicit BodyBufferPool(std::size_t maxBuffers = kDefaultMaxBuffers, std::uint64_t maxBytes = kDefaultMaxBytes);
    ~BodyBufferPool();
    BodyBufferPool(const BodyBufferPool&) = delete;
    BodyBufferPool& operator=(const BodyBufferPool&) = delete;

    std::shared_ptr<VelMemoryStream> Take(std::uint32_t capacity);

    // New bounds; blocks kept beyond them are freed at once.
    void SetLimits(std::size_t maxBuffers, std::uint64_t maxBytes);
    // Frees every kept block.
    void Clear();

    std::size_t GetKeptCount() const;
    std::uint64_t GetKeptBytes() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

// The process-wide pool of the content downloads.
BodyBufferPool& GetBodyBufferPool();

}  // namespace Vel
