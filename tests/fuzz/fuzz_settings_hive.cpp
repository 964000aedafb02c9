// A settings hive file as every read parses it (other programs write it too). Property: a
// parsed hive serializes to a text that parses to a hive serializing the same, so a write
// never turns a readable file into one that reads differently.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/SettingsHive.h"
#include "tests/fuzz/FuzzSupport.h"

using Vel::Platform::HiveDocument;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::optional<HiveDocument> document =
        Vel::Platform::ParseHive(std::string(reinterpret_cast<const char*>(data), size));
    if (!document) return 0;
    for (const auto& key : document->keys) (void)document->HasKey(key.path);
    const std::string text = Vel::Platform::SerializeHive(*document);
    const std::optional<HiveDocument> again = Vel::Platform::ParseHive(text);
    if (!again) FuzzSupport::Broken("serialized hive does not parse");
    if (Vel::Platform::SerializeHive(*again) != text) FuzzSupport::Broken("serialized hive parses differently");
    return 0;
}
