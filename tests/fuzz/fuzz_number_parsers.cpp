// The whole-text number parsers, against one reference reading of their common rule: at most
// one sign, then one or more decimal digits, nothing else; the value must fit; an unsigned type
// takes "-" only before zero. ParseHexUInt32 and the list reader have no reference; they only
// must not fault.
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/core/ParameterStore.h"
#include "foundation/text/ParseUInt16.h"
#include "foundation/core/StringUtils.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

// The value of a well-formed text as a wide integer (magnitudes beyond 2^65 are capped, which
// no tested type can hold anyway); nothing for a malformed text.
std::optional<__int128> Reference(std::string_view text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    __int128 magnitude = 0;
    const __int128 cap = __int128{1} << 65;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > cap) magnitude = cap;
    }
    return negative ? -magnitude : magnitude;
}

template <class T>
std::optional<T> Expected(std::string_view text) {
    const auto value = Reference(text);
    if (!value) return std::nullopt;
    if (std::is_unsigned_v<T> && *value == 0) return T{0};  // "-0" included
    if (*value < static_cast<__int128>(std::numeric_limits<T>::min()) ||
        *value > static_cast<__int128>(std::numeric_limits<T>::max()))
        return std::nullopt;
    return static_cast<T>(*value);
}

template <class T>
void CheckWholeDecimal(std::string_view text) {
    T out = static_cast<T>(42);
    const bool ok = Vel::ParseWholeDecimal(text, out);
    const std::optional<T> expected = Expected<T>(text);
    if (ok != expected.has_value()) FuzzSupport::Broken("ParseWholeDecimal accepts differently");
    if (ok && out != *expected) FuzzSupport::Broken("ParseWholeDecimal reads another value");
    if (!ok && out != static_cast<T>(42)) FuzzSupport::Broken("ParseWholeDecimal changed out on failure");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    CheckWholeDecimal<std::int8_t>(text);
    CheckWholeDecimal<std::uint8_t>(text);
    CheckWholeDecimal<std::int16_t>(text);
    CheckWholeDecimal<std::uint16_t>(text);
    CheckWholeDecimal<std::int32_t>(text);
    CheckWholeDecimal<std::uint32_t>(text);
    CheckWholeDecimal<std::int64_t>(text);
    CheckWholeDecimal<std::uint64_t>(text);

    if (ParseUInt16(text) != Expected<std::uint16_t>(text).value_or(0)) FuzzSupport::Broken("ParseUInt16");
    if (Vel::ParseIntOrZero(text) != Expected<int>(text).value_or(0)) FuzzSupport::Broken("ParseIntOrZero");
    if (Vel::ParseInt64OrZero(text) != Expected<std::int64_t>(text).value_or(0))
        FuzzSupport::Broken("ParseInt64OrZero");
    if (Vel::ParseBoolOrFalse(text) != (Expected<int>(text).value_or(0) == 1)) FuzzSupport::Broken("ParseBoolOrFalse");
    std::int64_t parsed = 0;
    const bool ok = Vel::ParseInt64(text, parsed);
    if (ok != Expected<std::int64_t>(text).has_value() || parsed != Expected<std::int64_t>(text).value_or(0))
        FuzzSupport::Broken("ParseInt64");

    std::uint32_t hex = 0;
    (void)Vel::ParseHexUInt32(text, hex);
    std::istringstream in(text);
    std::vector<std::uint32_t> list;
    (void)Vel::ReadUIntList(in, list);
    return 0;
}
