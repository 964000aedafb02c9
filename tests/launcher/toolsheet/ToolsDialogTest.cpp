#include "launcher/toolsheet/ToolsDialog.h"

#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/QtApp.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QSlider>
#include <QTabWidget>
#include <QWidget>

namespace Vel {
namespace {

using Vel::Test::App;

void SetBool(const BoolSettingKey& key, bool value) { WriteSettingBool(key.section, key.name, value, key.scope); }
bool GetBool(const BoolSettingKey& key) { return ReadSettingBool(key.section, key.name, !key.defaultValue, key.scope); }
void SetInt(const IntSettingKey& key, int value) { WriteSettingInt(key.section, key.name, value, key.scope); }
int GetInt(const IntSettingKey& key) { return ReadSettingInt(key.section, key.name, -1, key.scope); }

// A page standing in for the folders and planet-data pages.
class RecordingPage final : public IToolsPage {
public:
    QWidget* Widget() override { return &widget; }
    void Activate() override { ++activations; }
    bool Apply() override {
        ++applied;
        return true;
    }
    void SheetEnded(bool wasApplied) override { ended.push_back(wasApplied); }

    QWidget widget;
    int activations = 0;
    int applied = 0;
    std::vector<bool> ended;
};

class ToolsDialogTest : public ::testing::Test {
protected:
    void SetUp() override { App(); }
    Vel::Test::ScriptedPrompt prompt_;
};

TEST_F(ToolsDialogTest, StoredBandwidthSelectsTheLargestValueNotAboveIt) {
    const struct {
        int stored;
        const char* shown;
    } cases[] = {{999, "512 kbit"}, {10000, "10.0 Mbit"}, {250000, "10.0 Mbit"}, {50, "56 kbit (Modem)"},
                 {1000, "1.0 Mbit"}};
    for (const auto& c : cases) {
        SetInt(Settings::Bandwidth, c.stored);
        VelClientOptionsDlg page([] { return true; });
        page.Activate();
        EXPECT_EQ(page.BandwidthList()->currentText().toStdString(), c.shown) << c.stored;
    }
}

TEST_F(ToolsDialogTest, LaunchSwitchesFollowTheStoredSettings) {
    const struct {
        bool sounds, streaming, window, safe;
        const char* switches;
    } cases[] = {
        {true, false, true, false, " -quiet -windowmode"},
        {false, false, false, false, " -fullscreen"},
        {true, true, false, true, " -quiet -disable_streaming_audio -fullscreen -safemode"},
    };
    for (const auto& c : cases) {
        SetBool(Settings::DisableSounds, c.sounds);
        SetBool(Settings::DisableStreamingAudio, c.streaming);
        SetBool(Settings::WindowMode, c.window);
        SetBool(Settings::SafeMode, c.safe);
        VelClientOptionsDlg page;  // never shown: the switches come from the settings
        EXPECT_EQ(page.GetLaunchArguments(), c.switches);
        EXPECT_FALSE(page.IsInitialised());
    }
}

TEST_F(ToolsDialogTest, ALanguageWithoutInterfaceStringsSelectsEnglish) {
    SetInt(Settings::Language, 7);
    VelClientOptionsDlg page([] { return true; });
    page.Activate();
    EXPECT_EQ(page.LanguageList()->currentData().toInt(), 1);
    SetInt(Settings::Language, 3);
    VelClientOptionsDlg stored([] { return true; });
    stored.Activate();
    EXPECT_EQ(stored.LanguageList()->currentData().toInt(), 3);
}

TEST_F(ToolsDialogTest, OkSavesTheShowingOptionsPageAndA32BitSystemStoresNo64BitClient) {
    SetBool(Settings::Use64bitClient, true);
    SetInt(Settings::Bandwidth, 1000);
    ToolsDialog sheet(0, false, {}, nullptr, [] { return false; });
    VelClientOptionsDlg& page = sheet.OptionsPage();
    ASSERT_TRUE(page.IsInitialised());
    EXPECT_FALSE(page.Use64bitBox()->isEnabled());
    page.BandwidthList()->setCurrentIndex(1);  // 64 kbit: streaming audio goes off
    page.ThreadSlider()->setValue(5);
    sheet.OnOk();
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_FALSE(GetBool(Settings::Use64bitClient));
    EXPECT_TRUE(GetBool(Settings::DisableStreamingAudio));
    EXPECT_EQ(GetInt(Settings::Bandwidth), 64);
    EXPECT_EQ(GetInt(Settings::DownloadThreadCount), 5);
}

TEST_F(ToolsDialogTest, OnlyTheShowingPageAppliesAndEveryPageHearsTheEnd) {
    SetInt(Settings::Bandwidth, 1000);
    RecordingPage folders, planet;
    {
        ToolsDialog sheet(0, false, {&folders, &planet}, nullptr, [] { return true; });
        sheet.OptionsPage().BandwidthList()->setCurrentIndex(0);
        sheet.Tabs()->setCurrentIndex(1);  // the folders page
        EXPECT_EQ(folders.activations, 1);
        sheet.OnOk();
        EXPECT_EQ(folders.applied, 1);
    }
    EXPECT_EQ(GetInt(Settings::Bandwidth), 1000);  // the options page was not showing
    EXPECT_EQ(planet.applied, 0);
    EXPECT_EQ(planet.ended, std::vector<bool>{false});
    EXPECT_EQ(folders.ended, std::vector<bool>{true});

    {
        ToolsDialog sheet(2, false, {&folders, &planet}, nullptr, [] { return true; });
        EXPECT_EQ(planet.activations, 1);
        sheet.OnCancel();
        EXPECT_EQ(sheet.result(), QDialog::Rejected);
    }
    EXPECT_EQ(planet.applied, 0);
    EXPECT_EQ(planet.ended, (std::vector<bool>{false, false}));
}

TEST_F(ToolsDialogTest, AFailedSettingsWriteIsShownAndKeepsTheSheetOpen) {
    Vel::Test::TempDir dir("hive");
    ToolsDialog sheet(0, false, {}, nullptr, [] { return true; });
    std::vector<int> ends;
    QObject::connect(&sheet, &QDialog::finished, [&](int r) { ends.push_back(r); });
    {
        // A folder where the settings file should be: every write fails.
        Vel::Test::ScopedEnv env;
        env.Set("TRAILSTARTER_USER_HIVE", dir.Path().c_str());
        sheet.OnOk();
    }
    ASSERT_EQ(prompt_.Questions().size(), 1u);
    EXPECT_TRUE(ends.empty());  // still open
    sheet.OnCancel();
    EXPECT_EQ(ends, std::vector<int>{QDialog::Rejected});
}

}  // namespace
}  // namespace Vel
