// ctest: threading
#include "delivery/workers/WorkerStatus.h"

#include "delivery/jobs/DownloadProgress.h"

#include "tests/support/IsolatedSettings.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace Vel {
namespace {

struct Snapshot {
    bool active, shown, error;
    int phase;
};

Snapshot Read(const WorkerStatus& s) { return {s.IsJobActive(), s.IsShown(), s.HasError(), s.GetPhase()}; }

TEST(WorkerStatusTest, WritersMoveTheFlagsAndWakeTheListenerOnlyForBigChanges) {
    WorkerStatus status;
    int wakes = 0;
    status.SetListener([&] { ++wakes; });

    Snapshot s = Read(status);
    EXPECT_FALSE(s.active || s.shown || s.error);
    EXPECT_EQ(s.phase, 1);

    status.Begin();
    s = Read(status);
    EXPECT_TRUE(s.active && s.shown);
    EXPECT_EQ(s.phase, 0);
    EXPECT_EQ(wakes, 1);

    // Text, error and phase are picked up by the window's timer, not pushed.
    status.SetStatusText("Downloading planet data");
    status.SetError();
    status.SetPhase(2);
    EXPECT_EQ(wakes, 1);
    EXPECT_TRUE(status.HasError());
    EXPECT_EQ(status.GetPhase(), 2);

    status.NewProgress(10000);
    EXPECT_EQ(wakes, 2);
    auto progress = status.GetProgress();
    ASSERT_TRUE(progress);
    EXPECT_EQ(progress->GetTotal(), 10000u);

    status.End();
    EXPECT_EQ(wakes, 3);
    s = Read(status);
    EXPECT_FALSE(s.active || s.shown || s.error);  // the error lasts until the next end
    EXPECT_EQ(s.phase, 1);
    // The last text and progress stay readable after the end.
    EXPECT_EQ(status.GetStatusText(), "Downloading planet data");
    EXPECT_EQ(status.GetProgress(), progress);
}

TEST(WorkerStatusTest, SettingAProgressShowsIt) {
    WorkerStatus status;
    status.SetProgress(std::make_shared<DownloadProgress>());
    EXPECT_TRUE(status.IsShown());
    EXPECT_FALSE(status.IsJobActive());
}

TEST(WorkerStatusTest, TimeRemainingIsEmptyWithoutProgress) {
    WorkerStatus status;
    EXPECT_EQ(status.GetTimeRemainingText(), "");
    status.NewProgress(100);
    EXPECT_EQ(status.GetTimeRemainingText(), "Time remaining 00:00:00");
}

TEST(WorkerStatusTest, ListenerMayReadTheRecord) {
    // The window's listener reads the record; it must not deadlock on the writer's lock.
    WorkerStatus status;
    bool shownSeen = false;
    status.SetListener([&] { shownSeen = status.IsShown(); });
    status.Begin();
    EXPECT_TRUE(shownSeen);
}

TEST(WorkerStatusTest, WritersAndReadersOnSeveralThreads) {
    WorkerStatus status;
    std::atomic<int> wakes{0};
    status.SetListener([&] { ++wakes; });
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            (void)status.GetStatusText();
            (void)status.GetProgress();
            (void)status.GetTimeRemainingText();
        }
    });
    std::thread writer([&] {
        for (int i = 0; i < 200; ++i) {
            status.Begin();
            status.SetStatusText("t" + std::to_string(i));
            status.NewProgress(i);
            status.End();
        }
    });
    writer.join();
    stop = true;
    reader.join();
    EXPECT_EQ(wakes.load(), 600);
}

}  // namespace
}  // namespace Vel
