#pragma once
// A plain UDP socket on a loopback address for router tests: it receives what the launcher
// sends and answers from the same address. One thread uses it.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "foundation/runtime/NetAddress.h"

namespace Vel::Test {

class UdpPeer {
public:
    // Binds address:port (port 0: the system chooses). Throws std::runtime_error on failure.
    UdpPeer(std::uint32_t address, std::uint16_t port);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    NetAddress Local() const { return local_; }

    struct Datagram {
        std::vector<std::uint8_t> bytes;
        NetAddress from;
    };
    // Waits up to timeoutMs (real time) for a datagram.
    std::optional<Datagram> Receive(int timeoutMs = 20000);
    void SendTo(const NetAddress& to, const std::vector<std::uint8_t>& bytes);

private:
    int fd_ = -1;
    NetAddress local_;
};

}  // namespace Vel::Test
