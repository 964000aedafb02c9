// A descriptor table ("file_descs/*.xbc") loaded as the content driver loads the tables.
#include <cstddef>
#include <cstdint>
#include <filesystem>

#include "delivery/descriptors/FileDescriptors.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::filesystem::path folder = [] {
        const auto made = FuzzSupport::ScratchFolder() / "programdata";
        std::filesystem::create_directories(made / Vel::kFileDescriptorFolderName);
        return made;
    }();
    FuzzSupport::WriteFile(folder / Vel::kFileDescriptorFolderName / "territory.xbc", data, size);
    (void)Vel::LoadFileDescriptors(folder.string() + "/");
    for (const auto& [name, info] : *Vel::GetFileDescriptors())
        if (Vel::FindFileDescriptor(name) != info) FuzzSupport::Broken("published map and lookup differ");
    return 0;
}
