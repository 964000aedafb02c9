#include "launcher/controls/DialogText.h"

namespace Vel {

std::string FillPlaceholders(std::string_view text, const std::vector<std::string>& values) {
    std::string out;
    out.reserve(text.size());
    std::size_t next = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const std::size_t found = text.find("%s", pos);
        if (found == std::string_view::npos || next == values.size()) break;
        out.append(text, pos, found - pos);
        out += values[next++];
        pos = found + 2;
    }
    out.append(text, pos, std::string_view::npos);
    return out;
}

}  // namespace Vel
