#include "foundation/runtime/SmallBlockAllocator.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cstdlib>
#include <limits>
#include <new>
#include <string_view>

#include "foundation/core/FatalError.h"

namespace {

constexpr std::size_t kHeaderBytes = 16;
constexpr std::size_t kClassStep = 16;
constexpr unsigned kClassCount = 32;
constexpr std::size_t kLargestSmallBlock = kClassCount * kClassStep;           // 512
constexpr std::size_t kLargestSmallSize = kLargestSmallBlock - kHeaderBytes;  // 496
constexpr std::size_t kRefillBlocks = 20;
constexpr std::size_t kChunkBytes = 512 * 1024;
// The header's size word of a block from TaggedAllocAligned: its top bit set, so that it always
// takes the large road in TaggedFree.
constexpr std::uint64_t kOverAligned = std::uint64_t{1} << 63;

// A block header: word 0 the requested size, word 1 the allocator's word. On a free list word 1
// is the link; on a large block it is the distance from the malloc'd start to the header plus
// 16. The link word of any block or span may be read by a thread whose pop is about to fail,
// so it is only ever accessed atomically; word 0 and the user bytes are not touched by a pop.
std::uint64_t& SizeWord(char* header) noexcept { return *reinterpret_cast<std::uint64_t*>(header); }
std::atomic_ref<std::uint64_t> LinkWord(char* header) noexcept {
    return std::atomic_ref<std::uint64_t>(*reinterpret_cast<std::uint64_t*>(header + 8));
}

[[noreturn]] void ReportFailure(unsigned category, std::size_t size) noexcept;
[[noreturn]] void ReportMisaligned() noexcept { Vel::FatalError("small block not on a 16-byte boundary"); }

// A lock-free stack of blocks (or remainder spans) linked through their link word. The head
// packs the address divided by 16 (43 bits) with a count of changes (21 bits).
class alignas(64) BlockStack {
public:
    static constexpr unsigned kAddressBits = 47;
    static constexpr std::uintptr_t kAddressLimit = std::uintptr_t{1} << kAddressBits;

    void Push(char* node) noexcept { PushChain(node, node); }

    // Pushes first..last, already linked from first to last through their link words.
    void PushChain(char* first, char* last) noexcept {
        if (!Fits(first)) ReportMisaligned();
        std::uint64_t old = head_.load(std::memory_order_relaxed);
        for (;;) {
            LinkWord(last).store(reinterpret_cast<std::uintptr_t>(Address(old)), std::memory_order_relaxed);
            if (head_.compare_exchange_weak(old, Pack(first, old), std::memory_order_release,
                                            std::memory_order_relaxed))
                return;
        }
    }

    char* Pop() noexcept {
        std::uint64_t old = head_.load(std::memory_order_acquire);
        for (;;) {
            char* node = Address(old);
            if (node == nullptr) return nullptr;
            char* next = reinterpret_cast<char*>(LinkWord(node).load(std::memory_order_relaxed));
            if (head_.compare_exchange_weak(old, Pack(next, old), std::memory_order_acquire,
                                            std::memory_order_acquire)) {
                // Checked once the pop holds: a link that a failing pop read may be stale.
                if (!Fits(next)) ReportMisaligned();
                return node;
            }
        }
    }

    static bool Fits(const char* p) noexcept {
        const auto a = reinterpret_cast<std::uintptr_t>(p);
        return a % kClassStep == 0 && a < kAddressLimit;
    }

private:
    static constexpr std::uint64_t kIndexMask = (std::uint64_t{1} << (kAddressBits - 4)) - 1;

    static char* Address(std::uint64_t head) noexcept {
        return reinterpret_cast<char*>(static_cast<std::uintptr_t>((head & kIndexMask) << 4));
    }
    // The new head for p, counting one change on from the old head. A p that does not fit is
    // masked here and reported by the caller once its compare-exchange has succeeded.
    static std::uint64_t Pack(const char* p, std::uint64_t old) noexcept {
        const std::uint64_t changes = (old >> (kAddressBits - 4)) + 1;
        return (changes << (kAddressBits - 4)) | ((reinterpret_cast<std::uintptr_t>(p) >> 4) & kIndexMask);
    }

