#pragma once
// The planet list and the player's background download list.
//
// The planet list ("planet_list.xbc" in the program data folder) names the game's territories
// and their planets with their 16-bit ids. ReadPlanetList loads it into one process-wide list;
// the lookups below read that list. The background download list is the player's ordered
// choice of planets whose content is fetched in the background; it lives in the settings
// (DynamicContent\BGDownloadList, older installations: DWORD values under
// DynamicContent\Packages named by package path).
//
// Contract:
// - The published planet list is immutable: ReadPlanetList builds a new list and swaps it in
//   whole; a file that cannot be loaded leaves the old list (empty at first). A truncated file
//   still replaces the list: the records before the break plus the broken one, its missing
//   fields zero or empty. The file is bounded by its own size: counts are not trusted, and a
//   vector is reserved up front only for a count below 1024.
// - Any thread may call any function; only the swap of the published list takes a small
//   internal lock.
// - LoadBackgroundDownloadList never throws (a registry failure ends it with the ids gathered
//   so far); SaveBackgroundDownloadList throws Vel::Exception with an empty text when a write
//   fails.
// - StartBackgroundDownloadList is the content system's start-up step: it loads the list and
//   saves it back at once (cleaning the stored text of ids the planet list does not hold, and
//   turning the older form into the current one), but only when the planet list was read
//   whole: with a missing, unreadable or truncated planet list the ids it does not hold would
//   be erased from the player's choice for good, so nothing is written then.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace Vel {

inline constexpr const char* kPlanetListFileName = "planet_list.xbc";

struct PlanetInfo {
    std::uint16_t id = 0;
    std::string name;
    std::string displayName;

    // Hidden planets (empty name, or a name beginning with "*") are not offered to the player.
    bool IsHidden() const { return name.empty() || name.front() == '*'; }
    bool operator==(const PlanetInfo&) const = default;
};

struct TerritoryInfo {
    std::uint16_t id = 0;
    std::string name;
    std::string displayName;
    std::vector<PlanetInfo> planets;

    bool operator==(const TerritoryInfo&) const = default;
};

using PlanetList = std::vector<TerritoryInfo>;

enum class PlanetListRead {
    Missing,    // the file could not be loaded; the published list is unchanged
    Truncated,  // the file broke off; the published list holds what was read
    Complete,
};

// Reads the planet list file at path and publishes it (see the contract).
PlanetListRead ReadPlanetList(const std::string& path);
// The published list (never null; empty before the first successful load).
std::shared_ptr<const PlanetList> GetPlanetList();

// Every planet id in list order; with includeHidden false, hidden planets are skipped.
std::vector<std::uint16_t> GetPlanetIds(bool includeHidden);
// For the first planet with the id: territory display name, " - ", planet display name;
// empty when no planet has the id.
std::string GetPlanetDisplayName(std::uint16_t planetId);

std::vector<std::uint16_t> LoadBackgroundDownloadList();
void SaveBackgroundDownloadList(const std::vector<std::uint16_t>& ids);
// The start-up step (see the contract); returns the loaded list. A failed save is reported on
// stderr and does not change the result.
std::vector<std::uint16_t> StartBackgroundDownloadList(PlanetListRead planetList);

// The planet id of an older installation's package path (exact, case-sensitive); 0 for none.
std::uint16_t FindPackagePlanetId(const std::string& packagePath);

}  // namespace Vel
