// ctest: threading
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "delivery/net/BodyBufferPool.h"

using Vel::BodyBufferPool;

TEST(BodyBufferPool, AReleasedBlockIsTakenAgainByTheClosestFittingRequest) {
    BodyBufferPool pool(4, 8u << 20);
    auto small = pool.Take(1000);
    auto middle = pool.Take(5000);
    auto large = pool.Take(1u << 20);
    EXPECT_EQ(small->GetCapacity(), 1000u);
    const auto* smallBlock = small->GetData();
    const auto* middleBlock = middle->GetData();
    const auto* largeBlock = large->GetData();
    small.reset();
    middle.reset();
    large.reset();
    EXPECT_EQ(pool.GetKeptCount(), 3u);
    EXPECT_EQ(pool.GetKeptBytes(), 1000u + 5000u + (1u << 20));

    struct Case {
        std::uint32_t want;
        const std::uint8_t* block;  // null: a new block
    };
    // Each taken block stays out, so later rows see the pool without it.
    const Case cases[] = {
        {900, smallBlock},    // the smallest that fits
        {900, middleBlock},   // the next, still within the allowance
        {8u << 10, nullptr},  // only the 1 MiB block is left: far too large for 8 KiB
        {600u << 10, largeBlock},
        {100, nullptr},  // nothing left
    };
    std::vector<std::shared_ptr<VelMemoryStream>> held;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.want);
        held.push_back(pool.Take(c.want));
        EXPECT_GE(held.back()->GetCapacity(), c.want);
        if (c.block)
            EXPECT_EQ(held.back()->GetData(), c.block);
        else
            EXPECT_EQ(held.back()->GetCapacity(), c.want) << "a new block of just the size asked for";
    }
    EXPECT_EQ(pool.GetKeptCount(), 0u);
    EXPECT_EQ(pool.GetKeptBytes(), 0u);
}

TEST(BodyBufferPool, AKeptBlockComesBackAsAnEmptyGoodStream) {
    BodyBufferPool pool(2, 1u << 20);
    auto stream = pool.Take(64);
    stream->Write("some bytes", 10);
    stream->SetFlags(VelMemoryStream::kLimitElementCounts);
    stream->Seek(100);  // fails the stream
    ASSERT_FALSE(stream->IsGood());
    stream.reset();

    stream = pool.Take(64);
    EXPECT_EQ(stream->GetSize(), 0u);
    EXPECT_EQ(stream->GetPosition(), 0u);
    EXPECT_TRUE(stream->IsGood());
    EXPECT_FALSE(stream->HasFlags(VelMemoryStream::kLimitElementCounts | VelMemoryStream::kThrowOnFailure));
    EXPECT_TRUE(stream->HasFlags(VelMemoryStream::kOwnsBlock));
    stream->Write("0123456789", 10);
    EXPECT_EQ(stream->GetSize(), 10u);
}

TEST(BodyBufferPool, ThePoolKeepsNoMoreThanItsCountAndItsBytes) {
    {
        BodyBufferPool pool(2, 1u << 20);
        std::vector<std::shared_ptr<VelMemoryStream>> held;
        for (int i = 0; i < 3; ++i) held.push_back(pool.Take(1000));
        held.clear();
        EXPECT_EQ(pool.GetKeptCount(), 2u);
        EXPECT_EQ(pool.GetKeptBytes(), 2000u);
    }
    {
        BodyBufferPool pool(8, 2500);
        std::vector<std::shared_ptr<VelMemoryStream>> held;
        for (int i = 0; i < 3; ++i) held.push_back(pool.Take(1000));
        held.push_back(pool.Take(4000));  // larger than the whole budget
        held.clear();
        EXPECT_EQ(pool.GetKeptCount(), 2u);
        EXPECT_EQ(pool.GetKeptBytes(), 2000u);

        pool.SetLimits(1, 2500);
        EXPECT_EQ(pool.GetKeptCount(), 1u) << "tighter bounds free the blocks beyond them";
        pool.SetLimits(8, 500);
        EXPECT_EQ(pool.GetKeptCount(), 0u);
        pool.SetLimits(8, 1u << 20);
        pool.Take(10).reset();
        pool.Take(0).reset();  // no block: nothing to keep
        EXPECT_EQ(pool.GetKeptCount(), 1u);
        pool.Clear();
        EXPECT_EQ(pool.GetKeptCount(), 0u);
        EXPECT_EQ(pool.GetKeptBytes(), 0u);
    }
}

TEST(BodyBufferPool, AStreamMayOutliveItsPool) {
    std::shared_ptr<VelMemoryStream> stream;
    {
        BodyBufferPool pool(2, 1u << 20);
        stream = pool.Take(100);
        pool.Take(100).reset();
    }
    stream->Write("x", 1);
    stream.reset();  // the sanitizers see any use after free or leak
}

TEST(BodyBufferPool, ThreadsTakingAndReleasingStayWithinTheBounds) {
    BodyBufferPool pool(4, 64u << 10);
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&pool, t] {
            for (int i = 0; i < 300; ++i) {
                const auto size = static_cast<std::uint32_t>(1000 + 1000 * ((t + i) % 5));
                auto a = pool.Take(size);
                a->Write(&i, sizeof i);
                auto b = pool.Take(size / 2 + 1);
                b->Write(&t, sizeof t);
                if (i % 50 == 0) pool.SetLimits(static_cast<std::size_t>(2 + i % 3), 64u << 10);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    pool.SetLimits(4, 64u << 10);
    EXPECT_LE(pool.GetKeptCount(), 4u);
    EXPECT_LE(pool.GetKeptBytes(), 64u << 10);
    EXPECT_GT(pool.GetKeptCount(), 0u);
}
