#include <gtest/gtest.h>

#include <random>
#include <string>

#include "foundation/data/Crc32.h"
#include "foundation/data/MemoryStream.h"
#include "foundation/data/Sha1.h"

namespace {

std::string Sha1Hex(const std::string& s, bool accelerated = true) {
    VelCryptSHA1 h;
    h.UseAcceleration(accelerated);
    h.Update(s.data(), s.size());
    return h.Final().ToHex();
}

}  // namespace

TEST(Crc32, OfStreamCoversTheValidBytesWhateverThePosition) {
    VelMemoryStream stream(64);  // capacity beyond the bytes written
    stream.Write("123456789", 9);
    EXPECT_EQ(Crc32OfStream(stream), 0xCBF43926u);
    stream.Seek(4);
    EXPECT_EQ(Crc32OfStream(stream), 0xCBF43926u);
    EXPECT_EQ(Crc32OfStream(VelMemoryStream()), 0u);
}

TEST(Crc32, PublishedValues) {
    EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(Crc32("abc", 3), 0x352441C2u);
    EXPECT_EQ(Crc32("", 0), 0u);
    const std::string a(1000, 'a');
    EXPECT_EQ(Crc32Update(Crc32(a.data(), 300), a.data() + 300, 700), Crc32(a.data(), a.size()));
}

TEST(Sha1, PublishedVectorsAndBlockBoundaries) {
    struct Case {
        std::string message;
        const char* digest;
    };
    const Case cases[] = {
        {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
        {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
        {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
        {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
        {std::string(65, 'a'), "11655326c708d70319be2610e8a57d9a5b959d3b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Sha1Hex(c.message, true), c.digest) << c.message.size() << " bytes";
        EXPECT_EQ(Sha1Hex(c.message, false), c.digest) << c.message.size() << " bytes, portable";
    }
    VelCryptSHA1 pieces;
    pieces.Update("a", 1);
    pieces.Update("bc", 2);
    EXPECT_EQ(pieces.Final().ToHex(), "a9993e364706816aba3e25717850c26c9cd0d89d");
}

TEST(Hashes, FastPathsAgreeWithThePortableOnes) {
    std::mt19937 rng(20261210);
    std::string data(300000, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    for (int round = 0; round < 200; ++round) {
        const std::size_t offset = rng() % 64;
        const std::size_t length = round < 100 ? rng() % 300 : rng() % (data.size() - 64);
        const char* p = data.data() + offset;
        std::uint32_t fast = 0;
        if (Vel::Detail::Crc32Accelerated(0x12345678u, p, length, fast)) {
            EXPECT_EQ(fast, Vel::Detail::Crc32Portable(0x12345678u, p, length)) << length;
        }

        // Fed in random pieces, accelerated and portable must agree.
        VelCryptSHA1 a, b;
        b.UseAcceleration(false);
        std::size_t done = 0;
        while (done < length) {
            const std::size_t piece = std::min<std::size_t>(length - done, rng() % 200);
            a.Update(p + done, piece);
            b.Update(p + done, piece);
            done += piece;
        }
        EXPECT_EQ(a.Final(), b.Final()) << length;
    }
}

TEST(Sha1, HexRoundTrip) {
    Sha1Digest d;
    EXPECT_TRUE(d.FromHex("A9993E364706816ABA3E25717850C26C9CD0D89D"));
    EXPECT_EQ(d.ToHex(), "a9993e364706816aba3e25717850c26c9cd0d89d");
    Sha1Digest untouched = d;
    EXPECT_FALSE(d.FromHex("a9993e364706816aba3e25717850c26c9cd0d89"));
    EXPECT_FALSE(d.FromHex("g9993e364706816aba3e25717850c26c9cd0d89d"));
    EXPECT_EQ(d, untouched);
}
