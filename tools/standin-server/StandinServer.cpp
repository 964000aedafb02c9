#include "tools/standin-server/StandinServer.h"

#include <utility>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <utility>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <list>
#include <stdexcept>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
namespace fs = std::filesystem;

namespace Standin {

namespace {

std::string Base64(const std::string& in) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < in.size(); i += 3) {
        const unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += table[v & 63];
    }
    if (i + 1 == in.size()) {
        const unsigned v = (unsigned char)in[i] << 16;
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == in.size()) {
        const unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
        out += table[v >> 18];
        out += table[(v >> 12) & 63];
        out += table[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The decoded path of a request target, "" when it cannot be decoded.
std::string DecodeTarget(std::string target) {
    for (char& c : target)
        if (c == '\\') c = '/';
    if (target.rfind("http://", 0) == 0 || target.rfind("https://", 0) == 0) {
        const auto slash = target.find('/', target.find("://") + 3);
        target = slash == std::string::npos ? "/" : target.substr(slash);
    }
    target = target.substr(0, target.find('?'));
    std::string out;
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] == '%') {
            if (i + 2 >= target.size()) return {};
            const int hi = HexValue(target[i + 1]), lo = HexValue(target[i + 2]);
            if (hi < 0 || lo < 0) return {};
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else {
            out += target[i];
        }
    }
    if (out.empty() || out[0] != '/') out.insert(out.begin(), '/');
    return out;
}

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

// Pages are shown by a browser (the terms of use); everything else is bytes to the launcher.
std::string ContentTypeOf(const fs::path& file) {
    const std::string extension = Lower(file.extension().string());
    if (extension == ".xml") return "application/xml";
    if (extension == ".html" || extension == ".htm") return "text/html; charset=utf-8";
    return "application/octet-stream";
}

// The file below root that the decoded path names; empty when none (or outside the root).
fs::path Resolve(const fs::path& root, const std::string& path) {
    fs::path current = root;
    std::size_t i = 0;
    while (i < path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string::npos) j = path.size();
        const std::string element = path.substr(i, j - i);
        i = j + 1;
        if (element.empty() || element == ".") continue;
        if (element == ".." || element.find('\0') != std::string::npos) return {};
        std::error_code ec;
        fs::path next = current / element;
        if (!fs::exists(next, ec)) {
            next.clear();
            const std::string wanted = Lower(element);
            for (fs::directory_iterator it(current, ec), end; !ec && it != end; it.increment(ec))
                if (Lower(it->path().filename().string()) == wanted) {
                    next = it->path();
                    break;
                }
            if (next.empty()) return {};
        }
        current = next;
    }
    std::error_code ec;
    // A folder is served by its "index.html" (the news pages).
    if (fs::is_directory(current, ec) && fs::is_regular_file(current / "index.html", ec)) current /= "index.html";
    if (!fs::is_regular_file(current, ec)) return {};
    return current;
}

const char* Reason(unsigned status) {
    switch (status) {
        case 200: return "OK";
        case 204: return "No Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 307: return "Temporary Redirect";
        case 308: return "Permanent Redirect";
        case 401: return "Unauthorized";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 500: return "Internal Server Error";
        default: return "Status";
    }
}

}  // namespace

bool ParseFault(const std::string& text, Fault& fault) {
    auto number = [](const std::string& s, auto& out) {
        const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
        return r.ec == std::errc() && r.ptr == s.data() + s.size();
    };
    Fault f;
    const std::string head = text.substr(0, text.find(':'));
    const std::string rest = text.find(':') == std::string::npos ? "" : text.substr(text.find(':') + 1);
    if (head == "404" || head == "500") {
        f.kind = FaultKind::kStatus;
        f.status = head == "404" ? 404 : 500;
    } else if (head == "status") {
        f.kind = FaultKind::kStatus;
        if (!number(rest, f.status) || f.status < 100 || f.status > 999) return false;
    } else if (head == "truncate") {
        f.kind = FaultKind::kTruncate;
    } else if (head == "flip") {
        f.kind = FaultKind::kFlipByte;
    } else if (head == "extra") {
        f.kind = FaultKind::kExtraBytes;
        if (!rest.empty() && !number(rest, f.extra)) return false;
    } else if (head == "stall") {
        f.kind = FaultKind::kStall;
    } else if (head == "slow") {
        f.kind = FaultKind::kSlowBody;
        if (!rest.empty()) {
            const auto colon = rest.find(':');
            if (colon == std::string::npos || !number(rest.substr(0, colon), f.chunk) ||
                !number(rest.substr(colon + 1), f.intervalMs) || f.chunk == 0)
                return false;
        }
    } else if (head == "reset") {
        f.kind = FaultKind::kReset;
    } else {
        return false;
    }
    fault = f;
    return true;
}

