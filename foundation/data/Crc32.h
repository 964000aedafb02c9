#pragma once
// CRC-32 of ISO 3309 / ITU-T V.42 (reflected polynomial 0xEDB88320, the one of zlib and zip).
//
// Contract:
// - Crc32 gives the published result: 0xCBF43926 for "123456789", 0 for no bytes.
// - Crc32Update continues a running CRC: Crc32Update(Crc32(a), b) == Crc32(a + b).
// - Crc32OfStream covers a memory stream's valid bytes, from its first byte to its size (not
//   its capacity), wherever its position stands.
// - Uses carry-less multiplication (PCLMULQDQ) when the CPU has it, checked once at run
//   time, and slicing-by-8 tables otherwise. The tables are constant (built at compile
//   time), so every function is thread-safe and lock-free.

#include <cstddef>
#include <cstdint>

class VelMemoryStream;

std::uint32_t Crc32(const void* data, std::size_t length);
std::uint32_t Crc32Update(std::uint32_t crc, const void* data, std::size_t length);
std::uint32_t Crc32OfStream(const VelMemoryStream& stream);

namespace Vel::Detail {
// The two paths, for cross-checks and benchmarks.
std::uint32_t Crc32Portable(std::uint32_t crc, const void* data, std::size_t length);
// False when the CPU lacks the instructions (then it computes nothing).
bool Crc32Accelerated(std::uint32_t crc, const void* data, std::size_t length, std::uint32_t& result);
bool Crc32HasAcceleration();
}  // namespace Vel::Detail
