#pragma once
// The bytes of a "planet_list.xbc" as the content site writes it: a leading word the reader
// skips, then the territories with their planets, each name as a compact length and its bytes.

#include <cstdint>
#include <string>

#include "delivery/content/PlanetList.h"
#include "foundation/data/MemoryStream.h"

namespace Vel::Test {

inline void WriteLengthText(VelMemoryStream& s, const std::string& text) {
    s.WriteCompactLength(static_cast<std::uint32_t>(text.size()));
    s.Write(text.data(), static_cast<std::uint32_t>(text.size()));
}

inline std::string EncodePlanetList(const PlanetList& list, std::uint16_t leadingWord = 0) {
    VelMemoryStream s;
    s.WriteUInt16(leadingWord);
    s.WriteCompactLength(static_cast<std::uint32_t>(list.size()));
    for (const TerritoryInfo& t : list) {
        s.WriteUInt16(t.id);
        WriteLengthText(s, t.name);
        WriteLengthText(s, t.displayName);
        s.WriteCompactLength(static_cast<std::uint32_t>(t.planets.size()));
        for (const PlanetInfo& p : t.planets) {
            s.WriteUInt16(p.id);
            WriteLengthText(s, p.name);
            WriteLengthText(s, p.displayName);
        }
    }
    return std::string(reinterpret_cast<const char*>(s.GetData()), s.GetSize());
}

}  // namespace Vel::Test