struct HttpServer::Impl {
    ServerConfig config;
    asio::io_context io;
    std::unique_ptr<asio::ssl::context> tls;
    tcp::acceptor acceptor{io};
    std::uint16_t port = 0;
    std::thread acceptThread;

    mutable std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;
    std::map<std::string, Fault> faults;
    std::vector<RequestRecord> log;
    unsigned nextConnectionId = 0;

    struct Connection {
        tcp::socket socket;
        unsigned id;
        int fd;
        bool closed = false;
        bool done = false;
        std::thread thread;
        explicit Connection(tcp::socket s, unsigned i) : socket(std::move(s)), id(i), fd(socket.native_handle()) {}
    };
    std::list<Connection> connections;

    std::string BaseUrl() const {
        return std::string(tls ? "https" : "http") + "://" + config.address + ":" + std::to_string(port) + "/";
    }

    Fault FaultFor(const std::string& path) {
        std::lock_guard lock(mutex);
        auto it = faults.find(path);
        if (it == faults.end()) it = faults.find("*");
        if (it == faults.end()) return Fault();
        const Fault fault = it->second;
        if (fault.times != 0 && --it->second.times == 0) faults.erase(it);
        return fault;
    }

    // Writes a POST body to "<postFolder>/post-<N>.txt" (N counts from 1) when a folder is set.
    void StorePost(const RequestRecord& r) {
        if (config.postFolder.empty()) return;
        std::lock_guard lock(mutex);
        std::error_code ec;
        fs::create_directories(config.postFolder, ec);
        std::ofstream(fs::path(config.postFolder) / ("post-" + std::to_string(++posts) + ".txt"), std::ios::binary)
            << "path=" << r.path << "\ncookie=" << r.cookie << "\ncontent-type=" << r.contentType << "\n\n"
            << r.body;
    }

    void Record(RequestRecord r) {
        std::lock_guard lock(mutex);
        if (config.log) {
            *config.log << "conn=" << r.connectionId << " status=" << r.status << " " << r.method << " " << r.target
                        << " agent=\"" << r.userAgent << "\" connection=\"" << r.connection << "\"\n";
            config.log->flush();
        }
        log.push_back(std::move(r));
    }
    unsigned posts = 0;

