// Stored content through the format converter. Input: source code, target code (each taken
// modulo 9, so the invalid codes come too), the four bytes of the per-file key, then the stored
// bytes. Property: content converted from the plain form to a valid code converts back to the
// same bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "delivery/archive/ZipManager.h"
#include "foundation/core/Exception.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 6) return 0;
    const int source = data[0] % 9;
    const int target = data[1] % 9;
    std::uint32_t key = 0;
    std::memcpy(&key, data + 2, 4);
    const std::uint8_t* bytes = data + 6;
    const auto length = static_cast<std::uint32_t>(size - 6);
    std::shared_ptr<VelMemoryStream> converted;
    try {
        converted = Vel::ZipManager::ConvertContentFormat(bytes, length, source, target, key);
    } catch (const Vel::Exception&) {
        return 0;
    }
    if (!converted) FuzzSupport::Broken("conversion returned no stream");
    if (source != 0 || target == 0) return 0;
    std::shared_ptr<VelMemoryStream> back;
    try {
        back = Vel::ZipManager::ConvertContentFormat(converted->GetData(), converted->GetSize(), target, 0, key);
    } catch (const Vel::Exception&) {
        FuzzSupport::Broken("converted content does not convert back");
    }
    if (back->GetSize() != length || (length != 0 && std::memcmp(back->GetData(), bytes, length) != 0))
        FuzzSupport::Broken("content changed in a round trip");
    return 0;
}
