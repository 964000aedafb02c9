#include "foundation/text/LanguageTable.h"

#include "foundation/text/LocalizedStrings.h"
#include "foundation/config/RegistrySettings.h"

#include <cstdlib>
#include <string_view>

namespace Vel {

const std::vector<LanguageInfo>& GetLanguageTable() {
    static const std::vector<LanguageInfo> table = {
        {1, "English", "English", "EN", "ENG", "en-US", 1033},
        {2, "French", "Français", "FR", "FRA", "fr-FR", 1036},
        {3, "German", "Deutsch", "DE", "DEU", "de-DE", 1031},
        {4, "Spanish", "Español", "ES", "SPA", "es-ES", 1034},
        {7, "Portuguese", "Portugês", "PT", "POR", "pt-BR", 1046},
        {8, "Swedish", "Svenska", "SV", "SWE", "sv-SE", 1053},
    };
    return table;
}

LanguageInfo FindLanguageById(std::int32_t id) {
    for (const auto& row : GetLanguageTable())
        if (row.id == id) return row;
    return {};
}

LanguageInfo FindLanguageByLcid(std::uint32_t lcid) {
    for (const auto& row : GetLanguageTable())
        if ((row.lcid & 0xFFFF) == (lcid & 0xFFFF)) return row;
    return {};
}

bool HasUiResources(const LanguageInfo& language) noexcept { return language.id > 0 && language.id <= 4; }

LanguageInfo LoadStoredLanguage() {
    const auto& key = Settings::Language;
    return FindLanguageById(ReadSettingInt(key.section, key.name, key.defaultValue, key.scope));
}

LanguageInfo GetEffectiveLanguage() {
    LanguageInfo stored = LoadStoredLanguage();
    if (HasUiResources(stored)) return stored;
    LanguageInfo thread = FindLanguageByLcid(GetThreadLocale());
    if (HasUiResources(thread)) return thread;
    return FindLanguageById(1);
}

std::uint32_t GetSystemLanguageLcid() {
    constexpr std::uint32_t kUsEnglish = 1033;
    std::string_view locale;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            locale = value;
            break;
        }
    }
    // language[_territory][.codeset][@modifier]
    const std::string_view code = locale.substr(0, locale.find_first_of("_.@"));
    if (code.size() != 2) return kUsEnglish;  // also "C" and "POSIX"
    std::string upper;
    for (char c : code) {
        if (c >= 'a' && c <= 'z') upper += static_cast<char>(c - 'a' + 'A');
        else return kUsEnglish;
    }
    for (const auto& row : GetLanguageTable())
        if (row.twoLetterCode == upper) return row.lcid;
    return kUsEnglish;
}

bool EnsureLanguageChosen(const std::function<bool()>& runLanguageDialog) {
    if (!HasUiResources(LoadStoredLanguage())) {
        SetThreadLocale(GetSystemLanguageLcid());
        if (!runLanguageDialog || !runLanguageDialog()) return false;
    }
    ApplyThreadUiLanguage();
    return true;
}

}  // namespace Vel
