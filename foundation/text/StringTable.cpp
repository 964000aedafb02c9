#include "foundation/text/StringTable.h"

#include <algorithm>
#include <charconv>

namespace Vel {
namespace {

bool Unescape(const std::string& in, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '\\') {
            out += in[i];
            continue;
        }
        if (++i >= in.size()) return false;
        switch (in[i]) {
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case '\\': out += '\\'; break;
        default: return false;
        }
    }
    return true;
}

}  // namespace

StringTable StringTable::Parse(const std::string& text) {
    StringTable table;
    std::size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;

        std::size_t eq = line.find('=', first);
        std::size_t idEnd = line.find_last_not_of(" \t", eq == std::string::npos ? 0 : eq - 1);
        unsigned id = 0;
        bool ok = eq != std::string::npos && idEnd != std::string::npos && idEnd >= first;
        if (ok) {
            auto r = std::from_chars(line.data() + first, line.data() + idEnd + 1, id);
            ok = r.ec == std::errc() && r.ptr == line.data() + idEnd + 1 && id <= 0xFFFF;
        }
        std::string value;
        if (ok) {
            std::size_t textStart = eq + 1;
            if (textStart < line.size() && line[textStart] == ' ') ++textStart;
            ok = Unescape(line.substr(textStart), value);
        }
        if (!ok) {
            table.badLines_.push_back(lineNumber);
            continue;
        }
        if (value.empty())
            table.entries_.erase(static_cast<std::uint16_t>(id));
        else
            table.entries_[static_cast<std::uint16_t>(id)] = std::move(value);
    }
    return table;
}

const std::string* StringTable::Find(std::uint16_t id) const {
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : &it->second;
}

std::vector<std::uint16_t> StringTable::Ids() const {
    std::vector<std::uint16_t> ids;
    for (const auto& [id, text] : entries_) ids.push_back(id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

}  // namespace Vel
