#include "foundation/runtime/VelURI.h"

#include <charconv>

#include "foundation/core/Exception.h"

namespace {

bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool IsUnreserved(char c) {
    if (IsAlpha(c) || IsDigit(c)) return true;
    switch (c) {
        case '$': case '-': case '_': case '.': case '+':
        case '!': case '*': case '\'': case '(': case ')': case ',':
            return true;
        default:
            return false;
    }
}

// Matches one uchar at text[i] (an unreserved character or an escape); returns its length
// or 0.
std::size_t MatchUchar(std::string_view text, std::size_t i) {
    if (i >= text.size()) return 0;
    if (IsUnreserved(text[i])) return 1;
    if (text[i] == '%' && i + 2 < text.size() && IsHex(text[i + 1]) && IsHex(text[i + 2]))
        return 3;
    return 0;
}

std::size_t MatchPathChar(std::string_view text, std::size_t i) {
    if (i < text.size() && (text[i] == ';' || text[i] == '/' || text[i] == ':' || text[i] == '@')) return 1;
    return MatchUchar(text, i);
}

[[noreturn]] void Fail() { throw Vel::Exception(); }

}  // namespace

std::uint16_t VelURI::DefaultPort(Protocol protocol) noexcept {
    switch (protocol) {
        case kHttp: return 80;
        case kHttps: return 443;
        case kFtp: return 21;
        default: return 0;
    }
}

std::string_view VelURI::SchemeText(Protocol protocol) noexcept {
    switch (protocol) {
        case kHttp: return "http";
        case kHttps: return "https";
        case kFtp: return "ftp";
        default: return {};
    }
}

VelURI::VelURI(std::string_view text, bool /*fullForm*/) {
    std::size_t i = 0;
    Protocol protocol = kNone;
    // Longest scheme first: "https" before "http".
    for (Protocol p : {kHttps, kHttp, kFtp}) {
        const std::string_view s = SchemeText(p);
        if (text.substr(0, s.size()) == s && text.substr(s.size(), 3) == "://") {
            protocol = p;
            i = s.size() + 3;
            break;
        }
    }
    if (protocol == kNone) Fail();

    const std::size_t hostStart = i;
    while (i < text.size() && (IsAlpha(text[i]) || IsDigit(text[i]) || text[i] == '-' || text[i] == '.' || text[i] == '_')) ++i;
    if (i == hostStart) Fail();
    std::string host(text.substr(hostStart, i - hostStart));

    std::uint32_t port = 0;
    if (i < text.size() && text[i] == ':') {
        const std::size_t portStart = ++i;
        while (i < text.size() && IsDigit(text[i])) ++i;
        if (i == portStart) Fail();
        if (i < text.size() && text[i] != '/' && text[i] != '?') Fail();
        const auto r = std::from_chars(text.data() + portStart, text.data() + i, port);
        if (r.ec != std::errc() || port > 65535) Fail();
    }

    std::string path;
    if (i < text.size() && text[i] == '/') {
        const std::size_t pathStart = i;
        while (std::size_t n = MatchPathChar(text, i)) i += n;
        path.assign(text.substr(pathStart, i - pathStart));
    }

    StringPairVector query;
    if (i < text.size() && text[i] == '?') {
        ++i;
        for (;;) {
            const std::size_t keyStart = i;
            while (std::size_t n = MatchUchar(text, i)) i += n;
            std::string key(text.substr(keyStart, i - keyStart));
            if (i >= text.size() || text[i] != '=') Fail();
            const std::size_t valueStart = ++i;
            while (std::size_t n = MatchUchar(text, i)) i += n;
            query.emplace_back(std::move(key), std::string(text.substr(valueStart, i - valueStart)));
            if (i < text.size() && text[i] == '&') {
                ++i;
                continue;
            }
            break;
        }
    }
    if (i != text.size()) Fail();

    protocol_ = protocol;
    host_ = std::move(host);
    port_ = port == 0 ? DefaultPort(protocol) : static_cast<std::uint16_t>(port);
    path_ = std::move(path);
    query_ = std::move(query);
}

std::string EscapePathElement(std::string_view element) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(element.size());
    for (const char c : element) {
        // What a path segment may hold unescaped and this class parses back: unreserved,
        // ";", ":" and "@". "~", "&" and "=" are allowed by RFC 3986 but not by the parser.
        if (IsUnreserved(c) || c == ';' || c == ':' || c == '@') {
            out += c;
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}

void VelURI::AppendPath(std::string_view element) {
    if (element.empty()) return;
    std::string e;
    for (std::size_t start = 0;;) {
        const std::size_t sep = element.find_first_of("/\\", start);
        e += EscapePathElement(element.substr(start, sep == std::string_view::npos ? sep : sep - start));
        if (sep == std::string_view::npos) break;
        e += '/';
        start = sep + 1;
    }
    const bool pathEndsInSlash = !path_.empty() && path_.back() == '/';
    const bool elementStartsWithSlash = e.front() == '/';
    if (pathEndsInSlash && elementStartsWithSlash)
        path_.append(e, 1, std::string::npos);
    else if (!path_.empty() && !pathEndsInSlash && !elementStartsWithSlash) {
        path_ += '/';
        path_ += e;
    } else
        path_ += e;
}

std::string VelURI::GetQueryText() const {
    if (query_.empty()) return {};
    std::string s = "?";
    for (std::size_t k = 0; k < query_.size(); ++k) {
        if (k) s += '&';
        s += query_[k].first;
        s += '=';
        s += query_[k].second;
    }
    return s;
}

std::string VelURI::GetPathAndQuery(bool withQuery) const {
    std::string s;
    if (path_.empty() || path_.front() != '/') s += '/';
    s += path_;
    if (withQuery) s += GetQueryText();
    return s;
}

std::string VelURI::ToString() const {
    std::string s;
    if (!host_.empty()) {
        const std::string_view scheme = SchemeText(protocol_);
        if (!scheme.empty()) {
            s += scheme;
            s += "://";
        }
        s += host_;
        if (port_ != DefaultPort(protocol_)) {
            s += ':';
            s += std::to_string(port_);
        }
    }
    if (!path_.empty()) {
        if (path_.front() != '/') s += '/';
        s += path_;
    }
    s += GetQueryText();
    return s;
}
