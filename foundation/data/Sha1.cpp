#include "foundation/data/Sha1.h"

#include "foundation/core/StringUtils.h"

#include <cpuid.h>
#include <immintrin.h>

#include <algorithm>

#include <cstring>

namespace {

inline std::uint32_t Rol(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline std::uint32_t LoadBE(const std::uint8_t* p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

void CompressPortable(std::uint32_t state[5], const std::uint8_t* data, std::size_t count) {
    for (; count; --count, data += 64) {
        std::uint32_t w[80];
        for (int i = 0; i < 16; ++i) w[i] = LoadBE(data + 4 * i);
        for (int i = 16; i < 80; ++i) w[i] = Rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
        for (int i = 0; i < 80; ++i) {
            std::uint32_t f, k;
            if (i < 20) {
                f = (b & c) | (~b & d);
                k = 0x5A827999;
            } else if (i < 40) {
                f = b ^ c ^ d;
                k = 0x6ED9EBA1;
            } else if (i < 60) {
                f = (b & c) | (b & d) | (c & d);
                k = 0x8F1BBCDC;
            } else {
                f = b ^ c ^ d;
                k = 0xCA62C1D6;
            }
            const std::uint32_t t = Rol(a, 5) + f + e + k + w[i];
            e = d;
            d = c;
            c = Rol(b, 30);
            b = a;
            a = t;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
    }
}

// Four rounds per step. G is the step (0..19); EIN is the E register this step consumes,
// EOUT the one that takes ABCD for the next step. The message words are scheduled in place,
// interleaved with the rounds.
#define SHA_STEP(G, EIN, EOUT, W)                                   \
    EIN = _mm_sha1nexte_epu32(EIN, W);                              \
    EOUT = abcd;                                                    \
    abcd = _mm_sha1rnds4_epu32(abcd, EIN, (G) / 5);

__attribute__((target("sha,sse4.1,ssse3"))) void CompressShaNi(std::uint32_t state[5], const std::uint8_t* data,
                                                                std::size_t count) {
    const __m128i mask = _mm_set_epi64x(0x0001020304050607ULL, 0x08090a0b0c0d0e0fULL);
    __m128i abcd = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
    __m128i e0 = _mm_set_epi32(static_cast<int>(state[4]), 0, 0, 0);
    abcd = _mm_shuffle_epi32(abcd, 0x1B);

    for (; count; --count, data += 64) {
        const __m128i abcdSave = abcd;
        const __m128i e0Save = e0;
        __m128i e1;
        __m128i m0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 0)), mask);
        __m128i m1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16)), mask);
        __m128i m2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 32)), mask);
        __m128i m3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 48)), mask);

        // Step 0
        e0 = _mm_add_epi32(e0, m0);
        e1 = abcd;
        abcd = _mm_sha1rnds4_epu32(abcd, e0, 0);
        // Step 1
        SHA_STEP(1, e1, e0, m1);
        m0 = _mm_sha1msg1_epu32(m0, m1);
        // Step 2
        SHA_STEP(2, e0, e1, m2);
        m1 = _mm_sha1msg1_epu32(m1, m2);
        m0 = _mm_xor_si128(m0, m2);
        // Steps 3..16: the full schedule pattern, the words rotating m3, m0, m1, m2.
#define SHA_FULL(G, EIN, EOUT, WG, WPREV1, WPREV2, WPREV3) \
    SHA_STEP(G, EIN, EOUT, WG);                            \
    WPREV3 = _mm_sha1msg2_epu32(WPREV3, WG);               \
    WPREV1 = _mm_sha1msg1_epu32(WPREV1, WG);               \
    WPREV2 = _mm_xor_si128(WPREV2, WG);
        // For step G: WG = m[G%4], WPREV1 = m[(G-1)%4] (msg1), WPREV2 = m[(G-2)%4] (xor),
        // WPREV3 = m[(G-3)%4] (msg2).
        SHA_FULL(3, e1, e0, m3, m2, m1, m0);
        SHA_FULL(4, e0, e1, m0, m3, m2, m1);
        SHA_FULL(5, e1, e0, m1, m0, m3, m2);
        SHA_FULL(6, e0, e1, m2, m1, m0, m3);
        SHA_FULL(7, e1, e0, m3, m2, m1, m0);
        SHA_FULL(8, e0, e1, m0, m3, m2, m1);
        SHA_FULL(9, e1, e0, m1, m0, m3, m2);
        SHA_FULL(10, e0, e1, m2, m1, m0, m3);
        SHA_FULL(11, e1, e0, m3, m2, m1, m0);
        SHA_FULL(12, e0, e1, m0, m3, m2, m1);
        SHA_FULL(13, e1, e0, m1, m0, m3, m2);
        SHA_FULL(14, e0, e1, m2, m1, m0, m3);
        SHA_FULL(15, e1, e0, m3, m2, m1, m0);
        SHA_FULL(16, e0, e1, m0, m3, m2, m1);
