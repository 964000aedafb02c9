#include "launcher/toolsheet/FolderOptionsPage.h"

#include <filesystem>

#include "delivery/content/ContentFolder.h"
#include "delivery/update/UpdateManager.h"
#include "delivery/workers/WorkerRunner.h"
#include "delivery/workers/Workers.h"
#include "foundation/core/Exception.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/files/Paths.h"
#include "foundation/core/StringUtils.h"
#include "foundation/config/UserFolders.h"
#include "launcher/toolsheet/BrowseForFolder.h"
#include "platform/Prompt.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace Vel {
namespace {

QString Text(unsigned id) { return QString::fromStdString(LoadLocalizedString(id)); }
QString Bytes(std::uint64_t n) { return QString::fromStdString(FormatByteSize(n)); }

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text = {}) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

// Trimmed, "\" read as "/", absolute against the current directory, "." and ".." resolved.
std::string CleanFolder(const std::string& text) {
    std::string s = Trim(text);
    for (char& c : s)
        if (c == '\\') c = '/';
    if (s.empty()) return s;
    const std::string absolute = std::filesystem::path(MakeAbsolutePath(s)).lexically_normal().string();
    return ToNativePath(absolute);
}

}  // namespace

FolderOptionsDlg::FolderOptionsDlg(FolderPageServices services) : services_(std::move(services)) {
    if (!services_.freeSpace)
        services_.freeSpace = [](const std::string& volume) { return GetMeasuredFreeSpace(volume); };
    if (!services_.spaceNeeded) services_.spaceNeeded = [] { return GetContentSpaceNeeded(); };
    if (!services_.folderSize) services_.folderSize = [] { return GetContentFolderSize(); };
    if (!services_.browse)
        services_.browse = [](QWidget* owner, const std::string& title, std::string& folder) {
            return BrowseForFolder(owner, title, folder);
        };
}

FolderOptionsDlg::~FolderOptionsDlg() = default;

QWidget* FolderOptionsDlg::Widget() {
    if (!widget_) {
        widget_ = std::make_unique<QWidget>();
        widget_->setObjectName("IDD_FOLDER_OPTIONS");
        BuildControls();  // with its texts, so the sheet is sized for them before the page shows
    }
    return widget_.get();
}

int FolderOptionsDlg::StateForWorker(int workerType) {
    switch (workerType) {
        case kMoveContentWorker: return 2;
        case kDownloadPlanetDataWorker:
        case kCompactPlanetDataWorker:
        case kRepairPlanetDataWorker: return 1;
        default: return 0;
    }
}

void FolderOptionsDlg::Activate() {
    if (!initialised_) InitPage();
    ApplyState(StateForWorker(GetCurrentWorkerType()));
}

void FolderOptionsDlg::SheetEnded(bool) {
    initialised_ = false;
    pathValidated_ = false;
}

void FolderOptionsDlg::BuildControls() {
    built_ = true;
    QWidget* page = widget_.get();
    auto* layout = new QVBoxLayout(page);

    description_ = MakeLabel(page, "IDC_STATIC_CONTENT_FOLDER_DESC");
    description_->setWordWrap(true);
    layout->addWidget(description_);

    auto* row = new QHBoxLayout();
    folderLabel_ = MakeLabel(page, "IDC_STATIC_CONTENT_FOLDER_LABEL", QStringLiteral("Planet data Folder:"));
    folder_ = new QLineEdit(page);
    folder_->setObjectName("IDC_CONTENT_FOLDER");
    // Room for a whole folder path of a usual length, not just its last letters.
    folder_->setMinimumWidth(folder_->fontMetrics().horizontalAdvance(QString(36, QLatin1Char('x'))));
    browse_ = new QPushButton(QStringLiteral("Browse..."), page);
    browse_->setObjectName("IDC_BROWSE");
    row->addWidget(folderLabel_);
    row->addWidget(folder_, 1);
    row->addWidget(browse_);
    layout->addLayout(row);

    auto* grid = new QGridLayout();
    freeLabel_ = MakeLabel(page, "IDC_STATIC_SPACE_AVAILABLE_LABEL");
    usedLabel_ = MakeLabel(page, "IDC_STATIC_SPACE_USED_LABEL");
    recommendedLabel_ = MakeLabel(page, "IDC_STATIC_SPACE_RECOMMENDED_LABEL");
    free_ = MakeLabel(page, "IDC_STATIC_SPACE_AVAILABLE");
    used_ = MakeLabel(page, "IDC_STATIC_SPACE_USED");
    recommended_ = MakeLabel(page, "IDC_STATIC_SPACE_RECOMMENDED");
    grid->addWidget(freeLabel_, 0, 0);
    grid->addWidget(free_, 0, 1);
    grid->addWidget(usedLabel_, 1, 0);
    grid->addWidget(used_, 1, 1);
    grid->addWidget(recommendedLabel_, 2, 0);
    grid->addWidget(recommended_, 2, 1);
    layout->addLayout(grid);

    lowSpace_ = MakeLabel(page, "IDC_STATIC_INFO");
    lowSpace_->setWordWrap(true);
    invalidPath_ = MakeLabel(page, "IDC_STATIC_INVALID_PATH", QStringLiteral("Warning: Invalid path specified."));
    layout->addWidget(lowSpace_);
    layout->addWidget(invalidPath_);
    layout->addStretch(1);
    // The warnings keep their room while hidden: showing one never squeezes the page.
    for (QLabel* warning : {lowSpace_, invalidPath_}) {
        QSizePolicy policy = warning->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        warning->setSizePolicy(policy);
        warning->setVisible(false);
    }
    description_->setText(Text(148));
    freeLabel_->setText(Text(149));
    usedLabel_->setText(Text(150));
    recommendedLabel_->setText(Text(151));
    lowSpace_->setText(Text(1102));

    QObject::connect(folder_, &QLineEdit::textChanged, page, [this](const QString&) {
        try {
            UpdateSpaceInfo();
        } catch (...) {
        }
    });
    QObject::connect(browse_, &QPushButton::clicked, page, [this] {
        try {
            BrowseContentFolder();
        } catch (...) {
        }
    });
}

