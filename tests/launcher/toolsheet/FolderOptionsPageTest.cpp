#include "launcher/toolsheet/FolderOptionsPage.h"

#include "delivery/workers/MainWindowMessages.h"
#include "delivery/update/UpdateManager.h"
#include "delivery/update/UpdateRun.h"
#include "delivery/UpdateWorkerBackend.h"
#include "delivery/workers/WorkerRunner.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/core/ParameterStore.h"
#include "foundation/files/Paths.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/core/StringUtils.h"
#include "foundation/config/UserFolders.h"
#include "launcher/toolsheet/BrowseForFolder.h"
#include "launcher/toolsheet/ToolsDialog.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CurrentDirGuard.h"
#include "tests/support/FakeWorkers.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/ManualRequestScheduler.h"
#include "tests/support/QtApp.h"
#include "tests/support/RecordedResults.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/ScriptedUpdatePrompt.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>

#include <sys/statvfs.h>

#include <filesystem>
#include <limits>

namespace Vel {
namespace {

namespace fs = std::filesystem;

using Vel::Test::App;

constexpr std::uint64_t kGiB = 1073741824;

void SetParentFolder(const std::string& value) {
    WriteRegistrySettingString(Settings::PublicUsersDataParentFolder.section,
                               Settings::PublicUsersDataParentFolder.name, value,
                               Settings::PublicUsersDataParentFolder.scope);
    ReloadPublicUsersDataParentFolder();
}

// The installation root as the current directory, the content in its default place below it.
class FolderOptionsPageTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        fs::current_path(install_.Path());
        SetParentFolder("");
        GetWorkerRunner().Reset();
    }
    void TearDown() override {
        GetWorkerRunner().Reset();
        SetParentFolder("");
    }

    // Free space and the space needed as the test says; the folder size fixed.
    FolderPageServices Services() {
        FolderPageServices s;
        s.freeSpace = [this](const std::string& path) {
            asked_.push_back(path);
            return free_;
        };
        s.spaceNeeded = [this] { return needed_; };
        s.folderSize = [] { return std::uint64_t{2048}; };
        return s;
    }
    std::string Root() const { return fs::current_path().string(); }

    Vel::Test::CurrentDirGuard cwd_;
    Vel::Test::TempDir install_{"install"};
    Vel::Test::TempDir elsewhere_{"games"};
    Vel::Test::ScriptedPrompt prompt_;
    std::uint64_t free_ = 5 * kGiB;
    std::uint64_t needed_ = kGiB;
    std::vector<std::string> asked_;
};

TEST_F(FolderOptionsPageTest, ShowsTheContentRootAndItsFigures) {
    FolderOptionsDlg page(Services());
    page.Activate();
    EXPECT_EQ(page.FolderEdit()->text().toStdString(), Root());
    EXPECT_EQ(page.FreeSpace()->text().toStdString(), FormatByteSize(5 * kGiB));
    EXPECT_EQ(page.RecommendedSpace()->text().toStdString(), FormatByteSize(kGiB));
    EXPECT_EQ(page.UsedSpace()->text().toStdString(), FormatByteSize(2048));
    EXPECT_EQ(page.Description()->text().toStdString(), LoadLocalizedString(148));
    EXPECT_TRUE(page.IsPathValidated());
    EXPECT_TRUE(page.InvalidPathWarning()->isHidden());
}

TEST_F(FolderOptionsPageTest, TheRootARelativePathOrNothingShowsZeroAndTheInvalidPathWarning) {
    FolderOptionsDlg page(Services());
    page.Activate();
    const struct {
        std::string text;
        bool valid;
    } cases[] = {
        {"/", false},
        {"\\", false},
        {"games/content", false},
        {"", false},
        {(elsewhere_ / "not made yet/deeper").string(), true},  // asked about its volume
        {"/", false},
    };
    for (const auto& c : cases) {
        asked_.clear();
        page.FolderEdit()->setText(QString::fromStdString(c.text));
        EXPECT_EQ(page.InvalidPathWarning()->isHidden(), c.valid) << c.text;
        EXPECT_EQ(page.FreeSpace()->text().toStdString(), c.valid ? FormatByteSize(free_) : "0") << c.text;
        EXPECT_TRUE(page.LowSpaceWarning()->isHidden()) << c.text;
        EXPECT_EQ(asked_.size(), c.valid ? 1u : 0u) << c.text;
    }
    // The folder does not exist: the free space of the volume that would hold it.
    page.FolderEdit()->setText(QString::fromStdString((elsewhere_ / "not made yet").string()));
    ASSERT_EQ(asked_.size(), 1u);
    EXPECT_EQ(asked_.front(), GetVolumeRoot(elsewhere_.Path().string()));
}

