// The update manifest as the update run reads it: a manifest that is accepted names only paths
// confined to the client folder, and so do the cached package paths made from it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "delivery/update/FileList.h"
#include "foundation/core/Exception.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    FileList list;
    try {
        list = ReadFileList(text);
    } catch (const Vel::Exception&) {
        return 0;
    }
    if (list.version.ToUInt64() == 0) FuzzSupport::Broken("accepted manifest has version 0.0.0.0");
    for (const FileListEntry& entry : list.files) {
        if (!IsSafeRelativePath(entry.path)) FuzzSupport::Broken("accepted an unsafe entry path");
        if (!IsSafeRelativePath(GetCachedZipPath(entry))) FuzzSupport::Broken("unsafe cached package path");
        (void)GetDisplayName(entry);
    }
    (void)GetTotalZipSize(list);
    (void)GetSelectedSize(list);
    return 0;
}
