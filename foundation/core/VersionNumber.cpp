#include "foundation/core/VersionNumber.h"

#include <charconv>

VersionNumber::VersionNumber(std::string_view text) {
    std::uint32_t parts[4];
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (p == end || *p != '.') return;
            ++p;
        }
        if (p == end || *p < '0' || *p > '9') return;  // no sign, no blank
        auto [next, ec] = std::from_chars(p, end, parts[i]);
        if (ec != std::errc()) return;
        p = next;
    }
    if (p != end) return;
    major_ = parts[0];
    minor_ = parts[1];
    build_ = parts[2];
    revision_ = parts[3];
}

std::uint64_t VersionNumber::ToUInt64() const {
    const std::uint32_t high = (((major_ << 8) | minor_) << 8) | build_;
    return (static_cast<std::uint64_t>(high) << 32) | revision_;
}

std::string VersionNumber::ToString() const {
    return std::to_string(major_) + "." + std::to_string(minor_) + "." + std::to_string(build_) + "." +
           std::to_string(revision_);
}

bool VersionNumber::ReadFileVersion(const std::string&) { return false; }
