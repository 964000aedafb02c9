#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>
#include <set>
#include <vector>

#include "delivery/workers/MainWindowMessages.h"
#include "delivery/update/MoveContent.h"
#include "delivery/update/UpdateManager.h"
#include "delivery/update/UpdateRun.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/core/ParameterStore.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/config/UserFolders.h"
#include "platform/SettingsHive.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CurrentDirGuard.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/ManualRequestScheduler.h"
#include "tests/support/RecordedResults.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScriptedUpdatePrompt.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"

using namespace Vel;
using namespace Vel::UpdateManager;
namespace fs = std::filesystem;

namespace {

void SetParentFolder(const std::string& value) {
    WriteRegistrySettingString(Settings::PublicUsersDataParentFolder.section,
                               Settings::PublicUsersDataParentFolder.name, value,
                               Settings::PublicUsersDataParentFolder.scope);
}

std::string StoredParentFolder() {
    return ReadRegistrySettingString(Settings::PublicUsersDataParentFolder.section,
                                     Settings::PublicUsersDataParentFolder.name, "<none>",
                                     Settings::PublicUsersDataParentFolder.scope);
}

// An installation (the current directory) with the real updater in bin32/ and a content folder
// in its default place, public_users_data/ below the installation root; the update pool runs.
class MoveContentTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetForTesting();
        fs::create_directories(install_ / "bin32");
        fs::copy_file(fs::path(Vel::Test::ToolPath("updater")).parent_path() / "SolvendaUpdater",
                      install_ / "bin32/SolvendaUpdater");
        install_.Write("public_users_data/dynamic_content/planets.pak", "pak bytes");
        install_.Write("public_users_data/participant_content/Map Tiles/A.dds", "tile");
        fs::current_path(install_.Path());
        SetParentFolder("");
        ReloadPublicUsersDataParentFolder();
        // Elevation would fail the move: every folder here is writable, so it must not be asked.
        GetParameterStore().Set("trailstarter.elevationCommand", ParameterType::String, "/bin/false");
        UpdateRunEnvironment environment;
        environment.prompt = &prompt_;
        SetUpdateRunEnvironment(environment);
        SetMainWindowTarget(&target_);
        Init(&scheduler_);
    }
    void TearDown() override {
        Shutdown();
        SetMainWindowTarget(nullptr);
        SetUpdateRunEnvironment({});
        GetParameterStore() = ParameterStore();
        SetParentFolder("");
        ReloadPublicUsersDataParentFolder();
        ResetForTesting();
    }

    // Starts the move as the worker does and waits for its result.
    std::vector<int> Move(const std::string& target) {
        // Counted before the start: a quick failure can post its result before StartMoveContent returns.
        const std::size_t before = target_.Results().size();
        auto job = std::make_shared<ThreadJob>();
        StartMoveContent(job, target);
        EXPECT_TRUE(TestSupport::WaitFor([&] { return target_.Results().size() > before; }));
        return target_.Results();
    }

    Vel::Test::CurrentDirGuard cwd_;
    Vel::Test::TempDir install_{"install"};
    Vel::Test::TempDir elsewhere_{"games"};
    Vel::Test::ScopedEnv env_;
    Vel::Test::ScriptedUpdatePrompt prompt_;
    FakeClock clock_;
    Vel::Test::ManualRequestScheduler scheduler_{clock_};
    Vel::Test::RecordedResults target_{MainWindowMessage::MoveFinished};
};

}  // namespace

TEST(MoveContentPaths, TheFolderKeepsItsNameUnderItsNewParent) {
    const struct {
        const char* content;
        const char* target;
        const char* from;
        const char* to;
    } cases[] = {
        {"/srv/P/public_users_data/", "/mnt/Games", "/srv/P/public_users_data", "/mnt/Games/public_users_data"},
        {"/srv/P\\Public_Users_Data\\", "/mnt/Games/", "/srv/P/Public_Users_Data", "/mnt/Games/Public_Users_Data"},
        {"/srv/public_users_data/", "/", "/srv/public_users_data", "/public_users_data"},
    };
    for (const auto& c : cases) {
        const MoveContentPaths paths = MakeMoveContentPaths(c.content, c.target);
        EXPECT_EQ(paths.from, c.from) << c.content;
        EXPECT_EQ(paths.to, c.to) << c.content;
    }
    // A relative content folder (the default) lies below the installation root, the current
    // directory.
    Vel::Test::CurrentDirGuard cwd;
    Vel::Test::TempDir install{"install"};
    fs::current_path(install.Path());
    const std::string root = fs::current_path().string();
    EXPECT_EQ(MakeMoveContentPaths("public_users_data/", "/mnt/x").from, root + "/public_users_data");
}

