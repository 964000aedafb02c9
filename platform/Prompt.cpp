#include "platform/Prompt.h"

#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <atomic>

namespace Vel::Platform {
namespace {

QMessageBox::StandardButtons ToQt(PromptButtons buttons) {
    switch (buttons) {
        case PromptButtons::Ok: return QMessageBox::Ok;
        case PromptButtons::OkCancel: return QMessageBox::Ok | QMessageBox::Cancel;
        case PromptButtons::RetryCancel: return QMessageBox::Retry | QMessageBox::Cancel;
        case PromptButtons::YesNo: return QMessageBox::Yes | QMessageBox::No;
        case PromptButtons::YesNoCancel: return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    }
    return QMessageBox::Ok;
}

QMessageBox::Icon ToQt(PromptIcon icon) {
    switch (icon) {
        case PromptIcon::None: return QMessageBox::NoIcon;
        case PromptIcon::Information: return QMessageBox::Information;
        case PromptIcon::Warning: return QMessageBox::Warning;
        case PromptIcon::Error: return QMessageBox::Critical;
        case PromptIcon::Question: return QMessageBox::Question;
    }
    return QMessageBox::NoIcon;
}

int FromQt(int button) {
    switch (button) {
        case QMessageBox::Ok: return kIdOk;
        case QMessageBox::Retry: return kIdRetry;
        case QMessageBox::Yes: return kIdYes;
        case QMessageBox::No: return kIdNo;
        default: return kIdCancel;
    }
}

class QtPrompt final : public IPrompt {
public:
    int Show(const std::string& text, const std::string& caption, PromptButtons buttons,
             PromptIcon icon) override {
        auto ask = [&] {
            QMessageBox box(ToQt(icon), QString::fromStdString(caption), QString::fromStdString(text),
                            ToQt(buttons));
            return FromQt(box.exec());
        };
        auto* app = QCoreApplication::instance();
        if (app == nullptr) return kIdCancel;  // no user interface to ask
        if (QThread::currentThread() == app->thread()) return ask();
        int result = kIdCancel;
        QMetaObject::invokeMethod(app, [&] { result = ask(); }, Qt::BlockingQueuedConnection);
        return result;
    }
};

QtPrompt g_qtPrompt;
std::atomic<IPrompt*> g_prompt{nullptr};

}  // namespace

IPrompt& GetPrompt() {
    IPrompt* p = g_prompt.load();
    return p ? *p : g_qtPrompt;
}

void SetPrompt(IPrompt* prompt) { g_prompt.store(prompt); }

int ShowPrompt(const std::string& text, PromptButtons buttons, PromptIcon icon, const std::string& caption) {
    return GetPrompt().Show(text, caption, buttons, icon);
}

}  // namespace Vel::Platform