    // Waits up to ms, or until Stop; false when stopping.
    bool Pause(unsigned ms) {
        std::unique_lock lock(mutex);
        return !wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopping; });
    }

    void CloseConnection(Connection& c, bool reset) {
        std::lock_guard lock(mutex);
        if (c.closed) return;
        boost::system::error_code ec;
        if (reset) c.socket.set_option(asio::socket_base::linger(true, 0), ec);
        c.socket.close(ec);
        c.closed = true;
    }

    void AcceptLoop() {
        for (;;) {
            boost::system::error_code ec;
            tcp::socket socket(io);
            acceptor.accept(socket, ec);
            std::lock_guard lock(mutex);
            if (stopping) return;
            if (ec) continue;
            socket.set_option(tcp::no_delay(true), ec);
            // Reap finished connections.
            for (auto it = connections.begin(); it != connections.end();) {
                if (it->done) {
                    it->thread.join();
                    it = connections.erase(it);
                } else {
                    ++it;
                }
            }
            Connection& c = connections.emplace_back(std::move(socket), ++nextConnectionId);
            c.thread = std::thread([this, &c] { RunConnection(c); });
        }
    }

    void RunConnection(Connection& c) {
        try {
            if (tls) {
                asio::ssl::stream<tcp::socket&> stream(c.socket, *tls);
                boost::system::error_code ec;
                stream.handshake(asio::ssl::stream_base::server, ec);
                if (!ec) Serve(stream, c);
            } else {
                Serve(c.socket, c);
            }
        } catch (const std::exception&) {
            // A connection that fails ends; the server goes on.
        }
        CloseConnection(c, false);
        std::lock_guard lock(mutex);
        c.done = true;
    }

    template <class Stream>
    void Serve(Stream& stream, Connection& c) {
        beast::flat_buffer buffer;
        for (;;) {
            http::request_parser<http::string_body> parser;
            parser.body_limit(64 << 20);  // crash reports carry a dump
            parser.header_limit(16 * 1024);
            boost::system::error_code ec;
            http::read(stream, buffer, parser, ec);
            if (ec) return;
            if (!Answer(stream, c, parser.get())) return;
        }
    }

    template <class Stream>
    bool Answer(Stream& stream, Connection& c, const http::request<http::string_body>& req) {
        RequestRecord r;
        r.method = std::string(req.method_string());
        r.target = std::string(req.target());
        r.path = DecodeTarget(r.target);
        r.userAgent = std::string(req[http::field::user_agent]);
        r.connection = std::string(req[http::field::connection]);
        r.contentType = std::string(req[http::field::content_type]);
        r.cookie = std::string(req[http::field::cookie]);
        r.authorization = std::string(req[http::field::authorization]);
        r.connectionId = c.id;
        const bool keepAlive = req.keep_alive();
        const bool head = req.method() == http::verb::head;

        std::string extraHeaders;
        std::string body;
        fs::path file;
        unsigned status = 200;
        if (!config.password.empty() &&
            req[http::field::authorization] != "Basic " + Base64("client:" + config.password)) {
            status = 401;
            extraHeaders = "WWW-Authenticate: Basic realm=\"standin\"\r\n";
            body = "authentication required\n";
        } else if (req.method() == http::verb::post) {
            // Crash reports and any other form: kept in the log and, when asked, in a file.
            r.body = req.body();
            body = "received\n";
            StorePost(r);
        } else if (req.method() != http::verb::get && !head) {
            status = 405;
            body = "method not allowed\n";
        } else if (r.path.size() > 1 && !(file = Resolve(config.root, r.path)).empty()) {
            status = 200;
        } else if (Lower(r.path) == "/download_servers.xml") {
            body = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<downloadServers>\n  <downloadServer>" + BaseUrl() +
                   "</downloadServer>\n</downloadServers>\n";
        } else {
            status = 404;
            body = "not found\n";
        }

        Fault fault = status == 200 ? FaultFor(r.path) : Fault();
        if (fault.kind == FaultKind::kStatus) status = fault.status;
        if (fault.kind == FaultKind::kRedirect) {
            status = fault.status != 0 ? fault.status : 302;
            extraHeaders = "Location: " + fault.location + "\r\n";
            file.clear();
            body = "moved\n";
        }
        r.status = status;
        Record(r);

        std::error_code fec;
        const std::uint64_t fileSize = file.empty() ? 0 : fs::file_size(file, fec);
        std::uint64_t length = file.empty() ? body.size() : fileSize;
        if (fault.kind == FaultKind::kExtraBytes) length += fault.extra;
        const bool noBody = status == 204 || status == 304;

        std::string headers = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
        headers += "Server: standin-server\r\n";
        if (!noBody) headers += "Content-Length: " + std::to_string(length) + "\r\n";
        headers += "Content-Type: " + (file.empty() ? std::string("text/plain") : ContentTypeOf(file)) + "\r\n";
        headers += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
        headers += extraHeaders + "\r\n";
        asio::write(stream, asio::buffer(headers));
        if (head || noBody) return keepAlive;

        // The body, with the fault applied to the bytes in flight.
        const std::uint64_t half = length / 2;
        std::uint64_t sent = 0;
        int fd = -1;
        if (!file.empty()) {
            fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) return false;
        }
        struct FdCloser {
            int fd;
            ~FdCloser() {
                if (fd >= 0) ::close(fd);
            }
        } closer{fd};
        std::vector<char> chunk(fault.kind == FaultKind::kSlowBody ? fault.chunk : 1 << 20);
        const std::uint64_t contentSize = file.empty() ? body.size() : fileSize;
        std::uint64_t limit = length;
        if (fault.kind == FaultKind::kTruncate || fault.kind == FaultKind::kStall || fault.kind == FaultKind::kReset)
            limit = half;
        while (sent < limit) {
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), limit - sent));
            if (sent < contentSize) {
                n = static_cast<std::size_t>(std::min<std::uint64_t>(n, contentSize - sent));
                if (fd >= 0) {
                    const ssize_t got = ::pread(fd, chunk.data(), n, static_cast<off_t>(sent));
                    if (got <= 0) return false;
                    n = static_cast<std::size_t>(got);
                } else {
                    std::copy_n(body.data() + sent, n, chunk.data());
                }
                if (fault.kind == FaultKind::kFlipByte && contentSize / 2 >= sent && contentSize / 2 < sent + n)
                    chunk[contentSize / 2 - sent] = static_cast<char>(~chunk[contentSize / 2 - sent]);
            } else {
                std::fill_n(chunk.data(), n, 'X');
            }
            asio::write(stream, asio::buffer(chunk.data(), n));
            sent += n;
            if (fault.kind == FaultKind::kSlowBody && sent < limit && !Pause(fault.intervalMs)) return false;
        }
        switch (fault.kind) {
            case FaultKind::kTruncate: CloseConnection(c, false); return false;
            case FaultKind::kReset: CloseConnection(c, true); return false;
            case FaultKind::kStall: {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return stopping; });
                return false;
            }
            default: return keepAlive;
        }
    }
};

