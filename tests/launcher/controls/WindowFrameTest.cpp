// Every top-level window of the launcher carries the program's icon, with a parent or without
// and on whichever thread it was asked for; the dialogs whose size does not change have the
// frame of a fixed-size dialog (close box, no minimise or maximise box) and keep one size.

#include "launcher/controls/BitmapResources.h"
#include "launcher/toolsheet/BrowseForFolder.h"
#include "launcher/dialogs/ErrorDlg.h"
#include "launcher/dialogs/GuiDialogService.h"
#include "launcher/dialogs/GuiThreadPrompt.h"
#include "launcher/dialogs/LanguageDlg.h"
#include "launcher/dialogs/NDADlg.h"
#include "launcher/toolsheet/PlanetSizeQuery.h"
#include "launcher/toolsheet/ToolsDialog.h"
#include "launcher/dialogs/UpdateErrorDialogPrompt.h"
#include "launcher/window/WindowDialogs.h"
#include "launcher/controls/WindowFrame.h"

#include "foundation/config/RegistrySettings.h"
#include "foundation/text/LocalizedStrings.h"
#include "platform/Prompt.h"
#include "tests/support/FakeWebView.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/ModalAnswer.h"
#include "tests/support/PumpUntil.h"
#include "tests/support/QtApp.h"
#include "tests/support/WaitFor.h"

#include <QDialog>
#include <QDir>
#include <QWindow>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

namespace Vel {
namespace {

using Vel::Test::App;
using Vel::Test::ModalAnswer;

bool IsProgramIcon(const QIcon& icon) {
    if (icon.isNull()) return false;
    // Pixmaps hold premultiplied colours: compare in that form.
    const QImage expected = LoadBitmapResource(kProgramIconId).convertToFormat(QImage::Format_ARGB32_Premultiplied);
    return icon.pixmap(expected.size()).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied) == expected;
}

// Runs `show` on a thread of its own and pumps the GUI thread's events until it returns.
void OnAnotherThread(const std::function<void()>& show) {
    std::atomic<bool> done{false};
    TestSupport::BoundedThread thread([&] {
        show();
        done = true;
    });
    EXPECT_TRUE(Vel::Test::PumpUntil([&] { return done.load(); }));
    ASSERT_TRUE(thread.Join()) << "the window asked for on another thread never ended";
}

class WindowFrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        InstallProgramIcon(App());
        Platform::SetPrompt(nullptr);  // Qt's own message boxes
        const auto& key = Settings::Language;
        WriteSettingInt(key.section, key.name, 0, key.scope);
        service_ = std::make_shared<GuiDialogService>(&anchor_);
        previous_ = SetProcessDialogService(service_);
    }
    void TearDown() override {
        SetProcessDialogService(previous_);
        service_->Shutdown();
        SetThreadLocale(1033);
    }

    QObject anchor_;
    std::shared_ptr<GuiDialogService> service_;
    std::shared_ptr<GuiDialogService> previous_;
};

TEST_F(WindowFrameTest, EveryTopLevelWindowCarriesTheProgramIconAndFixedDialogsHaveAFixedFrame) {
    Vel::Test::FakeWebViews views;
    QWidget owner;  // the main window's place, for the windows that have a parent
    PlanetSizeQueryAdapter sizes([](std::uint16_t, IPlanetSizeQuery::Callback) {});
    WindowDialogs dialogs(&sizes);
    GuiThreadPrompt guiPrompt(Platform::GetPrompt(), service_);
    UpdateErrorDialogPrompt updatePrompt;

    struct Case {
        const char* name;
        bool fixedSize;
        std::function<void()> show;  // runs the window modally; the answer ends it
    } cases[] = {
        {"about, without a parent", true, [&] { dialogs.ShowAbout(&owner); }},
        {"language dialog at start-up", true, [] { EnsureLanguageChosenWithDialog(); }},
        {"tools sheet", true, [&] { dialogs.RunTools(&owner); }},
        {"error dialog with a parent", true, [&] { RunErrorDialog(105, "x", false, &owner); }},
        {"the update's download error, from the job's thread", true,
         [&] { OnAnotherThread([&] { updatePrompt.AskRetry(1117, "http://h/f.zip: timed out", false); }); }},
        {"message box", true,
         [] { Platform::ShowPrompt("x", Platform::PromptButtons::RetryCancel, Platform::PromptIcon::Error); }},
        {"message box asked on another thread", true,
         [&] { OnAnotherThread([&] { guiPrompt.Show("x", "Trailstarter", Platform::PromptButtons::YesNo, {}); }); }},
        {"terms dialog", false, [] { VelNDADlg(nullptr).DoModal(); }},
        {"folder picker", false, [] {
             std::string folder = QDir::tempPath().toStdString();
             BrowseForFolder(nullptr, "Folder", folder);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool ownIcon = false, platformIcon = false, closeBox = false, minMaxBox = true, sizeFixed = false;
        ModalAnswer<QDialog> answer([&](QDialog& window) {
            ownIcon = IsProgramIcon(window.windowIcon());
            platformIcon = window.windowHandle() != nullptr && IsProgramIcon(window.windowHandle()->icon());
            const Qt::WindowFlags flags = window.windowFlags();
            closeBox = flags.testFlag(Qt::WindowCloseButtonHint);
            minMaxBox = flags.testAnyFlags(Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint);
            sizeFixed = window.minimumSize() == window.maximumSize();
            if (auto* sheet = qobject_cast<ToolsDialog*>(&window)) sheet->OnCancel();
            else window.reject();
        });
        c.show();
        ASSERT_TRUE(answer.Answered()) << "no window showed";
        EXPECT_TRUE(ownIcon);
        EXPECT_TRUE(platformIcon) << "the window manager gets another icon";
        if (!c.fixedSize) continue;
        EXPECT_TRUE(closeBox);
        EXPECT_FALSE(minMaxBox) << "a fixed-size dialog offers minimise or maximise";
        EXPECT_TRUE(sizeFixed);
    }
}

}  // namespace
}  // namespace Vel
