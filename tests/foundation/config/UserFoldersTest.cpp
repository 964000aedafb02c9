#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "foundation/core/AppEnvironment.h"
#include "foundation/files/Paths.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/config/SiteName.h"
#include "foundation/config/UserFolders.h"
#include "tests/support/CurrentDirGuard.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"

using namespace Vel;
namespace fs = std::filesystem;

namespace {

// An installation root as the current directory, a documents folder, and no parent folder
// setting, site or parameters.
class UserFoldersTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(root_.Path());
        fs::current_path(root_.Path());
        env_.Set("XDG_DOCUMENTS_DIR", (docs_.Path() / "Docs").c_str());
        SetSiteNameForTesting("");
        SetParentFolder("");
    }
    void TearDown() override {
        GetParameterStore().Set("client.store_public_user_files_locally", ParameterType::Bool, false);
        SetSiteNameForTesting("");
        SetParentFolder("");
    }

    static void SetParentFolder(const std::string& value) {
        WriteRegistrySettingString(Settings::PublicUsersDataParentFolder.section,
                                   Settings::PublicUsersDataParentFolder.name, value,
                                   Settings::PublicUsersDataParentFolder.scope);
    }
    std::string Docs() const { return (docs_.Path() / "Docs").string() + "/"; }

    Vel::Test::CurrentDirGuard cwd_;
    Vel::Test::TempDir root_{"install"};
    Vel::Test::TempDir docs_{"docs"};
    Vel::Test::ScopedEnv env_;
};

}  // namespace

TEST_F(UserFoldersTest, NothingSetGivesRelativeFoldersUnderTheInstallation) {
    InitUserFolders(kUserFoldersPublish | kUserFoldersCreate);

    EXPECT_EQ(GetPublicUsersDataParentFolder(), "");
    EXPECT_EQ(GetPublicUsersDataFolder(), "public_users_data/");
    EXPECT_EQ(MakeDynamicContentFolderPath(), "public_users_data/dynamic_content/");
    EXPECT_EQ(MakeParticipantContentFolderPath(), "public_users_data/participant_content/");
    EXPECT_EQ(GetDynamicContentFolder(), "public_users_data/dynamic_content/");
    EXPECT_EQ(GetResourceRoot(), "public_users_data/");
    EXPECT_EQ(GetProgramDataFolder(), "program_data/");
    EXPECT_EQ(GetPrivateUserDataFolder(), Docs() + "Solvenda Frontier/");

    EXPECT_TRUE(IsDirectory((root_.Path() / "public_users_data/dynamic_content").string()));
    EXPECT_TRUE(IsDirectory((root_.Path() / "public_users_data/participant_content").string()));
    EXPECT_TRUE(IsDirectory(Docs() + "Solvenda Frontier"));
}

TEST_F(UserFoldersTest, AMixedCaseParentFolderKeepsItsCase) {
    const std::string games = (root_.Path() / "Ann").string() + "\\\\Games\\";
    SetParentFolder("  " + games + "  ");
    InitUserFolders(kUserFoldersPublish | kUserFoldersCreate);

    const std::string parent = (root_.Path() / "Ann").string() + "/Games/";
    EXPECT_EQ(GetPublicUsersDataParentFolder(), parent);
    EXPECT_EQ(GetDynamicContentFolder(), parent + "public_users_data/dynamic_content/");
    EXPECT_TRUE(IsDirectory(parent + "public_users_data/dynamic_content"));
    EXPECT_FALSE(fs::exists(root_.Path() / "ann"));

    // The archives are listed as the file system names them, sub-folders left out.
    for (const char* name : {"Planet_A.pak", "b.PAK", "notes.txt", "sub/c.pak"}) {
        const fs::path file = fs::path(parent) / "public_users_data/dynamic_content" / name;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << "x";
    }
    std::vector<std::string> paks = ListPakFiles();
    std::sort(paks.begin(), paks.end());
    const std::string folder = parent + "public_users_data/dynamic_content/";
    EXPECT_EQ(paks, (std::vector<std::string>{folder + "Planet_A.pak", folder + "b.PAK"}));
}

TEST_F(UserFoldersTest, ProgramDataAndPublicFolderChoices) {
    SetDynamicContentFolder("published/");
    InitUserFolders(0);
    EXPECT_EQ(GetProgramDataFolder(), "program_data/");
    EXPECT_EQ(GetDynamicContentFolder(), "published/") << "flag 1 was not given";

    fs::create_directories(root_.Path() / "out/program_data");
    GetParameterStore().Set("client.store_public_user_files_locally", ParameterType::Bool, true);
    InitUserFolders(kUserFoldersPublish);
    EXPECT_EQ(GetProgramDataFolder(), "out/program_data/");
    EXPECT_EQ(MakeDynamicContentFolderPath(), "out/public_users_data/dynamic_content/");
    EXPECT_EQ(GetResourceRoot(), "out/public_users_data/");
    EXPECT_FALSE(fs::exists(root_.Path() / "out/public_users_data")) << "flag 2 was not given";
}

TEST_F(UserFoldersTest, ThePrivateFolderCarriesTheSiteSuffix) {
    struct Case {
        const char* site;
        const char* folder;
    };
    for (const Case& c : {Case{"", "Solvenda Frontier/"}, Case{"pro01", "Solvenda Frontier/"},
                          Case{"test1", "Solvenda Frontier test1/"}}) {
        SetSiteNameForTesting(c.site);
        InitUserFolders(0);
        EXPECT_EQ(GetPrivateUserDataFolder(), Docs() + c.folder) << c.site;
    }
}

TEST_F(UserFoldersTest, AFolderThatCannotBeCreatedIsReportedAndStopsTheOthers) {
    // The parent "folder" is a file, so nothing can be created below it.
    std::ofstream(root_.Path() / "blocker") << "x";
    SetParentFolder((root_.Path() / "blocker").string());

    ::testing::internal::CaptureStderr();
    InitUserFolders(kUserFoldersPublish | kUserFoldersCreate);
    const std::string log = ::testing::internal::GetCapturedStderr();

    EXPECT_TRUE(IsDirectory(Docs() + "Solvenda Frontier")) << "the private folder comes first";
    EXPECT_NE(log.find("cannot create the folder \"" + MakeDynamicContentFolderPath() + "\""), std::string::npos)
        << log;
    EXPECT_EQ(log.find("participant_content"), std::string::npos) << "not attempted after a failure";
}

TEST_F(UserFoldersTest, ReloadingTheParentFolderPublishesAgain) {
    InitUserFolders(kUserFoldersPublish);
    SetParentFolder("/srv/Content/");
    EXPECT_EQ(GetDynamicContentFolder(), "public_users_data/dynamic_content/");
    ReloadPublicUsersDataParentFolder();
    EXPECT_EQ(GetDynamicContentFolder(), "/srv/Content/public_users_data/dynamic_content/");
    EXPECT_EQ(GetResourceRoot(), "/srv/Content/public_users_data/");
}
