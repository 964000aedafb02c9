// ctest: threading
#include "launcher/window/ClientLauncher.h"

#include "delivery/workers/MainWindowMessages.h"
#include "delivery/update/UpdateManager.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/runtime/ProcessRuntime.h"
#include "platform/InstanceObject.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CurrentDirGuard.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>

namespace Vel {
namespace {

namespace fs = std::filesystem;
using TestSupport::WaitFor;

class EndedTarget final : public IMainWindowTarget {
public:
    void QueueMessage(MainWindowMessage message, std::uintptr_t wParam, std::intptr_t) override {
        std::lock_guard lock(mutex_);
        if (message == MainWindowMessage::ClientEnded) ended_.push_back(static_cast<int>(wParam));
    }
    std::vector<int> Ended() const {
        std::lock_guard lock(mutex_);
        return ended_;
    }

private:
    mutable std::mutex mutex_;
    std::vector<int> ended_;
};

std::vector<std::string> RecordedLines(const fs::path& record, const std::string& prefix) {
    std::ifstream in(record);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
    return lines;
}

class ClientLauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        UpdateManager::ResetForTesting();
        UpdateManager::SetVersionRequesterForTesting([this](RouterConnector::VersionCallback) { ++versionRequests_; });
        SetMainWindowTarget(&target_);
        fs::create_directories(dir_ / "bin32");
        fs::current_path(dir_.Path());
        // Instance objects of this test's own: another test running at the same time may hold
        // the client's object name too.
        fs::create_directories(dir_ / "run");
        fs::permissions(dir_ / "run", fs::perms::owner_all, fs::perm_options::replace);
        env_.Set("XDG_RUNTIME_DIR", (dir_ / "run").c_str());
        env_.Set("SOLVENDA_STANDIN_RECORD", record_.c_str());
        env_.Set("SOLVENDA_STANDIN_LOCK", InstanceObjectName(true, "Solvenda").c_str());
    }
    void TearDown() override {
        SetMainWindowTarget(nullptr);
        UpdateManager::SetVersionRequesterForTesting(nullptr);
        UpdateManager::ResetForTesting();
    }

    void InstallClient() {
        const fs::path client = dir_ / ClientExecutablePath(false, GetExeNameSuffix());
        fs::copy_file(fs::path(Vel::Test::ToolPath("solvenda-client")).parent_path() / "Solvenda", client);
    }

    static ClientLauncher::Choice Choice() { return {" -quiet -windowmode", false}; }

    Vel::Test::TempDir dir_{"install"};
    Vel::Test::CurrentDirGuard cwd_;
    Vel::Test::ScopedEnv env_;
    Vel::Test::ScriptedPrompt prompt_;
    EndedTarget target_;
    fs::path record_ = dir_ / "run.txt";
    std::atomic<int> versionRequests_{0};
};

TEST_F(ClientLauncherTest, AClientHoldingItsObjectIsWatchedUntilItLetsGo) {
    InstallClient();
    env_.Set("SOLVENDA_STANDIN_HOLD_MS", "700");
    ClientLauncher launcher(&ClientLauncherTest::Choice);
    launcher.SetPollIntervalForTesting(50);
    ASSERT_TRUE(launcher.LaunchClient(nullptr));
    EXPECT_TRUE(UpdateManager::IsClientRunning());
    // The client's session, read while it holds its object.
    pid_t session = -1;
    ASSERT_TRUE(WaitFor([&] {
        const auto pids = RecordedLines(record_, "pid=");
        if (pids.empty() || !Platform::InstanceObject::Exists(UpdateManager::ClientInstanceObjectName())) return false;
        session = ::getsid(std::stoi(pids[0]));
        return true;
    }));
    EXPECT_NE(session, ::getsid(0));
    ASSERT_TRUE(WaitFor([&] { return !target_.Ended().empty(); }));
    EXPECT_EQ(target_.Ended(), std::vector<int>{1});
    EXPECT_FALSE(UpdateManager::IsClientRunning());
    EXPECT_EQ(versionRequests_.load(), 1);  // the exit asks for the version again

    // The exact command line, in the installation root.
    EXPECT_EQ(RecordedLines(record_, "arg="), (std::vector<std::string>{"--run", "-quiet", "-windowmode"}));
    EXPECT_EQ(RecordedLines(record_, "cwd="), std::vector<std::string>{fs::current_path().string()});
    // The child is reaped: no zombie stays behind while the launcher runs.
    const auto pids = RecordedLines(record_, "pid=");
    ASSERT_EQ(pids.size(), 1u);
    EXPECT_EQ(session, std::stoi(pids[0]));  // it led a session of its own, out of our group's reach
    EXPECT_TRUE(WaitFor([&] { return !fs::exists("/proc/" + pids[0]); }));
    launcher.StopMonitor();
}

TEST_F(ClientLauncherTest, AClientThatNeverTakesItsObjectEndsWithZero) {
    InstallClient();
    env_.Set("SOLVENDA_STANDIN_HOLD_MS", "0");
    ClientLauncher launcher(&ClientLauncherTest::Choice);
    launcher.SetPollIntervalForTesting(50);
    ASSERT_TRUE(launcher.LaunchClient(nullptr));
    ASSERT_TRUE(WaitFor([&] { return !target_.Ended().empty(); }));
    EXPECT_EQ(target_.Ended(), std::vector<int>{0});
    EXPECT_TRUE(prompt_.Questions().empty());
}

TEST_F(ClientLauncherTest, AMissingExecutableIsNamedAndEndsAtOnce) {
    ClientLauncher launcher(&ClientLauncherTest::Choice);
    EXPECT_FALSE(launcher.LaunchClient(nullptr));
    ASSERT_EQ(prompt_.Questions().size(), 1u);
    EXPECT_EQ(prompt_.Questions()[0].text,
              "Client executable not found.\nPlease restart Solvenda Frontier and try again.\nFile: " +
                  ClientExecutablePath(false, GetExeNameSuffix()));
    EXPECT_EQ(target_.Ended(), std::vector<int>{0});
    EXPECT_FALSE(UpdateManager::IsClientRunning());
}

TEST(ClientExecutable, PathAndArguments) {
    EXPECT_EQ(ClientExecutablePath(true, ""), "bin64/Solvenda");
    EXPECT_EQ(ClientExecutablePath(false, "_test"), "bin32/Solvenda_test");
    EXPECT_EQ(ClientArguments(" -fullscreen"), (std::vector<std::string>{"--run", "-fullscreen"}));
}

}  // namespace
}  // namespace Vel
