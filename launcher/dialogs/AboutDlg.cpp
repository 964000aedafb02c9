#include "launcher/dialogs/AboutDlg.h"

#include "foundation/core/AppEnvironment.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/time/TimeStamp.h"
#include "launcher/controls/DialogItems.h"
#include "launcher/controls/DialogText.h"
#include "launcher/controls/WindowFrame.h"
#include "ui_AboutDlg.h"

#include <QLabel>
#include <QPushButton>

namespace Vel {

std::string FormatAboutText(const std::string& version, int year) {
    return FillPlaceholders(LoadLocalizedString(134), {version, std::string(kCompanyName) + " " + std::to_string(year)});
}

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    Ui::AboutDlgLayout layout;
    layout.setupUi(this);
    SetFixedDialogFrame(*this);
}

void CAboutDlg::InitDialog() {
    if (initialised_) return;
    initialised_ = true;

    setWindowTitle(QString::fromStdString(LoadLocalizedString(135)));
    if (auto* ok = GetDialogItem<QPushButton>(this, "ID_ABOUT_OK")) {
        ok->setText(QString::fromStdString(LoadLocalizedString(136)));
        connect(ok, &QPushButton::clicked, this, [this] { done(1); });
    }
    if (auto* text = GetDialogItem<QLabel>(this, "IDC_ABOUT_STATIC")) {
        const int year = DateTime(TimeStamp()).GetYear();
        text->setText(QString::fromStdString(FormatAboutText(ReloadVersionString(), year)));
    }
    FitFixedDialog(*this);
}

int CAboutDlg::DoModal() {
    InitDialog();
    return exec();
}

void CAboutDlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    InitDialog();
}

void CAboutDlg::reject() { done(2); }

}  // namespace Vel
