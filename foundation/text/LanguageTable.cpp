#include "foundation/text/LanguageTable.h"

#include "foundation/text/LocalizedStrings.h"
#include "foundation/config/RegistrySettings.h"

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

bool EnsureLanguageChosen(const std::function<bool()>& runLanguageDialog) {
    if (!HasUiResources(LoadStoredLanguage())) {
        if (!runLanguageDialog || !runLanguageDialog()) return false;
    }
    ApplyThreadUiLanguage();
    return true;
}

}  // namespace Vel
