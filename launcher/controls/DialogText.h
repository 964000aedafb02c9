#pragma once
// Putting values into the "%s" places of a string-table text.
//
// Contract: the text is never a printf format. Each "%s", from the left, takes the next value
// literally ("%" and "|" inside a value are plain characters and are not searched again); other
// "%" sequences stay as they are, and "%s" places beyond the values stay "%s". Pure; any thread.

#include <string>
#include <string_view>
#include <vector>

namespace Vel {

std::string FillPlaceholders(std::string_view text, const std::vector<std::string>& values);

}  // namespace Vel
