#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "foundation/core/Exception.h"
#include "foundation/data/MemoryStream.h"
#include "tests/support/TempDir.h"

TEST(MemoryStream, BorrowedStreamNeverGrowsAndKeepsItsBytes) {
    std::uint8_t bytes[4] = {1, 2, 3, 4};
    VelMemoryStream s(bytes, 4);
    const std::uint8_t six[6] = {9, 9, 9, 9, 9, 9};
    s.Write(six, 6);
    EXPECT_FALSE(s.IsGood());
    EXPECT_EQ(std::vector<std::uint8_t>(bytes, bytes + 4), (std::vector<std::uint8_t>{1, 2, 3, 4}));

    s.Rewind();
    s.Write(six, 4);
    EXPECT_TRUE(s.IsGood());
    EXPECT_EQ(bytes[3], 9);
    EXPECT_EQ(s.GetData(), bytes);
}

TEST(MemoryStream, BorrowedStreamWithoutBlockFailsAWrite) {
    VelMemoryStream s(nullptr, 0);
    const std::uint8_t one = 1;
    s.Write(&one, 1);
    EXPECT_FALSE(s.IsGood());
}

TEST(MemoryStream, OwningStreamGrowsByTheStepSequence) {
    VelMemoryStream empty;  // capacity 0, no block: grows anyway
    const std::uint8_t one = 7;
    empty.Write(&one, 1);
    ASSERT_TRUE(empty.IsGood());
    EXPECT_EQ(empty.GetCapacity(), 1u);
    EXPECT_EQ(empty.GetSize(), 1u);
    EXPECT_EQ(empty.GetData()[0], 7);

    // From 10: 13, 17, 21, 26, 32, 38, 45, 53, 62, 73, 84, 97, 111 (first >= 110).
    VelMemoryStream s(10);
    std::vector<std::uint8_t> hundred(100);
    for (int i = 0; i < 100; ++i) hundred[i] = static_cast<std::uint8_t>(i);
    s.Write(hundred.data(), 100);
    ASSERT_TRUE(s.IsGood());
    EXPECT_EQ(s.GetCapacity(), 111u);
    EXPECT_EQ(s.GetSize(), 100u);
    EXPECT_EQ(std::memcmp(s.GetData(), hundred.data(), 100), 0);
}

TEST(MemoryStream, LengthOverflowFailsInsteadOfWrapping) {
    VelMemoryStream s(16);
    s.Advance(16);
    ASSERT_TRUE(s.IsGood());
    EXPECT_EQ(s.WriteSpace(0xFFFFFFF8u), nullptr);  // 16 + n passes 2^32
    EXPECT_FALSE(s.IsGood());
    EXPECT_EQ(s.GetCapacity(), 16u);

    VelMemoryStream t(16);
    t.Advance(0xFFFFFFFFu);
    EXPECT_FALSE(t.IsGood());
    EXPECT_EQ(t.GetPosition(), 0u);
}

