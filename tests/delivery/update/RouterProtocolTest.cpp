#include <gtest/gtest.h>

#include <numeric>
#include <vector>

#include "delivery/update/RouterProtocol.h"
#include "foundation/data/RandomGenerator.h"

using namespace Vel::RouterConnector;

namespace {

// Builds an unscrambled datagram: header with the given magic/version, then tag and payload.
std::vector<std::uint8_t> Datagram(const std::string& tagAndPayload, std::uint32_t magic = kRouterMagic,
                                   std::uint8_t version = 1) {
    std::vector<std::uint8_t> d = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    for (int shift = 24; shift >= 0; shift -= 8) d.push_back(static_cast<std::uint8_t>(magic >> shift));
    d.push_back(version);
    d.insert(d.end(), tagAndPayload.begin(), tagAndPayload.end());
    return d;
}

std::string Le32(std::uint32_t v) {
    return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
}

}  // namespace

TEST(RouterScrambler, FollowsTheRollingXor) {
    // Bytes 0..7 = 0..7. Mixing: L goes 0 ^0=0, ^1=1, ^(b[1]+2=3)=2, ^(b[2]+3=5)=7, ^(b[7]+4=11)=12,
    // ^(b[4]+5=9)=5, ^(b[5]+6=11)=14, ^(b[6]+7=13)=3, ^(b[3]+8=11)=8, ^(b[0]+9=9)=1;
    // H = 0^1^2^3^4^5^6^7^0^1 = 1. So byte 8 ^= 1, byte 9 ^= 2, byte 10 ^= 3.
    std::vector<std::uint8_t> d = {0, 1, 2, 3, 4, 5, 6, 7, 0, 0, 0};
    ScrambleRouterDatagram(d.data(), d.size());
    EXPECT_EQ(d, (std::vector<std::uint8_t>{0, 1, 2, 3, 4, 5, 6, 7, 1, 2, 3}));
}

TEST(RouterScrambler, TwiceGivesTheInputAndShortDatagramsStay) {
    std::vector<std::uint8_t> d(60);
    std::iota(d.begin(), d.end(), 200);
    const auto original = d;
    ScrambleRouterDatagram(d.data(), d.size());
    EXPECT_NE(d, original);
    EXPECT_TRUE(std::equal(d.begin(), d.begin() + 8, original.begin()));
    ScrambleRouterDatagram(d.data(), d.size());
    EXPECT_EQ(d, original);

    std::vector<std::uint8_t> eight = {9, 8, 7, 6, 5, 4, 3, 2};
    ScrambleRouterDatagram(eight.data(), eight.size());
    EXPECT_EQ(eight, (std::vector<std::uint8_t>{9, 8, 7, 6, 5, 4, 3, 2}));
}

TEST(RouterProtocol, RequestLayout) {
    RandomGenerator random(0);
    RandomGenerator reference(0);
    const std::uint32_t w1 = reference.NextUInt32(), w2 = reference.NextUInt32(), w3 = reference.NextUInt32();

    VelMemoryStream packet = BuildVersionRequestDatagram(random);
    ASSERT_EQ(packet.GetSize(), kVersionRequestSize);
    std::vector<std::uint8_t> plain(packet.GetData(), packet.GetData() + packet.GetSize());
    ScrambleRouterDatagram(plain.data(), plain.size());
    const std::string expected = Le32(w1) + Le32(w2) + Le32(w3) + "\xAF\x12\x3B\x72\x01" "QERV";
    EXPECT_EQ(std::string(plain.begin(), plain.end()), expected);
}

TEST(RouterProtocol, ReplyTable) {
    const std::string version = Le32(15) + Le32(5) + Le32(0) + Le32(130973);
    struct Case {
        const char* name;
        std::vector<std::uint8_t> datagram;
        bool accepted;
        std::optional<VersionInfo> reply;
    };
    const VersionInfo announced{VersionNumber(15, 5, 0, 130973), 0, 0};
    const Case cases[] = {
        {"17 bytes", Datagram(""), false, std::nullopt},
        {"18 bytes, no complete tag", Datagram("P"), true, std::nullopt},
        {"bad magic", Datagram("PSRV" + version + '\0', 0xAF123B73), false, std::nullopt},
        {"protocol version 2", Datagram("PSRV" + version + '\0', kRouterMagic, 2), false, std::nullopt},
        {"wrong tag", Datagram("QERV" + version + '\0'), true, std::nullopt},
        {"short version", Datagram("PSRV" + std::string(10, '\x07')), true, VersionInfo{}},
        {"15 version bytes", Datagram("PSRV" + version.substr(0, 15)), true, VersionInfo{}},
        {"no maintenance byte", Datagram("PSRV" + version), true, announced},
        {"maintenance set, extra bytes", Datagram("PSRV" + version + "\x02xyz"), true,
         VersionInfo{VersionNumber(15, 5, 0, 130973), 2, 0}},
    };
    for (const Case& c : cases) {
        auto bytes = c.datagram;
        ScrambleRouterDatagram(bytes.data(), bytes.size());
        VelMemoryStream payload;
        const bool accepted = AcceptRouterDatagram(bytes.data(), bytes.size(), payload);
        EXPECT_EQ(accepted, c.accepted) << c.name;
        if (!accepted) continue;
        EXPECT_EQ(ReadVersionReply(payload), c.reply) << c.name;
    }
}
