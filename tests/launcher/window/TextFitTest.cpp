// Every text of every window, page and dialog fits its control in each of the four languages:
// each window is built under the language, shown (so its layouts place the controls), and every
// label, button, check box, group box and list is measured with its own font.

#include "launcher/dialogs/AboutDlg.h"
#include "launcher/controls/CustomButton.h"
#include "launcher/toolsheet/DynamicContentDlg.h"
#include "launcher/dialogs/ErrorDlg.h"
#include "launcher/toolsheet/FolderOptionsPage.h"
#include "launcher/dialogs/LanguageDlg.h"
#include "launcher/controls/LauncherStyle.h"
#include "launcher/dialogs/NDADlg.h"
#include "launcher/toolsheet/ToolsDialog.h"
#include "launcher/window/TrailstarterDlg.h"

#include "delivery/workers/WorkerRunner.h"
#include "delivery/workers/WorkerStatus.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/config/SiteName.h"
#include "tests/support/FakeWorkers.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/MainWindowFakes.h"
#include "tests/support/QtApp.h"
#include "tests/support/ScriptedPrompt.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace Vel {
namespace {

using Vel::Test::App;

// Room a push button's caption keeps from each of its borders, and a drawn button's caption
// from each edge of its face.
constexpr int kButtonTextMargin = 6;
constexpr int kDrawnButtonTextMargin = 3;

const struct {
    std::uint32_t lcid;
    const char* name;
} kLanguages[] = {{1033, "English"}, {1036, "French"}, {1031, "German"}, {1034, "Spanish"}};

QString Plain(QString text) {
    // "&&" is a literal ampersand, a single "&" only marks the mnemonic.
    text.replace(QStringLiteral("&&"), QStringLiteral("\x01"));
    text.remove(QLatin1Char('&'));
    text.replace(QLatin1Char('\x01'), QLatin1Char('&'));
    return text;
}

int Width(const QWidget* w, const QString& text) { return QFontMetrics(w->font()).horizontalAdvance(text); }

// The controls of `window` whose texts do not fit, one line each.
std::vector<std::string> Misfits(QWidget& window) {
    window.show();
    QCoreApplication::processEvents();
    std::vector<std::string> out;
    auto report = [&](const QWidget* w, const QString& text, int need, int have) {
        if (need <= have) return;
        out.push_back(w->objectName().toStdString() + " \"" + text.toStdString() + "\": needs " +
                      std::to_string(need) + " px, has " + std::to_string(have));
    };
    for (QWidget* w : window.findChildren<QWidget*>()) {
        // A hidden control that a layout places has no size of its own until it shows; one placed
        // by hand keeps its place while hidden and is measured there.
        const bool laidOut = w->parentWidget() != nullptr && w->parentWidget()->layout() != nullptr;
        if (laidOut && !w->isVisibleTo(&window)) continue;
        if (auto* drawn = qobject_cast<CustomButton*>(w)) {
            const QString text = Plain(drawn->text());
            report(w, text, Width(w, text) + 2 * kDrawnButtonTextMargin, drawn->FrameSize().width());
        } else if (auto* box = qobject_cast<QCheckBox*>(w)) {
            report(w, box->text(), box->sizeHint().width(), box->width());
        } else if (auto* radio = qobject_cast<QRadioButton*>(w)) {
            report(w, radio->text(), radio->sizeHint().width(), radio->width());
        } else if (auto* button = qobject_cast<QPushButton*>(w)) {
            const QString text = Plain(button->text());
            if (!text.isEmpty()) report(w, text, Width(w, text) + 2 * kButtonTextMargin + 4, button->width());
        } else if (auto* label = qobject_cast<QLabel*>(w)) {
            const QString text = label->text();
            if (text.isEmpty() || label->textFormat() == Qt::RichText) continue;
            const QRect room = label->contentsRect();
            if (label->wordWrap())
                report(w, text, label->heightForWidth(label->width()), label->height());
            else
                report(w, text, Width(w, Plain(text)), room.width());
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            report(w, group->title(), Width(w, Plain(group->title())) + 16, group->width());
        } else if (auto* combo = qobject_cast<QComboBox*>(w)) {
            for (int i = 0; i < combo->count(); ++i)
                report(w, combo->itemText(i), Width(w, combo->itemText(i)) + 24, combo->width());
        }
    }
    window.hide();
    return out;
}

void ResetWorkerState() {
    GetWorkerRunner().Reset();
    EndWorkerStatus();
    SetWorkerStatusText("");
    SetWorkerProgress(nullptr);
    SetWorkerStatusListener({});
}

class TextFitTest : public ::testing::Test {
protected:
    void SetUp() override {
        InstallLauncherStyle(App());
        GetWorkerRunner().Reset();
        SetSiteNameForTesting("");
    }
    void TearDown() override {
        SetThreadLocale(1033);
        ResetWorkerState();
    }
    void Expect(QWidget& window, const char* language, const char* what) {
        for (const std::string& misfit : Misfits(window)) ADD_FAILURE() << language << ", " << what << ": " << misfit;
    }

