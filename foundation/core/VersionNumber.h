#pragma once
// A four-part version major.minor.build.revision.
//
// Contract: a plain value type; any thread. Parsing is strict: exactly four unsigned decimal
// numbers that fit in 32 bits, separated by single dots, nothing else; any other text gives the
// null version 0.0.0.0.

#include <cstdint>
#include <string>
#include <string_view>

class VersionNumber {
public:
    VersionNumber() = default;
    VersionNumber(std::uint32_t major, std::uint32_t minor, std::uint32_t build, std::uint32_t revision)
        : major_(major), minor_(minor), build_(build), revision_(revision) {}
    explicit VersionNumber(std::string_view text);

    void Clear() { *this = VersionNumber(); }
    bool IsNull() const { return major_ == 0 && minor_ == 0 && build_ == 0 && revision_ == 0; }

    // Packed value; high bits of major and minor are lost, so test for non-zero with IsNull.
    std::uint64_t ToUInt64() const;
    std::string ToString() const;

    // There are no version resources in Linux executables: always false, value untouched.
    bool ReadFileVersion(const std::string& path);

    std::uint32_t Major() const { return major_; }
    std::uint32_t Minor() const { return minor_; }
    std::uint32_t Build() const { return build_; }
    std::uint32_t Revision() const { return revision_; }

    friend bool operator==(const VersionNumber&, const VersionNumber&) = default;
    friend bool operator<(const VersionNumber& a, const VersionNumber& b) {
        if (a.major_ != b.major_) return a.major_ < b.major_;
        if (a.minor_ != b.minor_) return a.minor_ < b.minor_;
        if (a.build_ != b.build_) return a.build_ < b.build_;
        return a.revision_ < b.revision_;
    }
    friend bool operator>=(const VersionNumber& a, const VersionNumber& b) { return !(a < b); }

private:
    std::uint32_t major_ = 0;
    std::uint32_t minor_ = 0;
    std::uint32_t build_ = 0;
    std::uint32_t revision_ = 0;
};
