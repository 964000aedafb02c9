#include "launcher/window/WindowDialogs.h"

#include "delivery/net/HttpClient.h"
#include "delivery/net/ServiceEndpoints.h"
#include "delivery/update/UpdateManager.h"
#include "foundation/text/LanguageTable.h"
#include "foundation/runtime/VelURI.h"
#include "launcher/dialogs/AboutDlg.h"
#include "launcher/toolsheet/DynamicContentDlg.h"
#include "launcher/toolsheet/FolderOptionsPage.h"
#include "launcher/toolsheet/ToolsDialog.h"
#include "launcher/dialogs/ErrorDlg.h"
#include "launcher/dialogs/LanguageDlg.h"

#include <optional>

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
    // The pages live for this run only; they are destroyed after the sheet that shows them.
    FolderOptionsDlg folders;
    std::optional<DynamicContentDlg> planetData;
    if (planetSizes_ != nullptr) planetData.emplace(*planetSizes_);
    ToolsPages pages;
    pages.folders = &folders;
    pages.planetData = planetData ? &*planetData : nullptr;
    ToolsDialog sheet(0, false, pages, parent);
    return sheet.exec() == QDialog::Accepted;
}

void WindowDialogs::ShowAbout(QWidget*) {
    CAboutDlg about;  // without a parent, as the window's menu opens it
    about.DoModal();
}

void WindowDialogs::ShowConnectionError(QWidget* parent, const UpdateManager::UpdateFailure& failure) {
    const bool serverReached = failure.serverAnswered || InternetIsReachable();
    RunErrorDialog(serverReached ? 1139 : 1136, failure.cause, true, parent);
}

int WindowDialogs::LoadStoredLanguage() { return Vel::LoadStoredLanguage().id; }

void WindowDialogs::EnsureLanguageChosen() { EnsureLanguageChosenWithDialog(); }

}  // namespace Vel
