// ctest: threading
// The allocator's functions are called directly: the sanitizer builds keep their own global
// operator new, and the blocks of the size classes are memory the sanitizers do not watch, so
// every block is filled with a stamp and checked before it is freed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "foundation/core/FatalError.h"
#include "foundation/runtime/SmallBlockAllocator.h"
#include "tests/support/WaitFor.h"

namespace {

constexpr unsigned kCategory = 7;

struct Block {
    char* p;
    std::size_t size;
    std::uint8_t stamp;
};

Block Alloc(std::size_t size, std::uint8_t stamp) {
    auto* p = static_cast<char*>(TaggedAlloc(kCategory, size));
    std::memset(p, stamp, size);
    return {p, size, stamp};
}

// The number of bytes that no longer hold the block's stamp.
std::size_t Damage(const Block& b) {
    return static_cast<std::size_t>(std::count_if(b.p, b.p + b.size, [&](char c) {
        return static_cast<std::uint8_t>(c) != b.stamp;
    }));
}

bool Aligned(const void* p, std::size_t to) { return reinterpret_cast<std::uintptr_t>(p) % to == 0; }

TEST(SmallBlockAllocator, EverySizeUpTo600IsAlignedAndApart) {
    // Twice: from fresh chunks, then from the blocks the first round freed.
    for (int round = 0; round < 2; ++round) {
        std::vector<Block> live;
        for (std::size_t size = 0; size <= 600; ++size) {
            live.push_back(Alloc(size, static_cast<std::uint8_t>(size * 7 + round)));
            EXPECT_TRUE(Aligned(live.back().p, 16)) << "size " << size;
        }
        for (const Block& b : live) EXPECT_EQ(Damage(b), 0u) << "size " << b.size;
        std::vector<char*> starts;
        for (const Block& b : live) starts.push_back(b.p);
        std::sort(starts.begin(), starts.end());
        EXPECT_EQ(std::adjacent_find(starts.begin(), starts.end()), starts.end()) << "a block was handed out twice";
        std::shuffle(live.begin(), live.end(), std::mt19937(round));
        for (const Block& b : live) TaggedFree(kCategory, b.p);
    }
}

TEST(SmallBlockAllocator, ClassesOf16ByteStepsEndAt496Bytes) {
    struct Case {
        std::size_t freed, next;
        bool sameBlock;  // the next request gets the block just freed: same class
    } const cases[] = {
        {0, 0, true},   {0, 1, false},    {1, 16, true},    {16, 17, false},  {465, 480, true},
        {480, 481, false}, {481, 496, true}, {496, 497, false}, {497, 481, false},
    };
    for (const Case& c : cases) {
        void* freed = TaggedAlloc(kCategory, c.freed);
        TaggedFree(kCategory, freed);
        void* next = TaggedAlloc(kCategory, c.next);
        EXPECT_EQ(next == freed, c.sameBlock) << c.freed << " then " << c.next;
        TaggedFree(kCategory, next);
    }
}

TEST(SmallBlockAllocator, FreedBlocksComeBackLastFirst) {
    void* a = TaggedAlloc(kCategory, 40);
    void* b = TaggedAlloc(kCategory, 40);
    void* c = TaggedAlloc(kCategory, 40);
    TaggedFree(kCategory, nullptr);
    TaggedFree(kCategory, a);
    TaggedFree(kCategory, b);
    TaggedFree(kCategory, c);
    EXPECT_EQ(TaggedAlloc(kCategory, 40), c);
    EXPECT_EQ(TaggedAlloc(kCategory, 40), b);
    EXPECT_EQ(TaggedAlloc(kCategory, 40), a);
    for (void* p : {a, b, c}) TaggedFree(kCategory, p);
}

TEST(SmallBlockAllocator, ChunksAreCountedWhole) {
    const std::uint64_t before = SmallBlockChunkBytes();
    // 1,100 blocks of 512 bytes outgrow a chunk of 512 KiB.
    std::vector<void*> blocks;
    for (int k = 0; k < 1100; ++k) blocks.push_back(TaggedAlloc(kCategory, 496));
    const std::uint64_t after = SmallBlockChunkBytes();
    EXPECT_GT(after, before);
    EXPECT_EQ(after % (512 * 1024), 0u);
    for (void* p : blocks) TaggedFree(kCategory, p);
}

TEST(SmallBlockAllocator, AlignedFormsKeepTheirAlignmentAndFreeWhole) {
    // Over-aligned blocks are malloc'd: the sanitizer sees a write past the end or a free of the
    // wrong address.
    for (std::size_t alignment : {std::size_t{8}, std::size_t{16}, std::size_t{32}, std::size_t{64}, std::size_t{4096}}) {
        for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{496}, std::size_t{600}}) {
            auto* p = static_cast<char*>(TaggedAllocAligned(kCategory, size, alignment));
            EXPECT_TRUE(Aligned(p, std::max<std::size_t>(alignment, 16))) << alignment << "/" << size;
            std::memset(p, 0x5a, size);
            TaggedFree(kCategory, p);
        }
    }
    // A small over-aligned block does not turn into a class block when freed.
    void* over = TaggedAllocAligned(kCategory, 8, 64);
    TaggedFree(kCategory, over);
    void* small = TaggedAlloc(kCategory, 8);
    EXPECT_NE(small, over);
    TaggedFree(kCategory, small);
}

