// The game client's corrupt-file list, read, then one name taken out as the content driver does
// after repairing it. Property: only that name leaves the list.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include "delivery/descriptors/FileDescriptors.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string path = (FuzzSupport::ScratchFolder() / Vel::kCorruptFileListName).string();
    FuzzSupport::WriteFile(path, data, size);
    std::set<std::string> names = Vel::ReadCorruptFileList(path);
    if (names.empty()) return 0;
    const std::set<std::string> handled{*names.begin()};
    if (!Vel::ForgetCorruptFiles(path, handled)) FuzzSupport::Broken("the list could not be rewritten");
    names.erase(names.begin());
    if (Vel::ReadCorruptFileList(path) != names) FuzzSupport::Broken("other names changed in the rewrite");
    return 0;
}