TEST_F(FolderOptionsPageTest, TheLowSpaceWarningShowsOnlyBelowTheSpaceNeeded) {
    const struct {
        std::uint64_t free;
        bool warn;
    } cases[] = {{kGiB - 1, true}, {kGiB, false}, {kGiB + 1, false}, {0, true}};
    for (const auto& c : cases) {
        free_ = c.free;
        FolderOptionsDlg page(Services());
        page.Activate();
        EXPECT_EQ(page.LowSpaceWarning()->isVisibleTo(page.Widget()), c.warn) << c.free;
        EXPECT_EQ(page.LowSpaceWarning()->text().toStdString(), LoadLocalizedString(1102));
    }
}

// The real volumes. /proc reports no blocks: a folder there (made or not) cannot be measured and
// reads as an invalid path, not as a full disk; a folder not made yet on a real disk shows that
// disk's free space.
TEST_F(FolderOptionsPageTest, AVolumeWithoutBlocksCannotBeMeasuredAMissingFolderOnADiskCan) {
    struct statvfs proc{};
    ASSERT_EQ(::statvfs("/proc/self", &proc), 0);
    ASSERT_EQ(proc.f_blocks, 0u) << "/proc is expected to report no blocks";

    needed_ = std::numeric_limits<std::uint64_t>::max();  // any measured figure is low
    FolderPageServices services = Services();
    services.freeSpace = nullptr;  // the real query
    SetParentFolder("/proc/self");
    FolderOptionsDlg page(std::move(services));
    page.Activate();
    EXPECT_EQ(page.FolderEdit()->text().toStdString(), "/proc/self");
    EXPECT_EQ(page.FreeSpace()->text().toStdString(), "0");
    EXPECT_FALSE(page.InvalidPathWarning()->isHidden());
    EXPECT_TRUE(page.LowSpaceWarning()->isHidden());
    EXPECT_FALSE(page.IsPathValidated());

    const fs::path missing = elsewhere_ / "not made yet/deeper";
    const std::string disk = GetVolumeRoot(elsewhere_.Path().string());
    const std::string before = FormatByteSize(GetDiskSpace(disk).available);
    page.FolderEdit()->setText(QString::fromStdString(missing.string()));
    const std::string after = FormatByteSize(GetDiskSpace(disk).available);
    const std::string shown = page.FreeSpace()->text().toStdString();
    EXPECT_NE(shown, "0");
    EXPECT_TRUE(shown == before || shown == after) << shown << " for " << before;
    EXPECT_TRUE(page.InvalidPathWarning()->isHidden());
    EXPECT_FALSE(page.LowSpaceWarning()->isHidden());
    EXPECT_TRUE(page.IsPathValidated());

    for (const char* folder : {"/proc/self", "/proc/self/not made yet"}) {
        page.FolderEdit()->setText(QString::fromLatin1(folder));
        EXPECT_EQ(page.FreeSpace()->text().toStdString(), "0") << folder;
        EXPECT_FALSE(page.InvalidPathWarning()->isHidden()) << folder;
        EXPECT_TRUE(page.LowSpaceWarning()->isHidden()) << folder;
    }
}

TEST_F(FolderOptionsPageTest, ThePageIsReadOnlyWhilePlanetDataDownloadsOrMoves) {
    const struct {
        WorkerType type;
        unsigned description;
        bool enabled;
    } cases[] = {
        {kNoWorker, 148, true},
        {kUpdateWorker, 148, true},
        {kMoveContentWorker, 1260, false},
        {kDownloadPlanetDataWorker, 1259, false},
        {kCompactPlanetDataWorker, 1259, false},
        {kRepairPlanetDataWorker, 1259, false},
    };
    for (const auto& c : cases) {
        GetWorkerRunner().Reset();
        Vel::Test::RecordingBackend backend;
        if (c.type != kNoWorker) StartWorker(std::make_shared<Vel::Test::FakeWorker>(c.type, 0));
        FolderOptionsDlg page(Services());
        page.Activate();
        EXPECT_EQ(page.Description()->text().toStdString(), LoadLocalizedString(c.description)) << c.type;
        for (QWidget* w : {static_cast<QWidget*>(page.FolderEdit()), static_cast<QWidget*>(page.BrowseButton()),
                           static_cast<QWidget*>(page.FreeSpace()), static_cast<QWidget*>(page.LowSpaceWarning())})
            EXPECT_EQ(w->isEnabled(), c.enabled) << c.type << " " << w->objectName().toStdString();
    }
}

