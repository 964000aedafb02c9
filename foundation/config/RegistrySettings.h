#pragma once
// The player's persistent settings: typed values by section and name under the product's
// settings key, kept in the current user's or the machine's settings hive (VelRegistryHandler).
//
// Contract:
// - GetSettingsRegistryPath(section) is "SOFTWARE\Corvane\" + the site name, or "Solvenda
//   Frontier" when the site name is empty, then "\" + section when the section is not empty.
//   The site name is GetSiteName's (so the site must be initialised first).
// - Readers never fail: a value that is absent (after the machine hive for scope 2) gives the
//   caller's default, and defaults are never stored. A bool is stored as the DWORD 0 or 1 and
//   reads true when the stored value, as a signed 32-bit number, is above 0.
// - Writers go to the current user's hive for scopes 0 and 2 and to the machine's for scope 1,
//   and throw Vel::Exception with an empty text when the write fails.
// - No lock of its own: every call opens and closes the hive (which serialises writers), so any
//   thread may call.

#include "foundation/config/SettingKey.h"

#include <string>
#include <vector>

namespace Vel {

std::string GetSettingsRegistryPath(const std::string& section);

int ReadSettingInt(const std::string& section, const std::string& name, int defaultValue, SettingScope scope);
bool ReadSettingBool(const std::string& section, const std::string& name, bool defaultValue, SettingScope scope);
std::string ReadRegistrySettingString(const std::string& section, const std::string& name,
                                      const std::string& defaultValue, SettingScope scope);

void WriteSettingInt(const std::string& section, const std::string& name, int value, SettingScope scope);
void WriteSettingBool(const std::string& section, const std::string& name, bool value, SettingScope scope);
void WriteRegistrySettingString(const std::string& section, const std::string& name, const std::string& text,
                                SettingScope scope);

// True when the section's key can be read (the value name is not consulted); scope 2 looks at
// the current user's hive only.
bool RegistrySettingsKeyExists(const std::string& section, const std::string& name, SettingScope scope);
// The section's value names in stored order (scope 2: the current user's hive). Throws
// Vel::Exception with an empty text when the key cannot be read.
std::vector<std::string> GetSettingValueNames(const std::string& section, SettingScope scope);

}  // namespace Vel