void FolderOptionsDlg::InitPage() {
    Widget();  // builds the controls once
    initialised_ = true;
    pathValidated_ = false;
    ShowContentFolder();
    UpdateSpaceInfo();
    description_->setText(Text(148));
    freeLabel_->setText(Text(149));
    usedLabel_->setText(Text(150));
    recommendedLabel_->setText(Text(151));
    lowSpace_->setText(Text(1102));
    recommended_->setText(Bytes(services_.spaceNeeded()));
    used_->setText(Bytes(services_.folderSize()));
}

void FolderOptionsDlg::ApplyState(int state) {
    const bool enabled = state == 0;
    for (QWidget* w : std::initializer_list<QWidget*>{folder_, free_, used_, recommended_, lowSpace_, invalidPath_,
                                                      folderLabel_, freeLabel_, usedLabel_, recommendedLabel_, browse_})
        w->setEnabled(enabled);
    if (state == 0) {
        description_->setText(Text(148));
        ShowContentFolder();
    } else {
        description_->setText(Text(state == 1 ? 1259 : 1260));
    }
}

void FolderOptionsDlg::ShowContentFolder() { folder_->setText(QString::fromStdString(ToNativePath(GetContentRoot()))); }

void FolderOptionsDlg::UpdateSpaceInfo() {
    if (!built_) return;
    const std::string text = Trim(folder_->text().toStdString());
    const std::string native = ToNativePath(text);
    const std::string volume = IsAbsolutePath(text) ? GetVolumeRoot(text) : std::string();
    // The bare root is no folder to put the content under (as a bare drive is not).
    if (!volume.empty() && native != "/" && native != GetRootName(native)) {
        if (const std::optional<std::uint64_t> freeBytes = services_.freeSpace(volume)) {
            free_->setText(Bytes(*freeBytes));
            invalidPath_->setVisible(false);
            lowSpace_->setVisible(*freeBytes < services_.spaceNeeded());
            pathValidated_ = true;
            return;
        }
    }
    free_->setText(QStringLiteral("0"));
    invalidPath_->setVisible(true);
    lowSpace_->setVisible(false);
}

void FolderOptionsDlg::BrowseContentFolder() {
    std::string folder = GetChosenFolder();
    if (!services_.browse(Widget(), "Select Content Folder", folder)) return;
    folder_->setText(QString::fromStdString(ToNativePath(folder)));
    UpdateSpaceInfo();
}

std::string FolderOptionsDlg::GetChosenFolder() const {
    return folder_ != nullptr ? CleanFolder(folder_->text().toStdString()) : std::string();
}

bool FolderOptionsDlg::CheckNewFolder(const std::string& folder, const std::string& oldFolder) const {
    if (!IsAbsolutePath(folder) || folder == "/") return false;
    if (IsInsideDirectory(oldFolder, folder)) return false;
    if (!EnsureParentDirectory(WithTrailingSlash(folder))) return false;
    return HasAccess(folder, kFileGenericWrite);
}

bool FolderOptionsDlg::ApplyContentFolder() {
    if (!pathValidated_ || UpdateManager::IsUpdateRunning()) return true;
    const std::string chosen = GetChosenFolder();
    const std::string old = CleanFolder(GetContentRoot());
    if (chosen == old) return true;

    while (!CheckNewFolder(chosen, old)) {
        if (Platform::ShowPrompt(LoadLocalizedString(147), Platform::PromptButtons::RetryCancel,
                                 Platform::PromptIcon::Warning) != Platform::kIdRetry)
            return true;
    }
    try {
        RunWorker(std::make_shared<MoveContentWorker>(chosen));
    } catch (const Exception&) {
        Platform::ShowPrompt(kRunWorkerRefusedText, Platform::PromptButtons::Ok, Platform::PromptIcon::Warning);
        return false;
    }
    return true;
}

bool FolderOptionsDlg::Apply() {
    try {
        return ApplyContentFolder();
    } catch (const std::exception&) {
        Platform::ShowPrompt(LoadLocalizedString(147), Platform::PromptButtons::Ok, Platform::PromptIcon::Warning);
        return false;
    }
}

}  // namespace Vel
