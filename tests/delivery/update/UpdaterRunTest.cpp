#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "delivery/jobs/DownloadProgress.h"
#include "delivery/update/UpdateApply.h"
#include "delivery/update/UpdateManager.h"
#include "delivery/workers/WorkerStatus.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/threads/ThreadPool.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/ManualRequestScheduler.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScriptedUpdatePrompt.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"

using namespace Vel;
using namespace Vel::UpdateManager;
namespace fs = std::filesystem;

namespace {

std::string BuiltUpdater() {
    const char* build = std::getenv("TRAILSTARTER_BUILD_DIR");
    return std::string(build != nullptr ? build : ".") + "/tools/updater/SolvendaUpdater";
}

void WriteScript(const fs::path& path, const std::string& body) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n" << body;
    fs::permissions(path, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
}

// Sets an environment variable for the scope (children inherit it).
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) { ::setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { ::unsetenv(name_); }

private:
    const char* name_;
};

class UpdaterRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetForTesting();
        folders_.root = (dir_ / "staging/").string();
        folders_.update = (dir_ / "staging/update/").string();
        folders_.client = (dir_ / "client/").string();
        fs::create_directories(dir_ / "client/bin32");
        fs::copy_file(BuiltUpdater(), dir_ / "client/bin32/SolvendaUpdater");
        dir_.Write("client/data/x.dll", "old");
        dir_.Write("staging/update/data/x.dll", "new");
        dir_.Write("staging/update/bin64/Solvenda", "new client");
        fs::permissions(dir_ / "staging/update/bin64/Solvenda", fs::perms::owner_all);
        NewWorkerProgress(1000);
    }
    void TearDown() override {
        ResetForTesting();
        GetParameterStore() = ParameterStore();
    }

    // The stand-in elevator logs each run, then runs the command, or answers as pkexec does.
    void InstallElevator(const std::string& mode) {
        std::string body = "echo run >> '" + (dir_ / "elevator.log").string() + "'\n";
        if (mode == "run") body += "exec \"$@\"\n";
        if (mode == "dismissed") body += "exit 126\n";
        if (mode == "not-authorised") body += "exit 127\n";
        WriteScript(dir_ / "elevator", body);
        GetParameterStore().Set("trailstarter.elevationCommand", ParameterType::String, (dir_ / "elevator").string());
    }
    std::size_t ElevatorRuns() const {
        std::ifstream in(dir_ / "elevator.log");
        std::size_t n = 0;
        for (std::string line; std::getline(in, line);) ++n;
        return n;
    }

    Vel::Test::TempDir dir_;
    UpdateFolders folders_;
};

TEST_F(UpdaterRunTest, TheUpdaterPutsTheStagedFilesInPlace) {
    Vel::Test::ScriptedUpdatePrompt prompt;
    EXPECT_TRUE(RunUpdater(folders_, 40, prompt));
    EXPECT_EQ(Vel::Test::ReadFile(dir_ / "client/data/x.dll"), "new");
    EXPECT_EQ(Vel::Test::ReadFile(dir_ / "client/bin64/Solvenda"), "new client");
    EXPECT_NE(fs::status(dir_ / "client/bin64/Solvenda").permissions() & fs::perms::owner_exec, fs::perms::none);
    EXPECT_EQ(GetWorkerProgress()->GetDone(), 40u);
    EXPECT_FALSE(IsApplying());
}

// A plain run that fails is repeated through the elevation command (strict); the elevation
// command's own answers: dismissed asks dialog 105 (Try again runs it again), not authorised
// is the apply error.
TEST_F(UpdaterRunTest, AFailedPlainRunIsRepeatedElevated) {
    const ScopedEnv fault("TRAILSTARTER_UPDATER_TEST_FAULT", "exit:3");
    struct Case {
        std::string elevator;
        std::deque<bool> answers;
        std::optional<bool> result;  // none: UpdateException 6
        std::size_t elevatorRuns;
        std::size_t questions;
    };
    const std::vector<Case> cases = {
        {"run", {}, std::nullopt, 1, 0},
        {"dismissed", {}, false, 1, 1},
        {"dismissed", {true}, false, 2, 2},
        {"not-authorised", {}, std::nullopt, 1, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.elevator + " " + std::to_string(c.answers.size()));
        fs::remove(dir_ / "elevator.log");
        InstallElevator(c.elevator);
        Vel::Test::ScriptedUpdatePrompt prompt(c.answers);
        std::optional<bool> result;
        try {
            result = RunUpdater(folders_, 0, prompt);
        } catch (const UpdateException& e) {
            EXPECT_EQ(e.GetCode(), UpdateResult::ApplyError);
        }
        EXPECT_EQ(result, c.result);
        EXPECT_EQ(ElevatorRuns(), c.elevatorRuns);
        const auto questions = prompt.Questions();
        ASSERT_EQ(questions.size(), c.questions);
        for (const auto& q : questions) {
            EXPECT_EQ(q.stringId, kStringUpdaterNotStarted);
            EXPECT_TRUE(q.tryAgainEnabled);
        }
        EXPECT_EQ(Vel::Test::ReadFile(dir_ / "client/data/x.dll"), "old");
    }
}

