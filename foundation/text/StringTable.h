#pragma once
// The entries of one language's string table, parsed from its text form:
//   # comment
//   <id> = <text>          (id 0 to 65535; escapes \n \r \t \\ in the text)
// A blank after "=" is optional; an entry with an empty text is absent. Lines that follow none
// of these forms are skipped and reported by number.
//
// Contract: immutable after Parse; any thread may read it concurrently.

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace Vel {

class StringTable {
public:
    static StringTable Parse(const std::string& text);

    // The entry's text, or null when the table does not hold it (or holds it empty).
    const std::string* Find(std::uint16_t id) const;
    std::vector<std::uint16_t> Ids() const;
    // 1-based numbers of the lines that could not be read.
    const std::vector<int>& BadLines() const noexcept { return badLines_; }

private:
    std::unordered_map<std::uint16_t, std::string> entries_;
    std::vector<int> badLines_;
};

}  // namespace Vel
