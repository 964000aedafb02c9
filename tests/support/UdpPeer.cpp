#include "tests/support/UdpPeer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace Vel::Test {

UdpPeer::UdpPeer(std::uint32_t address, std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(address);
    in.sin_port = htons(port);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&in), sizeof in) != 0) {
        if (fd_ >= 0) ::close(fd_);
        throw std::runtime_error("UdpPeer: cannot bind");
    }
    socklen_t length = sizeof in;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&in), &length);
    local_ = NetAddress(ntohl(in.sin_addr.s_addr), ntohs(in.sin_port));
}

UdpPeer::~UdpPeer() {
    if (fd_ >= 0) ::close(fd_);
}

std::optional<UdpPeer::Datagram> UdpPeer::Receive(int timeoutMs) {
    pollfd poller{fd_, POLLIN, 0};
    if (::poll(&poller, 1, timeoutMs) <= 0) return std::nullopt;
    std::vector<std::uint8_t> buffer(2048);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<std::size_t>(n));
    return Datagram{std::move(buffer), NetAddress(ntohl(from.sin_addr.s_addr), ntohs(from.sin_port))};
}

void UdpPeer::SendTo(const NetAddress& to, const std::vector<std::uint8_t>& bytes) {
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_addr.s_addr = htonl(to.GetAddress());
    in.sin_port = htons(to.GetPort());
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&in), sizeof in);
}

}  // namespace Vel::Test
