// ctest: threading
// Download progress: clamping, the speed samples on a fake clock, a stall past the sampling
// window, the take-back that used to wrap, rate saturation, time left and the size texts.

#include "delivery/jobs/DownloadProgress.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <limits>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Vel::DownloadProgress;
using Vel::FakeClock;

TEST(DownloadProgressTest, DoneIsClampedToTotal) {
    FakeClock clock;
    DownloadProgress p(clock);
    p.AddDone(5);
    EXPECT_EQ(p.GetDone(), 0u);
    EXPECT_EQ(p.GetPercent(), 0.0f);

    p.SetTotal(1024);
    p.AddDone(1000);
    p.AddDone(std::numeric_limits<std::uint64_t>::max());  // no overflow past the clamp
    EXPECT_EQ(p.GetDone(), 1024u);
    EXPECT_EQ(p.GetSizeText(), "1.0 kB / 1.0 kB");
    EXPECT_FLOAT_EQ(p.GetPercent(), 100.0f);

    p.SetDone(256);  // lower at once
    EXPECT_EQ(p.GetDone(), 256u);
    EXPECT_FLOAT_EQ(p.GetPercent(), 25.0f);
    p.SetDone(512);
    EXPECT_EQ(p.GetDone(), 512u);
    p.AddTotal(1024);
    EXPECT_EQ(p.GetTotal(), 2048u);
}

TEST(DownloadProgressTest, SamplingTable) {
    FakeClock clock;
    DownloadProgress p(clock);
    p.SetTotal(1000000);
    struct Step {
        std::chrono::milliseconds advance;
        std::uint64_t add;
        const char* rate;  // after the call
    } steps[] = {
        {100ms, 10, "0 B/s"},     // within 300 ms: no sample, units kept for the next one
        {200ms, 20, "0 B/s"},     // exactly 300 ms: still none
        {1ms, 30, "199 B/s"},     // 60 units over 301 ms
        {500ms, 0, "199 B/s"},    // a zero sample does not lower the mean
        {1000ms, 100, "149 B/s"}  // mean of 199.34 and 100, truncated
    };
    for (const auto& s : steps) {
        clock.Advance(s.advance);
        p.AddDone(s.add);
        EXPECT_EQ(p.GetRateText(), s.rate) << s.advance.count() << " " << s.add;
    }
}

// Rate and time left while the units stop: within the window the last mean stands (a short
// stall), past it both show 0 however much the ring holds; the first units afterwards measure
// afresh, not mixed with the rate from before the stall.
TEST(DownloadProgressTest, StallLongerThanTheWindowShowsNoRate) {
    constexpr auto kWindow = DownloadProgress::kSampleWindow;
    static_assert(kWindow == 6000ms);
    struct Step {
        const char* what;
        std::chrono::milliseconds advance;
        std::uint64_t add;
        const char* rate;       // shown after the step
        std::uint32_t secondsLeft;
    };
    // 10,000 units a second, a stall, then 4,000 and 2,000 a second; 1,000,000 units in all.
    const Step steps[] = {
        {"arriving", 1000ms, 10000, "9.8 kB/s", 99},
        {"arriving", 1000ms, 10000, "9.8 kB/s", 98},
        {"just under the window (a zero sample)", kWindow, 0, "9.8 kB/s", 98},
        {"just over the window", 1ms, 0, "0 B/s", 0},
        {"long after", 10000ms, 0, "0 B/s", 0},
        {"resuming: no sample yet", 0ms, 1000, "0 B/s", 0},
        {"resuming: the new rate alone", 500ms, 1000, "3.9 kB/s", 244},
        {"arriving", 1000ms, 2000, "2.9 kB/s", 325},
    };
    FakeClock clock;
    DownloadProgress p(clock);
    p.SetTotal(1000000);
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        clock.Advance(s.advance);
        p.AddDone(s.add);
        EXPECT_EQ(p.GetRateText(), s.rate);
        EXPECT_EQ(p.GetSecondsLeft(), s.secondsLeft);
        EXPECT_EQ(p.GetTimeLeft() == VelDuration(), s.secondsLeft == 0);
    }
}

// The download queue takes back what the archives do not hold while a write failure's question
// waits and gives it back after Retry, mostly after a stall past the window (the player frees
// room first): those units arrived long before, so rate and time left are those of the same
// arrivals without the take-back.
TEST(DownloadProgressTest, UnitsGivenBackAfterATakeBackCountToNoRate) {
    FakeClock clock;
    DownloadProgress p(clock), same(clock);
    const auto arrive = [&](std::uint64_t units) {
        clock.Advance(1s);
        p.AddDone(units);
        same.AddDone(units);
    };
    p.SetTotal(10000000);
    same.SetTotal(10000000);
    for (int i = 0; i < 5; ++i) arrive(10000);
    p.SubtractDone(40000);
    clock.Advance(10s);  // the question, answered past the window
    p.RestoreDone(40000);
    EXPECT_EQ(p.GetDone(), same.GetDone());
    for (int i = 0; i < 2; ++i) {
        arrive(10000);
        EXPECT_EQ(p.GetRateText(), same.GetRateText());
        EXPECT_EQ(p.GetSecondsLeft(), same.GetSecondsLeft());
    }
}

