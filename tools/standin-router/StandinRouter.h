#pragma once
// The stand-in for the game's router servers: reads a version request and makes the reply
// datagrams, with switches for the faults a real network or a broken router shows.
//
// Contract: pure and self-contained (the scrambler is written here again from the protocol's
// description, so that the launcher's code and this one check each other). One object per
// serving thread; no locks.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace Standin {

enum class RouterFault {
    None,
    Silent,     // never answer
    Late,       // answer after the configured delay (past the launcher's 2 s time-out)
    Twice,      // send every reply two times
    Short,      // a reply whose version is cut to 10 bytes
    Malformed,  // an 18-byte datagram: a header without a complete tag
    BadMagic,   // a reply whose magic is wrong
    WrongTag,   // a reply tagged "XXXX" instead of "PSRV"
};

std::optional<RouterFault> ParseRouterFault(const std::string& name);

struct RouterConfig {
    std::uint32_t version[4] = {1, 0, 0, 0};
    std::uint8_t maintenance = 0;
    RouterFault fault = RouterFault::None;
    int lateMs = 2500;
};

// Parses "A.B.C.D" (four unsigned 32-bit decimal numbers); false when it is anything else.
bool ParseVersionText(const std::string& text, std::uint32_t out[4]);

void Scramble(std::uint8_t* bytes, std::size_t length);

struct RouterRequest {
    bool valid = false;
    std::string problem;  // why it was refused, for the log
    std::uint32_t words[3] = {0, 0, 0};
};

// Unscrambles a copy of the datagram and checks it: exactly 21 bytes, magic AF 12 3B 72,
// protocol version 1, tag "QERV".
RouterRequest ReadRequest(const std::uint8_t* bytes, std::size_t length);

// The scrambled reply to a valid request as the configured fault shapes it (one datagram, two
// for Twice, none for Silent).
std::vector<std::vector<std::uint8_t>> MakeReplies(const RouterConfig& config, const RouterRequest& request);

}  // namespace Standin
