#include "launcher/toolsheet/ClientOptionsPage.h"

#include "foundation/core/Exception.h"
#include "foundation/text/LanguageTable.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/files/Paths.h"
#include "foundation/runtime/ProcessRuntime.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/config/UserFolders.h"
#include "platform/Prompt.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

namespace Vel {
namespace {

QString Text(unsigned id) { return QString::fromStdString(LoadLocalizedString(id)); }

template <class K>
bool ReadBool(const K& key) {
    return ReadSettingBool(key.section, key.name, key.defaultValue, key.scope);
}
template <class K>
void WriteBool(const K& key, bool value) {
    WriteSettingBool(key.section, key.name, value, key.scope);
}

QCheckBox* MakeCheck(QWidget* parent, const char* name, const QString& text) {
    auto* box = new QCheckBox(text, parent);
    box->setObjectName(name);
    return box;
}

}  // namespace

const std::vector<BandwidthChoice>& BandwidthTable() {
    static const std::vector<BandwidthChoice> table = {
        {"56 kbit (Modem)", 56}, {"64 kbit (ISDN)", 64}, {"128 kbit (ISDNx2)", 128}, {"256 kbit", 256},
        {"384 kbit", 384},       {"512 kbit", 512},      {"1.0 Mbit", 1000},         {"1.5 Mbit", 1500},
        {"2.0 Mbit", 2000},      {"2.5 Mbit", 2500},     {"3.0 Mbit", 3000},         {"4.0 Mbit", 4000},
        {"6.0 Mbit", 6000},      {"8.0 Mbit", 8000},     {"10.0 Mbit", 10000},
    };
    return table;
}

std::size_t BandwidthIndexFor(int kbit) {
    const auto& table = BandwidthTable();
    std::size_t best = 0;
    for (std::size_t i = 0; i < table.size(); ++i)
        if (table[i].kbit <= kbit) best = i;
    return best;
}

VelClientOptionsDlg::VelClientOptionsDlg(std::function<bool()> is64BitSystem)
    : is64BitSystem_(is64BitSystem ? std::move(is64BitSystem) : [] { return IsWow64(); }) {}

VelClientOptionsDlg::~VelClientOptionsDlg() = default;

QWidget* VelClientOptionsDlg::Widget() {
    if (!widget_) {
        widget_ = std::make_unique<QWidget>();
        widget_->setObjectName("IDD_CLIENT_OPTIONS");
    }
    return widget_.get();
}

void VelClientOptionsDlg::Activate() {
    if (!initialised_) InitPage();
}

void VelClientOptionsDlg::InitPage() {
    initialised_ = true;
    QWidget* page = Widget();
    auto* layout = new QVBoxLayout(page);

    auto* general = new QGroupBox(Text(1228), page);
    general->setObjectName("IDC_GENERAL");
    auto* generalLayout = new QHBoxLayout(general);
    auto* languageLabel = new QLabel(Text(1227), general);
    languageLabel->setObjectName("IDC_LANGUAGE_DESCRIPTION");
    language_ = new QComboBox(general);
    language_->setObjectName("IDC_LANGUAGE");
    generalLayout->addWidget(languageLabel);
    generalLayout->addWidget(language_, 1);
    layout->addWidget(general);

    auto* connection = new QGroupBox(Text(1229), page);
    connection->setObjectName("IDC_CONNECTION");
    auto* connectionLayout = new QGridLayout(connection);
    bandwidth_ = new QComboBox(connection);
    bandwidth_->setObjectName("IDC_BANDWIDTH");
    auto* threadsTitle = new QLabel(Text(1199), connection);
    threadsTitle->setObjectName("IDC_DOWNLOAD_THREADS_LABEL");
    threads_ = new QSlider(Qt::Horizontal, connection);
    threads_->setObjectName("IDC_DOWNLOAD_THREADS");
    threadsLabel_ = new QLabel(connection);
    threadsLabel_->setObjectName("IDC_DOWNLOAD_THREADS_VALUE");
    connectionLayout->addWidget(bandwidth_, 0, 0, 1, 3);
    connectionLayout->addWidget(threadsTitle, 1, 0);
    connectionLayout->addWidget(threads_, 1, 1);
    connectionLayout->addWidget(threadsLabel_, 1, 2);
    layout->addWidget(connection);

    auto* sound = new QGroupBox(Text(1234), page);
    sound->setObjectName("IDC_SOUND");
    auto* soundLayout = new QVBoxLayout(sound);
    sounds_ = MakeCheck(sound, "IDC_DISABLESOUNDS", Text(1231));
    streaming_ = MakeCheck(sound, "IDC_DISABLE_STREAMING", Text(1232));
    soundLayout->addWidget(sounds_);
    soundLayout->addWidget(streaming_);
    layout->addWidget(sound);

    auto* graphics = new QGroupBox(Text(1233), page);
    graphics->setObjectName("IDC_GRAPHICS");
    auto* graphicsLayout = new QGridLayout(graphics);
    windowModeBox_ = MakeCheck(graphics, "IDC_WINDOWMODE", Text(1235));
    safeModeBox_ = MakeCheck(graphics, "IDC_SAFEMODE", Text(1237));
    auto* reset = new QPushButton(Text(1236), graphics);
    reset->setObjectName("IDC_RESET_LOCAL_SETTINGS");
    auto* shaders = new QPushButton(Text(1240), graphics);
    shaders->setObjectName("IDC_RESET_SHADER_CACHE");
    graphicsLayout->addWidget(windowModeBox_, 0, 0);
    graphicsLayout->addWidget(safeModeBox_, 1, 0);
    graphicsLayout->addWidget(reset, 0, 1);
    graphicsLayout->addWidget(shaders, 1, 1);
    layout->addWidget(graphics);

    auto* system = new QGroupBox(QStringLiteral("System"), page);
    system->setObjectName("IDC_SYSTEM");
    auto* systemLayout = new QVBoxLayout(system);
    use64_ = MakeCheck(system, "IDC_USE_64BIT_CLIENT", QStringLiteral("Use 64-bit client"));
    systemLayout->addWidget(use64_);
    layout->addWidget(system);
    layout->addStretch(1);

    LoadSettings(true);
    if (!is64BitSystem_()) {
        use64bitClient_ = 0;
        use64_->setChecked(false);
        use64_->setEnabled(false);
    }
    FillLanguageList();
    FillBandwidthList();

    threads_->setRange(1, 12);
    threads_->setValue(ReadSettingInt(Settings::DownloadThreadCount.section, Settings::DownloadThreadCount.name,
                                      Settings::DownloadThreadCount.defaultValue, Settings::DownloadThreadCount.scope));
    threadsLabel_->setText(QString::number(threads_->value()));
    threads_->setToolTip(Text(1238));

    QObject::connect(threads_, &QSlider::valueChanged, threadsLabel_,
                     [label = threadsLabel_](int v) { label->setText(QString::number(v)); });
    QObject::connect(bandwidth_, &QComboBox::currentIndexChanged, page, [this](int) {
        try {
            OnBandwidthChanged();
        } catch (...) {
        }
    });
    QObject::connect(reset, &QPushButton::clicked, page, [this] {
        try {
            ResetLocalSettings();
        } catch (...) {
        }
    });
    QObject::connect(shaders, &QPushButton::clicked, page, [this] {
        try {
            ClearShaderCache();
        } catch (...) {
        }
    });
}

void VelClientOptionsDlg::ExchangeToControls() {
    if (!initialised_) return;
    sounds_->setChecked(disableSounds_ != 0);
    streaming_->setChecked(disableStreamingAudio_ != 0);
    windowModeBox_->setChecked(windowMode_ != 0);
    safeModeBox_->setChecked(safeMode_ != 0);
    use64_->setChecked(use64bitClient_ != 0);
}

void VelClientOptionsDlg::ExchangeFromControls() {
    if (!initialised_) return;
    disableSounds_ = sounds_->isChecked();
    disableStreamingAudio_ = streaming_->isChecked();
    windowMode_ = windowModeBox_->isChecked();
    safeMode_ = safeModeBox_->isChecked();
    use64bitClient_ = use64_->isChecked();
}

void VelClientOptionsDlg::LoadSettings(bool updateControls) {
    disableSounds_ = ReadBool(Settings::DisableSounds);
    disableStreamingAudio_ = ReadBool(Settings::DisableStreamingAudio);
    windowMode_ = ReadBool(Settings::WindowMode);
    safeMode_ = ReadBool(Settings::SafeMode);
    use64bitClient_ = ReadBool(Settings::Use64bitClient);
    if (updateControls) ExchangeToControls();
}

void VelClientOptionsDlg::FillLanguageList() {
    language_->clear();
    for (const LanguageInfo& row : GetLanguageTable())
        if (HasUiResources(row)) language_->addItem(QString::fromStdString(row.nativeName), row.id);
    const int stored = ReadSettingInt(Settings::Language.section, Settings::Language.name, 1, Settings::Language.scope);
    const int wanted = HasUiResources(FindLanguageById(stored)) ? stored : 1;
    const int index = language_->findData(wanted);
    language_->setCurrentIndex(index >= 0 ? index : 0);
}

void VelClientOptionsDlg::FillBandwidthList() {
    const QSignalBlocker block(bandwidth_);
    bandwidth_->clear();
    for (const BandwidthChoice& choice : BandwidthTable())
        bandwidth_->addItem(QString::fromUtf8(choice.text), choice.kbit);
    bandwidth_->setCurrentIndex(static_cast<int>(BandwidthIndexFor(ReadSettingInt(
        Settings::Bandwidth.section, Settings::Bandwidth.name, Settings::Bandwidth.defaultValue, Settings::Bandwidth.scope))));
}

void VelClientOptionsDlg::OnBandwidthChanged() {
    ExchangeFromControls();
    disableStreamingAudio_ = bandwidth_->currentData().toInt() < 256 ? 1 : 0;
    ExchangeToControls();
}

std::string VelClientOptionsDlg::GetLaunchArguments() {
    if (!initialised_) LoadSettings(false);
    else ExchangeFromControls();
    std::string switches;
    if (disableSounds_) switches += " -quiet";
    if (disableStreamingAudio_) switches += " -disable_streaming_audio";
    switches += windowMode_ ? " -windowmode" : " -fullscreen";
    if (safeMode_) switches += " -safemode";
    return switches;
}

void VelClientOptionsDlg::SaveSettings() {
    if (!initialised_) return;
    ExchangeFromControls();
    if (!is64BitSystem_()) use64bitClient_ = 0;
    WriteBool(Settings::SafeMode, safeMode_ != 0);
    WriteBool(Settings::WindowMode, windowMode_ != 0);
    WriteBool(Settings::DisableSounds, disableSounds_ != 0);
    WriteBool(Settings::DisableStreamingAudio, disableStreamingAudio_ != 0);
    WriteBool(Settings::Use64bitClient, use64bitClient_ != 0);
    WriteSettingInt(Settings::Language.section, Settings::Language.name, language_->currentData().toInt(),
                    Settings::Language.scope);
    WriteSettingInt(Settings::Bandwidth.section, Settings::Bandwidth.name, bandwidth_->currentData().toInt(),
                    Settings::Bandwidth.scope);
    WriteSettingInt(Settings::DownloadThreadCount.section, Settings::DownloadThreadCount.name, threads_->value(),
                    Settings::DownloadThreadCount.scope);
}

bool VelClientOptionsDlg::Apply() {
    try {
        SaveSettings();
        return true;
    } catch (const Exception&) {
        Platform::ShowPrompt("The settings could not be saved. Please check that your settings file can be written.",
                             Platform::PromptButtons::Ok, Platform::PromptIcon::Error);
        return false;
    }
}

void VelClientOptionsDlg::ResetLocalSettings() {
    if (Platform::ShowPrompt(LoadLocalizedString(1198), Platform::PromptButtons::OkCancel,
                             Platform::PromptIcon::Question) != Platform::kIdOk)
        return;
    TryDeleteFileIfPresent(GetPublicUsersDataFolder() + "settings-ce.cfg");
}

void VelClientOptionsDlg::ClearShaderCache() {
    for (;;) {
        try {
            const std::string folder = GetPublicUsersDataFolder() + "shaders/";
            if (IsDirectory(folder)) RemovePath(folder, true);
            Platform::ShowPrompt(LoadLocalizedString(157), Platform::PromptButtons::Ok,
                                 Platform::PromptIcon::Information);
            return;
        } catch (const Exception& e) {
            if (Platform::ShowPrompt("Failed clearing shader cache: " + std::string(e.what()),
                                     Platform::PromptButtons::RetryCancel,
                                     Platform::PromptIcon::Error) != Platform::kIdRetry)
                return;
        }
    }
}

}  // namespace Vel