TEST(DownloadProgressTest, RingOfTwentyOverwritesTheOldestSample) {
    FakeClock clock;
    DownloadProgress p(clock);
    p.SetTotal(100000000);
    clock.Advance(1s);
    p.AddDone(20000);  // first sample, 20000/s
    for (int i = 0; i < 19; ++i) {
        clock.Advance(1s);
        p.AddDone(1000);
    }
    EXPECT_EQ(p.GetRateText(), "1.9 kB/s");  // (20000 + 19 x 1000) / 20 = 1950
    clock.Advance(1s);
    p.AddDone(1000);  // the 21st replaces the first
    EXPECT_EQ(p.GetRateText(), "1000 B/s");
}

TEST(DownloadProgressTest, TakeBackNeverWrapsAndRestartsTheBase) {
    FakeClock clock;
    DownloadProgress p(clock);
    p.SetTotal(100000);
    clock.Advance(1s);
    p.AddDone(5000);
    EXPECT_EQ(p.GetRateText(), "4.9 kB/s");

    p.SubtractDone(3000);
    EXPECT_EQ(p.GetDone(), 2000u);
    clock.Advance(1s);
    p.AddDone(100);  // done is below the last sample's base: counts as 0
    EXPECT_EQ(p.GetRateText(), "4.9 kB/s");
    clock.Advance(1s);
    p.AddDone(700);  // measured from the restarted base
    EXPECT_EQ(p.GetRateText(), "2.8 kB/s");  // (5000 + 700) / 2 = 2850

    p.SubtractDone(1000000);  // more than done: stops at 0
    EXPECT_EQ(p.GetDone(), 0u);
    EXPECT_EQ(p.GetSizeText(), "0 B / 97.7 kB");
}

TEST(DownloadProgressTest, LoweringWithSetDoneAlsoRestartsTheBase) {
    FakeClock clock;
    DownloadProgress p(clock);
    p.SetTotal(100000);
    clock.Advance(1s);
    p.AddDone(4000);
    p.SetDone(4500);  // a raise samples like AddDone; within 300 ms none is taken
    p.SetDone(1000);
    clock.Advance(1s);
    p.AddDone(3500);  // back to 4500, but that is no speed
    EXPECT_EQ(p.GetRateText(), "3.9 kB/s");
}

TEST(DownloadProgressTest, RateSaturatesAt32Bits) {
    FakeClock clock;
    DownloadProgress p(clock);
    p.SetTotal(std::numeric_limits<std::uint64_t>::max());
    clock.Advance(1s);
    p.AddDone(std::uint64_t{1} << 40);
    EXPECT_EQ(p.GetRateText(), "4.000 GB/s");

    DownloadProgress slow(clock);
    slow.SetTotal(std::uint64_t{1} << 40);
    clock.Advance(1s);
    slow.AddDone(1);
    EXPECT_EQ(slow.GetRateText(), "1 B/s");
    EXPECT_EQ(slow.GetSecondsLeft(), std::numeric_limits<std::uint32_t>::max());  // saturates too
}

TEST(DownloadProgressTest, TimeLeftAndTransferPair) {
    FakeClock clock;
    DownloadProgress p(clock);
    p.SetTotal(10000);
    EXPECT_EQ(p.GetTimeLeft(), VelDuration());  // no rate yet
    clock.Advance(1s);
    p.AddDone(1000);
    EXPECT_EQ(p.GetTimeLeft(), VelDuration(9, VelTimePrecision::Second));

    p.SetTransferTotal(4096);
    EXPECT_EQ(p.GetSizeText(), "0 B / 4.0 kB");
    EXPECT_EQ(p.GetSecondsLeft(), 4u);  // 4096 / 1000, truncated
    p.AddTransferDone(5000);            // more than announced
    EXPECT_EQ(p.GetSecondsLeft(), 0u);
    EXPECT_EQ(p.GetSizeText(), "4.9 kB / 4.0 kB");
}

TEST(DownloadProgressTest, ConcurrentWritersAndReaders) {
    FakeClock clock;
    DownloadProgress p(clock);
    p.SetTotal(1000000);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                p.AddDone(100);
                p.AddTransferDone(1);
                if (i % 10 == 0) clock.Advance(301ms);
            }
        });
    threads.emplace_back([&] {
        for (int i = 0; i < 1000; ++i) {
            (void)p.GetSizeText();
            (void)p.GetRateText();
            (void)p.GetPercent();
            (void)p.GetTimeLeft();
        }
    });
    for (auto& t : threads) t.join();
    EXPECT_EQ(p.GetDone(), 400000u);
}

}  // namespace
