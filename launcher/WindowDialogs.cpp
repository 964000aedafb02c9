#include "launcher/WindowDialogs.h"

#include "delivery/HttpClient.h"
#include "foundation/Exception.h"
#include "foundation/LanguageTable.h"
#include "foundation/LocalizedStrings.h"
#include "foundation/VelURI.h"
#include "launcher/PromptUpdateErrorPrompt.h"
#include "platform/Prompt.h"

namespace Vel {

bool WindowDialogs::RunTools(QWidget* parent) {
    ToolsDialog sheet(0, false, pages_, parent);
    return sheet.exec() == QDialog::Accepted;
}

void WindowDialogs::ShowAbout(QWidget*) {
    // The about box is not part of this window's services yet.
}

void WindowDialogs::ShowConnectionError(QWidget*) {
    bool internet = false;
    try {
        HttpRequestOptions options;
        options.timeoutMs = 5000;
        std::string body;
        bool sent = false;
        internet = HttpGetToString(VelURI(kConnectivityProbeUrl), body, sent, options);
    } catch (const Exception&) {
        internet = false;
    }
    const ErrorEntryText entry = FormatErrorEntry(internet ? 1139 : 1136, "");
    Platform::ShowPrompt(entry.text, Platform::PromptButtons::Ok, Platform::PromptIcon::Error, entry.title);
}

int WindowLanguage::LoadStoredLanguage() { return Vel::LoadStoredLanguage().id; }

void WindowLanguage::EnsureLanguageChosen() {
    Vel::EnsureLanguageChosen([] { return false; });
    ApplyThreadUiLanguage();
}

}  // namespace Vel