// The elevation command that is missing, or refuses, or an updater that fails: the apply error
// names its cause. The default "pkexec" is looked for on PATH, where the test puts a stand-in.
TEST_F(UpdaterRunTest, AFailedElevatedRunNamesItsCause) {
    // The plain run fails, so the updater is run again through the elevation command.
    const ScopedEnv fault("TRAILSTARTER_UPDATER_TEST_FAULT", "exit:3");
    fs::create_directories(dir_ / "empty-path");
    WriteScript(dir_ / "refusing-path/pkexec", "exit 127\n");
    WriteScript(dir_ / "running-path/pkexec", "exec \"$@\"\n");
    struct Case {
        const char* what;
        std::string path;
        std::string cause;
    };
    const Case cases[] = {
        {"pkexec not installed", (dir_ / "empty-path").string(), "The elevation command \"pkexec\" is not installed."},
        {"pkexec refuses", (dir_ / "refusing-path").string(),
         "The elevation command \"pkexec\" refused to run the updater (exit code 127): not authorised, or no "
         "authentication agent is running."},
        {"the elevated updater fails", (dir_ / "running-path").string(), "The updater ended with exit code 3."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Vel::Test::ScopedEnv path;
        path.Set("PATH", c.path.c_str());
        Vel::Test::ScriptedUpdatePrompt prompt;
        try {
            RunUpdater(folders_, 0, prompt);
            ADD_FAILURE() << "no apply error";
        } catch (const UpdateException& e) {
            EXPECT_EQ(e.GetCode(), UpdateResult::ApplyError);
            EXPECT_EQ(e.GetFailure().cause, c.cause);
        }
        EXPECT_TRUE(prompt.Questions().empty());
    }
}

// A freshly delivered updater is run in place of the client's; while it runs the update cannot
// be aborted.
TEST_F(UpdaterRunTest, AStagedUpdaterIsPreferredAndCannotBeAbortedWhileItApplies) {
    const fs::path started = dir_ / "started";
    const fs::path go = dir_ / "go";
    WriteScript(dir_ / "staging/update/bin32/SolvendaUpdater",
                "touch '" + started.string() + "'\n"
                "i=0; while [ ! -e '" + go.string() + "' ] && [ $i -lt 400 ]; do sleep 0.05; i=$((i+1)); done\n"
                "[ -e '" + go.string() + "' ]\n");
    WriteScript(dir_ / "client/bin32/SolvendaUpdater", "exit 5\n");
    InstallElevator("not-authorised");
    Vel::Test::ScriptedUpdatePrompt prompt;
    std::optional<bool> result;
    std::thread runner([&] {
        try {
            result = RunUpdater(folders_, 0, prompt);
        } catch (const Exception&) {
        }
    });
    const bool running = TestSupport::WaitFor([&] { return fs::exists(started); });
    const bool refused = !Abort();
    const bool flagClear = !IsAbortRequested();
    std::ofstream(go) << "";
    runner.join();
    ASSERT_TRUE(running);
    EXPECT_TRUE(refused);
    EXPECT_TRUE(flagClear);
    EXPECT_EQ(result, std::optional<bool>(true));
    EXPECT_TRUE(Abort());
}

// At shutdown the wait for a running program gives up, so the update pool is joined in time;
// the program is left to finish.
TEST_F(UpdaterRunTest, ShutdownEndsTheWaitForTheUpdater) {
    FakeClock clock;
    Vel::Test::ManualRequestScheduler scheduler(clock);
    Init(&scheduler);
    const fs::path pidFile = dir_ / "pid";
    std::atomic<int> code{-1};
    GetUpdateThreadPool()->Post([&] {
        try {
            LaunchDescription d;
            d.file = "/bin/sh";
            d.arguments = {"-c", "echo $$ > '" + pidFile.string() + "'; exec sleep 30"};
            RunProcessAndWait(d, true);
            code = 100;
        } catch (const UpdateException& e) {
            code = static_cast<int>(e.GetCode());
        }
    });
    ASSERT_TRUE(TestSupport::WaitFor([&] { return !Vel::Test::ReadFile(pidFile).empty(); }));
    const auto before = std::chrono::steady_clock::now();
    Shutdown();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(5));
    EXPECT_EQ(code.load(), static_cast<int>(UpdateResult::Aborted));
    ::kill(std::stoi(Vel::Test::ReadFile(pidFile)), SIGKILL);
}

}  // namespace
