#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "delivery/workers/MainWindowMessages.h"
#include "delivery/update/UpdateManager.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/core/FatalError.h"
#include "foundation/runtime/ProcessRuntime.h"
#include "foundation/config/SiteName.h"
#include "foundation/threads/ThreadPool.h"
#include "platform/InstanceObject.h"
#include "platform/Process.h"
#include "tests/support/CurrentDirGuard.h"
#include "tests/support/ManualRequestScheduler.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"

using namespace Vel;
using RouterConnector::VersionCallback;
using RouterConnector::VersionInfo;

namespace {

class RecordingWindow final : public IMainWindowTarget {
public:
    void QueueMessage(MainWindowMessage message, std::uintptr_t, std::intptr_t) override { messages.push_back(message); }
    std::vector<MainWindowMessage> messages;
};

class UpdateManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::current_path(dir_.Path());
        // Instance objects of this test's own.
        std::filesystem::create_directories(dir_ / "run");
        std::filesystem::permissions(dir_ / "run", std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::replace);
        env_.Set("XDG_RUNTIME_DIR", (dir_ / "run").c_str());
        SetSiteNameForTesting("");
        SetMainWindowTarget(&window_);
        UpdateManager::ResetForTesting();
        UpdateManager::SetVersionRequesterForTesting([this](VersionCallback cb) { requests_.push_back(std::move(cb)); });
    }
    void TearDown() override {
        UpdateManager::SetVersionRequesterForTesting(nullptr);
        UpdateManager::ResetForTesting();
        SetMainWindowTarget(nullptr);
        GetParameterStore() = ParameterStore();
    }

    // Makes one periodic (or non-notifying) check and answers it.
    void CheckAndAnswer(const VersionInfo& reply, bool notify) {
        const std::size_t before = requests_.size();
        UpdateManager::PeriodicVersionCheck(notify);
        ASSERT_EQ(requests_.size(), before + 1);
        requests_.back()(reply);
    }

    Vel::Test::CurrentDirGuard cwd_;
    Vel::Test::TempDir dir_;
    Vel::Test::ScopedEnv env_;
    RecordingWindow window_;
    std::vector<VersionCallback> requests_;
};

const VersionInfo kAnnounced{VersionNumber(15, 5, 0, 1), 0, 0};

}  // namespace

TEST_F(UpdateManagerTest, VersionDecisionTable) {
    using M = MainWindowMessage;
    struct Case {
        const char* local;  // content of version.txt, null: no file
        VersionInfo reply;
        bool notify;
        int job;
        bool client;
        std::optional<M> posted;
    };
    const VersionInfo failed = VersionInfo::Failed();
    const Case cases[] = {
        {"15.5.0.1\n", kAnnounced, true, 0, false, M::VersionCurrent},
        {"15.5.0.1", kAnnounced, false, 0, false, M::VersionCurrent},
        {"15.4.9.9\n", kAnnounced, true, 0, false, M::StartUpdate},
        {"15.4.9.9\n", kAnnounced, false, 0, false, M::VersionCurrent},
        {nullptr, kAnnounced, true, 0, false, M::StartUpdate},
        {nullptr, kAnnounced, false, 0, false, M::VersionCurrent},
        {"0.0.0.0\n", kAnnounced, true, 0, false, M::StartUpdate},
        {"garbage\n", kAnnounced, true, 0, false, M::StartUpdate},
        {"15.5.0.1\n", failed, true, 0, false, M::StartUpdate},  // no reply: try the update server
        {"15.5.0.1\n", kAnnounced, true, UpdateManager::kUpdateJob, false, std::nullopt},
        {"15.4.9.9\n", kAnnounced, true, UpdateManager::kMoveContentJob, false, std::nullopt},
        {"15.4.9.9\n", kAnnounced, true, 0, true, std::nullopt},
        {"15.5.0.1\n", kAnnounced, false, 0, true, std::nullopt},
    };
    int row = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(row++);
        std::filesystem::remove("version.txt");
        if (c.local != nullptr) dir_.Write("version.txt", c.local);
        UpdateManager::ResetForTesting();
        window_.messages.clear();
        if (c.job != 0) UpdateManager::MarkJobStarted(c.job);
        if (c.client) UpdateManager::SetClientRunning();

        UpdateManager::OnVersionInfo(c.reply, c.notify);
        if (c.posted) {
            EXPECT_EQ(window_.messages, std::vector<M>{*c.posted});
        } else {
            EXPECT_TRUE(window_.messages.empty());
        }
        // Stored whatever was posted.
        EXPECT_EQ(UpdateManager::GetLastVersion(), c.reply.version);
    }
}

