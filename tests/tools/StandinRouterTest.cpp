#include <gtest/gtest.h>

#include "StandinRouter.h"
#include "delivery/update/RouterProtocol.h"
#include "foundation/data/RandomGenerator.h"

using namespace Vel::RouterConnector;

namespace {

std::optional<VersionInfo> ReadReply(std::vector<std::uint8_t> bytes) {
    VelMemoryStream payload;
    if (!AcceptRouterDatagram(bytes.data(), bytes.size(), payload)) return std::nullopt;
    return ReadVersionReply(payload);
}

}  // namespace

TEST(StandinRouter, ReadsTheLaunchersRequestAndEchoesItsWords) {
    RandomGenerator random(42);
    RandomGenerator reference(42);
    VelMemoryStream packet = BuildVersionRequestDatagram(random);

    const Standin::RouterRequest request = Standin::ReadRequest(packet.GetData(), packet.GetSize());
    ASSERT_TRUE(request.valid) << request.problem;
    EXPECT_EQ(request.words[0], reference.NextUInt32());
    EXPECT_EQ(request.words[1], reference.NextUInt32());
    EXPECT_EQ(request.words[2], reference.NextUInt32());

    Standin::RouterConfig config;
    ASSERT_TRUE(Standin::ParseVersionText("15.5.0.130973", config.version));
    config.maintenance = 1;
    const auto replies = Standin::MakeReplies(config, request);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(ReadReply(replies[0]), (VersionInfo{VersionNumber(15, 5, 0, 130973), 1, 0}));
}

TEST(StandinRouter, RefusesBrokenRequests) {
    RandomGenerator random(1);
    VelMemoryStream packet = BuildVersionRequestDatagram(random);
    std::vector<std::uint8_t> good(packet.GetData(), packet.GetData() + packet.GetSize());

    auto longer = good;
    longer.push_back(0);
    EXPECT_FALSE(Standin::ReadRequest(longer.data(), longer.size()).valid);
    auto flipped = good;
    flipped[13] ^= 0x40;  // magic
    EXPECT_EQ(Standin::ReadRequest(flipped.data(), flipped.size()).problem, "bad magic");
    auto tag = good;
    tag[20] ^= 0x01;
    EXPECT_EQ(Standin::ReadRequest(tag.data(), tag.size()).problem, "tag is not QERV");
    EXPECT_TRUE(Standin::MakeReplies({}, Standin::ReadRequest(tag.data(), tag.size())).empty());
}

TEST(StandinRouter, FaultsShapeTheReplyAsTheLauncherSeesIt) {
    RandomGenerator random(7);
    VelMemoryStream packet = BuildVersionRequestDatagram(random);
    const auto request = Standin::ReadRequest(packet.GetData(), packet.GetSize());
    ASSERT_TRUE(request.valid);

    auto replies = [&](const char* fault) {
        Standin::RouterConfig config;
        config.version[0] = 3;
        config.fault = *Standin::ParseRouterFault(fault);
        return Standin::MakeReplies(config, request);
    };
    const VersionInfo three{VersionNumber(3, 0, 0, 0), 0, 0};
    EXPECT_TRUE(replies("silent").empty());
    EXPECT_EQ(replies("twice").size(), 2u);
    EXPECT_EQ(ReadReply(replies("twice")[1]), three);
    EXPECT_EQ(ReadReply(replies("late")[0]), three);
    EXPECT_EQ(ReadReply(replies("short")[0]), VersionInfo{});
    EXPECT_EQ(ReadReply(replies("malformed")[0]), std::nullopt);
    EXPECT_EQ(replies("malformed")[0].size(), 18u);
    EXPECT_EQ(ReadReply(replies("bad-magic")[0]), std::nullopt);
    EXPECT_EQ(ReadReply(replies("wrong-tag")[0]), std::nullopt);
    EXPECT_FALSE(Standin::ParseRouterFault("loud"));
}

TEST(StandinRouter, VersionTextIsStrict) {
    std::uint32_t v[4] = {9, 9, 9, 9};
    EXPECT_TRUE(Standin::ParseVersionText("4294967295.0.1.2", v));
    EXPECT_EQ(v[0], 4294967295u);
    for (const char* bad : {"1.2.3", "1.2.3.4.5", "1.2.3.x", " 1.2.3.4", "", "4294967296.0.0.0", "1..2.3"})
        EXPECT_FALSE(Standin::ParseVersionText(bad, v)) << bad;
}
