#include "foundation/text/LocalizedStrings.h"

#include "foundation/text/EmbeddedStringTables.h"
#include "foundation/text/LanguageTable.h"
#include "foundation/text/StringTable.h"

#include <map>
#include <optional>

namespace Vel {
namespace {

constexpr std::uint32_t kUsEnglish = 1033;

const std::map<std::uint16_t, StringTable>& Tables() {
    static const std::map<std::uint16_t, StringTable> tables = [] {
        std::map<std::uint16_t, StringTable> result;
        for (std::size_t i = 0; i < kEmbeddedStringTableCount; ++i) {
            const auto& t = kEmbeddedStringTables[i];
            result.emplace(static_cast<std::uint16_t>(t.languageId),
                           StringTable::Parse(std::string(t.text, t.size)));
        }
        return result;
    }();
    return tables;
}

thread_local std::optional<std::uint32_t> t_threadLocale;

}  // namespace

const StringTable* FindStringTable(std::uint32_t lcid) {
    const auto& tables = Tables();
    auto it = tables.find(static_cast<std::uint16_t>(lcid & 0xFFFF));
    return it == tables.end() ? nullptr : &it->second;
}

bool LoadStringForLanguage(unsigned id, std::uint32_t lcid, std::string& text) {
    if (id > 0xFFFF) return false;
    const StringTable* table = FindStringTable(lcid);
    if (table == nullptr) return false;
    const std::string* entry = table->Find(static_cast<std::uint16_t>(id));
    if (entry == nullptr) return false;
    text = *entry;
    return true;
}

std::string LoadLocalizedString(unsigned id) {
    std::string text;
    if (LoadStringForLanguage(id, GetThreadLocale(), text)) return text;
    if (LoadStringForLanguage(id, kUsEnglish, text)) return text;
    return {};
}

std::uint32_t GetThreadLocale() {
    if (!t_threadLocale) t_threadLocale = LoadStoredLanguage().lcid;
    return *t_threadLocale;
}

void SetThreadLocale(std::uint32_t lcid) noexcept { t_threadLocale = lcid; }

void ApplyThreadUiLanguage() { SetThreadLocale(LoadStoredLanguage().lcid); }

}  // namespace Vel
