#include "delivery/content/PlanetList.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <utility>

#include "foundation/core/Exception.h"
#include "foundation/data/MemoryStream.h"
#include "foundation/text/ParseUInt16.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/config/VelRegistryHandler.h"

namespace Vel {

namespace {

std::mutex g_listLock;
std::shared_ptr<const PlanetList>& Published() {
    static std::shared_ptr<const PlanetList> list = std::make_shared<const PlanetList>();
    return list;
}

constexpr std::uint32_t kLargestReservation = 1024;

template <typename T>
void ReserveFor(std::vector<T>& items, std::uint32_t count) {
    if (count < kLargestReservation) items.reserve(count);
}

// Reads records until the count is reached or the stream fails; the record during which it
// failed is still appended.
void ReadTerritories(VelMemoryStream& stream, PlanetList& out) {
    const std::uint32_t territories = stream.ReadCompactLength();
    ReserveFor(out, territories);
    for (std::uint32_t t = 0; t < territories && stream.IsGood(); ++t) {
        TerritoryInfo& territory = out.emplace_back();
        territory.id = stream.ReadUInt16();
        stream >> territory.name >> territory.displayName;
        const std::uint32_t planets = stream.ReadCompactLength();
        if (!stream.IsGood()) break;
        ReserveFor(territory.planets, planets);
        for (std::uint32_t p = 0; p < planets && stream.IsGood(); ++p) {
            PlanetInfo& planet = territory.planets.emplace_back();
            planet.id = stream.ReadUInt16();
            stream >> planet.name >> planet.displayName;
        }
    }
}

constexpr const char* kSection = "DynamicContent";
constexpr const char* kOlderSection = "DynamicContent\\Packages";

struct PackageRow {
    const char* path;
    std::uint16_t planetId;
};

// The package folders of older installations and the planets they held.
constexpr PackageRow kPackageRows[] = {
    {"territories/core/generated/planets/solvenda", 1},
    {"territories/core/generated/planets/meridian", 2},
    {"territories/core/generated/planets/tessaly", 3},
    {"territories/core/generated/planets/varrow", 5},
    {"territories/rim/generated/planets/calder", 525},
    {"territories/rim/generated/planets/ostrel", 11},
    {"territories/rim/generated/planets/pellum", 520},
    {"territories/reach/generated/planets/ashgrove", 4},
    {"territories/reach/generated/planets/brevik", 517},
    {"territories/reach/generated/planets/corran", 6},
    {"territories/drift/generated/planets/dunmere", 515},
    {"territories/drift/generated/planets/eskar", 10},
    {"territories/drift/generated/planets/fallow", 9},
    {"territories/verge/generated/planets/galen", 518},
    {"territories/verge/generated/planets/hollin", 522},
    {"territories/verge/generated/planets/irrin", 12},
};

bool Contains(const std::vector<std::uint16_t>& ids, std::uint16_t id) {
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

void LoadOlderForm(const std::vector<std::uint16_t>& known, std::vector<std::uint16_t>& out) {
    VelRegistryHandler packages(false, GetSettingsRegistryPath(kOlderSection));
    std::vector<std::pair<std::uint32_t, std::uint16_t>> chosen;  // (priority, id)
    for (const std::string& name : packages.GetValueNames()) {
        std::uint32_t priority = 0;
        packages.GetDWORD(name, priority);
        const std::uint16_t id = FindPackagePlanetId(name);
        // The stored DWORD is a signed value; only a positive one chooses the package.
        if (id != 0 && static_cast<std::int32_t>(priority) > 0 && Contains(known, id))
            chosen.emplace_back(priority, id);
    }
    std::stable_sort(chosen.begin(), chosen.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (const auto& [priority, id] : chosen) out.push_back(id);
}

}  // namespace

PlanetListRead ReadPlanetList(const std::string& path) {
    VelMemoryStream stream;
    if (!stream.LoadFile(path)) return PlanetListRead::Missing;
    stream.ClearFlags(VelMemoryStream::kLimitElementCounts | VelMemoryStream::kThrowOnFailure);
    stream.Skip(2);
    auto list = std::make_shared<PlanetList>();
    ReadTerritories(stream, *list);
    const bool complete = stream.IsGood();
    {
        std::lock_guard lock(g_listLock);
        Published() = std::move(list);
    }
    return complete ? PlanetListRead::Complete : PlanetListRead::Truncated;
}

std::shared_ptr<const PlanetList> GetPlanetList() {
    std::lock_guard lock(g_listLock);
    return Published();
}

std::vector<std::uint16_t> GetPlanetIds(bool includeHidden) {
    const auto list = GetPlanetList();
    std::vector<std::uint16_t> ids;
    for (const TerritoryInfo& territory : *list)
        for (const PlanetInfo& planet : territory.planets)
            if (includeHidden || !planet.IsHidden()) ids.push_back(planet.id);
    return ids;
}

std::string GetPlanetDisplayName(std::uint16_t planetId) {
    const auto list = GetPlanetList();
    for (const TerritoryInfo& territory : *list)
        for (const PlanetInfo& planet : territory.planets)
            if (planet.id == planetId) return territory.displayName + " - " + planet.displayName;
    return {};
}

std::vector<std::uint16_t> LoadBackgroundDownloadList() {
    const std::vector<std::uint16_t> known = GetPlanetIds(true);
    std::vector<std::uint16_t> ids;
    try {
        std::string text;
        if (VelRegistryHandler(false, GetSettingsRegistryPath(kSection)).GetString(Settings::BGDownloadList.name, text)) {
            std::size_t start = 0;
            while (start <= text.size()) {
                std::size_t end = text.find(',', start);
                if (end == std::string::npos) end = text.size();
                const std::uint16_t id = ParseUInt16(std::string_view(text).substr(start, end - start));
                if (id != 0 && Contains(known, id)) ids.push_back(id);
                start = end + 1;
            }
        } else {
            LoadOlderForm(known, ids);
        }
    } catch (const Exception&) {
        // A settings key that cannot be read ends the list here.
    }
    return ids;
}

void SaveBackgroundDownloadList(const std::vector<std::uint16_t>& ids) {
    std::string text;
    for (std::uint16_t id : ids) {
        if (!text.empty()) text += ',';
        text += std::to_string(id);
    }
    WriteRegistrySettingString(Settings::BGDownloadList.section, Settings::BGDownloadList.name, text,
                               Settings::BGDownloadList.scope);
    WriteSettingBool(Settings::BGDownloadInitialized.section, Settings::BGDownloadInitialized.name, true,
                     Settings::BGDownloadInitialized.scope);
}

std::vector<std::uint16_t> StartBackgroundDownloadList(PlanetListRead planetList) {
    std::vector<std::uint16_t> ids = LoadBackgroundDownloadList();
    if (planetList != PlanetListRead::Complete) return ids;
    try {
        SaveBackgroundDownloadList(ids);
    } catch (const Exception&) {
        std::fprintf(stderr, "Trailstarter: cannot store the background download list\n");
    }
    return ids;
}

std::uint16_t FindPackagePlanetId(const std::string& packagePath) {
    for (const PackageRow& row : kPackageRows)
        if (packagePath == row.path) return row.planetId;
    return 0;
}

}  // namespace Vel
