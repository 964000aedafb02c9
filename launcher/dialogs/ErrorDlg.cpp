#include "launcher/dialogs/ErrorDlg.h"

#include "foundation/text/LocalizedStrings.h"
#include "launcher/controls/DialogItems.h"
#include "launcher/controls/DialogText.h"
#include "launcher/dialogs/GuiDialogService.h"
#include "launcher/controls/WindowFrame.h"
#include "ui_ErrorDlg.h"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QThread>

#include <array>
#include <tuple>
#include <memory>

namespace Vel {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The calling thread's language set to another one for a while, then back.
class ScopedThreadLocale {
public:
    explicit ScopedThreadLocale(std::uint32_t lcid) : previous_(GetThreadLocale()) { SetThreadLocale(lcid); }
    ~ScopedThreadLocale() { SetThreadLocale(previous_); }
    ScopedThreadLocale(const ScopedThreadLocale&) = delete;
    ScopedThreadLocale& operator=(const ScopedThreadLocale&) = delete;

private:
    std::uint32_t previous_;
};

}  // namespace

ErrorTextParts SplitErrorText(const std::string& text) {
    ErrorTextParts parts;
    const std::size_t first = text.find('|');
    if (first == std::string::npos) return parts;
    parts.title = text.substr(0, first);
    const std::size_t second = text.find('|', first + 1);
    if (second == std::string::npos) return parts;
    parts.message = text.substr(first + 1, second - first - 1);
    const std::size_t third = text.find('|', second + 1);
    if (third == std::string::npos) return parts;
    parts.description = text.substr(second + 1, third - second - 1);
    parts.suggestions = text.substr(third + 1);
    return parts;
}

ErrorTextParts FormatErrorText(const std::string& text, const std::string& argument) {
    ErrorTextParts parts = SplitErrorText(text);
    for (std::string* part : {&parts.title, &parts.message, &parts.description, &parts.suggestions}) {
        if (part->find("%s") != std::string::npos) {
            *part = FillPlaceholders(*part, {argument});
            break;
        }
    }
    return parts;
}

VelErrorDlg::VelErrorDlg(unsigned stringId, const std::string& argument, bool disableRetry, QWidget* parent)
    : QDialog(parent), disableRetry_(disableRetry), text_(LoadLocalizedString(stringId)) {
    Ui::ErrorDlgLayout layout;
    layout.setupUi(this);
    SetFixedDialogFrame(*this);
    parts_ = FormatErrorText(text_, argument);
}

void VelErrorDlg::InitDialog() {
    if (initialised_) return;
    initialised_ = true;

    setWindowTitle(Q(LoadLocalizedString(172)));
    const std::array<std::pair<const char*, unsigned>, 3> headers = {{
        {"IDC_ERROR_MESSAGE_HEADER", 1064},
        {"IDC_ERROR_DESCRIPTION_HEADER", 1065},
        {"IDC_ERROR_SUGGESTIONS_HEADER", 1066},
    }};
    for (const auto& [name, id] : headers)
        if (auto* label = GetDialogItem<QLabel>(this, name)) label->setText(Q(LoadLocalizedString(id)));
    auto* tryAgain = GetDialogItem<QPushButton>(this, "IDOK");
    if (tryAgain) {
        tryAgain->setText(Q(LoadLocalizedString(1067)));
        connect(tryAgain, &QPushButton::clicked, this, &VelErrorDlg::accept);
    }
    if (auto* cancel = GetDialogItem<QPushButton>(this, "IDCANCEL")) {
        cancel->setText(Q(LoadLocalizedString(1068)));
        connect(cancel, &QPushButton::clicked, this, &VelErrorDlg::reject);
    }

    setWindowTitle(Q(parts_.title));
    const std::array<std::tuple<const char*, const char*, const std::string*>, 3> parts = {{
        {"IDC_ERROR_MESSAGE_HEADER", "IDC_ERROR_MESSAGE", &parts_.message},
        {"IDC_ERROR_DESCRIPTION_HEADER", "IDC_ERROR_DESCRIPTION", &parts_.description},
        {"IDC_ERROR_SUGGESTIONS_HEADER", "IDC_ERROR_SUGGESTIONS", &parts_.suggestions},
    }};
    for (const auto& [header, name, text] : parts) {
        auto* label = findChild<QLabel*>(QString::fromUtf8(name));
        if (label) label->setText(Q(*text));
        // A part without text shows no section: no heading over an empty line.
        const bool shown = !text->empty();
        if (label) label->setVisible(shown);
        if (auto* heading = findChild<QLabel*>(QString::fromUtf8(header))) heading->setVisible(shown);
    }
    if (disableRetry_ && tryAgain) tryAgain->setEnabled(false);
    FitFixedDialog(*this);
}

int VelErrorDlg::DoModal() {
    InitDialog();
    return exec();
}

void VelErrorDlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    InitDialog();
}

void VelErrorDlg::accept() { done(kTryAgain); }

void VelErrorDlg::reject() { done(kCancel); }

int RunErrorDialog(unsigned stringId, const std::string& argument, bool disableRetry, QWidget* parent) {
    auto* app = QCoreApplication::instance();
    if (app == nullptr) return VelErrorDlg::kCancel;
    const std::uint32_t lcid = GetThreadLocale();
    const bool guiThread = QThread::currentThread() == app->thread();
    auto run = [stringId, argument, disableRetry, lcid, parent = guiThread ? parent : nullptr]() {
        std::unique_ptr<VelErrorDlg> dialog;
        {
            // Texts in the asking thread's language; the GUI thread's own stays as it was.
            ScopedThreadLocale language(lcid);
            dialog = std::make_unique<VelErrorDlg>(stringId, argument, disableRetry, parent);
            dialog->InitDialog();
        }
        return dialog->exec();
    };
    if (guiThread) return run();
    auto service = GetProcessDialogService();
    if (!service) return VelErrorDlg::kCancel;
    return service->Call(run, VelErrorDlg::kCancel);
}

}  // namespace Vel
