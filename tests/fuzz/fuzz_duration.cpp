// Duration text as configuration values are read. Property: a duration that was read prints
// (style 1) as a text that reads back as its value to the millisecond (truncated toward zero:
// -40us prints as "-00:00:00.000" and reads back as 0).
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "foundation/core/Duration.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    VelDuration d;
    if (!(in >> d)) return 0;
    for (int style : {0, 1, 3, 4, 5, 6}) (void)d.ToString(style);
    const std::string printed = d.ToString(1);
    std::istringstream again(printed);
    VelDuration back;
    if (!(again >> back)) FuzzSupport::Broken("printed duration does not read back");
    const std::int64_t tick = VelDuration::TicksPer(VelTimePrecision::Millisecond);
    if (back.Ticks() != d.Ticks() / tick * tick) FuzzSupport::Broken("printed duration reads back as another value");
    return 0;
}
