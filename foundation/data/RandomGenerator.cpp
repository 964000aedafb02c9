#include "foundation/data/RandomGenerator.h"

#include <array>
#include <bit>
#include <chrono>
#include <ctime>
#include <mutex>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace {

std::array<RandomGenerator::Jump, 256> g_jumps;
std::once_flag g_jumpsBuilt;

void BuildJumps() {
    std::uint64_t multiplier = 1;
    std::uint64_t increment = 0;
    for (auto& entry : g_jumps) {
        entry = {multiplier, increment};
        // One more step: x -> a*x + c applied after (m*x + i) gives (a*m)*x + (a*i + c).
        increment = RandomGenerator::kMultiplier * increment + RandomGenerator::kIncrement;
        multiplier *= RandomGenerator::kMultiplier;
    }
}

std::uint64_t StartSeed() {
    std::uint64_t counter;
#if defined(__x86_64__) || defined(__i386__)
    counter = __rdtsc();
#else
    counter = static_cast<std::uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count());
#endif
    const auto sinceBoot = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now().time_since_epoch())
                               .count();
    const auto seconds = static_cast<std::uint64_t>(std::time(nullptr));
    return (counter & 0xFFFF) | ((static_cast<std::uint64_t>(sinceBoot) & 0xFFFF) << 16) | ((seconds & 0xFFFF) << 32);
}

}  // namespace

void InitRandomTables() { std::call_once(g_jumpsBuilt, BuildJumps); }

const RandomGenerator::Jump& RandomGenerator::JumpEntry(unsigned k) {
    InitRandomTables();
    return g_jumps[k & 0xFF];
}

RandomGenerator::RandomGenerator(std::uint64_t state48) : state_(state48 & kMask) {}

void RandomGenerator::SetState(std::uint64_t state48) noexcept { state_.store(state48 & kMask, std::memory_order_relaxed); }

double RandomGenerator::NextDouble() {
    const Jump& step = JumpEntry(1);
    std::uint64_t old = state_.load(std::memory_order_relaxed);
    std::uint64_t next;
    do {
        next = (step.multiplier * old + step.increment) & kMask;
    } while (!state_.compare_exchange_weak(old, next, std::memory_order_relaxed));
    const std::uint64_t bits = (std::uint64_t{1023} << 52) | (next << 4);
    return std::bit_cast<double>(bits) - 1.0;
}

std::uint32_t RandomGenerator::NextUInt32() { return static_cast<std::uint32_t>(NextDouble() * 4294967295.0); }

std::function<std::uint32_t(std::uint32_t)> RandomGenerator::MakeIndexGenerator() {
    return [this](std::uint32_t n) { return n == 0 ? 0 : NextUInt32() % n; };
}

RandomGenerator& GetRandomGenerator() {
    static RandomGenerator generator(StartSeed());
    return generator;
}

namespace {
// Seed before main, as the rest of the program expects a ready generator.
[[maybe_unused]] const bool g_seeded = (GetRandomGenerator(), true);
}  // namespace