// OK with the folder unchanged, or with a folder that fails the checks and then Cancel, starts
// no move; a good folder starts one with its letter case kept.
TEST_F(FolderOptionsPageTest, ApplyChecksTheFolderBeforeItStartsTheMove) {
    Vel::Test::RecordingBackend backend;
    backend.move = [](std::shared_ptr<ThreadJob>) {};  // the move keeps running
    {
        FolderOptionsDlg page(Services());
        page.Activate();
        EXPECT_TRUE(page.Apply());
        page.FolderEdit()->setText(QString::fromStdString(Root() + "/"));
        EXPECT_TRUE(page.Apply());
        EXPECT_TRUE(backend.Calls().empty());
        EXPECT_TRUE(prompt_.Questions().empty());
    }
    {
        // Inside the current parent folder (the installation root): Retry asks again, Cancel ends.
        Vel::Test::ScriptedPrompt prompt({Platform::kIdRetry, Platform::kIdCancel});
        FolderOptionsDlg page(Services());
        page.Activate();
        page.FolderEdit()->setText(QString::fromStdString(Root() + "/sub"));
        EXPECT_TRUE(page.Apply());
        const auto questions = prompt.Questions();
        ASSERT_EQ(questions.size(), 2u);
        EXPECT_EQ(questions[0].text, LoadLocalizedString(147));
        EXPECT_EQ(questions[0].buttons, Platform::PromptButtons::RetryCancel);
        EXPECT_TRUE(backend.Calls().empty());
    }
    {
        FolderOptionsDlg page(Services());
        page.Activate();
        page.FolderEdit()->setText(QString::fromStdString(" " + (elsewhere_ / "My Games\\Solvenda").string() + "/ "));
        EXPECT_TRUE(page.Apply());
        EXPECT_TRUE(fs::is_directory(elsewhere_ / "My Games/Solvenda"));
        EXPECT_EQ(backend.Calls(), std::vector<std::string>{"move " + (elsewhere_ / "My Games/Solvenda").string()});
        EXPECT_EQ(GetCurrentWorkerType(), kMoveContentWorker);
    }
}

// A running worker that refuses to stop makes the runner refuse the move: the page says so and
// the sheet stays open, nothing is thrown.
TEST_F(FolderOptionsPageTest, ARefusedMoveIsShownAndKeepsTheSheetOpen) {
    Vel::Test::RecordingBackend backend;
    auto stubborn = std::make_shared<Vel::Test::FakeWorker>(kUpdateWorker, 0);
    stubborn->agreesToAbort = false;
    FolderOptionsDlg page(Services());
    page.Activate();
    StartWorker(stubborn);
    page.FolderEdit()->setText(QString::fromStdString((elsewhere_ / "new").string()));
    bool applied = true;
    EXPECT_NO_THROW(applied = page.Apply());
    EXPECT_FALSE(applied);
    const auto questions = prompt_.Questions();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text, kRunWorkerRefusedText);
    EXPECT_EQ(GetCurrentWorker(), stubborn);
}

TEST_F(FolderOptionsPageTest, BrowsePutsTheChosenFolderIntoTheBox) {
    FolderPageServices services = Services();
    std::string startedAt;
    services.browse = [&](QWidget*, const std::string& title, std::string& folder) {
        EXPECT_EQ(title, "Select Content Folder");
        startedAt = folder;
        folder = (elsewhere_ / "picked").string() + "/";
        return true;
    };
    FolderOptionsDlg page(services);
    page.Activate();
    page.BrowseButton()->click();
    EXPECT_EQ(startedAt, Root());
    EXPECT_EQ(page.FolderEdit()->text().toStdString(), (elsewhere_ / "picked").string());
}

