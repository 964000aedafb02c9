#include "launcher/dialogs/LanguageDlg.h"

#include "foundation/text/LocalizedStrings.h"
#include "foundation/config/RegistrySettings.h"
#include "launcher/controls/DialogItems.h"
#include "launcher/dialogs/QtTranslations.h"
#include "launcher/controls/WindowFrame.h"
#include "ui_LanguageDlg.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

#include <algorithm>

namespace Vel {

VelLanguageDlg::VelLanguageDlg(QWidget* parent, std::vector<LanguageInfo> languages)
    : QDialog(parent), languages_(std::move(languages)) {
    Ui::LanguageDlgLayout layout;
    layout.setupUi(this);
    SetFixedDialogFrame(*this);
}

void VelLanguageDlg::InitDialog() {
    if (initialised_) return;
    initialised_ = true;

    if (auto* prompt = GetDialogItem<QLabel>(this, "IDC_LANGUAGE_STATIC"))
        prompt->setText(QString::fromStdString(LoadLocalizedString(133)));
    if (auto* ok = findChild<QPushButton*>(QStringLiteral("IDC_LANGUAGE_OK")))
        connect(ok, &QPushButton::clicked, this, &VelLanguageDlg::OnOK);

    list_ = findChild<QComboBox*>(QStringLiteral("IDC_LANGUAGE_LIST"));
    if (list_ != nullptr) {
        for (const auto& language : languages_)
            if (HasUiResources(language)) list_->addItem(QString::fromStdString(language.nativeName), language.id);
        const int ownLanguage = list_->findData(FindLanguageByLcid(GetThreadLocale()).id);
        if (list_->count() > 0) list_->setCurrentIndex(std::max(0, ownLanguage));
    }
    FitFixedDialog(*this);
    if (list_ != nullptr && list_->count() == 1) {
        // Nothing to choose. From inside a show, end once the modal loop runs: ending before
        // it starts would leave it waiting.
        if (isVisible()) QTimer::singleShot(0, this, &VelLanguageDlg::OnOK);
        else OnOK();
    }
}

int VelLanguageDlg::DoModal() {
    InitDialog();
    if (ended_) return result();
    return exec();
}

void VelLanguageDlg::OnOK() {
    if (list_ == nullptr || list_->currentIndex() < 0) return;
    const auto& key = Settings::Language;
    try {
        WriteSettingInt(key.section, key.name, list_->currentData().toInt(), key.scope);
    } catch (...) {
        // A hive that cannot be written must not keep the player out: this run goes on in the
        // language applied without a choice, and the next start asks again.
    }
    ended_ = true;
    done(kOk);
}

void VelLanguageDlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    InitDialog();
}

void VelLanguageDlg::reject() {
    ended_ = true;
    done(kCancel);
}

}  // namespace Vel

namespace Vel {

bool EnsureLanguageChosenWithDialog() {
    const bool chosen = EnsureLanguageChosen([] {
        VelLanguageDlg dialog;
        return dialog.DoModal() == VelLanguageDlg::kOk;
    });
    // Qt's texts missing on this system leave its buttons in English; the launcher goes on.
    if (chosen) ApplyQtTranslations(GetThreadLocale());
    return chosen;
}

}  // namespace Vel
