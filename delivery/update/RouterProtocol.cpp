#include "delivery/update/RouterProtocol.h"

#include <cstring>

#include "foundation/data/RandomGenerator.h"

namespace Vel::RouterConnector {

void ScrambleRouterDatagram(std::uint8_t* bytes, std::size_t length) {
    if (length <= 8) return;
    std::uint8_t low = 0;
    std::uint8_t high = 0;
    for (unsigned i = 0; i < 10; ++i) {
        const auto t = static_cast<std::uint8_t>(bytes[low % 8] + i);
        high ^= bytes[i % 8];
        low ^= t;
    }
    for (std::size_t j = 8; j < length; ++j) {
        bytes[j] ^= low;
        low = static_cast<std::uint8_t>(low + high);
    }
}

void WriteVersionRequest(VelMemoryStream& out, std::uint32_t word1, std::uint32_t word2, std::uint32_t word3) {
    out.WriteUInt32(word1);
    out.WriteUInt32(word2);
    out.WriteUInt32(word3);
    const std::uint8_t magic[4] = {static_cast<std::uint8_t>(kRouterMagic >> 24),
                                   static_cast<std::uint8_t>(kRouterMagic >> 16),
                                   static_cast<std::uint8_t>(kRouterMagic >> 8), static_cast<std::uint8_t>(kRouterMagic)};
    out.Write(magic, 4);
    out.WriteUInt8(kRouterProtocolVersion);
    out.Write(kRequestTag, 4);
}

VelMemoryStream BuildVersionRequestDatagram(RandomGenerator& random) {
    VelMemoryStream packet(128);
    const std::uint32_t word1 = random.NextUInt32();
    const std::uint32_t word2 = random.NextUInt32();
    const std::uint32_t word3 = random.NextUInt32();
    WriteVersionRequest(packet, word1, word2, word3);
    ScrambleRouterDatagram(packet.GetData(), packet.GetSize());
    return packet;
}

bool AcceptRouterDatagram(std::uint8_t* bytes, std::size_t length, VelMemoryStream& payload) {
    if (length <= kRouterHeaderSize) return false;
    ScrambleRouterDatagram(bytes, length);
    const std::uint32_t magic = (std::uint32_t{bytes[12]} << 24) | (std::uint32_t{bytes[13]} << 16) |
                                (std::uint32_t{bytes[14]} << 8) | bytes[15];
    if (magic != kRouterMagic || bytes[16] != kRouterProtocolVersion) return false;
    VelMemoryStream accepted(128);
    accepted.Write(bytes + kRouterHeaderSize, static_cast<std::uint32_t>(length - kRouterHeaderSize));
    accepted.Rewind();
    payload.Swap(accepted);
    return true;
}

std::optional<VersionInfo> ReadVersionReply(VelMemoryStream& payload) {
    if (payload.GetRemaining() < 4) return std::nullopt;
    const std::uint8_t* tag = payload.ReadSpan(4);
    if (tag == nullptr || std::memcmp(tag, kReplyTag, 4) != 0) return std::nullopt;
    VersionInfo info;
    if (payload.GetRemaining() < 16) return info;  // a cut version: no announced version at all
    const std::uint32_t major = payload.ReadUInt32();
    const std::uint32_t minor = payload.ReadUInt32();
    const std::uint32_t build = payload.ReadUInt32();
    const std::uint32_t revision = payload.ReadUInt32();
    info.version = VersionNumber(major, minor, build, revision);
    if (payload.GetRemaining() >= 1) info.maintenance = payload.ReadUInt8();
    return info;
}

}  // namespace Vel::RouterConnector
