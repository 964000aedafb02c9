#include "delivery/archive/Deflate.h"

#include <zlib.h>

#include <algorithm>

#include "foundation/core/Exception.h"

namespace {

// Claims room for the next output bytes at offset start + produced and points the zlib stream
// there. The position is left at the end of the claim.
void Claim(VelMemoryStream& out, std::uint32_t start, std::uint64_t produced, std::uint32_t room, z_stream& z) {
    out.Seek(static_cast<std::uint32_t>(start + produced));
    std::uint8_t* space = out.IsGood() ? out.WriteSpace(room) : nullptr;
    if (space == nullptr || !out.IsGood()) throw Vel::Exception();
    z.next_out = space;
    z.avail_out = room;
}

// Leaves the stream's position right after the produced bytes and cuts back the overshoot
// of the last claim (never below the size the stream had before).
void Finish(VelMemoryStream& out, std::uint32_t start, std::uint32_t oldSize, std::uint64_t produced) {
    const auto end = static_cast<std::uint32_t>(start + produced);
    out.Resize(std::max(oldSize, end));
    out.Seek(end);
}

struct DeflateEnd {
    z_stream* z;
    ~DeflateEnd() { deflateEnd(z); }
};
struct InflateEnd {
    z_stream* z;
    ~InflateEnd() { inflateEnd(z); }
};

}  // namespace

std::uint32_t DeflateRaw(const void* input, std::uint32_t inputLength, VelMemoryStream& output, int level) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) throw Vel::Exception();
    DeflateEnd guard{&z};
    z.next_in = static_cast<Bytef*>(const_cast<void*>(input));
    z.avail_in = inputLength;

    const std::uint32_t start = output.GetPosition();
    const std::uint32_t oldSize = output.GetSize();
    const uLong bound = deflateBound(&z, inputLength);
    if (bound > 0xFFFFFFFFu - start) throw Vel::Exception();
    std::uint64_t produced = 0;
    std::uint32_t room = static_cast<std::uint32_t>(bound);
    for (;;) {
        Claim(output, start, produced, room, z);
        const int rc = deflate(&z, Z_FINISH);
        if (rc == Z_STREAM_ERROR) throw Vel::Exception();
        produced += room - z.avail_out;
        if (rc == Z_STREAM_END) break;
        // With zlib's bound one round suffices; should it not, go on in further claims as long
        // as each one is filled.
        if (z.avail_out != 0) throw Vel::Exception();
        room = 65536;
        if (start + produced + room > 0xFFFFFFFFu) throw Vel::Exception();
    }
    Finish(output, start, oldSize, produced);
    return static_cast<std::uint32_t>(produced);
}

std::uint32_t InflateRaw(const void* input, std::uint32_t inputLength, VelMemoryStream& output,
                         std::uint32_t expectedSize, std::uint32_t maxOutput) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) throw Vel::Exception();
    InflateEnd guard{&z};
    z.next_in = static_cast<Bytef*>(const_cast<void*>(input));
    z.avail_in = inputLength;

    const std::uint32_t start = output.GetPosition();
    const std::uint32_t oldSize = output.GetSize();
    const std::uint32_t limit = expectedSize != 0 ? expectedSize : maxOutput;
    if (std::uint64_t{start} + limit > 0xFFFFFFFFu) throw Vel::Exception();

    // First room: the expected size, else a guess from the input that doubles as it fills.
    std::uint64_t room = expectedSize != 0 ? expectedSize : std::max<std::uint64_t>(std::uint64_t{inputLength} * 4, 65536);
    std::uint64_t produced = 0;
    for (;;) {
        room = std::min<std::uint64_t>(room, limit - produced);
        if (room == 0) {
            // At the limit: the stream must end here without another byte.
            std::uint8_t probe;
            z.next_out = &probe;
            z.avail_out = 1;
            const int rc = inflate(&z, Z_NO_FLUSH);
            if (rc == Z_STREAM_END && z.avail_out == 1) break;
            throw Vel::Exception();
        }
        Claim(output, start, produced, static_cast<std::uint32_t>(room), z);
        const int rc = inflate(&z, Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) throw Vel::Exception();
        const std::uint64_t got = room - z.avail_out;
        produced += got;
        if (rc == Z_STREAM_END) break;
        // Room left over without the end: the input ran out first.
        if (z.avail_out != 0) throw Vel::Exception();
        room = std::max<std::uint64_t>(produced, 65536);
    }
    Finish(output, start, oldSize, produced);
    return static_cast<std::uint32_t>(produced);
}
