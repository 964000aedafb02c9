#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>

#include "platform/InstanceObject.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

namespace fs = std::filesystem;

namespace {

// A test installation with the stand-in as bin64/Solvenda and bin32/Solvenda.
class GameClientStandinTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* bin : {"bin64", "bin32"}) {
            fs::create_directories(dir_ / bin);
            fs::copy_file(fs::path(Vel::Test::ToolPath("solvenda-client")).parent_path() / "Solvenda",
                          dir_ / bin / "Solvenda");
        }
        ::setenv("XDG_RUNTIME_DIR", dir_.Path().c_str(), 1);
        ::setenv("SOLVENDA_STANDIN_LOCK", "Solvenda_test", 1);
        for (const char* v : {"SOLVENDA_STANDIN_RECORD", "SOLVENDA_STANDIN_HOLD_MS", "SOLVENDA_STANDIN_CRASH",
                              "SOLVENDA_STANDIN_EXIT"})
            ::unsetenv(v);
    }

    // Whether someone holds the instance object.
    static bool LockHeld() { return Vel::Platform::InstanceObject::Exists("Solvenda_test"); }

    Vel::Test::TempDir dir_;
};

}  // namespace

TEST_F(GameClientStandinTest, RecordsItsCommandLineAndExitsWithTheGivenCode) {
    ::setenv("SOLVENDA_STANDIN_EXIT", "300", 1);  // statuses are 8 bits
    ::setenv("SOLVENDA_STANDIN_CRASH", "1", 1);
    Vel::Test::ChildProcess client((dir_ / "bin32/Solvenda").string(), {"--run", "-quiet", "-windowmode"},
                                   dir_.Path().string());
    EXPECT_EQ(client.Wait(), 300 & 0xFF);
    const std::string record = Vel::Test::ReadFile(dir_ / "bin32/solvenda-run.txt");
    EXPECT_NE(record.find("cwd=" + fs::canonical(dir_.Path()).string() + "\n"), std::string::npos) << record;
    EXPECT_NE(record.find("arg=--run\narg=-quiet\narg=-windowmode\n"), std::string::npos) << record;
    const std::string stem = "out/crashes/solvenda_" + std::to_string(client.Pid());
    EXPECT_TRUE(fs::exists(dir_ / (stem + ".dmp")));
    EXPECT_TRUE(fs::exists(dir_ / (stem + ".log")));
    EXPECT_FALSE(LockHeld());
}

TEST_F(GameClientStandinTest, HoldsTheInstanceObjectWhileItRuns) {
    ::setenv("SOLVENDA_STANDIN_HOLD_MS", "-1", 1);
    ::setenv("SOLVENDA_STANDIN_RECORD", (dir_ / "record.txt").c_str(), 1);
    {
        Vel::Test::ChildProcess client((dir_ / "bin64/Solvenda").string(), {"--run"}, dir_.Path().string());
        ASSERT_EQ(client.ReadLine(), "holding Solvenda_test");
        EXPECT_TRUE(LockHeld());
        // A second client finds the object taken.
        Vel::Test::ChildProcess second((dir_ / "bin32/Solvenda").string(), {"--run"}, dir_.Path().string());
        EXPECT_EQ(second.Wait(), 3);
        client.Terminate();
        EXPECT_EQ(client.Wait(), 128 + SIGTERM);
    }
    EXPECT_FALSE(LockHeld());
    EXPECT_NE(Vel::Test::ReadFile(dir_ / "record.txt").find("arg=--run"), std::string::npos);
}

// Without $XDG_RUNTIME_DIR and with the shared temp folder refused (ours, but open to all), the
// client and the launcher's monitor both fall back to the same folder of the player's own.
TEST_F(GameClientStandinTest, TheClientAndTheLauncherAgreeOnTheFallbackFolder) {
    Vel::Test::ScopedEnv env;
    env.Set("XDG_RUNTIME_DIR", nullptr);
    env.Set("TMPDIR", dir_.Path().c_str());
    env.Set("XDG_CACHE_HOME", (dir_ / "cache").c_str());
    const fs::path shared = dir_ / ("trailstarter-" + std::to_string(::geteuid()));
    fs::create_directory(shared);
    fs::permissions(shared, fs::perms::all);
    ::setenv("SOLVENDA_STANDIN_HOLD_MS", "-1", 1);
    {
        Vel::Test::ChildProcess client((dir_ / "bin64/Solvenda").string(), {"--run"}, dir_.Path().string());
        ASSERT_EQ(client.ReadLine(), "holding Solvenda_test");
        EXPECT_TRUE(LockHeld());
        EXPECT_TRUE(fs::exists(dir_ / "cache" / shared.filename() / "Solvenda_test.lock"));
        EXPECT_TRUE(fs::is_empty(shared));
        client.Terminate();
        EXPECT_EQ(client.Wait(), 128 + SIGTERM);
    }
    EXPECT_FALSE(LockHeld());
}
