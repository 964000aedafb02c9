#include "launcher/dialogs/AboutDlg.h"
#include "launcher/dialogs/ErrorDlg.h"
#include "launcher/dialogs/GuiDialogService.h"
#include "launcher/dialogs/LanguageDlg.h"
#include "launcher/dialogs/NDADlg.h"
#include "delivery/update/UpdateManager.h"
#include "launcher/window/WindowDialogs.h"
#include "launcher/controls/BitmapResources.h"
#include "launcher/toolsheet/PlanetSizeQuery.h"
#include "launcher/dialogs/QtTranslations.h"
#include "launcher/toolsheet/ToolsDialog.h"

#include "foundation/core/AppEnvironment.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/threads/WaitCancel.h"
#include "tests/support/CurrentDirGuard.h"
#include "tests/support/FakeWebView.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/ModalAnswer.h"
#include "tests/support/PumpUntil.h"
#include "tests/support/QtApp.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/WaitFor.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"
#include "tools/standin-server/StandinServer.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QTabWidget>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

namespace Vel {
namespace {

using Vel::Test::App;

std::string Text(QWidget* dialog, const char* name) {
    if (auto* label = dialog->findChild<QLabel*>(name)) return label->text().toStdString();
    if (auto* button = dialog->findChild<QPushButton*>(name)) return button->text().toStdString();
    ADD_FAILURE() << "no control " << name;
    return {};
}

QPushButton* Button(QWidget* dialog, const char* name) {
    auto* button = dialog->findChild<QPushButton*>(name);
    EXPECT_NE(button, nullptr) << name;
    return button;
}

int StoredLanguageId() {
    const auto& key = Settings::Language;
    return ReadSettingInt(key.section, key.name, -1, key.scope);
}

void StoreLanguageId(int id) {
    const auto& key = Settings::Language;
    WriteSettingInt(key.section, key.name, id, key.scope);
}

using Vel::Test::ModalAnswer;

class SmallDialogsTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        StoreLanguageId(0);
        SetThreadLocale(1033);
        // The system's language decides the first language dialog: none unless a test names one.
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) locale_.Set(name, nullptr);
    }
    void TearDown() override {
        SetThreadLocale(1033);
        ApplyQtTranslations(1033);
    }

    Vel::Test::ScopedEnv locale_;
};

// --- error dialog -------------------------------------------------------------------------

