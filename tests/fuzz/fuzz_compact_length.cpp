// The memory stream's compact length code and the length-prefixed text read with it, over
// borrowed bytes as the binary formats read them. Property: a length read whole writes back in
// its shortest form, which reads back as the same length.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "foundation/data/MemoryStream.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> bytes(data, data + size);
    VelMemoryStream in(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    while (in.IsGood() && in.GetRemaining() > 0) {
        const std::uint32_t before = in.GetPosition();
        const std::uint32_t length = in.ReadCompactLength();
        if (!in.IsGood()) break;
        VelMemoryStream out;
        out.WriteCompactLength(length);
        if (!out.IsGood()) FuzzSupport::Broken("a length read does not write");
        if (out.GetSize() > in.GetPosition() - before) FuzzSupport::Broken("written form longer than the read one");
        out.Rewind();
        if (out.ReadCompactLength() != length || !out.IsGood()) FuzzSupport::Broken("length does not read back");
        // Then the same bytes as a length-prefixed text.
        in.Seek(before);
        std::string text;
        in >> text;
        if (in.IsGood() && text.size() != length) FuzzSupport::Broken("text of another length");
    }
    return 0;
}