HttpServer::HttpServer(ServerConfig config) : impl_(std::make_unique<Impl>()) { impl_->config = std::move(config); }

HttpServer::~HttpServer() { Stop(); }

void HttpServer::Start() {
    Impl& d = *impl_;
    if (!d.config.tlsCertificate.empty()) {
        d.tls = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
        d.tls->use_certificate_chain_file(d.config.tlsCertificate);
        d.tls->use_private_key_file(d.config.tlsKey, asio::ssl::context::pem);
    }
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(d.config.address, ec);
    if (ec || !address.is_loopback()) throw std::runtime_error("the stand-in listens only on a loopback address");
    const tcp::endpoint endpoint(address, d.config.port);
    d.acceptor.open(endpoint.protocol());
    d.acceptor.set_option(asio::socket_base::reuse_address(true));
    d.acceptor.bind(endpoint, ec);
    if (ec) throw std::runtime_error("cannot bind " + d.config.address + ":" + std::to_string(d.config.port) + ": " +
                                     ec.message());
    d.acceptor.listen();
    d.port = d.acceptor.local_endpoint().port();
    d.acceptThread = std::thread([&d] { d.AcceptLoop(); });
}

void HttpServer::Stop() {
    Impl& d = *impl_;
    {
        std::lock_guard lock(d.mutex);
        if (d.stopping) return;
        d.stopping = true;
        for (auto& c : d.connections)
            if (!c.closed) ::shutdown(c.fd, SHUT_RDWR);
    }
    d.wake.notify_all();
    if (d.acceptThread.joinable()) {
        ::shutdown(d.acceptor.native_handle(), SHUT_RDWR);
        d.acceptThread.join();
    }
    boost::system::error_code ec;
    d.acceptor.close(ec);
    // No new connection can appear now; the list is only read.
    for (auto& c : d.connections)
        if (c.thread.joinable()) c.thread.join();
    d.connections.clear();
}

std::uint16_t HttpServer::Port() const { return impl_->port; }
std::string HttpServer::BaseUrl() const { return impl_->BaseUrl(); }

void HttpServer::SetFault(const std::string& path, const Fault& fault) {
    std::lock_guard lock(impl_->mutex);
    impl_->faults[path] = fault;
}

void HttpServer::ClearFaults() {
    std::lock_guard lock(impl_->mutex);
    impl_->faults.clear();
}

std::vector<RequestRecord> HttpServer::RequestLog() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->log;
}

void HttpServer::ClearLog() {
    std::lock_guard lock(impl_->mutex);
    impl_->log.clear();
}

}  // namespace Standin