TEST(MoveContentPaths, ATargetInsideTheSourceIsAMoveIntoItself) {
    Vel::Test::TempDir dir{"into"};
    fs::create_directories(dir / "a/public_users_data/sub");
    fs::create_directories(dir / "a/public_users_data_2");
    fs::create_symlink(dir / "a/public_users_data/sub", dir / "link");
    const std::string a = (dir / "a").string();
    const struct {
        std::string target;
        bool into;
    } cases[] = {
        {a, true},                                  // the source itself
        {a + "/public_users_data/sub", true},       // below it
        {a + "/public_users_data/new/deeper", true},
        {(dir / "link").string(), true},            // below it through a link
        {a + "/public_users_data_2", false},         // a sibling sharing the name's start
        {dir.Path().string(), false},
        {a + "/public_users_data/../other", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsMoveIntoItself(MakeMoveContentPaths(a + "/public_users_data/", c.target)), c.into) << c.target;
}

TEST(MoveContentElevation, OnlyWhereTheHiveTheSourceItsParentOrTheTargetIsNotWritable) {
    Vel::Test::TempDir dir{"elevate"};
    fs::create_directories(dir / "content/public_users_data");
    fs::create_directories(dir / "hive");
    dir.Write("hive/settings.reg.lock", "");
    const MoveContentPaths paths = MakeMoveContentPaths((dir / "content/public_users_data").string(),
                                                        (dir / "new/place").string());
    const std::string hive = (dir / "hive/settings.reg").string();
    const struct {
        std::string readOnly;
        bool elevate;
    } cases[] = {
        {"", false},
        {(dir / "hive/settings.reg.lock").string(), true},
        {(dir / "hive").string(), true},
        {paths.from, true},
        {(dir / "content").string(), true},
        {dir.Path().string(), true},  // the target's nearest existing folder
        {(dir / "elsewhere").string(), false},
    };
    for (const auto& c : cases) {
        std::set<std::string> asked;
        const bool elevate = MoveContentNeedsElevation(paths, hive, [&](const std::string& path) {
            asked.insert(path);
            return path != c.readOnly;
        });
        EXPECT_EQ(elevate, c.elevate) << c.readOnly;
    }
    // A hive folder not made yet is judged by the folder that will hold it.
    std::set<std::string> asked;
    MoveContentNeedsElevation(paths, (dir / "content/etc/Corvane/settings.reg").string(), [&](const std::string& path) {
        asked.insert(path);
        return true;
    });
    EXPECT_TRUE(asked.count((dir / "content").string())) << "asked about the nearest existing folder";
}

// The whole move through the real updater: the folder is moved below the target, the machine
// hive records the new parent, and exit 0 makes the launcher read it again.
TEST_F(MoveContentTest, ARealMoveRecordsAndReloadsTheNewParentFolder) {
    const std::string target = (elsewhere_ / "New Place").string();
    EXPECT_EQ(Move(target), std::vector<int>{kMoveContentDone});

    EXPECT_EQ(Vel::Test::ReadFile(elsewhere_ / "New Place/public_users_data/dynamic_content/planets.pak"), "pak bytes");
    EXPECT_EQ(Vel::Test::ReadFile(elsewhere_ / "New Place/public_users_data/participant_content/Map Tiles/A.dds"),
              "tile");
    EXPECT_FALSE(fs::exists(install_ / "public_users_data"));
    EXPECT_EQ(StoredParentFolder(), target);
    EXPECT_EQ(GetPublicUsersDataParentFolder(), target);
    EXPECT_EQ(GetDynamicContentFolder(), target + "/public_users_data/dynamic_content/");
    EXPECT_TRUE(prompt_.Questions().empty());
}

// A failing updater, a target inside the source and an aborted move: the setting is not read
// again, the content stays; only the aborted move reports success (no error box).
TEST_F(MoveContentTest, FailuresAndAnAbortLeaveTheContentWhereItIs) {
    // Written behind the launcher's back: only a successful move reads the setting again.
    SetParentFolder("/somewhere/else");

    {
        env_.Set("TRAILSTARTER_UPDATER_TEST_FAULT", "exit:5");
        EXPECT_EQ(Move((elsewhere_ / "a").string()), std::vector<int>{kMoveContentFailed});
        // The window's error box names the cause.
        EXPECT_EQ(TakeLastFailure().cause, "The updater ended with exit code 5.");
        env_.Set("TRAILSTARTER_UPDATER_TEST_FAULT", nullptr);
    }
    {
        // The updater would "succeed" at once; the move must not get that far.
        env_.Set("TRAILSTARTER_UPDATER_TEST_FAULT", "exit:0");
        EXPECT_EQ(Move((install_ / "public_users_data/sub").string()),
                  (std::vector<int>{kMoveContentFailed, kMoveContentFailed}));
        env_.Set("TRAILSTARTER_UPDATER_TEST_FAULT", nullptr);
    }
    {
        env_.Set("TRAILSTARTER_UPDATER_TEST_FAULT", "exit:5");
        auto job = std::make_shared<ThreadJob>();
        MarkJobStarted(kMoveContentJob);
        ASSERT_TRUE(Abort());
        MoveContent(job, (elsewhere_ / "b").string());
        EXPECT_EQ(target_.Results().back(), kMoveContentDone);
        EXPECT_FALSE(IsUpdateRunning());
        env_.Set("TRAILSTARTER_UPDATER_TEST_FAULT", nullptr);
    }
    EXPECT_EQ(GetPublicUsersDataParentFolder(), "");
    EXPECT_EQ(Vel::Test::ReadFile(install_ / "public_users_data/dynamic_content/planets.pak"), "pak bytes");
    EXPECT_TRUE(fs::is_empty(elsewhere_.Path()));
}
