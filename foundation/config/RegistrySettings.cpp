#include "foundation/config/RegistrySettings.h"

#include "foundation/core/Exception.h"
#include "foundation/config/SiteName.h"
#include "foundation/config/VelRegistryHandler.h"

namespace Vel {
namespace {

bool IsMachine(SettingScope scope) noexcept { return scope == SettingScope::LocalMachine; }

}  // namespace

std::string GetSettingsRegistryPath(const std::string& section) {
    const std::string site = GetSiteName();
    std::string path = "SOFTWARE\\Corvane\\";
    path += site.empty() ? std::string("Solvenda Frontier") : site;
    if (!section.empty()) {
        path += '\\';
        path += section;
    }
    return path;
}

int ReadSettingInt(const std::string& section, const std::string& name, int defaultValue, SettingScope scope) {
    const std::string path = GetSettingsRegistryPath(section);
    std::uint32_t value = 0;
    if (VelRegistryHandler(IsMachine(scope), path).GetDWORD(name, value)) return static_cast<int>(value);
    if (scope == SettingScope::UserThenMachine && VelRegistryHandler(true, path).GetDWORD(name, value))
        return static_cast<int>(value);
    return defaultValue;
}

bool ReadSettingBool(const std::string& section, const std::string& name, bool defaultValue, SettingScope scope) {
    return ReadSettingInt(section, name, defaultValue ? 1 : 0, scope) > 0;
}

std::string ReadRegistrySettingString(const std::string& section, const std::string& name,
                                      const std::string& defaultValue, SettingScope scope) {
    const std::string path = GetSettingsRegistryPath(section);
    std::string value;
    if (VelRegistryHandler(IsMachine(scope), path).GetString(name, value)) return value;
    if (scope == SettingScope::UserThenMachine && VelRegistryHandler(true, path).GetString(name, value))
        return value;
    return defaultValue;
}

void WriteSettingInt(const std::string& section, const std::string& name, int value, SettingScope scope) {
    VelRegistryHandler handler(IsMachine(scope), GetSettingsRegistryPath(section));
    if (!handler.SetDWORD(name, static_cast<std::uint32_t>(value))) throw Exception();
}

void WriteSettingBool(const std::string& section, const std::string& name, bool value, SettingScope scope) {
    WriteSettingInt(section, name, value ? 1 : 0, scope);
}

void WriteRegistrySettingString(const std::string& section, const std::string& name, const std::string& text,
                                SettingScope scope) {
    VelRegistryHandler handler(IsMachine(scope), GetSettingsRegistryPath(section));
    if (!handler.SetString(name, text)) throw Exception();
}

bool RegistrySettingsKeyExists(const std::string& section, const std::string& /*name*/, SettingScope scope) {
    return VelRegistryHandler(IsMachine(scope), GetSettingsRegistryPath(section)).KeyExists();
}

std::vector<std::string> GetSettingValueNames(const std::string& section, SettingScope scope) {
    return VelRegistryHandler(IsMachine(scope), GetSettingsRegistryPath(section)).GetValueNames();
}

}  // namespace Vel
