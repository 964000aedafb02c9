#pragma once
// The languages the player may choose from (six rows, fixed at compile time) and the stored
// choice (the setting Language/Language, an id of this table; 0 = none chosen).
//
// Contract: the table is constant data and lookups return copies, so any thread may call
// them. LoadStoredLanguage and GetEffectiveLanguage read the settings hive on every call;
// GetSystemLanguageLcid reads the environment on every call. EnsureLanguageChosen runs on the
// UI thread at start-up.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Vel {

struct LanguageInfo {
    std::int32_t id = 0;
    std::string englishName;
    std::string nativeName;  // UTF-8
    std::string twoLetterCode;
    std::string threeLetterCode;
    std::string cultureName;
    std::uint32_t lcid = 1033;
};

const std::vector<LanguageInfo>& GetLanguageTable();
// A copy of the first row with that id; the empty record (id 0, lcid 1033) when none.
LanguageInfo FindLanguageById(std::int32_t id);
// A copy of the first row whose lcid has the same low 16 bits; the empty record when none.
LanguageInfo FindLanguageByLcid(std::uint32_t lcid);
// True for the languages with string tables: ids 1 to 4.
bool HasUiResources(const LanguageInfo& language) noexcept;

LanguageInfo LoadStoredLanguage();
// The stored language when it has UI strings; else the thread's language when that has them;
// else English.
LanguageInfo GetEffectiveLanguage();

// The language of the system's locale for messages: the first of LC_ALL, LC_MESSAGES and LANG
// that is set and not empty (the order in which POSIX lets them override each other) names it,
// and its language code alone counts, whatever the region, code set or modifier
// ("fr_CA.UTF-8" and "fr" are both French). The lcid of that row of the table; US English's
// (1033) for "C", "POSIX", no locale at all, or a language the table does not hold.
std::uint32_t GetSystemLanguageLcid();

// When the stored language has no UI strings, sets the calling thread's language to the
// system's (GetSystemLanguageLcid), so that the language dialog opens in it, and runs the
// dialog (which stores the choice and returns true for OK); false when it was not confirmed.
// Then applies the stored language to the calling thread and returns true.
bool EnsureLanguageChosen(const std::function<bool()>& runLanguageDialog);

}  // namespace Vel
