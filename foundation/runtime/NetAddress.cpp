#include "foundation/runtime/NetAddress.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>

std::string NetAddress::ToString() const {
    return std::to_string(address_ >> 24) + "." + std::to_string((address_ >> 16) & 0xFF) + "." +
           std::to_string((address_ >> 8) & 0xFF) + "." + std::to_string(address_ & 0xFF) + ":" +
           std::to_string(port_);
}

namespace Vel {
namespace {
SystemHostResolver g_systemResolver;
std::atomic<IHostResolver*> g_resolver{&g_systemResolver};
}  // namespace

void SystemHostResolver::Resolve(const std::string& host, std::vector<NetAddress>& out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* results = nullptr;
    if (::getaddrinfo(host.c_str(), "", &hints, &results) != 0) return;
    for (addrinfo* r = results; r != nullptr; r = r->ai_next) {
        if (r->ai_family != AF_INET || r->ai_addr == nullptr) continue;
        const auto* in = reinterpret_cast<const sockaddr_in*>(r->ai_addr);
        out.emplace_back(ntohl(in->sin_addr.s_addr), ntohs(in->sin_port));
    }
    ::freeaddrinfo(results);
}

void SetHostResolver(IHostResolver* resolver) { g_resolver = resolver != nullptr ? resolver : &g_systemResolver; }

}  // namespace Vel

void ResolveHost(const std::string& host, std::vector<NetAddress>& out) {
    Vel::g_resolver.load()->Resolve(host, out);
    std::sort(out.begin(), out.end());
    const auto same = [](const NetAddress& a, const NetAddress& b) {
        return a.GetAddress() == b.GetAddress() &&
               (a.GetPort() == 0 || b.GetPort() == 0 || a.GetPort() == b.GetPort());
    };
    out.erase(std::unique(out.begin(), out.end(), same), out.end());
}
