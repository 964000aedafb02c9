#pragma once
// A parsed URL: scheme (http, https or ftp), host, port, path and query pairs.
//
// Contract:
// - Construction from text is strict: the whole text must match
//   scheme "://" host [":" digits] ["/" path] ["?" key=value("&" key=value)*]
//   (host: letters, digits, "-", ".", "_"; path and query characters: unreserved, %XX, and
//   for the path also ";", "/", ":", "@"). Anything else, a port above 65535 or a port
//   followed by anything but "/", "?" or the end throws Vel::Exception with an empty text
//   and keeps nothing. A port of 0 or none becomes the scheme's default.
// - Nothing is decoded; keys and values are printed as stored.
// - The request object (GetPathAndQuery) always starts with "/"; AppendPath joins with "/".
// - AppendPath takes raw names, not URL text: each element between separators ("/" or "\",
//   both written as "/") is percent-encoded with EscapePathElement, so the result always
//   parses again and names the file it was given ("x%41.bin" stays x%41.bin, not xA.bin).
// - A value type; no shared state; any thread may use its own copy.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

using StringPairVector = std::vector<std::pair<std::string, std::string>>;

class VelURI {
public:
    enum Protocol : std::int32_t { kNone = 0, kHttp = 2, kHttps = 3, kFtp = 4 };

    VelURI() = default;
    // fullForm is the only form there is; the flag is kept for callers' readability.
    explicit VelURI(std::string_view text, bool fullForm = true);

    Protocol GetProtocol() const noexcept { return protocol_; }
    const std::string& GetHost() const noexcept { return host_; }
    std::uint16_t GetPort() const noexcept { return port_; }
    const std::string& GetPath() const noexcept { return path_; }
    const StringPairVector& GetQuery() const noexcept { return query_; }

    // Appends a relative path of raw names with a "/" between unless one is there already;
    // "\" in it is taken as "/", every name between separators is escaped with
    // EscapePathElement; an empty text changes nothing.
    void AppendPath(std::string_view element);

    // The request object: "/" + path (unless the path starts with "/"), then the query text
    // when asked.
    std::string GetPathAndQuery(bool withQuery) const;
    // "?" + key=value pairs joined by "&"; "" without pairs.
    std::string GetQueryText() const;
    std::string ToString() const;

    static std::uint16_t DefaultPort(Protocol protocol) noexcept;
    static std::string_view SchemeText(Protocol protocol) noexcept;

private:
    Protocol protocol_ = kNone;
    std::string host_;
    std::uint16_t port_ = 0;
    std::string path_;
    StringPairVector query_;
};

// One raw path element (a file or folder name, any bytes) as URL path text: letters, digits,
// the unreserved marks - _ . ! $ ' ( ) * + , and ; : @ stay as they are; every other byte,
// "%", "/" and "\" included, becomes "%" and two upper-case hexadecimal digits.
std::string EscapePathElement(std::string_view element);
