#pragma once
// The string tables of resources/strings/, compiled into the program (the build generates
// their definition). Constant data, readable from any thread at any time.

#include <cstddef>
#include <cstdint>

namespace Vel {

struct EmbeddedStringTable {
    std::uint32_t languageId;  // 1033, 1036, ...
    const char* text;          // the table file's UTF-8 text
    std::size_t size;
};

extern const EmbeddedStringTable kEmbeddedStringTables[];
extern const std::size_t kEmbeddedStringTableCount;

}  // namespace Vel
