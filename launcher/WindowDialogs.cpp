#include "launcher/WindowDialogs.h"

#include "delivery/HttpClient.h"
#include "delivery/ServiceEndpoints.h"
#include "foundation/LanguageTable.h"
#include "foundation/VelURI.h"
#include "launcher/AboutDlg.h"
#include "launcher/ErrorDlg.h"
#include "launcher/LanguageDlg.h"

namespace Vel {
namespace {

constexpr int kProbeTimeoutMs = 10000;

bool InternetIsReachable() {
    try {
        std::string page;
        bool sent = false;
        HttpRequestOptions options;
        options.timeoutMs = kProbeTimeoutMs;
        return HttpGetToString(VelURI(GetProbeUrl()), page, sent, options);
    } catch (...) {
        return false;
    }
}

}  // namespace

bool WindowDialogs::RunTools(QWidget* parent) {
    ToolsDialog sheet(0, false, pages_, parent);
    return sheet.exec() == QDialog::Accepted;
}

void WindowDialogs::ShowAbout(QWidget*) {
    CAboutDlg about;  // without a parent, as the window's menu opens it
    about.DoModal();
}

void WindowDialogs::ShowConnectionError(QWidget* parent) {
    RunErrorDialog(InternetIsReachable() ? 1139 : 1136, "", true, parent);
}

int WindowDialogs::LoadStoredLanguage() { return Vel::LoadStoredLanguage().id; }

void WindowDialogs::EnsureLanguageChosen() { EnsureLanguageChosenWithDialog(); }

}  // namespace Vel
