#include "launcher/dialogs/NDADlg.h"

#include "delivery/net/ServiceEndpoints.h"
#include "foundation/text/LocalizedStrings.h"
#include "launcher/controls/BitmapResources.h"
#include "launcher/controls/DialogItems.h"
#include "launcher/web/WebView.h"
#include "ui_NDADlg.h"

#include <QApplication>
#include <QPushButton>

#include <cctype>

namespace Vel {

std::string TermsPageUrl(const std::string& baseUrl, const LanguageInfo& language) {
    std::string url = baseUrl;
    if (url.empty() || url.back() != '/') url += '/';
    std::string code = language.twoLetterCode;
    for (char& c : code) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return url + "(" + code + ")/trailstarter/terms-of-use/index.xml";
}

VelNDADlg::VelNDADlg(QWidget* parent) : QDialog(parent) {
    Ui::NDADlgLayout layout;
    layout.setupUi(this);
    browser_ = CreateWebView(findChild<QWidget*>(QStringLiteral("IDC_NDA_BROWSER")));
}

void VelNDADlg::InitDialog() {
    if (initialised_) return;
    initialised_ = true;

    setWindowIcon(LoadIconResource(kProgramIconId));
    const std::string address = TermsPageUrl(GetTermsBaseUrl(), GetEffectiveLanguage());
    if (browser_) browser_->Navigate(address);

    setWindowTitle(QString::fromStdString(LoadLocalizedString(1069)));
    if (auto* accept = GetDialogItem<QPushButton>(this, "BTN_NDA_ACCEPT")) {
        accept->setText(QString::fromStdString(LoadLocalizedString(1071)));
        connect(accept, &QPushButton::clicked, this, [this] { done(kAccepted); });
    }
    if (auto* decline = GetDialogItem<QPushButton>(this, "BTN_NDA_DECLINE")) {
        decline->setText(QString::fromStdString(LoadLocalizedString(1072)));
        connect(decline, &QPushButton::clicked, this, [this] { done(kDeclined); });
    }
}

int VelNDADlg::DoModal() {
    InitDialog();
    return exec();
}

void VelNDADlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    InitDialog();
}

void VelNDADlg::reject() { done(kClosed); }

}  // namespace Vel
