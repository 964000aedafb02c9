#pragma once
// MD5 message digest (RFC 1321), used only to key the content cipher.
//
// Contract:
// - Md5Digest gives the 16 digest bytes of the whole text; the empty text gives
//   d41d8cd98f00b204e9800998ecf8427e.
// - Pure function of its input: reentrant, no shared state, no locks.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

using Md5Bytes = std::array<std::uint8_t, 16>;

Md5Bytes Md5Digest(std::string_view text);
Md5Bytes Md5Digest(const void* data, std::size_t length);
