// An update package extracted into a staging folder as the update applies it. Property: nothing
// is ever written outside the staging folder, and no symbolic link is made inside it.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <system_error>

#include "delivery/update/ZipExtractor.h"
#include "foundation/core/Exception.h"
#include "tests/fuzz/FuzzSupport.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path root = FuzzSupport::ScratchFolder();
    const fs::path package = root / "package.zip";
    const fs::path staging = root / "staging";
    std::error_code ignored;
    fs::remove_all(staging, ignored);
    fs::create_directory(staging);
    FuzzSupport::WriteFile(package, data, size);

    try {
        Vel::ZipExtractor extractor(package.string());
        extractor.ExtractAll(staging.string(), 16u << 20);
    } catch (const Vel::Exception&) {
    }

    for (const fs::directory_entry& entry : fs::directory_iterator(root))
        if (entry.path() != package && entry.path() != staging)
            FuzzSupport::Broken("the package wrote outside its folder");
    for (auto it = fs::recursive_directory_iterator(staging); it != fs::recursive_directory_iterator(); ++it)
        if (it->is_symlink()) FuzzSupport::Broken("the package made a symbolic link");
    fs::remove_all(staging, ignored);
    return 0;
}
