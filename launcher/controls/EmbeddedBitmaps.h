#pragma once
// The bitmaps of resources/bitmaps/, compiled into the launcher as their PNG bytes (the build
// generates their definition). Constant data, readable from any thread at any time.

#include <cstddef>
#include <cstdint>

namespace Vel {

struct EmbeddedBitmap {
    std::uint32_t resourceId;  // 188, 196, ...
    const unsigned char* png;  // the file's bytes
    std::size_t size;
};

extern const EmbeddedBitmap kEmbeddedBitmaps[];
extern const std::size_t kEmbeddedBitmapCount;

}  // namespace Vel
