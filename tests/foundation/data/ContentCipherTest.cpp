#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "foundation/data/Md5.h"
#include "foundation/data/Rc4Stream.h"

namespace {

std::string Hex(const std::uint8_t* p, std::size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (std::size_t k = 0; k < n; ++k) {
        s += digits[p[k] >> 4];
        s += digits[p[k] & 15];
    }
    return s;
}

std::vector<std::uint8_t> Keystream(Rc4Stream stream, std::size_t n) {
    std::vector<std::uint8_t> zeros(n, 0), out(n);
    stream.Encrypt(zeros.data(), n, out.data());
    return out;
}

}  // namespace

TEST(Md5, PublishedVectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        // 56 and 64 bytes: the length no longer fits the first padding block / a full block.
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "8215ef0796a20bcaaae116d3876c664a"},
        {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [text, digest] : cases) {
        const auto d = Md5Digest(text);
        EXPECT_EQ(Hex(d.data(), d.size()), digest) << text.size();
    }
}

TEST(Rc4Stream, PlainScheduleMatchesRfc6229) {
    const std::uint8_t key40[] = {1, 2, 3, 4, 5};
    std::uint8_t key128[16];
    for (int k = 0; k < 16; ++k) key128[k] = static_cast<std::uint8_t>(k + 1);
    auto a = Keystream(Rc4Stream::Plain(key40, sizeof key40), 32);
    auto b = Keystream(Rc4Stream::Plain(key128, sizeof key128), 32);
    EXPECT_EQ(Hex(a.data(), a.size()), "b2396305f03dc027ccc3524a0a1118a86982944f18fc82d589c403a47a0d0919");
    EXPECT_EQ(Hex(b.data(), b.size()), "9ac7cc9a609d1ef7b2932899cde41b975248c4959014126a6e8a84f11d1a9e1c");
}

TEST(Rc4Stream, KeyedByTheDigestOfKeyAndValueThenDropped) {
    const std::uint8_t value[4] = {0x78, 0x56, 0x34, 0x12};
    std::vector<std::uint8_t> material(kContentKey.begin(), kContentKey.end());
    material.insert(material.end(), value, value + 4);
    const auto digest = Md5Digest(material.data(), material.size());

    // Drop 0 equals plain RC4 keyed by the digest; a drop of 768 is that keystream from byte 768.
    const auto plain = Keystream(Rc4Stream::Plain(digest.data(), digest.size()), 768 + 64);
    const auto drop0 = Keystream(Rc4Stream(kContentKey.data(), 16, value, 4, 0), 64);
    const auto drop768 = Keystream(Rc4Stream(kContentKey.data(), 16, value, 4, 768), 64);
    EXPECT_EQ(drop0, std::vector<std::uint8_t>(plain.begin(), plain.begin() + 64));
    EXPECT_EQ(drop768, std::vector<std::uint8_t>(plain.begin() + 768, plain.end()));
    // The content stream takes the CRC-32 least significant byte first.
    EXPECT_EQ(Keystream(Rc4Stream::ForContent(0x12345678), 64), drop768);
}

TEST(Rc4Stream, PiecesEqualOneShotAndDecryptRestores) {
    std::vector<std::uint8_t> data(10000);
    std::mt19937 rng(3);
    for (auto& c : data) c = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> whole(data.size()), pieces(data);
    Rc4Stream::ForContent(0xCAFEBABE).Encrypt(data.data(), data.size(), whole.data());
    Rc4Stream inPlace = Rc4Stream::ForContent(0xCAFEBABE);
    for (std::size_t at = 0, step = 1; at < pieces.size(); at += step, step = step * 3 + 1) {
        const std::size_t n = std::min(step, pieces.size() - at);
        inPlace.Encrypt(pieces.data() + at, n, pieces.data() + at);  // same buffer in and out
    }
    EXPECT_EQ(pieces, whole);
    EXPECT_NE(whole, data);
    Rc4Stream::ForContent(0xCAFEBABE).Decrypt(whole.data(), whole.size(), whole.data());
    EXPECT_EQ(whole, data);
}
