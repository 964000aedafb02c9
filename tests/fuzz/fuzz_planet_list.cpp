// The planet list file ("planet_list.xbc") read and published, then looked up as the content
// pages do.
#include <cstddef>
#include <cstdint>
#include <string>

#include "delivery/content/PlanetList.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = (FuzzSupport::ScratchFolder() / Vel::kPlanetListFileName).string();
    FuzzSupport::WriteFile(path, data, size);
    (void)Vel::ReadPlanetList(path);
    for (std::uint16_t id : Vel::GetPlanetIds(true)) (void)Vel::GetPlanetDisplayName(id);
    (void)Vel::GetPlanetIds(false);
    return 0;
}
