#pragma once
// The stand-in update and content server: serves a folder tree over HTTP/1.1 (optionally
// TLS) on 127.0.0.1, for tests, scripts and the demo.
//
// Contract:
// - Answers GET (and HEAD) for any file below the root: the client file list, update
//   packages, "download_servers.xml" and content files under "/dynamic_content". The target
//   may be in origin form or absolute form ("http://host:port/path"); "\" counts as "/";
//   the path is percent-decoded; ".." elements are refused (404). A path element that does
//   not exist with its case is looked up without regard to case.
// - Files ending in ".xml" are sent as "application/xml" and ".html"/".htm" as "text/html", so
//   that a browser shows the terms pages; all other files as "application/octet-stream".
// - When the root holds no "download_servers.xml", that request is answered with a list
//   naming this server.
// - Keep-alive as HTTP/1.1 says; with a password set, every request needs Basic
//   authentication for the user "client" (else 401).
// - Faults per decoded path (or "*" for every path) change how the answer is sent.
// - POST to any path is answered 200 (or as its fault says) and recorded with its body,
//   Content-Type and Cookie; with a post folder set, each body is also stored there as a file
//   (the crash reports of the demo).
// - A folder is served by its "index.html" (the news pages, "/(en)/trailstarter/").
// - Every request is recorded (RequestLog) and, when a log stream is given, written there as
//   one line.
// - Start binds and returns; Port is known after it. Each connection has its own thread.
//   Stop (also the destructor) ends the acceptor, wakes stalls, shuts every connection down
//   and joins all threads. All public members may be called from any thread; one mutex
//   guards the faults, the log and the connection list.

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace Standin {

enum class FaultKind {
    kNone,
    kStatus,      // answer with `status` (the file's body, or a short text, still sent)
    kTruncate,    // announce the full length, send half the body, close
    kFlipByte,    // invert the middle byte of the body
    kExtraBytes,  // append `extra` bytes (counted in the length)
    kStall,       // send the headers and half the body, then nothing until Stop
    kSlowBody,    // send `chunk` bytes every `intervalMs`
    kReset,       // send the headers and half the body, then reset the connection
    kRedirect,    // answer with `status` (302 when 0) and a Location header of `location`
};

struct Fault {
    FaultKind kind = FaultKind::kNone;
    unsigned status = 0;
    std::size_t extra = 16;
    std::size_t chunk = 64;
    unsigned intervalMs = 20;
    std::string location{};  // of a redirect, sent as it stands
    // 0: every request; otherwise only the next `times` requests it matches, after which it
    // is spent and removed (a fault that passes).
    unsigned times = 0;
};

// "404", "500", "status:299", "truncate", "flip", "extra[:N]", "stall", "slow[:CHUNK:MS]",
// "reset"; false for anything else.
bool ParseFault(const std::string& text, Fault& fault);

struct RequestRecord {
    std::string method;
    std::string target;      // as the client sent it
    std::string path;        // decoded path
    std::string userAgent;
    std::string connection;  // the Connection header
    std::string contentType;
    std::string cookie;
    std::string authorization;  // the Authorization header
    std::string body;        // of a POST
    unsigned connectionId = 0;
    unsigned status = 0;
};

struct ServerConfig {
    std::string root;
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;
    std::string password;  // Basic authentication for "client" when not empty
    std::string tlsCertificate;  // PEM chain; TLS when set
    std::string tlsKey;          // PEM key
    std::ostream* log = nullptr;
    std::string postFolder;  // POST bodies are stored here when set
};

class HttpServer {
public:
    explicit HttpServer(ServerConfig config);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Binds and starts accepting; throws std::runtime_error when it cannot.
    void Start();
    void Stop();

    std::uint16_t Port() const;
    // "http://127.0.0.1:PORT/" (https with TLS).
    std::string BaseUrl() const;

    void SetFault(const std::string& path, const Fault& fault);
    void ClearFaults();
    std::vector<RequestRecord> RequestLog() const;
    void ClearLog();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace Standin
