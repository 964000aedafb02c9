#include "StandinRouter.h"

#include <charconv>
#include <cstring>

namespace Standin {

std::optional<RouterFault> ParseRouterFault(const std::string& name) {
    if (name == "none") return RouterFault::None;
    if (name == "silent") return RouterFault::Silent;
    if (name == "late") return RouterFault::Late;
    if (name == "twice") return RouterFault::Twice;
    if (name == "short") return RouterFault::Short;
    if (name == "malformed") return RouterFault::Malformed;
    if (name == "bad-magic") return RouterFault::BadMagic;
    if (name == "wrong-tag") return RouterFault::WrongTag;
    return std::nullopt;
}

bool ParseVersionText(const std::string& text, std::uint32_t out[4]) {
    std::uint32_t parts[4];
    const char* p = text.data();
    const char* end = text.data() + text.size();
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (p == end || *p != '.') return false;
            ++p;
        }
        if (p == end || *p < '0' || *p > '9') return false;
        auto [next, ec] = std::from_chars(p, end, parts[i]);
        if (ec != std::errc()) return false;
        p = next;
    }
    if (p != end) return false;
    std::memcpy(out, parts, sizeof parts);
    return true;
}

void Scramble(std::uint8_t* bytes, std::size_t length) {
    if (length <= 8) return;
    unsigned l = 0, h = 0;
    for (unsigned i = 0; i < 10; ++i) {
        const unsigned t = (bytes[l % 8] + i) & 0xFF;
        h ^= bytes[i % 8];
        l ^= t;
    }
    for (std::size_t j = 8; j < length; ++j) {
        bytes[j] = static_cast<std::uint8_t>(bytes[j] ^ l);
        l = (l + h) & 0xFF;
    }
}

namespace {

constexpr std::uint8_t kMagic[4] = {0xAF, 0x12, 0x3B, 0x72};

void PutLe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

std::uint32_t GetLe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}

}  // namespace

RouterRequest ReadRequest(const std::uint8_t* bytes, std::size_t length) {
    RouterRequest request;
    if (length != 21) {
        request.problem = "length " + std::to_string(length) + ", not 21";
        return request;
    }
    std::uint8_t plain[21];
    std::memcpy(plain, bytes, length);
    Scramble(plain, length);
    if (std::memcmp(plain + 12, kMagic, 4) != 0) {
        request.problem = "bad magic";
        return request;
    }
    if (plain[16] != 1) {
        request.problem = "protocol version " + std::to_string(plain[16]);
        return request;
    }
    if (std::memcmp(plain + 17, "QERV", 4) != 0) {
        request.problem = "tag is not QERV";
        return request;
    }
    for (int i = 0; i < 3; ++i) request.words[i] = GetLe32(plain + 4 * i);
    request.valid = true;
    return request;
}

std::vector<std::vector<std::uint8_t>> MakeReplies(const RouterConfig& config, const RouterRequest& request) {
    if (!request.valid || config.fault == RouterFault::Silent) return {};
    std::vector<std::uint8_t> reply;
    for (std::uint32_t word : request.words) PutLe32(reply, word);
    reply.insert(reply.end(), kMagic, kMagic + 4);
    if (config.fault == RouterFault::BadMagic) reply[15] ^= 0xFF;
    reply.push_back(1);
    if (config.fault == RouterFault::Malformed) {
        reply.push_back('P');  // 18 bytes: passes the length test, no complete tag
    } else {
        const char* tag = config.fault == RouterFault::WrongTag ? "XXXX" : "PSRV";
        reply.insert(reply.end(), tag, tag + 4);
        if (config.fault == RouterFault::Short) {
            for (int i = 0; i < 10; ++i) reply.push_back(static_cast<std::uint8_t>(0x11 * (i + 1)));
        } else {
            for (std::uint32_t part : config.version) PutLe32(reply, part);
            reply.push_back(config.maintenance);
        }
    }
    Scramble(reply.data(), reply.size());
    std::vector<std::vector<std::uint8_t>> replies{reply};
    if (config.fault == RouterFault::Twice) replies.push_back(reply);
    return replies;
}

}  // namespace Standin