TEST(SmallBlockAllocatorDeathTest, FailuresAreFatalWithTheirReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();
    const std::string max = std::to_string(kMax);
    const std::string half = std::to_string(kMax / 2);
    const std::string first = std::to_string(kMax - 15);
    EXPECT_EXIT(TaggedAlloc(kCategory, kMax), ::testing::ExitedWithCode(Vel::kFatalExitCode),
                "CrashInfo=7 " + max + " [0-9]+\r\n");
    EXPECT_EXIT(TaggedAlloc(kCategory, kMax - 15), ::testing::ExitedWithCode(Vel::kFatalExitCode),
                "CrashInfo=7 " + first + " [0-9]+\r\n");
    EXPECT_EXIT(TaggedAllocAligned(kCategory, kMax / 2, 64), ::testing::ExitedWithCode(Vel::kFatalExitCode),
                "CrashInfo=7 " + half + " [0-9]+\r\n");
    EXPECT_EXIT(TaggedAllocAligned(kCategory, 8, 48), ::testing::ExitedWithCode(Vel::kFatalExitCode),
                "CrashInfo=7 8 [0-9]+\r\n");
    EXPECT_EXIT(TaggedFree(kCategory, static_cast<char*>(TaggedAlloc(kCategory, 32)) + 8),
                ::testing::ExitedWithCode(Vel::kFatalExitCode), "CrashInfo=small block not on a 16-byte boundary");
}

TEST(SmallBlockAllocator, ThreadsShareTheListsWithoutHandingABlockOutTwice) {
    // Eight threads allocate, check and free a mix of sizes; a third of the blocks are freed by
    // another thread, through a shared pile. A block handed to two owners at once loses a stamp.
    constexpr int kThreads = 8;
    constexpr int kSteps = 20000;
    struct Shared {  // held by the threads too, should one outlive a failed join
        std::mutex pileLock;
        std::vector<Block> pile;
        std::vector<std::size_t> damage = std::vector<std::size_t>(kThreads, 0);
    };
    const auto shared = std::make_shared<Shared>();
    {
        std::vector<TestSupport::BoundedThread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([shared, t] {
                std::mt19937 rng(t);
                std::vector<Block> own;
                auto release = [&](const Block& b) {
                    shared->damage[t] += Damage(b);
                    TaggedFree(kCategory, b.p);
                };
                for (int step = 0; step < kSteps; ++step) {
                    const unsigned r = rng() % 8;
                    if (r < 4 || own.empty()) {
                        const std::size_t size = rng() % 4 == 0 ? rng() % 601 : rng() % 97;
                        own.push_back(Alloc(size, static_cast<std::uint8_t>(rng())));
                    } else if (r < 6) {
                        const std::size_t k = rng() % own.size();
                        release(own[k]);
                        own[k] = own.back();
                        own.pop_back();
                    } else {
                        std::lock_guard lock(shared->pileLock);
                        if (r == 6 || shared->pile.empty()) {
                            shared->pile.push_back(own.back());
                            own.pop_back();
                        } else {
                            const Block b = shared->pile.back();
                            shared->pile.pop_back();
                            release(b);
                        }
                    }
                }
                for (const Block& b : own) release(b);
            });
        }
        for (auto& thread : threads) ASSERT_TRUE(thread.Join(std::chrono::seconds(120)));
    }
    for (const Block& b : shared->pile) {
        shared->damage[0] += Damage(b);
        TaggedFree(kCategory, b.p);
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(shared->damage[t], 0u) << "thread " << t;
}

TEST(SmallBlockAllocator, ThreadsHammeringOneClassNeverShareABlock) {
    // A few blocks of one class taken and given back by every thread as fast as they can: the
    // interleaving where a stale head would hand one block to two threads.
    constexpr int kThreads = 8;
    constexpr int kSteps = 50000;
    const auto damage = std::make_shared<std::vector<std::size_t>>(kThreads, 0);
    {
        std::vector<TestSupport::BoundedThread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([damage, t] {
                for (int step = 0; step < kSteps; ++step) {
                    const Block a = Alloc(24, static_cast<std::uint8_t>(t));
                    const Block b = Alloc(24, static_cast<std::uint8_t>(t + 100));
                    (*damage)[t] += Damage(a) + Damage(b);
                    TaggedFree(kCategory, a.p);
                    TaggedFree(kCategory, b.p);
                }
            });
        }
        for (auto& thread : threads) ASSERT_TRUE(thread.Join(std::chrono::seconds(120)));
    }
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ((*damage)[t], 0u) << "thread " << t;
}

}  // namespace
