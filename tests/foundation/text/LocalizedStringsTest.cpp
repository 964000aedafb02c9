// ctest: threading
// String lookup in the thread's language with the English fallback, the compiled-in tables,
// the language table and the stored language.

#include "foundation/text/LanguageTable.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/text/StringTable.h"
#include "tests/support/HiveEnvironment.h"
#include "tests/support/ScopedEnv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <thread>

namespace {

using namespace Vel;

// Entries the tables hold in English only.
const std::set<std::uint16_t> kEnglishOnly = {142, 144, 145, 147, 148, 149, 150, 151, 152, 157, 158,
                                              1102, 1122, 1139, 1199, 1238, 1259, 1260, 1261, 1262};

class LocalizedStringsTest : public ::testing::Test {
protected:
    void SetUp() override { SetThreadLocale(1033); }
    Vel::Test::HiveEnvironment env;
};

TEST_F(LocalizedStringsTest, LookupFallsBackToEnglishThenEmpty) {
    SetThreadLocale(1036);
    EXPECT_EQ(LoadLocalizedString(129), "Outils");
    EXPECT_EQ(LoadLocalizedString(144), "Folders");  // not in French
    EXPECT_EQ(LoadLocalizedString(60000), "");
    EXPECT_EQ(LoadLocalizedString(70000), "");      // beyond 16 bits

    SetThreadLocale(1046);  // Portuguese: no table
    EXPECT_EQ(LoadLocalizedString(129), "Tools");
    SetThreadLocale(0x10407);  // German with a sort order in the high bits
    EXPECT_EQ(LoadLocalizedString(1196), "Verbleibende Zeit");

    std::string text = "kept";
    EXPECT_FALSE(LoadStringForLanguage(144, 1031, text));
    EXPECT_EQ(text, "kept");
    EXPECT_TRUE(LoadStringForLanguage(113, 1033, text));
    EXPECT_EQ(text, "Internal error|An internal error occurred.||If this error persists, please contact support.");
}

TEST_F(LocalizedStringsTest, CompiledTablesAreCompleteAndClean) {
    const StringTable* english = FindStringTable(1033);
    ASSERT_NE(english, nullptr);
    EXPECT_TRUE(english->BadLines().empty());
    for (std::uint16_t id : kEnglishOnly) EXPECT_NE(english->Find(id), nullptr) << id;
    for (std::uint32_t lcid : {1036u, 1031u, 1034u}) {
        const StringTable* table = FindStringTable(lcid);
        ASSERT_NE(table, nullptr) << lcid;
        EXPECT_TRUE(table->BadLines().empty()) << lcid;
        for (std::uint16_t id : english->Ids()) {
            bool present = table->Find(id) != nullptr;
            EXPECT_EQ(present, kEnglishOnly.count(id) == 0) << lcid << " " << id;
        }
        EXPECT_EQ(table->Ids().size() + kEnglishOnly.size(), english->Ids().size()) << lcid;
        // Error texts keep their four parts in every language.
        for (std::uint16_t id : {105, 113, 1117, 1136}) {
            const std::string* text = table->Find(id);
            ASSERT_NE(text, nullptr);
            EXPECT_EQ(std::count(text->begin(), text->end(), '|'), 3) << lcid << " " << id;
        }
    }
    // The updater's elevation is asked by the authentication dialog, not a Windows facility.
    EXPECT_EQ(*english->Find(105),
              "Could not start Solvenda Frontier Updater|The dialog asking you for permission to make changes to the "
              "computer might have timed out.||Click 'Try again' and then accept the authentication dialog.");
    for (std::uint32_t lcid : {1033u, 1036u, 1031u, 1034u})
        for (const char* windows : {"User Account", "Contrôle de compte", "Benutzerkonten", "Control de cuentas"})
            EXPECT_EQ(FindStringTable(lcid)->Find(105)->find(windows), std::string::npos) << lcid << " " << windows;
    EXPECT_EQ(FindStringTable(1046), nullptr);
    EXPECT_EQ(*english->Find(114),
              "You may submit information about your PC configuration to Corvane.\nThis will help Corvane to improve "
              "Solvenda Frontier in future updates.\nThe information that will be sent if you accept is:");
}

TEST(StringTableTest, ParsesEntriesEscapesAndReportsBadLines) {
    auto table = StringTable::Parse("# c\r\n 7 = a\\tb\\\\n\\n\r\n8=x\n9 =\n10 = \n11 = bad \\q\nzz = y\n70000 = big\n"
                                    "12 = first\n12 = second\n12=\n");
    EXPECT_EQ(*table.Find(7), "a\tb\\n\n");
    EXPECT_EQ(*table.Find(8), "x");
    EXPECT_EQ(table.Find(9), nullptr);   // empty counts as absent
    EXPECT_EQ(table.Find(10), nullptr);
    EXPECT_EQ(table.Find(12), nullptr);  // a later empty entry removes it
    EXPECT_EQ(table.BadLines(), (std::vector<int>{6, 7, 8}));
}

TEST_F(LocalizedStringsTest, TwoThreadsWithTwoLanguages) {
    std::string french, german;
    std::thread a([&] {
        SetThreadLocale(1036);
        for (int i = 0; i < 100; ++i) french = LoadLocalizedString(1068);
    });
    std::thread b([&] {
        SetThreadLocale(1031);
        for (int i = 0; i < 100; ++i) german = LoadLocalizedString(1068);
    });
    a.join();
    b.join();
    EXPECT_EQ(french, "Annuler");
    EXPECT_EQ(german, "Abbrechen");
    EXPECT_EQ(LoadLocalizedString(1068), "Cancel");  // this thread is untouched
}

TEST_F(LocalizedStringsTest, NewThreadStartsFromTheStoredLanguage) {
    WriteSettingInt("Language", "Language", 4, SettingScope::CurrentUser);
    std::uint32_t lcid = 0;
    std::string text;
    std::thread t([&] {
        lcid = GetThreadLocale();
        text = LoadLocalizedString(129);
    });
    t.join();
    EXPECT_EQ(lcid, 1034u);
    EXPECT_EQ(text, "Herramientas");
}

TEST(LanguageTableTest, RowsAndLookups) {
    const auto& table = GetLanguageTable();
    ASSERT_EQ(table.size(), 6u);
    EXPECT_EQ(table[1].nativeName, "Fran\xC3\xA7" "ais");
    EXPECT_EQ(table[4].nativeName, "Portug\xC3\xAAs");
    EXPECT_EQ(FindLanguageByLcid(0x0409).id, 1);
    EXPECT_EQ(FindLanguageByLcid(0x10409).id, 1);
    EXPECT_EQ(FindLanguageByLcid(1053).twoLetterCode, "SV");
    LanguageInfo none = FindLanguageById(5);
    EXPECT_EQ(none.id, 0);
    EXPECT_EQ(none.lcid, 1033u);
    EXPECT_TRUE(none.englishName.empty() && none.cultureName.empty());
    EXPECT_FALSE(HasUiResources(none));
    EXPECT_TRUE(HasUiResources(FindLanguageById(4)));
    EXPECT_FALSE(HasUiResources(FindLanguageById(7)));
}

TEST_F(LocalizedStringsTest, StoredLanguageAndEffectiveLanguage) {
    EXPECT_EQ(LoadStoredLanguage().id, 0);
    SetThreadLocale(1031);
    EXPECT_EQ(GetEffectiveLanguage().id, 3);  // nothing stored: the thread's language
    SetThreadLocale(1046);
    EXPECT_EQ(GetEffectiveLanguage().id, 1);  // neither has strings: English
    WriteSettingInt("Language", "Language", 2, SettingScope::CurrentUser);
    EXPECT_EQ(GetEffectiveLanguage().id, 2);
    ApplyThreadUiLanguage();
    EXPECT_EQ(GetThreadLocale(), 1036u);
}

TEST_F(LocalizedStringsTest, PortugueseStoredDoesNotCountAsChosen) {
    WriteSettingInt("Language", "Language", 7, SettingScope::CurrentUser);
    int shown = 0;
    EXPECT_FALSE(EnsureLanguageChosen([&] { return ++shown, false; }));
    EXPECT_EQ(shown, 1);

    EXPECT_TRUE(EnsureLanguageChosen([&] {
        ++shown;
        WriteSettingInt("Language", "Language", 3, SettingScope::CurrentUser);
        return true;
    }));
    EXPECT_EQ(shown, 2);
    EXPECT_EQ(GetThreadLocale(), 1031u);
    EXPECT_TRUE(EnsureLanguageChosen([&] { return ++shown, true; }));
    EXPECT_EQ(shown, 2);  // a chosen language asks no more
}

// The system's language: LC_ALL over LC_MESSAGES over LANG, an empty one counting as unset; the
// language code alone decides, whatever the region.
TEST_F(LocalizedStringsTest, SystemLanguageComesFromTheLocaleVariablesInTheirOrder) {
    struct Case {
        const char* all;
        const char* messages;
        const char* lang;
        std::uint32_t lcid;
    } cases[] = {
        {nullptr, nullptr, "fr_FR.UTF-8", 1036},
        {nullptr, nullptr, "fr_CA", 1036},
        {nullptr, nullptr, "de_DE.UTF-8", 1031},
        {nullptr, nullptr, "de_AT", 1031},
        {nullptr, nullptr, "es_ES.UTF-8", 1034},
        {nullptr, nullptr, "es_MX.UTF-8", 1034},
        {nullptr, nullptr, "fr", 1036},
        {nullptr, nullptr, "de_DE@euro", 1031},
        {nullptr, nullptr, "pt_BR.UTF-8", 1046},  // in the table, without texts of its own
        {nullptr, nullptr, "en_GB.UTF-8", 1033},
        {nullptr, nullptr, "it_IT.UTF-8", 1033},
        {nullptr, nullptr, "C", 1033},
        {nullptr, nullptr, "C.UTF-8", 1033},
        {nullptr, nullptr, "POSIX", 1033},
        {nullptr, nullptr, "", 1033},
        {nullptr, nullptr, nullptr, 1033},
        {nullptr, nullptr, "FR_fr", 1033},  // not a locale name
        {nullptr, nullptr, "fra_FR", 1033},
        {"de_DE.UTF-8", "es_ES.UTF-8", "fr_FR.UTF-8", 1031},
        {nullptr, "es_ES.UTF-8", "fr_FR.UTF-8", 1034},
        {"", "", "fr_FR.UTF-8", 1036},
        {"C", "es_ES.UTF-8", "fr_FR.UTF-8", 1033},
        {"", "it_IT.UTF-8", "de_DE.UTF-8", 1033},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("LC_ALL=") + (c.all ? c.all : "(unset)") + " LC_MESSAGES=" +
                     (c.messages ? c.messages : "(unset)") + " LANG=" + (c.lang ? c.lang : "(unset)"));
        Vel::Test::ScopedEnv env;
        env.Set("LC_ALL", c.all);
        env.Set("LC_MESSAGES", c.messages);
        env.Set("LANG", c.lang);
        EXPECT_EQ(GetSystemLanguageLcid(), c.lcid);
    }
}

// While no language is chosen, the dialog opens in the system's language; the choice then
// applies. A stored language is applied whatever the system's.
TEST_F(LocalizedStringsTest, LanguageChoiceOpensInTheSystemsLanguage) {
    Vel::Test::ScopedEnv locale;
    locale.Set("LC_ALL", nullptr);
    locale.Set("LC_MESSAGES", "de_AT.UTF-8");
    std::uint32_t whileAsking = 0;
    EXPECT_TRUE(EnsureLanguageChosen([&] {
        whileAsking = GetThreadLocale();
        WriteSettingInt("Language", "Language", 4, SettingScope::CurrentUser);
        return true;
    }));
    EXPECT_EQ(whileAsking, 1031u);
    EXPECT_EQ(GetThreadLocale(), 1034u);

    locale.Set("LC_ALL", "fr_FR.UTF-8");
    EXPECT_TRUE(EnsureLanguageChosen([] { return false; }));
    EXPECT_EQ(GetThreadLocale(), 1034u);
}

}  // namespace
