#pragma once
// Rc4Stream: the content cipher. RC4 keyed with the MD5 digest of (key bytes, per-entry bytes),
// with a number of keystream bytes dropped first. Encryption kind 1 of the content formats uses
// it with the content key, the entry's CRC-32 (little-endian) and a drop of 768.
//
// Contract:
// - Encrypt and Decrypt are the same operation; input and output may be the same buffer.
// - The state carries over between calls, so a stream processed in pieces gives the bytes of one
//   call over the whole; one object serves one entry from its first byte.
// - No locks: an object belongs to one thread at a time.

#include <array>
#include <cstddef>
#include <cstdint>

// The 16-byte master key of encrypted content.
inline constexpr std::array<std::uint8_t, 16> kContentKey = {0x7d, 0x2e, 0x91, 0xc4, 0xa0, 0x5f, 0x3b, 0x68,
                                                             0xe1, 0xd4, 0x9a, 0x7c, 0x20, 0xb5, 0xf8, 0x6e};
// Keystream bytes dropped for content encryption.
inline constexpr std::size_t kContentKeyDrop = 768;

class Rc4Stream {
public:
    Rc4Stream(const void* key, std::size_t keyLength, const void* value, std::size_t valueLength,
              std::size_t drop);

    // The stream of content encryption for an entry whose CRC-32 is crc.
    static Rc4Stream ForContent(std::uint32_t crc);

    void Encrypt(const void* in, std::size_t length, void* out);
    void Decrypt(const void* in, std::size_t length, void* out) { Encrypt(in, length, out); }

    // Plain RC4 key scheduling over keyLength (> 0) key bytes (no digest, no drop), as the cipher's published
    // test vectors define it.
    static Rc4Stream Plain(const void* key, std::size_t keyLength);

private:
    Rc4Stream() = default;
    void Schedule(const std::uint8_t* key, std::size_t keyLength);

    std::array<std::uint8_t, 256> s_{};
    std::uint8_t i_ = 0;
    std::uint8_t j_ = 0;
};
