#include "foundation/ParseUInt16.h"

#include <charconv>

std::uint16_t ParseUInt16(std::string_view text) {
    // from_chars accepts no sign and no space, so "-1" and " 1" fail as they should.
    std::uint16_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return 0;
    return value;
}