    Vel::Test::ScriptedPrompt prompt_;
};

TEST_F(TextFitTest, TheMainWindowsTextsAndButtonsFit) {
    for (const auto& language : kLanguages) {
        SetThreadLocale(language.lcid);
        Vel::Test::RecordingBackend backend;
        for (int i = 0; i < 4; ++i)
            backend.downloads.push_back([](int, const ThreadJobBinder&) { return std::make_shared<ThreadJob>(); });
        Vel::Test::MainWindowFakes fakes;
        bool awake = false;
        auto owned = std::make_unique<CTrailstarterDlg>(fakes.Services(),
                                                        std::make_unique<Vel::Test::RecordingInhibitor>(&awake));
        CTrailstarterDlg& window = *owned;
        window.InitDialog();
        window.UpdateButtonCaptions();
        // The widest figures the progress texts show, and the status while the game runs.
        for (auto [name, text] : {std::pair{"IDC_STATUS", LoadLocalizedString(1270)},
                                  std::pair{"IDC_TIME_REMAINING", LoadLocalizedString(1196) + " 99:59:59"},
                                  std::pair{"IDC_RATE", std::string("9999.9 kB/s")},
                                  std::pair{"IDC_SIZES", std::string("9999 MB / 9999 MB")}}) {
            auto* label = window.findChild<QLabel*>(name);
            ASSERT_NE(label, nullptr) << name;
            label->setText(QString::fromStdString(text));
        }
        Expect(window, language.name, "main window");
        // The drawn buttons stay inside the window and clear of the progress bar and the texts.
        const QRect client = window.rect();
        for (const char* name : {"IDOK", "IDC_TOOLS"}) {
            auto* button = window.findChild<CustomButton*>(name);
            ASSERT_NE(button, nullptr);
            const QRect face(button->pos(), button->FrameSize());
            EXPECT_TRUE(client.contains(face)) << name;
            for (const char* other : {"IDC_PROGRESS", "IDC_TIME_REMAINING", "IDC_SIZES"})
                EXPECT_FALSE(face.intersects(window.findChild<QWidget*>(other)->geometry())) << name << " " << other;
        }
        const QRect launch(window.findChild<CustomButton*>("IDOK")->pos(),
                           window.findChild<CustomButton*>("IDOK")->FrameSize());
        const QRect tools(window.findChild<CustomButton*>("IDC_TOOLS")->pos(),
                          window.findChild<CustomButton*>("IDC_TOOLS")->FrameSize());
        EXPECT_FALSE(launch.intersects(tools));
        owned.reset();
        ResetWorkerState();
    }
}

class NoPlanetSizes final : public IPlanetSizeQuery {
public:
    void Query(std::uint16_t, Callback) override {}
};

TEST_F(TextFitTest, EveryPageOfTheToolsSheetFits) {
    for (const auto& language : kLanguages) {
        SetThreadLocale(language.lcid);
        FolderPageServices services;
        // Less free space than needed: the running-out-of-space warning shows.
        services.freeSpace = [](const std::string&) { return std::uint64_t{123456789}; };
        services.spaceNeeded = [] { return std::uint64_t{12345678901}; };
        services.folderSize = [] { return std::uint64_t{1234567890}; };
        FolderOptionsDlg folders(services);
        NoPlanetSizes sizes;
        DynamicContentDlg planets(sizes);
        ToolsDialog sheet(0, false, ToolsPages{&folders, &planets}, nullptr, [] { return true; });
        for (int i = 0; i < sheet.Tabs()->count(); ++i) {
            sheet.Tabs()->setCurrentIndex(i);
            Expect(sheet, language.name, sheet.Tabs()->tabText(i).toStdString().c_str());
        }
        sheet.OnCancel();
    }
}

TEST_F(TextFitTest, TheSmallDialogsFit) {
    for (const auto& language : kLanguages) {
        SetThreadLocale(language.lcid);
        {
            VelNDADlg terms;
            Expect(terms, language.name, "terms");
        }
        {
            VelLanguageDlg choice;
            Expect(choice, language.name, "language");
        }
        {
            CAboutDlg about;
            Expect(about, language.name, "about");
        }
        for (unsigned id : {105u, 113u, 1117u, 1136u}) {
            VelErrorDlg error(id, "http://127.0.0.1/a/rather/long/address/of/a/file.zip", false);
            Expect(error, language.name, ("error " + std::to_string(id)).c_str());
        }
    }
}

}  // namespace
}  // namespace Vel
