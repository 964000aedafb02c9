#pragma once
// The small-block allocator behind the launcher's global operator new and delete (see
// foundation/runtime/SmallBlockOperators.cpp; the build switch TRAILSTARTER_SMALL_BLOCK_ALLOCATOR decides
// whether the launcher's executable uses it).
//
// Contract:
// - Every block starts with a 16-byte header (the requested size as 64 bits, then one word the
//   allocator keeps for itself); the pointer handed out is header + 16, so every pointer is
//   16-byte aligned. Requests of up to 496 bytes (header and all, at most 512 bytes) come from 32
//   size classes of 16-byte steps: class k holds blocks of 16 x (k + 1) bytes, and a request
//   goes to class (size + 15) / 16. A request of 0 bytes gets a distinct 16-byte block of class
//   0. Larger requests go to malloc.
// - Small blocks are carved 20 at a time from 512 KiB chunks taken from malloc; chunks and small
//   blocks are never given back. A freed small block goes onto its class's free list, and the
//   next request of that class on any thread takes the block freed last (LIFO).
// - TaggedAllocAligned serves alignments above 16 from posix_memalign with the header just
//   before the aligned pointer; TaggedFree frees every kind of block, so the sized and aligned
//   forms of operator delete all end in it.
// - Failure is fatal, never a null return or an exception: a size whose header would overflow,
//   an alignment that is not a power of two, or memory that cannot be had ends the process
//   through Vel::FatalError with the text "<category> <requested size> <total chunk bytes>",
//   formatted in a static buffer. So does a pointer to free whose header is not on a 16-byte
//   boundary, or a free-list link that is not (a block written after it was freed).
// - Threads: every function may be called from any thread at any time, before main and after
//   it. No lock: each free list is a lock-free stack whose head packs a 21-bit change count with
//   the block address (addresses below 2^47, as Linux gives user space by default; a chunk
//   above that is a failure), so a pop fails only when its thread saw the same head
//   2,097,152 changes earlier. The chunk count and the chunk byte total are atomic.
// - The category is not kept; it appears only in the failure report.

#include <cstddef>
#include <cstdint>

// The category of every allocation made through the global operator new.
inline constexpr unsigned kGlobalNewCategory = 30;

void* TaggedAlloc(unsigned category, std::size_t size) noexcept;
void* TaggedAllocAligned(unsigned category, std::size_t size, std::size_t alignment) noexcept;
// A null p does nothing.
void TaggedFree(unsigned category, void* p) noexcept;

// Bytes of all chunks taken so far (524,288 per chunk).
std::uint64_t SmallBlockChunkBytes() noexcept;