// The folder picker's OK follows the validator, and an OK it refuses does not end it.
TEST_F(FolderOptionsPageTest, ThePickersOkFollowsTheValidator) {
    fs::create_directories(elsewhere_ / "good");
    fs::create_directories(elsewhere_ / "bad");
    std::vector<std::string> seen;
    FolderPickerDialog picker(nullptr, "Pick", (elsewhere_ / "good/not made").string(), [&](const std::string& f) {
        seen.push_back(f);
        return f.find("/bad/") == std::string::npos;
    });
    ASSERT_NE(picker.OkButton(), nullptr);
    EXPECT_EQ(picker.CandidateFolder(), (elsewhere_ / "good").string() + "/");
    EXPECT_TRUE(picker.OkButton()->isEnabled());

    picker.setDirectory(QString::fromStdString((elsewhere_ / "bad").string()));
    picker.UpdateOk();
    EXPECT_FALSE(picker.OkButton()->isEnabled());
    picker.accept();
    EXPECT_EQ(picker.result(), QDialog::Rejected);
    EXPECT_TRUE(picker.ChosenFolder().empty());

    picker.setDirectory(QString::fromStdString((elsewhere_ / "good").string()));
    picker.UpdateOk();
    EXPECT_TRUE(picker.OkButton()->isEnabled());
    picker.accept();
    EXPECT_EQ(picker.ChosenFolder(), (elsewhere_ / "good").string() + "/");
    ASSERT_FALSE(seen.empty());
    for (const std::string& f : seen) EXPECT_EQ(f.back(), '/');
}

// The player's path in the running launcher: the folders tab of the tools sheet, a new folder,
// OK; the installed backend runs the real updater, which moves the content there.
TEST_F(FolderOptionsPageTest, OkOnTheFoldersTabMovesTheContentThroughTheUpdater) {
    fs::create_directories(install_ / "bin32");
    fs::copy_file(fs::path(Vel::Test::ToolPath("updater")).parent_path() / "SolvendaUpdater",
                  install_ / "bin32/SolvendaUpdater");
    install_.Write("public_users_data/dynamic_content/planets.pak", "pak bytes");
    UpdateManager::ResetForTesting();
    Vel::Test::ScriptedUpdatePrompt updatePrompt;
    UpdateManager::UpdateRunEnvironment environment;
    environment.prompt = &updatePrompt;
    UpdateManager::SetUpdateRunEnvironment(environment);
    // Every folder here is writable: the updater runs plainly, an elevation would fail.
    GetParameterStore().Set("trailstarter.elevationCommand", ParameterType::String, "/bin/false");
    FakeClock clock;
    Vel::Test::ManualRequestScheduler scheduler(clock);
    Vel::Test::RecordedResults results(MainWindowMessage::MoveFinished);
    SetMainWindowTarget(&results);
    UpdateManager::Init(&scheduler);
    UpdateWorkerBackend backend;
    SetWorkerBackend(&backend);

    FolderOptionsDlg page;
    ToolsPages pages;
    pages.folders = &page;
    {
        ToolsDialog sheet(0, false, pages);
        sheet.Tabs()->setCurrentIndex(1);
        ASSERT_NE(page.FolderEdit(), nullptr);
        page.FolderEdit()->setText(QString::fromStdString((elsewhere_ / "Content").string()));
        sheet.findChild<QPushButton*>("IDOK")->click();
        EXPECT_EQ(sheet.result(), QDialog::Accepted);
    }
    EXPECT_TRUE(TestSupport::WaitFor([&] { return !results.Results().empty(); }));
    EXPECT_EQ(results.Results(), std::vector<int>{0});
    EXPECT_TRUE(TestSupport::WaitFor([] { return !IsWorkerRunning(); }));

    UpdateManager::Shutdown();
    SetWorkerBackend(nullptr);
    SetMainWindowTarget(nullptr);
    UpdateManager::SetUpdateRunEnvironment({});
    UpdateManager::ResetForTesting();
    GetParameterStore() = ParameterStore();

    EXPECT_EQ(Vel::Test::ReadFile(elsewhere_ / "Content/public_users_data/dynamic_content/planets.pak"), "pak bytes");
    EXPECT_FALSE(fs::exists(install_ / "public_users_data"));
    EXPECT_EQ(GetPublicUsersDataParentFolder(), (elsewhere_ / "Content").string());
    EXPECT_TRUE(updatePrompt.Questions().empty());
}

}  // namespace
}  // namespace Vel
