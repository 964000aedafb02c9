#pragma once
// NetAddress: an IPv4 address and port in host byte order; ResolveHost: a host name to its
// sorted, duplicate-free IPv4 addresses.
//
// Contract:
// - NetAddress is a plain value, valid when its address is not 0, ordered by address then port.
// - ResolveHost asks the process's host resolver (getaddrinfo by default; tests install their
//   own with SetHostResolver), appends the answers to `out`, then sorts the whole list and
//   removes neighbours that are equal (same address, and either port 0 or the same port).
//   A failed resolution appends nothing. Never throws for a resolution failure.
// - Any thread may resolve. SetHostResolver is for start-up and tests: it must not race a
//   running resolution; the resolver must outlive its use.

#include <cstdint>
#include <string>
#include <vector>

class NetAddress {
public:
    NetAddress() = default;
    NetAddress(std::uint32_t address, std::uint16_t port) : address_(address), port_(port) {}

    std::uint32_t GetAddress() const noexcept { return address_; }
    std::uint16_t GetPort() const noexcept { return port_; }
    void SetPort(std::uint16_t port) noexcept { port_ = port; }
    bool IsValid() const noexcept { return address_ != 0; }

    // "a.b.c.d:port".
    std::string ToString() const;

    friend bool operator==(const NetAddress&, const NetAddress&) = default;
    friend bool operator<(const NetAddress& a, const NetAddress& b) {
        return a.address_ != b.address_ ? a.address_ < b.address_ : a.port_ < b.port_;
    }

private:
    std::uint32_t address_ = 0;
    std::uint16_t port_ = 0;
};

namespace Vel {

class IHostResolver {
public:
    virtual ~IHostResolver() = default;
    // Appends the IPv4 answers for the host, unsorted, as the system gives them.
    virtual void Resolve(const std::string& host, std::vector<NetAddress>& out) = 0;
};

// getaddrinfo with family AF_INET.
class SystemHostResolver final : public IHostResolver {
public:
    void Resolve(const std::string& host, std::vector<NetAddress>& out) override;
};

// Installs the resolver ResolveHost uses; null puts the system resolver back.
void SetHostResolver(IHostResolver* resolver);

}  // namespace Vel

void ResolveHost(const std::string& host, std::vector<NetAddress>& out);