TEST(ErrorText, SplitsFirstAndPutsTheArgumentInLiterally) {
    const std::string download = "Download error|An error occurred when trying to download a file.|%s|";
    struct Case {
        const char* name;
        std::string text;
        std::string argument;
        ErrorTextParts parts;
    } cases[] = {
        {"download error", download, "http://h/f.pak: timed out",
         {"Download error", "An error occurred when trying to download a file.", "http://h/f.pak: timed out", ""}},
        {"five parts", "T|M|D|4|5", "", {"T", "M", "D", "4|5"}},
        {"no separator", "Just a text", "", {"", "", "", ""}},
        {"two separators drop the last part",
         "Error|The current version cannot be determined|Could not get the current installed version.", "",
         {"Error", "The current version cannot be determined", "", ""}},
        {"argument with separators and formats", download, "a|b|c %s %d 100%",
         {"Download error", "An error occurred when trying to download a file.", "a|b|c %s %d 100%", ""}},
        {"placeholder in the message", "Title|%s|Body|Hint", "5 MB | on /", {"Title", "5 MB | on /", "Body", "Hint"}},
        {"only the first placeholder", "T|%s|%s|%s", "x", {"T", "x", "%s", "%s"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ErrorTextParts parts = FormatErrorText(c.text, c.argument);
        EXPECT_EQ(parts.title, c.parts.title);
        EXPECT_EQ(parts.message, c.parts.message);
        EXPECT_EQ(parts.description, c.parts.description);
        EXPECT_EQ(parts.suggestions, c.parts.suggestions);
    }
}

TEST_F(SmallDialogsTest, ErrorDialogShowsTheEntryAndEndsWithItsButtons) {
    struct Case {
        const char* name;
        bool disableRetry;
        const char* press;  // null: the close box / Escape
        int result;
    } cases[] = {
        {"try again", false, "IDOK", 1},
        {"cancel", true, "IDCANCEL", 2},
        {"closed", false, nullptr, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VelErrorDlg dialog(1117, "disk | full 100%s", c.disableRetry);
        dialog.InitDialog();
        EXPECT_EQ(dialog.windowTitle().toStdString(), "Download error");
        EXPECT_EQ(Text(&dialog, "IDC_ERROR_MESSAGE"), "An error occurred when trying to download a file.");
        EXPECT_EQ(Text(&dialog, "IDC_ERROR_DESCRIPTION"), "disk | full 100%s");
        EXPECT_EQ(Text(&dialog, "IDC_ERROR_SUGGESTIONS"), "");
        EXPECT_EQ(Text(&dialog, "IDC_ERROR_MESSAGE_HEADER"), "Error message");
        EXPECT_EQ(Text(&dialog, "IDC_ERROR_DESCRIPTION_HEADER"), "Error description");
        EXPECT_EQ(Text(&dialog, "IDC_ERROR_SUGGESTIONS_HEADER"), "Suggestions");
        EXPECT_EQ(Text(&dialog, "IDOK"), "Try again");
        EXPECT_EQ(Text(&dialog, "IDCANCEL"), "Cancel");
        EXPECT_EQ(Button(&dialog, "IDOK")->isEnabled(), !c.disableRetry);
        if (c.press) Button(&dialog, c.press)->click();
        else dialog.reject();
        EXPECT_EQ(dialog.result(), c.result);
    }
}

// A part without text shows no section, and the dialog fits what it shows: no heading over an
// empty line, no blank band above the buttons.
TEST_F(SmallDialogsTest, ErrorDialogShowsOnlyTheSectionsWithText) {
    struct Case {
        const char* name;
        std::uint32_t lcid;
        unsigned id;
        bool description;
        bool suggestions;
    } cases[] = {
        {"download error, no suggestions", 1033, 1117, true, false},
        {"download error in German", 1031, 1117, true, false},
        {"internal error, no description", 1036, 113, false, true},
        {"disk space, every part", 1034, 1262, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SetThreadLocale(c.lcid);
        VelErrorDlg dialog(c.id, "http://127.0.0.1/a/file.zip", false);
        dialog.InitDialog();
        dialog.show();
        QApplication::processEvents();
        const std::pair<const char*, bool> sections[] = {
            {"IDC_ERROR_MESSAGE", true}, {"IDC_ERROR_DESCRIPTION", c.description}, {"IDC_ERROR_SUGGESTIONS", c.suggestions}};
        QWidget* last = nullptr;
        for (const auto& [name, shown] : sections) {
            auto* text = dialog.findChild<QLabel*>(name);
            auto* heading = dialog.findChild<QLabel*>(QString::fromUtf8(name) + "_HEADER");
            ASSERT_TRUE(text && heading) << name;
            EXPECT_EQ(text->isVisible(), shown) << name;
            EXPECT_EQ(heading->isVisible(), shown) << name;
            EXPECT_EQ(text->text().isEmpty(), !shown) << name;
            if (shown) last = text;
        }
        // Below the last text only the gap of the layout before the buttons.
        const int below = Button(&dialog, "IDOK")->geometry().top() - last->geometry().bottom();
        EXPECT_GT(below, 0);
        EXPECT_LE(below, 24) << "a blank band above the buttons";
        EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
        dialog.hide();
    }
}

TEST_F(SmallDialogsTest, ErrorDialogFromAWorkerThreadShowsOnTheGuiThreadInTheWorkersLanguage) {
    QObject anchor;
    auto service = std::make_shared<GuiDialogService>(&anchor);
    auto previous = SetProcessDialogService(service);

    std::string title;
    std::uint32_t guiLocaleWhileShown = 0;
    ModalAnswer<VelErrorDlg> answer([&](VelErrorDlg& dialog) {
        title = dialog.windowTitle().toStdString();
        guiLocaleWhileShown = GetThreadLocale();
        dialog.findChild<QPushButton*>("IDCANCEL")->click();
    });
    std::atomic<int> result{-1};
    TestSupport::BoundedThread worker([&] {
        SetThreadLocale(1036);
        result = RunErrorDialog(1117, "x", true);
    });
    EXPECT_TRUE(Vel::Test::PumpUntil([&] { return result.load() >= 0; }));
    ASSERT_TRUE(worker.Join()) << "the worker's dialog was never answered";
    EXPECT_TRUE(answer.Answered());
    EXPECT_EQ(result.load(), 2);
    EXPECT_EQ(title, "Erreur de téléchargement");
    EXPECT_EQ(guiLocaleWhileShown, 1033u);  // only the dialog's texts were French
    EXPECT_EQ(GetThreadLocale(), 1033u);

    // A wait that gives up, or no service to show it, answers Cancel without a dialog.
    for (bool withService : {true, false}) {
        SCOPED_TRACE(withService ? "wait cancelled" : "no service");
        SetProcessDialogService(withService ? service : nullptr);
        std::atomic<int> given{-1};
        TestSupport::BoundedThread t([&] {
            CancelScope cancelled([] { return true; });
            given = RunErrorDialog(1117, "x", true);
        });
        EXPECT_TRUE(Vel::Test::PumpUntil([&] { return given.load() >= 0; }));
        ASSERT_TRUE(t.Join()) << "a given-up wait did not return";
        EXPECT_EQ(given.load(), 2);
    }
    SetProcessDialogService(previous);
    service->Shutdown();
}

// --- language dialog ----------------------------------------------------------------------

TEST_F(SmallDialogsTest, LanguageDialogOffersTheFourLanguagesAndStoresTheChoice) {
    VelLanguageDlg dialog;
    dialog.InitDialog();
    EXPECT_EQ(Text(&dialog, "IDC_LANGUAGE_STATIC"), "Please select your language!");
    auto* list = dialog.findChild<QComboBox*>("IDC_LANGUAGE_LIST");
    ASSERT_NE(list, nullptr);
    const std::vector<std::pair<std::string, int>> expected = {
        {"English", 1}, {"Français", 2}, {"Deutsch", 3}, {"Español", 4}};
    ASSERT_EQ(list->count(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(list->itemText(i).toStdString(), expected[i].first);
        EXPECT_EQ(list->itemData(i).toInt(), expected[i].second);
    }
    EXPECT_EQ(list->currentIndex(), 0);

    list->setCurrentIndex(2);
    Button(&dialog, "IDC_LANGUAGE_OK")->click();
    EXPECT_EQ(dialog.result(), 1);
    EXPECT_EQ(StoredLanguageId(), 3);
}

TEST_F(SmallDialogsTest, LanguageDialogWithOneLanguageTakesItAtOnce) {
    // Portuguese has no interface texts, so French is the only choice.
    VelLanguageDlg dialog(nullptr, {FindLanguageById(7), FindLanguageById(2)});
    EXPECT_EQ(dialog.DoModal(), 1);  // returns without a modal loop
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(StoredLanguageId(), 2);
}

TEST_F(SmallDialogsTest, StartUpLanguageChoiceAppliesTheChoiceOrEndsWhenClosed) {
    {
        SCOPED_TRACE("closed");
        ModalAnswer<VelLanguageDlg> close([](VelLanguageDlg& dialog) { dialog.reject(); });
        EXPECT_FALSE(EnsureLanguageChosenWithDialog());
        EXPECT_TRUE(close.Answered());
        EXPECT_EQ(StoredLanguageId(), 0);
    }
    {
        SCOPED_TRACE("Portuguese stored does not count as chosen");
        StoreLanguageId(7);
        ModalAnswer<VelLanguageDlg> choose([](VelLanguageDlg& dialog) {
            dialog.findChild<QComboBox*>("IDC_LANGUAGE_LIST")->setCurrentIndex(3);
            dialog.findChild<QPushButton*>("IDC_LANGUAGE_OK")->click();
        });
        EXPECT_TRUE(EnsureLanguageChosenWithDialog());
        EXPECT_TRUE(choose.Answered());
        EXPECT_EQ(StoredLanguageId(), 4);
        EXPECT_EQ(GetThreadLocale(), 1034u);
    }
    {
        SCOPED_TRACE("a stored language asks nothing");
        SetThreadLocale(1033);
        ModalAnswer<VelLanguageDlg> unexpected([](VelLanguageDlg& dialog) { dialog.reject(); });
        EXPECT_TRUE(EnsureLanguageChosenWithDialog());
        EXPECT_FALSE(unexpected.Answered());
        EXPECT_EQ(GetThreadLocale(), 1034u);
    }
}

// With nothing stored, the first language dialog opens in the system's language with that
// language selected, so that Return takes it; other systems get English. A stored language
// asks nothing.
TEST_F(SmallDialogsTest, FirstLanguageDialogFollowsTheSystemsLanguage) {
    struct Case {
        const char* all;
        const char* messages;
        const char* lang;
        const char* prompt;
        const char* selected;
        int stored;
    } cases[] = {
        {nullptr, nullptr, "fr_FR.UTF-8", "Veuillez choisir votre langue !", "Français", 2},
        {nullptr, nullptr, "fr_CA.UTF-8", "Veuillez choisir votre langue !", "Français", 2},
        {nullptr, nullptr, "de_DE.UTF-8", "Bitte wählen Sie Ihre Sprache!", "Deutsch", 3},
        {nullptr, nullptr, "de_AT", "Bitte wählen Sie Ihre Sprache!", "Deutsch", 3},
        {nullptr, "es_MX.UTF-8", "en_US.UTF-8", "¡Seleccione su idioma!", "Español", 4},
        {"es_ES.UTF-8", "de_DE.UTF-8", "fr_FR.UTF-8", "¡Seleccione su idioma!", "Español", 4},
        {"C", nullptr, "fr_FR.UTF-8", "Please select your language!", "English", 1},
        {nullptr, nullptr, "POSIX", "Please select your language!", "English", 1},
        {nullptr, nullptr, "en_GB.UTF-8", "Please select your language!", "English", 1},
        {nullptr, nullptr, "it_IT.UTF-8", "Please select your language!", "English", 1},
        {nullptr, nullptr, "pt_BR.UTF-8", "Please select your language!", "English", 1},
        {nullptr, nullptr, nullptr, "Please select your language!", "English", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("LC_ALL=") + (c.all ? c.all : "-") + " LC_MESSAGES=" + (c.messages ? c.messages : "-") +
                     " LANG=" + (c.lang ? c.lang : "-"));
        StoreLanguageId(0);
        SetThreadLocale(1033);
        Vel::Test::ScopedEnv env;
        env.Set("LC_ALL", c.all);
        env.Set("LC_MESSAGES", c.messages);
        env.Set("LANG", c.lang);
        std::string prompt, selected;
        ModalAnswer<VelLanguageDlg> pressReturn([&](VelLanguageDlg& dialog) {
            prompt = Text(&dialog, "IDC_LANGUAGE_STATIC");
            auto* list = dialog.findChild<QComboBox*>("IDC_LANGUAGE_LIST");
            selected = list->currentText().toStdString();
            QWidget* focus = dialog.focusWidget() ? dialog.focusWidget() : list;
            QKeyEvent key(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
            QApplication::sendEvent(focus, &key);
        });
        EXPECT_TRUE(EnsureLanguageChosenWithDialog());
        ASSERT_TRUE(pressReturn.Answered());
        EXPECT_EQ(prompt, c.prompt);
        EXPECT_EQ(selected, c.selected);
        EXPECT_EQ(StoredLanguageId(), c.stored);
        EXPECT_EQ(GetThreadLocale(), FindLanguageById(c.stored).lcid);
    }

    SCOPED_TRACE("a stored language wins");
    StoreLanguageId(3);
    SetThreadLocale(1033);
    Vel::Test::ScopedEnv env;
    env.Set("LANG", "fr_FR.UTF-8");
    ModalAnswer<VelLanguageDlg> unexpected([](VelLanguageDlg& dialog) { dialog.reject(); });
    EXPECT_TRUE(EnsureLanguageChosenWithDialog());
    EXPECT_FALSE(unexpected.Answered());
    EXPECT_EQ(StoredLanguageId(), 3);
    EXPECT_EQ(GetThreadLocale(), 1031u);
}

// --- terms dialog -------------------------------------------------------------------------

TEST_F(SmallDialogsTest, TermsDialogShowsThePageOfTheLanguageAndEndsWithItsButtons) {
    Vel::Test::FakeWebViews views;
    GetParameterStore().Set("web.terms.url", ParameterType::String, "http://127.0.0.1:8081/site");
    StoreLanguageId(2);
    struct Case {
        const char* name;
        const char* press;  // null: the close box / Escape
        int result;
    } cases[] = {
        {"accepted", "BTN_NDA_ACCEPT", 1002},
        {"declined", "BTN_NDA_DECLINE", 1003},
        {"closed", nullptr, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        VelNDADlg dialog;
        dialog.InitDialog();
        ASSERT_NE(dialog.Browser(), nullptr);
        EXPECT_EQ(views.last->navigations,
                  std::vector<std::string>{"http://127.0.0.1:8081/site/(fr)/trailstarter/terms-of-use/index.xml"});
        EXPECT_EQ(dialog.windowTitle().toStdString(), "Solvenda Frontier Account Terms of Use (ToU)");
        EXPECT_EQ(Text(&dialog, "BTN_NDA_ACCEPT"), "I accept");
        EXPECT_EQ(Text(&dialog, "BTN_NDA_DECLINE"), "I decline");
        if (c.press) Button(&dialog, c.press)->click();
        else dialog.reject();
        EXPECT_EQ(dialog.result(), c.result);
    }
}

TEST(TermsPage, AddressCarriesTheLowerCaseCode) {
    EXPECT_EQ(TermsPageUrl("http://terms.example/", FindLanguageById(3)),
              "http://terms.example/(de)/trailstarter/terms-of-use/index.xml");
    EXPECT_EQ(TermsPageUrl("http://terms.example", FindLanguageById(4)),
              "http://terms.example/(es)/trailstarter/terms-of-use/index.xml");
}

// --- about box and the window's dialogs ----------------------------------------------------

TEST_F(SmallDialogsTest, AboutShowsTheInstalledVersionAndTheCurrentYear) {
    Vel::Test::CurrentDirGuard cwd;
    Vel::Test::TempDir install("install");
    std::filesystem::current_path(install.Path());
    install.Write("version.txt", "7.8.9.10\n");

    CAboutDlg about;
    about.InitDialog();
    const int year = QDateTime::currentDateTimeUtc().date().year();
    EXPECT_EQ(Text(&about, "IDC_ABOUT_STATIC"),
              "Solvenda Frontier Trail Starter, client version 7.8.9.10\n\nCopyright © Corvane " +
                  std::to_string(year) + ". All rights reserved.");
    EXPECT_EQ(about.windowTitle().toStdString(), "About trailstarter");
    Button(&about, "ID_ABOUT_OK")->click();
    EXPECT_EQ(about.result(), 1);
}

TEST_F(SmallDialogsTest, MissingNamedControlsAreReportedAndUnnamedOnesSkipped) {
    Vel::Test::FakeWebViews views;
    struct Case {
        const char* name;
        std::function<std::unique_ptr<QDialog>()> make;
        const char* removed;
        const char* reported;  // null: skipped silently
    } cases[] = {
        {"about", [] { return std::make_unique<CAboutDlg>(); }, "ID_ABOUT_OK", "ID_ABOUT_OK"},
        {"error header", [] { return std::make_unique<VelErrorDlg>(113, "", false); }, "IDC_ERROR_SUGGESTIONS_HEADER",
         "IDC_ERROR_SUGGESTIONS_HEADER"},
        {"error part", [] { return std::make_unique<VelErrorDlg>(113, "", false); }, "IDC_ERROR_MESSAGE", nullptr},
        {"language prompt", [] { return std::make_unique<VelLanguageDlg>(); }, "IDC_LANGUAGE_STATIC",
         "IDC_LANGUAGE_STATIC"},
        {"language list", [] { return std::make_unique<VelLanguageDlg>(); }, "IDC_LANGUAGE_LIST", nullptr},
        {"terms", [] { return std::make_unique<VelNDADlg>(); }, "BTN_NDA_DECLINE", "BTN_NDA_DECLINE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Vel::Test::ScriptedPrompt prompt;
        auto dialog = c.make();
        delete dialog->findChild<QWidget*>(c.removed);
        if (auto* about = qobject_cast<CAboutDlg*>(dialog.get())) about->InitDialog();
        if (auto* error = qobject_cast<VelErrorDlg*>(dialog.get())) error->InitDialog();
        if (auto* language = qobject_cast<VelLanguageDlg*>(dialog.get())) language->InitDialog();
        if (auto* terms = qobject_cast<VelNDADlg*>(dialog.get())) terms->InitDialog();
        const auto questions = prompt.Questions();
        if (c.reported == nullptr) {
            EXPECT_TRUE(questions.empty());
            continue;
        }
        ASSERT_EQ(questions.size(), 1u);
        EXPECT_EQ(questions[0].text, std::string("Internal error: Couldn't get dialog item ") + c.reported);
    }
}

TEST_F(SmallDialogsTest, ConnectionErrorSaysWhetherTheInternetAnswered) {
    Vel::Test::TempDir site("probe");
    site.Write("index.html", "<html></html>");
    Standin::ServerConfig config;
    config.root = site.Path().string();
    Standin::HttpServer server(config);
    server.Start();

    const std::string certificate =
        "The certificate of update.example.org could not be verified: it has expired or is not yet valid";
    struct Case {
        const char* name;
        std::string probe;
        UpdateManager::UpdateFailure failure;
        const char* title;
    } cases[] = {
        {"probe answered", server.BaseUrl() + "index.html", {}, "Server Connection Error"},
        {"probe refused", "http://127.0.0.1:1/", {"The operation timed out", false}, "Internet Connection Error"},
        // The update server showed its certificate: the internet works, whatever the probe says.
        {"certificate refused", "http://127.0.0.1:1/", {certificate, true}, "Server Connection Error"},
    };
    WindowDialogs dialogs;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        GetParameterStore().Set("web.probe.url", ParameterType::String, c.probe);
        std::string title, description;
        bool retryEnabled = true;
        ModalAnswer<VelErrorDlg> answer([&](VelErrorDlg& dialog) {
            title = dialog.windowTitle().toStdString();
            description = dialog.findChild<QLabel*>("IDC_ERROR_DESCRIPTION")->text().toStdString();
            retryEnabled = dialog.findChild<QPushButton*>("IDOK")->isEnabled();
            dialog.reject();
        });
        dialogs.ShowConnectionError(nullptr, c.failure);
        EXPECT_TRUE(answer.Answered());
        EXPECT_EQ(title, c.title);
        EXPECT_EQ(description, c.failure.cause);
        EXPECT_FALSE(retryEnabled);
    }

    ModalAnswer<CAboutDlg> about([](CAboutDlg& dialog) { dialog.findChild<QPushButton*>("ID_ABOUT_OK")->click(); });
    dialogs.ShowAbout(nullptr);
    EXPECT_TRUE(about.Answered());
}

// Each run of the tools sheet gets pages of its own and one size that holds every page, so
// what an earlier run showed changes nothing, and the folder path shows whole.
TEST_F(SmallDialogsTest, EveryToolsSheetRunHasOneSizeForAllPagesAndTheTabIcons) {
    PlanetSizeQueryAdapter sizes([](std::uint16_t, IPlanetSizeQuery::Callback) {});
    WindowDialogs dialogs(&sizes);
    struct Seen {
        QSize sheet;
        QSize folderPage;
        QSize folderPageNeeds;
        int editWidth = 0;
        int pathWidth = 0;
        int tabs = 0;
        bool iconsSet = true;
    };
    std::vector<Seen> runs;
    for (int run = 0; run < 2; ++run) {
        std::vector<QPointer<QWidget>> pages;
        ModalAnswer<ToolsDialog> answer([&](ToolsDialog& sheet) {
            for (int i = 0; i < sheet.Tabs()->count(); ++i) pages.emplace_back(sheet.Tabs()->widget(i));
            Seen seen;
            seen.sheet = sheet.size();
            QTabWidget* tabs = sheet.Tabs();
            seen.tabs = tabs->count();
            for (int i = 0; i < tabs->count(); ++i) seen.iconsSet = seen.iconsSet && !tabs->tabIcon(i).isNull();
            tabs->setCurrentIndex(1);  // the folders page
            auto* edit = sheet.findChild<QLineEdit*>("IDC_CONTENT_FOLDER");
            QWidget* page = tabs->widget(1);
            QApplication::processEvents();
            seen.folderPage = page->size();
            seen.folderPageNeeds = page->minimumSizeHint();
            seen.editWidth = edit->width();
            seen.pathWidth = edit->fontMetrics().horizontalAdvance(edit->text());
            // A warning that shows must not move or squeeze anything.
            edit->setText(QStringLiteral("relative/path"));
            QApplication::processEvents();
            EXPECT_EQ(sheet.size(), seen.sheet);
            runs.push_back(seen);
            sheet.OnCancel();
        });
        dialogs.RunTools(nullptr);
        ASSERT_TRUE(answer.Answered());
        // The pages lived for this run only: the next sheet starts from fresh ones.
        for (const auto& page : pages) EXPECT_TRUE(page.isNull()) << "a page outlived its sheet";
    }
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].sheet, runs[1].sheet);
    for (const Seen& seen : runs) {
        EXPECT_EQ(seen.tabs, 3);
        EXPECT_TRUE(seen.iconsSet);
        EXPECT_GE(seen.folderPage.width(), seen.folderPageNeeds.width());
        EXPECT_GE(seen.folderPage.height(), seen.folderPageNeeds.height());
        EXPECT_GE(seen.editWidth, seen.pathWidth);
    }
}

TEST_F(SmallDialogsTest, TheWindowAndTabIconsAreDrawn) {
    for (unsigned id : {128u, 197u, 202u, 203u}) {
        SCOPED_TRACE(id);
        const QImage image = LoadBitmapResource(id);
        EXPECT_EQ(image.size(), QSize(32, 32));
        EXPECT_FALSE(LoadIconResource(id).isNull());
    }
}

}  // namespace
}  // namespace Vel