#undef SHA_FULL
        // Step 17: msg2 and xor remain.
        SHA_STEP(17, e1, e0, m1);
        m2 = _mm_sha1msg2_epu32(m2, m1);
        m3 = _mm_xor_si128(m3, m1);
        // Step 18: msg2 remains.
        SHA_STEP(18, e0, e1, m2);
        m3 = _mm_sha1msg2_epu32(m3, m2);
        // Step 19
        SHA_STEP(19, e1, e0, m3);

        e0 = _mm_sha1nexte_epu32(e0, e0Save);
        abcd = _mm_add_epi32(abcd, abcdSave);
    }
    abcd = _mm_shuffle_epi32(abcd, 0x1B);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), abcd);
    state[4] = static_cast<std::uint32_t>(_mm_extract_epi32(e0, 3));
}
#undef SHA_STEP

bool DetectShaNi() {
    __builtin_cpu_init();
    unsigned a, b, c, d;
    if (__get_cpuid_max(0, nullptr) < 7) return false;
    __cpuid_count(7, 0, a, b, c, d);
    const bool sha = (b >> 29) & 1;
    return sha && __builtin_cpu_supports("sse4.1") && __builtin_cpu_supports("ssse3");
}

const bool kHasShaNi = DetectShaNi();

}  // namespace

std::string Sha1Digest::ToHex() const { return Vel::ToHex(bytes.data(), bytes.size()); }

bool Sha1Digest::FromHex(std::string_view text) {
    std::array<std::uint8_t, 20> out{};
    if (!Vel::FromHex(std::string(text), out.data(), out.size())) return false;
    bytes = out;
    return true;
}

bool VelCryptSHA1::HasAcceleration() noexcept { return kHasShaNi; }

VelCryptSHA1::VelCryptSHA1() noexcept
    : state_{0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0}, block_{}, accelerated_(kHasShaNi) {}

void VelCryptSHA1::Compress(const std::uint8_t* blocks, std::size_t count) noexcept {
    if (accelerated_)
        CompressShaNi(state_, blocks, count);
    else
        CompressPortable(state_, blocks, count);
}

void VelCryptSHA1::Update(const void* data, std::size_t length) noexcept {
    const auto* p = static_cast<const std::uint8_t*>(data);
    const std::uint64_t bits = ((std::uint64_t(bitsHigh_) << 32) | bitsLow_) + std::uint64_t(length) * 8;
    bitsLow_ = static_cast<std::uint32_t>(bits);
    bitsHigh_ = static_cast<std::uint32_t>(bits >> 32);
    if (fill_) {
        const std::size_t take = std::min<std::size_t>(64 - fill_, length);
        std::memcpy(block_ + fill_, p, take);
        fill_ = static_cast<std::uint16_t>(fill_ + take);
        p += take;
        length -= take;
        if (fill_ < 64) return;
        Compress(block_, 1);
        fill_ = 0;
    }
    if (length >= 64) {
        Compress(p, length / 64);
        p += length / 64 * 64;
        length %= 64;
    }
    if (length) {
        std::memcpy(block_, p, length);
        fill_ = static_cast<std::uint16_t>(length);
    }
}

void VelCryptSHA1::Final(std::uint8_t digest[20]) noexcept {
    std::uint8_t tail[128] = {};
    std::memcpy(tail, block_, fill_);
    tail[fill_] = 0x80;
    const std::size_t total = fill_ < 56 ? 64 : 128;
    const std::uint32_t words[2] = {bitsHigh_, bitsLow_};
    for (int w = 0; w < 2; ++w)
        for (int b = 0; b < 4; ++b) tail[total - 8 + 4 * w + b] = static_cast<std::uint8_t>(words[w] >> (24 - 8 * b));
    std::uint32_t state[5];
    std::memcpy(state, state_, sizeof state);
    if (accelerated_)
        CompressShaNi(state, tail, total / 64);
    else
        CompressPortable(state, tail, total / 64);
    for (int i = 0; i < 5; ++i)
        for (int b = 0; b < 4; ++b) digest[4 * i + b] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * b));
}

Sha1Digest VelCryptSHA1::Final() noexcept {
    Sha1Digest d;
    Final(d.bytes.data());
    return d;
}

Sha1Digest VelCryptSHA1::Hash(const void* data, std::size_t length) noexcept {
    VelCryptSHA1 h;
    h.Update(data, length);
    return h.Final();
}