TEST_F(UpdateManagerTest, StateDuringJobsAndTheClient) {
    dir_.Write("version.txt", "15.5.0.1\n");
    EXPECT_FALSE(UpdateManager::CanStartClient());  // no reply yet
    CheckAndAnswer({kAnnounced.version, 1, 0}, true);
    EXPECT_TRUE(UpdateManager::IsMaintenanceMode());
    EXPECT_FALSE(UpdateManager::CanStartClient());

    CheckAndAnswer(kAnnounced, true);
    EXPECT_TRUE(UpdateManager::CanStartClient());

    UpdateManager::MarkJobStarted(UpdateManager::kMoveContentJob);
    EXPECT_FALSE(UpdateManager::IsUpdateRunning());
    EXPECT_FALSE(UpdateManager::CanStartClient());
    // A reply during the move posts nothing but is stored.
    window_.messages.clear();
    CheckAndAnswer({kAnnounced.version, 3, 0}, true);
    EXPECT_TRUE(window_.messages.empty());
    EXPECT_TRUE(UpdateManager::IsMaintenanceMode());
    UpdateManager::MarkJobFinished();

    UpdateManager::Abort();
    UpdateManager::MarkJobStarted(UpdateManager::kUpdateJob);
    EXPECT_TRUE(UpdateManager::IsUpdateRunning());
    EXPECT_FALSE(UpdateManager::IsAbortRequested());  // a starting job clears it
    UpdateManager::MarkJobFinished();

    CheckAndAnswer({VersionNumber(), 0, 1}, true);
    EXPECT_FALSE(UpdateManager::CanStartClient());  // a failed request forgets the version
}

TEST_F(UpdateManagerTest, ParameterOverridesTheMaintenanceByte) {
    dir_.Write("version.txt", "15.5.0.1\n");
    GetParameterStore().Set("trailstarter.maintenanceMode", ParameterType::String, "false");
    CheckAndAnswer({kAnnounced.version, 1, 0}, true);
    EXPECT_FALSE(UpdateManager::IsMaintenanceMode());

    GetParameterStore().Set("trailstarter.maintenanceMode", ParameterType::Int, 1);
    CheckAndAnswer(kAnnounced, true);
    EXPECT_TRUE(UpdateManager::IsMaintenanceMode());
}

TEST_F(UpdateManagerTest, OneRequestAtATimeAndNoneWhileTheClientRuns) {
    UpdateManager::PeriodicVersionCheck(true);
    UpdateManager::CheckForUpdate();
    EXPECT_EQ(requests_.size(), 1u);  // the second check waits for the first
    requests_[0](kAnnounced);
    UpdateManager::CheckForUpdate();
    EXPECT_EQ(requests_.size(), 2u);
    requests_[1](kAnnounced);

    UpdateManager::SetClientRunning();
    UpdateManager::PeriodicVersionCheck(true);
    UpdateManager::CheckForUpdate();
    EXPECT_EQ(requests_.size(), 2u);

    window_.messages.clear();
    UpdateManager::OnClientExited();  // asks again, with notify
    ASSERT_EQ(requests_.size(), 3u);
    EXPECT_FALSE(UpdateManager::IsClientRunning());
    requests_[2](kAnnounced);  // version.txt is missing: with notify, an update
    EXPECT_EQ(window_.messages, std::vector<MainWindowMessage>{MainWindowMessage::StartUpdate});
}

// A client we did not start, seen only by its instance object, counts as running: no launch,
// no request, a reply in flight posts nothing; the first check after it lets go updates.
TEST_F(UpdateManagerTest, AClientObjectHeldElsewhereCountsAsARunningClient) {
    dir_.Write("version.txt", "15.5.0.1\n");
    CheckAndAnswer(kAnnounced, true);
    ASSERT_TRUE(UpdateManager::CanStartClient());
    EXPECT_EQ(UpdateManager::ClientInstanceObjectName(), InstanceObjectName(true, "Solvenda"));

    UpdateManager::CheckForUpdate();  // in flight when the client comes up
    ASSERT_EQ(requests_.size(), 2u);
    Platform::InstanceObject client;
    ASSERT_EQ(client.Create(UpdateManager::ClientInstanceObjectName()), Platform::InstanceObject::Result::New);
    EXPECT_TRUE(UpdateManager::IsClientRunning());
    EXPECT_FALSE(UpdateManager::CanStartClient());
    dir_.Write("version.txt", "15.4.9.9\n");
    window_.messages.clear();
    requests_[1](kAnnounced);
    UpdateManager::PeriodicVersionCheck(true);
    EXPECT_EQ(requests_.size(), 2u);
    EXPECT_TRUE(window_.messages.empty());

    client.Release();
    EXPECT_FALSE(UpdateManager::IsClientRunning());
    CheckAndAnswer(kAnnounced, true);
    EXPECT_EQ(window_.messages, std::vector<MainWindowMessage>{MainWindowMessage::StartUpdate});
}

