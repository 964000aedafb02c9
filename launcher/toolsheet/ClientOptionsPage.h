#pragma once
// VelClientOptionsDlg: the tools sheet's options page. It edits the settings that become the
// game client's launch switches (sounds, streaming audio, window mode, safe mode, the 64-bit
// client), the interface language, the connection bandwidth and the number of download
// threads, and offers two repairs: resetting the client's local quality settings and clearing
// its shader cache. The client launch uses a page that is never shown to build the switches.
//
// Contract:
// - GUI thread only; no locks. Settings are read and written through the settings hive on
//   every call (RegistrySettings), so pages in two sheets never share state.
// - The controls exist from the first Activate on; until then LoadSettings only reads values
//   and SaveSettings writes nothing.
// - SaveSettings writes SafeMode, WindowMode, DisableSounds, DisableStreamingAudio,
//   64bitClient, Language, Bandwidth, DownloadThreadCount in this order and throws
//   Vel::Exception when a write fails; Apply shows that failure and answers false.
// - On a system that is not 64-bit the 64-bit box is unchecked, disabled and stored false.

#include "launcher/toolsheet/ToolsPage.h"

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QSlider;
class QWidget;

namespace Vel {

struct BandwidthChoice {
    const char* text;
    int kbit;
};
const std::vector<BandwidthChoice>& BandwidthTable();
// The row with the largest value not above kbit; the first row when all are above.
std::size_t BandwidthIndexFor(int kbit);

class VelClientOptionsDlg final : public IToolsPage {
public:
    // is64BitSystem: null asks IsWow64.
    explicit VelClientOptionsDlg(std::function<bool()> is64BitSystem = nullptr);
    ~VelClientOptionsDlg() override;

    QWidget* Widget() override;
    void Activate() override;
    bool Apply() override;

    // The launch switches, each beginning with a blank.
    std::string GetLaunchArguments();
    void LoadSettings(bool updateControls);
    void SaveSettings();
    // The page's Use 64-bit client value (after LoadSettings or from the box).
    bool GetUse64bitClient() const { return use64bitClient_ != 0; }
    bool IsInitialised() const { return initialised_; }

    void ResetLocalSettings();
    void ClearShaderCache();

    // The controls, for the sheet and for tests; null before the first Activate.
    QComboBox* LanguageList() const { return language_; }
    QComboBox* BandwidthList() const { return bandwidth_; }
    QSlider* ThreadSlider() const { return threads_; }
    QCheckBox* Use64bitBox() const { return use64_; }

private:
    void InitPage();
    void ExchangeToControls();
    void ExchangeFromControls();
    void FillLanguageList();
    void FillBandwidthList();
    void OnBandwidthChanged();

    std::function<bool()> is64BitSystem_;
    std::unique_ptr<QWidget> widget_;
    bool initialised_ = false;
    int disableSounds_ = 0;
    int disableStreamingAudio_ = 0;
    int windowMode_ = 0;
    int safeMode_ = 0;
    int use64bitClient_ = 0;

    QComboBox* language_ = nullptr;
    QComboBox* bandwidth_ = nullptr;
    QSlider* threads_ = nullptr;
    QLabel* threadsLabel_ = nullptr;
    QCheckBox* sounds_ = nullptr;
    QCheckBox* streaming_ = nullptr;
    QCheckBox* windowModeBox_ = nullptr;
    QCheckBox* safeModeBox_ = nullptr;
    QCheckBox* use64_ = nullptr;
};

}  // namespace Vel
