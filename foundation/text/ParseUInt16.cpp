#include "foundation/text/ParseUInt16.h"

#include "foundation/core/StringUtils.h"

std::uint16_t ParseUInt16(std::string_view text) {
    std::uint16_t value = 0;
    return Vel::ParseWholeDecimal(text, value) ? value : 0;
}