TEST(MemoryStream, CompactLengthCodes) {
    struct Case {
        std::vector<std::uint8_t> bytes;
        std::uint32_t value;
        bool good;
    };
    const Case cases[] = {
        {{0xFF, 0x7F}, 32767, true},
        {{0x00, 0x80, 0x00}, 0, true},
        {{0x23, 0x81, 0x45}, 0x12345, true},
        {{0x34, 0x12}, 0x1234, true},
        {{0xFF, 0xDF, 0xFF, 0xFF}, 0x1FFFFFFF, true},
        {{0x00, 0xE0}, 0, false},        // tag 111
        {{0x12, 0x81}, 0x11200, false},   // missing continuation byte: the value so far
        {{0x01, 0xC0, 0x02}, 0x10000, false},
        {{0x05}, 0, false},
    };
    for (const Case& c : cases) {
        auto bytes = c.bytes;
        VelMemoryStream s(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        EXPECT_EQ(s.ReadCompactLength(), c.value) << ::testing::PrintToString(c.bytes);
        EXPECT_EQ(s.IsGood(), c.good) << ::testing::PrintToString(c.bytes);
    }
}

TEST(MemoryStream, CompactLengthWriterRoundTripsInTheShortestForm) {
    for (std::uint32_t value : {0u, 32767u, 32768u, 0x3FFFFFu, 0x400000u, 0x1FFFFFFFu}) {
        VelMemoryStream s;
        s.WriteCompactLength(value);
        const std::uint32_t expectedSize = value < 0x8000 ? 2 : value <= 0x3FFFFF ? 3 : 4;
        EXPECT_EQ(s.GetSize(), expectedSize) << value;
        s.Rewind();
        EXPECT_EQ(s.ReadCompactLength(), value);
        EXPECT_TRUE(s.IsGood());
    }
    VelMemoryStream s;
    s.WriteCompactLength(0x20000000u);
    EXPECT_FALSE(s.IsGood());
}

TEST(MemoryStream, LengthPrefixedText) {
    std::uint8_t bytes[] = {3, 0, 'a', 'b', 'c', 5, 0, 'x'};
    VelMemoryStream s(bytes, sizeof bytes);
    std::string text = "old";
    s >> text;
    EXPECT_EQ(text, "abc");
    s >> text;  // 5 announced, 1 present
    EXPECT_FALSE(s.IsGood());
    EXPECT_EQ(text, "abc");
}

TEST(MemoryStream, SeekSkipAndTheGoodFlag) {
    std::uint8_t bytes[8] = {};
    VelMemoryStream s(bytes, 8);
    s.Seek(9);
    EXPECT_FALSE(s.IsGood());
    s.Seek(4);
    EXPECT_TRUE(s.IsGood());
    EXPECT_EQ(s.GetRemaining(), 4u);

    s.Skip(10);  // clears the flag without throwing, position stays advanced
    EXPECT_FALSE(s.IsGood());
    EXPECT_EQ(s.GetPosition(), 14u);
    EXPECT_EQ(s.GetRemaining(), 0u);
    EXPECT_EQ(s.ReadUInt8(), 0);
}

TEST(MemoryStream, ThrowFlagThrowsOnlyForTheFirstFailure) {
    std::uint8_t bytes[2] = {1, 2};
    VelMemoryStream s(bytes, 2);
    s.SetFlags(VelMemoryStream::kThrowOnFailure);
    EXPECT_THROW(s.ReadUInt32(), Vel::Exception);
    EXPECT_NO_THROW(s.ReadUInt32());
    EXPECT_FALSE(s.IsGood());

    s.Skip(5);  // Skip never throws
    s.Rewind();
    EXPECT_NO_THROW(s.Skip(5));
}

TEST(MemoryStream, LittleEndianReadersAndResize) {
    VelMemoryStream s;
    s.WriteUInt32(0x11223344);
    s.WriteUInt16(0xA1B2);
    EXPECT_EQ(s.GetData()[0], 0x44);
    s.Rewind();
    EXPECT_EQ(s.ReadUInt32(), 0x11223344u);
    EXPECT_EQ(s.ReadUInt16(), 0xA1B2);
    s.Resize(2);
    EXPECT_EQ(s.GetSize(), 2u);
    EXPECT_EQ(s.GetPosition(), 2u);
    s.Resize(500);
    EXPECT_TRUE(s.IsGood());
    EXPECT_EQ(s.GetSize(), 500u);
    EXPECT_GE(s.GetCapacity(), 500u);
}

TEST(MemoryStream, SwapAdoptAndMove) {
    VelMemoryStream a;
    a.WriteUInt8(1);
    VelMemoryStream b(4);
    b.Adopt(new std::uint8_t[3]{7, 8, 9}, 3);
    a.Swap(b);
    EXPECT_EQ(a.GetSize(), 3u);
    EXPECT_EQ(a.GetData()[2], 9);
    EXPECT_EQ(b.GetSize(), 1u);
    VelMemoryStream c(std::move(a));
    EXPECT_EQ(c.GetSize(), 3u);
    EXPECT_TRUE(c.HasFlags(VelMemoryStream::kOwnsBlock));
}

TEST(MemoryStream, LoadFile) {
    Vel::Test::TempDir dir;
    const auto file = dir.Write("data.bin", std::string("\x01\x02\x03\x00\x05", 5));
    const auto empty = dir.Write("empty.bin", "");

    VelMemoryStream s(2);
    ASSERT_TRUE(s.LoadFile(file.string()));
    EXPECT_EQ(s.GetSize(), 5u);
    EXPECT_EQ(s.GetPosition(), 0u);
    EXPECT_EQ(s.GetData()[4], 5);

    VelMemoryStream e;
    EXPECT_TRUE(e.LoadFile(empty.string()));
    EXPECT_EQ(e.GetSize(), 0u);

    VelMemoryStream m(8);
    m.WriteUInt32(1);
    EXPECT_FALSE(m.LoadFile((dir / "missing.bin").string()));
    EXPECT_EQ(m.GetSize(), 0u);
    EXPECT_FALSE(m.IsGood());

    std::uint8_t small[3];
    VelMemoryStream borrowed(small, 3);  // cannot take 5 bytes
    EXPECT_FALSE(borrowed.LoadFile(file.string()));
    EXPECT_EQ(borrowed.GetSize(), 0u);
}
