#pragma once
// Declarations of the system's settings: each a constant SettingKey with its section (sub-key
// below the settings path, may be empty), value name, scope and default. Constant data only;
// safe to use from any thread and during static initialisation.

#include <concepts>
#include <string>

namespace Vel {

// Which hive a setting lives in.
enum class SettingScope : int {
    CurrentUser = 0,      // read and written in the current user's hive
    LocalMachine = 1,     // read and written in the machine's hive
    UserThenMachine = 2,  // read from the user's hive, then the machine's; written to the user's
};

// T is bool, int or const char* (a text setting). Text settings read themselves through
// Read (own default) and ReadOr (caller's default) (RegistrySettings.h); bool and
// int settings are read and written by handing their fields to the typed accessors.
std::string ReadRegistrySettingString(const std::string& section, const std::string& name,
                                      const std::string& defaultValue, SettingScope scope);

template <typename T>
struct SettingKey {
    const char* section;
    const char* name;
    SettingScope scope;
    T defaultValue;

    std::string Read() const
        requires std::same_as<T, const char*>
    {
        return ReadRegistrySettingString(section, name, defaultValue, scope);
    }
    std::string ReadOr(const std::string& fallback) const
        requires std::same_as<T, const char*>
    {
        return ReadRegistrySettingString(section, name, fallback, scope);
    }
};

using BoolSettingKey = SettingKey<bool>;
using IntSettingKey = SettingKey<int>;
using TextSettingKey = SettingKey<const char*>;

namespace Settings {

constexpr SettingScope kUser = SettingScope::CurrentUser;

constexpr BoolSettingKey BGDownloadInitialized{"DynamicContent", "BGDownloadInitialized", kUser, false};
constexpr TextSettingKey BGDownloadList{"DynamicContent", "BGDownloadList", kUser, ""};
constexpr IntSettingKey Bandwidth{"Connection", "Bandwidth", kUser, 1000};
constexpr TextSettingKey DownloadPassword{"Connection", "DownloadPassword", kUser, ""};
constexpr IntSettingKey DownloadThreadCount{"Connection", "DownloadThreadCount", kUser, 12};
constexpr IntSettingKey Language{"Language", "Language", kUser, 0};
constexpr IntSettingKey LastPartnerViewID{"UserInfo", "LastPartnerViewID", kUser, 0};
constexpr TextSettingKey LastVisitedPlanet{"UserInfo", "LastVisitedPlanet", kUser, ""};
constexpr IntSettingKey LastVisitedPlanetID{"UserInfo", "LastVisitedPlanetID", kUser, 0};
constexpr IntSettingKey LastVisitedTerritoryID{"UserInfo", "LastVisitedTerritoryID", kUser, 0};
constexpr TextSettingKey LastVisitedTimestamp{"UserInfo", "LastVisitedTimestamp", kUser, ""};
constexpr TextSettingKey PublicUsersDataParentFolder{"", "PublicUsersDataParentFolder",
                                                     SettingScope::LocalMachine, ""};
constexpr BoolSettingKey RememberUserName{"LogIn", "RememberUserName", kUser, false};
constexpr TextSettingKey UserName{"LogIn", "UserName", kUser, ""};
constexpr BoolSettingKey SafeMode{"Display", "SafeMode", kUser, false};
constexpr BoolSettingKey WindowMode{"Display", "WindowMode", kUser, false};
constexpr BoolSettingKey DisableSounds{"Sound", "DisableSounds", kUser, false};
constexpr BoolSettingKey DisableStreamingAudio{"Sound", "DisableStreamingAudio", kUser, false};
constexpr BoolSettingKey TitleScreenMusic{"Sound", "TitleScreenMusic", kUser, true};
constexpr BoolSettingKey Use64bitClient{"System", "64bitClient", kUser, true};
constexpr IntSettingKey Xfire{"ThirdParty", "Xfire", kUser, 0};

}  // namespace Settings
}  // namespace Vel
