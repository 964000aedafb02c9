#pragma once
// Raw deflate (RFC 1951: no zlib or gzip header or trailer) of a whole block into a
// VelMemoryStream, and back. The codec is zlib, driven with window bits -15, memory level 8 and
// the default strategy; callers deflate at level 9.
//
// Contract:
// - Both write at the stream's position and leave it just after the written bytes; a stream
//   that was shorter is cut back to that end. They return the number of bytes written.
// - Output room is reserved up front (deflate: zlib's bound for the input; inflate: the
//   expected size when given), so a large block is not copied over and over while it grows.
// - InflateRaw accepts one complete deflate stream and never writes more than maxOutput bytes:
//   longer output, truncated or damaged input, a zlib-headed stream and an output stream that
//   cannot grow (borrowed) all throw Vel::Exception with an empty text. Bytes already written
//   stay in the stream; callers discard it.
// - Reentrant; no shared state, no locks.

#include <cstdint>

#include "foundation/data/MemoryStream.h"

// The largest output InflateRaw produces unless told otherwise: an archive holds no entry larger.
inline constexpr std::uint32_t kInflateDefaultLimit = 128'000'000;

std::uint32_t DeflateRaw(const void* input, std::uint32_t inputLength, VelMemoryStream& output, int level);

// expectedSize, when not 0, is both the room reserved and the limit (a content file's known
// size); otherwise the limit is maxOutput and the room grows as the output does.
std::uint32_t InflateRaw(const void* input, std::uint32_t inputLength, VelMemoryStream& output,
                         std::uint32_t expectedSize = 0, std::uint32_t maxOutput = kInflateDefaultLimit);
