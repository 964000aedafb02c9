#pragma once
// RandomGenerator: the 48-bit linear congruential generator
// state := (0x5DEECE66D * state + 11) mod 2^48, with a jump table of 256 entries for k steps.
//
// Contract:
// - One process-wide instance (GetRandomGenerator), seeded before main from the time-stamp
//   counter, the milliseconds since boot and the calendar time. Further instances with a given
//   state serve tests.
// - Draws are lock-free and atomic (a compare-and-swap on the state), so any thread may draw
//   without tearing the state; concurrent callers get distinct draws.
// - Not for anything secret: router request words and list shuffles only.

#include <atomic>
#include <cstdint>
#include <functional>

class RandomGenerator {
public:
    explicit RandomGenerator(std::uint64_t state48);

    // In [0, 1): the 48 state bits as the top of a double's fraction.
    double NextDouble();
    // NextDouble * 4294967295.0, truncated.
    std::uint32_t NextUInt32();
    // A function giving NextUInt32() % n, for shuffles.
    std::function<std::uint32_t(std::uint32_t)> MakeIndexGenerator();

    std::uint64_t GetState() const noexcept { return state_.load(std::memory_order_relaxed); }
    void SetState(std::uint64_t state48) noexcept;

    static constexpr std::uint64_t kMultiplier = 0x5DEECE66DULL;
    static constexpr std::uint64_t kIncrement = 11;
    static constexpr std::uint64_t kMask = (1ULL << 48) - 1;

    struct Jump {
        std::uint64_t multiplier;
        std::uint64_t increment;
    };
    // Entry k makes k steps at once; entry 0 is (1, 0).
    static const Jump& JumpEntry(unsigned k);

private:
    std::atomic<std::uint64_t> state_;
};

// Builds the jump table; the start-up calls it once, and the table also builds itself on
// first use. Idempotent and thread-safe.
void InitRandomTables();

RandomGenerator& GetRandomGenerator();
