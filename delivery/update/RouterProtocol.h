#pragma once
// The router version protocol's datagrams: the scrambler, the version request, the header test
// of a received datagram and the reading of a version reply. Pure functions over bytes; any
// thread.
//
// Every datagram is a 17-byte header (three random words, the magic 0xAF123B72 big-endian, the
// protocol version 1), a 4-byte tag ("QERV" request, "PSRV" reply) and a payload (the reply's:
// four little-endian 32-bit version parts and a maintenance byte; later bytes are ignored).
// Bytes 0-7 travel in plain and seed a rolling XOR over the rest.

#include <cstddef>
#include <cstdint>
#include <optional>

#include "foundation/data/MemoryStream.h"
#include "foundation/core/VersionNumber.h"

class RandomGenerator;

namespace Vel::RouterConnector {

inline constexpr std::uint32_t kRouterMagic = 0xAF123B72;
inline constexpr std::uint8_t kRouterProtocolVersion = 1;
inline constexpr std::uint16_t kRouterPort = 30584;
inline constexpr std::size_t kRouterHeaderSize = 17;
inline constexpr std::size_t kVersionRequestSize = 21;
inline constexpr char kRequestTag[4] = {'Q', 'E', 'R', 'V'};
inline constexpr char kReplyTag[4] = {'P', 'S', 'R', 'V'};

// What a version request gives its caller.
struct VersionInfo {
    VersionNumber version;
    std::uint8_t maintenance = 0;
    std::uint8_t failed = 0;

    static VersionInfo Failed() { return VersionInfo{VersionNumber(), 0, 1}; }
    friend bool operator==(const VersionInfo&, const VersionInfo&) = default;
};

// Scrambles or unscrambles (the same steps) in place; 8 bytes or fewer stay as they are.
void ScrambleRouterDatagram(std::uint8_t* bytes, std::size_t length);

// The 21-byte request with the given random words, unscrambled.
void WriteVersionRequest(VelMemoryStream& out, std::uint32_t word1, std::uint32_t word2, std::uint32_t word3);
// A scrambled request whose three words are drawn from the generator in field order.
VelMemoryStream BuildVersionRequestDatagram(RandomGenerator& random);

// Unscrambles a received datagram in place and tests its header. Accepted: true, and the bytes
// from offset 17 on are in `payload` (position 0). Datagrams of 17 bytes or fewer, a wrong
// magic or protocol version: false.
bool AcceptRouterDatagram(std::uint8_t* bytes, std::size_t length, VelMemoryStream& payload);

// Reads an accepted datagram's payload: a "PSRV" tag gives the reply (version 0.0.0.0 and
// maintenance 0 when fewer than 16 version bytes follow; maintenance 0 when its byte is
// missing); no complete tag or another tag gives nothing.
std::optional<VersionInfo> ReadVersionReply(VelMemoryStream& payload);

}  // namespace Vel::RouterConnector
