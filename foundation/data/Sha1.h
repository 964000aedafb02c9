#pragma once
// SHA-1 of FIPS 180-1, fed in pieces.
//
// Contract:
// - VelCryptSHA1 starts at the standard initial values; Update may be called any number of
//   times with any lengths; Final pads and writes the 20-byte digest. Final does not reset
//   the context: make a new object for each hash.
// - Full 64-byte blocks are compressed with the CPU's SHA extensions when it has them
//   (checked once at run time), otherwise with the portable rounds.
// - One object is used by one thread at a time; no shared state besides the constant CPU
//   check.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

struct Sha1Digest {
    std::array<std::uint8_t, 20> bytes{};

    // 40 lower-case hexadecimal digits.
    std::string ToHex() const;
    // Reads exactly 40 hexadecimal digits of either case; false (digest untouched) otherwise.
    bool FromHex(std::string_view text);
    bool operator==(const Sha1Digest&) const = default;
};

class VelCryptSHA1 {
public:
    VelCryptSHA1() noexcept;
    void Update(const void* data, std::size_t length) noexcept;
    void Final(std::uint8_t digest[20]) noexcept;
    Sha1Digest Final() noexcept;

    // One call over a whole buffer.
    static Sha1Digest Hash(const void* data, std::size_t length) noexcept;

    // For cross-checks and benchmarks: false selects the portable rounds for this object.
    void UseAcceleration(bool on) noexcept { accelerated_ = on && HasAcceleration(); }
    static bool HasAcceleration() noexcept;

private:
    void Compress(const std::uint8_t* blocks, std::size_t count) noexcept;

    std::uint32_t state_[5];
    std::uint8_t block_[64];
    std::uint16_t fill_ = 0;
    std::uint32_t bitsLow_ = 0;
    std::uint32_t bitsHigh_ = 0;
    bool accelerated_;
};
