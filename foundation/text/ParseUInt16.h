#pragma once
// ParseUInt16: the whole text as an unsigned decimal number from 0 to 65535 with an optional
// "+" ("-" only before zero), or 0 when it is anything else (empty, a second sign, blanks,
// other characters, out of range). Locale-independent; any thread.

#include <cstdint>
#include <string_view>

std::uint16_t ParseUInt16(std::string_view text);
