// standin-router: answers the launcher's router version requests on one UDP address.
//
//   standin-router [--listen ADDRESS:PORT] [--version A.B.C.D] [--maintenance N]
//                  [--fault none|silent|late|twice|short|malformed|bad-magic|wrong-tag]
//                  [--late-ms N] [--log]
//
// Defaults: 127.0.0.1:30584, version 1.0.0.0, maintenance 0, no fault, late replies 2500 ms.
// Port 0 lets the system choose. Once bound it prints "listening on ADDRESS:PORT" on standard
// output and serves until it is terminated; --log writes one line per datagram to standard
// error.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "StandinRouter.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Pending {
    Clock::time_point due;
    sockaddr_in to;
    std::vector<std::uint8_t> bytes;
};

int Usage(const char* message) {
    std::fprintf(stderr, "standin-router: %s\n", message);
    std::fprintf(stderr,
                 "usage: standin-router [--listen ADDRESS:PORT] [--version A.B.C.D] [--maintenance N]\n"
                 "       [--fault none|silent|late|twice|short|malformed|bad-magic|wrong-tag] [--late-ms N] [--log]\n");
    return 2;
}

bool ParseNumber(const std::string& text, unsigned long max, unsigned long& out) {
    if (text.empty()) return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size() && out <= max;
}

std::string Describe(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

void Send(int fd, const Pending& reply, bool log) {
    ::sendto(fd, reply.bytes.data(), reply.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&reply.to),
             sizeof reply.to);
    if (log) std::fprintf(stderr, "sent %zu bytes to %s\n", reply.bytes.size(), Describe(reply.to).c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::string listen = "127.0.0.1:30584";
    Standin::RouterConfig config;
    bool log = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--log") {
            log = true;
        } else if (arg == "--help" || arg == "-h") {
            Usage("answers router version requests");
            return 0;
        } else if (!hasValue) {
            return Usage(("missing value for " + arg).c_str());
        } else if (arg == "--listen") {
            listen = argv[++i];
        } else if (arg == "--version") {
            if (!Standin::ParseVersionText(argv[++i], config.version)) return Usage("bad --version");
        } else if (arg == "--maintenance") {
            unsigned long n = 0;
            if (!ParseNumber(argv[++i], 255, n)) return Usage("bad --maintenance (0-255)");
            config.maintenance = static_cast<std::uint8_t>(n);
        } else if (arg == "--fault") {
            auto fault = Standin::ParseRouterFault(argv[++i]);
            if (!fault) return Usage("unknown --fault");
            config.fault = *fault;
        } else if (arg == "--late-ms") {
            unsigned long n = 0;
            if (!ParseNumber(argv[++i], 600000, n)) return Usage("bad --late-ms");
            config.lateMs = static_cast<int>(n);
        } else {
            return Usage(("unknown argument " + arg).c_str());
        }
    }

    const auto colon = listen.rfind(':');
    unsigned long port = 0;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (colon == std::string::npos || !ParseNumber(listen.substr(colon + 1), 65535, port) ||
        ::inet_pton(AF_INET, listen.substr(0, colon).c_str(), &address.sin_addr) != 1)
        return Usage("bad --listen (ADDRESS:PORT, IPv4)");
    address.sin_port = htons(static_cast<std::uint16_t>(port));

    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::fprintf(stderr, "standin-router: cannot bind %s: %s\n", listen.c_str(), std::strerror(errno));
        return 1;
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    std::printf("listening on %s\n", Describe(address).c_str());
    std::fflush(stdout);

    std::vector<Pending> late;
    std::uint8_t buffer[2048];
    for (;;) {
        int timeoutMs = -1;
        const auto now = Clock::now();
        for (auto it = late.begin(); it != late.end();) {
            if (it->due <= now) {
                Send(fd, *it, log);
                it = late.erase(it);
            } else {
                const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(it->due - now).count() + 1;
                timeoutMs = timeoutMs < 0 ? static_cast<int>(wait) : std::min(timeoutMs, static_cast<int>(wait));
                ++it;
            }
        }
        pollfd poller{fd, POLLIN, 0};
        if (::poll(&poller, 1, timeoutMs) <= 0) continue;

        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        const ssize_t n = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) continue;
        const Standin::RouterRequest request = Standin::ReadRequest(buffer, static_cast<std::size_t>(n));
        if (log) {
            std::fprintf(stderr, "received %zd bytes from %s: %s\n", n, Describe(from).c_str(),
                         request.valid ? "version request" : request.problem.c_str());
        }
        for (auto& bytes : Standin::MakeReplies(config, request)) {
            Pending reply{Clock::now(), from, std::move(bytes)};
            if (config.fault == Standin::RouterFault::Late) {
                reply.due += std::chrono::milliseconds(config.lateMs);
                late.push_back(std::move(reply));
            } else {
                Send(fd, reply, log);
            }
        }
    }
}
