// Qt's own texts follow the launcher's language: the standard buttons of the message boxes
// (the options page's reset question, the generic prompts) are translated at start-up and again
// when the options page changes the language, and none of them carries an icon.

#include "launcher/toolsheet/ClientOptionsPage.h"
#include "launcher/dialogs/LanguageDlg.h"
#include "launcher/controls/LauncherStyle.h"
#include "launcher/dialogs/QtTranslations.h"
#include "launcher/window/WindowDialogs.h"

#include "foundation/config/RegistrySettings.h"
#include "foundation/text/LocalizedStrings.h"
#include "platform/Prompt.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/ModalAnswer.h"
#include "tests/support/QtApp.h"

#include <QAbstractButton>
#include <QFileInfo>
#include <QMessageBox>
#include <QProxyStyle>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

namespace Vel {
namespace {

using Vel::Test::App;
using Vel::Test::ModalAnswer;

// A platform theme that puts icons on the standard buttons it has one for (OK, Cancel, Yes,
// No), as the desktop themes do.
class ThemeWithButtonIcons final : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_DialogButtonBox_ButtonsHaveIcons) return 1;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

void StoreLanguageId(int id) {
    const auto& key = Settings::Language;
    WriteSettingInt(key.section, key.name, id, key.scope);
}

struct Box {
    std::vector<std::string> buttons;  // in the box's order
    bool anyIcon = false;
};

// Shows one box through the production prompt and reads its buttons before cancelling it.
Box Ask(const std::function<void()>& ask) {
    Box seen;
    ModalAnswer<QMessageBox> answer([&](QMessageBox& box) {
        for (QAbstractButton* button : box.buttons()) {
            seen.buttons.push_back(button->text().toStdString());
            seen.anyIcon = seen.anyIcon || !button->icon().isNull();
        }
        box.reject();
    });
    ask();
    EXPECT_TRUE(answer.Answered());
    std::sort(seen.buttons.begin(), seen.buttons.end());
    return seen;
}

class QtTranslationsTest : public ::testing::Test {
protected:
    void SetUp() override {
        App().setStyle(new LauncherStyle(new ThemeWithButtonIcons));
        Platform::SetPrompt(nullptr);  // Qt's own message boxes
        StoreLanguageId(0);
    }
    void TearDown() override {
        ApplyQtTranslations(1033);
        SetThreadLocale(1033);
    }
};

TEST_F(QtTranslationsTest, TheTranslationsAreInstalled) {
    for (std::uint32_t lcid : {1036u, 1031u, 1034u}) {
        const std::string file = QtTranslationsFile(lcid);
        EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(file)))
            << file << " is missing: Qt's buttons would stay English. scripts/install-deps.sh installs it "
            << "(Debian package qt6-translations-l10n).";
    }
    EXPECT_EQ(QtTranslationsFile(1033), "");
    EXPECT_EQ(QtTranslationsFile(1046), "");  // Portuguese: the launcher shows English
}

TEST_F(QtTranslationsTest, MessageBoxButtonsFollowTheLanguageAtStartAndWhenItChanges) {
    struct Case {
        int languageId;
        std::vector<std::string> okCancel, retryCancel, yesNo;  // sorted
    } cases[] = {
        {2, {"Annuler", "OK"}, {"Annuler", "Réessayer"}, {"&Non", "&Oui"}},
        {3, {"Abbrechen", "OK"}, {"Abbrechen", "Wiederholen"}, {"&Ja", "&Nein"}},
        {4, {"Aceptar", "Cancelar"}, {"Cancelar", "Reintentar"}, {"&No", "&Sí"}},
        {1, {"Cancel", "OK"}, {"Cancel", "Retry"}, {"&No", "&Yes"}},
        {2, {"Annuler", "OK"}, {"Annuler", "Réessayer"}, {"&Non", "&Oui"}},
    };
    WindowDialogs dialogs;
    bool first = true;
    for (const auto& c : cases) {
        SCOPED_TRACE(FindLanguageById(c.languageId).englishName);
        StoreLanguageId(c.languageId);
        // At start-up the stored language is applied; later the main window applies the one the
        // options page stored.
        if (first) ASSERT_TRUE(EnsureLanguageChosenWithDialog());
        else dialogs.EnsureLanguageChosen();
        first = false;

        VelClientOptionsDlg options([] { return true; });
        const Box reset = Ask([&] { options.ResetLocalSettings(); });
        EXPECT_EQ(reset.buttons, c.okCancel) << "the reset question";
        const Box retry =
            Ask([] { Platform::ShowPrompt("x", Platform::PromptButtons::RetryCancel, Platform::PromptIcon::Error); });
        EXPECT_EQ(retry.buttons, c.retryCancel);
        const Box yesNo = Ask([] { Platform::ShowPrompt("x", Platform::PromptButtons::YesNo); });
        EXPECT_EQ(yesNo.buttons, c.yesNo);
        EXPECT_FALSE(reset.anyIcon || retry.anyIcon || yesNo.anyIcon) << "a standard button with an icon";
    }
}

}  // namespace
}  // namespace Vel