    std::atomic<std::uint64_t> head_{0};
};

// The start of a chunk; block space follows it up to `end`.
struct alignas(16) ChunkHeader {
    ChunkHeader* next;
    char* end;
    std::atomic<std::uint64_t> carved;  // blocks carved while this was the current chunk
};
constexpr std::size_t kChunkHeaderBytes = (sizeof(ChunkHeader) + 15) / 16 * 16;

// All state is constant-initialised, so the first allocation needs no set-up and may come from
// any thread, even before main.
BlockStack g_classes[kClassCount];
BlockStack g_spans;  // remainder spans: word 0 their end, word 1 the link
// Every chunk, newest (the current chunk) first; a plain pointer, so leak checkers see chunks.
std::atomic<ChunkHeader*> g_chunks{nullptr};
std::atomic<std::uint64_t> g_chunkBytes{0};

char*& SpanEnd(char* span) noexcept { return *reinterpret_cast<char**>(span); }

void PushSpan(char* start, char* end) noexcept {
    SpanEnd(start) = end;
    g_spans.Push(start);
}

// A new chunk whose block space after the first `take` bytes becomes a remainder span; returns
// the start of the block space, or null when malloc fails.
char* TakeChunk(std::size_t take) noexcept {
    void* raw = std::aligned_alloc(16, kChunkBytes);
    if (raw == nullptr) return nullptr;
    char* space = static_cast<char*>(raw) + kChunkHeaderBytes;
    char* end = static_cast<char*>(raw) + kChunkBytes;
    if (!BlockStack::Fits(end - kClassStep)) {
        std::free(raw);
        return nullptr;
    }
    auto* chunk = new (raw) ChunkHeader{nullptr, end, {0}};
    ChunkHeader* head = g_chunks.load(std::memory_order_relaxed);
    do chunk->next = head;
    while (!g_chunks.compare_exchange_weak(head, chunk, std::memory_order_release, std::memory_order_relaxed));
    g_chunkBytes.fetch_add(kChunkBytes, std::memory_order_relaxed);
    if (end - (space + take) > static_cast<std::ptrdiff_t>(kClassStep)) PushSpan(space + take, end);
    return space;
}

// Up to n blocks of b bytes, one after another; n becomes the number carved. Null when a new
// chunk was needed and could not be had.
char* Carve(std::size_t& n, std::size_t b) noexcept {
    if (char* span = g_spans.Pop()) {
        char* end = SpanEnd(span);
        const auto room = static_cast<std::size_t>(end - span);
        if (room >= b) {
            n = std::min(n, room / b);
            char* rest = span + n * b;
            if (end - rest > static_cast<std::ptrdiff_t>(kClassStep)) PushSpan(rest, end);
            return span;
        }
        // Too small for this class: dropped.
    }
    return TakeChunk(n * b);
}

// Carves a batch for class k, keeps the first block for the caller and pushes the others.
char* Refill(unsigned k) noexcept {
    const std::size_t b = kClassStep * (k + 1);
    std::size_t n = kRefillBlocks;
    char* first = Carve(n, b);
    if (first == nullptr) return nullptr;
    if (n > 1) {
        for (std::size_t i = 1; i + 1 < n; ++i)
            LinkWord(first + i * b).store(reinterpret_cast<std::uintptr_t>(first + (i + 1) * b), std::memory_order_relaxed);
        g_classes[k].PushChain(first + b, first + (n - 1) * b);
    }
    if (ChunkHeader* current = g_chunks.load(std::memory_order_acquire))
        current->carved.fetch_add(n, std::memory_order_relaxed);
    return first;
}

char* Finish(char* header, std::uint64_t sizeWord) noexcept {
    SizeWord(header) = sizeWord;
    return header + kHeaderBytes;
}

void ReportFailure(unsigned category, std::size_t size) noexcept {
    // Formatted without allocating: this runs when memory is out. A failure while reporting
    // (the crash handler's first set-up allocates) ends the process at once; a second thread
    // that fails meanwhile waits for the first to end it.
    static char text[3 * 21];
    static std::atomic<bool> reporting{false};
    static thread_local bool reportingHere = false;
    if (reportingHere) ::_exit(Vel::kFatalExitCode);
    reportingHere = true;
    if (reporting.exchange(true))
        for (;;) ::pause();
    std::size_t length = 0;
    auto put = [&](std::uint64_t number, bool last) {
        // Each number has room for its 20 digits and a blank.
        char* end = std::to_chars(text + length, text + length + 20, number).ptr;
        length = static_cast<std::size_t>(end - text);
        if (!last) text[length++] = ' ';
    };
    put(category, false);
    put(size, false);
    put(g_chunkBytes.load(std::memory_order_relaxed), true);
    Vel::FatalError(std::string_view(text, length));
}

}  // namespace

void* TaggedAlloc(unsigned category, std::size_t size) noexcept {
    if (size <= kLargestSmallSize) {
        const auto k = static_cast<unsigned>((size + kClassStep - 1) / kClassStep);
        char* header = g_classes[k].Pop();
        if (header == nullptr) header = Refill(k);
        if (header == nullptr) ReportFailure(category, size);
        return Finish(header, size);
    }
    if (size > std::numeric_limits<std::size_t>::max() - kHeaderBytes) ReportFailure(category, size);
    // glibc's malloc hands out 16-byte aligned memory, so the header needs no moving.
    auto* header = static_cast<char*>(std::malloc(size + kHeaderBytes));
    if (header == nullptr) ReportFailure(category, size);
    LinkWord(header).store(kHeaderBytes, std::memory_order_relaxed);
    return Finish(header, size);
}

void* TaggedAllocAligned(unsigned category, std::size_t size, std::size_t alignment) noexcept {
    if (alignment <= kHeaderBytes) {
        if (alignment == 0 || (alignment & (alignment - 1)) != 0) ReportFailure(category, size);
        return TaggedAlloc(category, size);
    }
    if ((alignment & (alignment - 1)) != 0 || size >= kOverAligned - alignment) ReportFailure(category, size);
    // The header sits in the last 16 bytes of the first alignment step.
    void* raw = nullptr;
    if (::posix_memalign(&raw, alignment, alignment + size) != 0) ReportFailure(category, size);
    char* header = static_cast<char*>(raw) + alignment - kHeaderBytes;
    LinkWord(header).store(alignment, std::memory_order_relaxed);
    return Finish(header, kOverAligned | size);
}

void TaggedFree(unsigned /*category*/, void* p) noexcept {
    if (p == nullptr) return;
    char* header = static_cast<char*>(p) - kHeaderBytes;
    if (reinterpret_cast<std::uintptr_t>(header) % kClassStep != 0) ReportMisaligned();
    const std::uint64_t size = SizeWord(header);
    if (size <= kLargestSmallSize) {
        g_classes[(size + kClassStep - 1) / kClassStep].Push(header);
        return;
    }
    std::free(static_cast<char*>(p) - LinkWord(header).load(std::memory_order_relaxed));
}

std::uint64_t SmallBlockChunkBytes() noexcept { return g_chunkBytes.load(std::memory_order_relaxed); }
