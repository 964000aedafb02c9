// An archive file opened by Vel::Zip read-only and then with recovery, every entry read.
// Property: after a recovery the archive opens again without one and lists the same entries.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "delivery/archive/Zip.h"
#include "foundation/core/Exception.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

std::vector<std::string> ReadAll(Vel::Zip& zip) {
    std::vector<std::string> names;
    for (const Vel::ZipEntry& entry : zip.GetEntries()) {
        names.push_back(entry.name);
        try {
            (void)zip.ReadEntry(entry);
        } catch (const Vel::Exception&) {
        }
    }
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = (FuzzSupport::ScratchFolder() / "archive.pak").string();
    std::error_code ignored;
    std::filesystem::remove(Vel::Zip::MarkerPath(path), ignored);
    FuzzSupport::WriteFile(path, data, size);

    try {
        Vel::Zip zip(path, 0);
        ReadAll(zip);
    } catch (const Vel::Exception&) {
    }

    std::vector<std::string> recovered;
    try {
        Vel::Zip zip(path, Vel::kZipRecover);
        recovered = ReadAll(zip);
    } catch (const Vel::Exception&) {
        return 0;
    }
    try {
        Vel::Zip zip(path, 0);
        if (ReadAll(zip) != recovered) FuzzSupport::Broken("recovered archive reopens with other entries");
    } catch (const Vel::Exception&) {
        FuzzSupport::Broken("recovered archive does not reopen");
    }
    return 0;
}