TEST_F(UpdateManagerTest, PeriodicCheckEveryMinute) {
    FakeClock clock;
    Vel::Test::ManualRequestScheduler scheduler(clock);
    UpdateManager::Init(&scheduler);
    scheduler.Advance(std::chrono::seconds(59));
    EXPECT_TRUE(requests_.empty());  // the first check is one minute after Init
    scheduler.Advance(std::chrono::seconds(1));
    ASSERT_EQ(requests_.size(), 1u);
    requests_[0](kAnnounced);
    scheduler.Advance(std::chrono::minutes(1));
    EXPECT_EQ(requests_.size(), 2u);
    requests_[1](kAnnounced);
    UpdateManager::Shutdown();
}

// A second Init replaces the update pool; the old pool's running job still needs the lock.
TEST(UpdateManagerPool, InitAgainEndsThePreviousPoolOutsideTheLock) {
    FakeClock clock;
    Vel::Test::ManualRequestScheduler scheduler(clock);
    UpdateManager::Init(&scheduler);
    const auto first = UpdateManager::GetUpdateThreadPool();
    ASSERT_NE(first, nullptr);
    std::atomic<bool> running{false};
    first->Post([&] {
        running = true;
        while (UpdateManager::GetUpdateThreadPool() == first) std::this_thread::yield();
    });
    ASSERT_TRUE(TestSupport::WaitFor([&] { return running.load(); }));
    UpdateManager::Init(&scheduler);  // joins the job above, which ends once it sees the new pool
    EXPECT_NE(UpdateManager::GetUpdateThreadPool(), nullptr);
    UpdateManager::Shutdown();
    EXPECT_EQ(UpdateManager::GetUpdateThreadPool(), nullptr);
}

TEST(UpdateManagerResults, TextsAndFailureCodes) {
    // Every result with its code (shared with the main window), its status text and whether
    // the main window treats it as a failure.
    const struct {
        UpdateResult result;
        int code;
        const char* text;
        bool failure;
    } results[] = {
        {UpdateResult::Done, 0, "Done", false},
        {UpdateResult::DoneRestart, 1, "Done: Restarting...", false},
        {UpdateResult::Aborted, 2, "Aborting...", false},
        {UpdateResult::UpdateListFailed, 3, "", true},
        {UpdateResult::DownloadError, 4, "", true},
        {UpdateResult::ExtractError, 5, "", true},
        {UpdateResult::ApplyError, 6, "", true},
        {UpdateResult::InternalError, 7, "", true},
    };
    for (const auto& r : results) {
        SCOPED_TRACE(r.code);
        EXPECT_EQ(static_cast<int>(r.result), r.code);
        EXPECT_EQ(UpdateManager::ResultText(r.code), r.text);
        EXPECT_EQ(UpdateManager::IsFailureResult(r.code), r.failure);
    }
    EXPECT_EXIT(UpdateManager::ResultText(8), ::testing::ExitedWithCode(Vel::kFatalExitCode),
                "CrashInfo=update result out of range");
    EXPECT_EXIT(UpdateManager::IsFailureResult(8), ::testing::ExitedWithCode(Vel::kFatalExitCode),
                "CrashInfo=update result out of range");
}

TEST(UpdateManagerProcess, WaitForParentProcess) {
    Platform::ProcessStart sleeper;
    sleeper.program = "/bin/sleep";
    sleeper.arguments = {"30"};
    const pid_t running = Platform::StartProcess(sleeper);
    ASSERT_GT(running, 0);
    EXPECT_FALSE(UpdateManager::WaitForParentProcess(running, 0));  // still running: time is up
    ::kill(running, SIGTERM);
    EXPECT_TRUE(UpdateManager::WaitForParentProcess(running, 10000));
    EXPECT_EQ(Platform::WaitForChild(running), -1);  // ended by the signal; reaped
}
