#include "foundation/data/Md5.h"

#include <cstring>

namespace {

constexpr std::uint32_t kK[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr int kShift[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                            5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                            4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                            6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

std::uint32_t Rotl(std::uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

void Block(std::uint32_t h[4], const std::uint8_t* p) {
    std::uint32_t m[16];
    for (int k = 0; k < 16; ++k)
        m[k] = std::uint32_t{p[4 * k]} | std::uint32_t{p[4 * k + 1]} << 8 | std::uint32_t{p[4 * k + 2]} << 16 |
               std::uint32_t{p[4 * k + 3]} << 24;
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
    for (int k = 0; k < 64; ++k) {
        std::uint32_t f;
        int g;
        if (k < 16) {
            f = (b & c) | (~b & d);
            g = k;
        } else if (k < 32) {
            f = (d & b) | (~d & c);
            g = (5 * k + 1) % 16;
        } else if (k < 48) {
            f = b ^ c ^ d;
            g = (3 * k + 5) % 16;
        } else {
            f = c ^ (b | ~d);
            g = (7 * k) % 16;
        }
        const std::uint32_t next = d;
        d = c;
        c = b;
        b = b + Rotl(a + f + kK[k] + m[g], kShift[k]);
        a = next;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
}

}  // namespace

Md5Bytes Md5Digest(const void* data, std::size_t length) {
    std::uint32_t h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    const auto* p = static_cast<const std::uint8_t*>(data);
    std::size_t n = length;
    for (; n >= 64; n -= 64, p += 64) Block(h, p);
    // Padding: 0x80, zeros, then the bit length (64-bit little-endian) in the last block.
    std::uint8_t tail[128] = {};
    if (n > 0) std::memcpy(tail, p, n);
    tail[n] = 0x80;
    const std::size_t blocks = n + 1 + 8 <= 64 ? 1 : 2;
    const std::uint64_t bits = static_cast<std::uint64_t>(length) * 8;
    for (int k = 0; k < 8; ++k) tail[blocks * 64 - 8 + k] = static_cast<std::uint8_t>(bits >> (8 * k));
    for (std::size_t b = 0; b < blocks; ++b) Block(h, tail + 64 * b);
    Md5Bytes out{};
    for (int k = 0; k < 16; ++k) out[k] = static_cast<std::uint8_t>(h[k / 4] >> (8 * (k % 4)));
    return out;
}

Md5Bytes Md5Digest(std::string_view text) { return Md5Digest(text.data(), text.size()); }
