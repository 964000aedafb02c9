#pragma once
// Vel::DownloadManager: the list of content servers, one open HTTP connection per download
// thread to the current server, and the fetch of one content file with its size and CRC-32
// checked.
//
// Contract:
// - The server list is loaded once, on first need: the servers named by
//   "download_servers.xml" below the update base URL (each URL trimmed; at most
//   kMaxDownloadServers), else, when that fetch fails or names no server, the one fallback
//   server (the download base URL, user "client", the stored download password). A missing
//   password is announced once, posted to the GUI thread's dispatcher (shown directly when
//   there is none), never while the manager lock is held; the fallback is used all the same.
// - A content server whose URL says "https" is asked over TLS, its certificate checked as
//   for every other request (HttpClient.h: the system's authorities, SSL_CERT_FILE and
//   SSL_CERT_DIR), on port 443 unless the URL gives one; any other is asked over plain HTTP,
//   on port 80 unless the URL gives one. The request is scheme + "://" + host + ":" + port +
//   the server URL's path + the request path, sent in absolute form to that host and port.
//   Redirects are followed as HttpHandles follows them for an absolute target (each to a
//   target of its own, at most kMaxHttpRedirects, http to http or https, https only to
//   https, the credentials only to the same host); the size limit and the CRC-32 check apply
//   to the file that finally arrives. A server URL that does not parse is a
//   Vel::NetworkException of that server.
// - Every transfer failure is a Vel::NetworkException (the request object or server path, and
//   "", "Invalid response code: N", "size_mismatch", "CRC_mismatch" or, for a server
//   certificate that could not be verified, CertificateErrorText naming the host; a passed
//   redirect limit adds " (" + RedirectLimitText() + ")" to the status text). A body that grows past
//   the expected size is refused as soon as it does ("size_mismatch"). Bytes counted into a
//   job's progress by a failed attempt are taken back exactly once.
// - Any thread may call. One manager lock (a VelMutex) guards the list, the index and the
//   connection map; it is held while the list loads (including its HTTP fetch) and while a
//   connection is looked up or made. Requests run outside it on the calling thread's own
//   connection (DownloadFile takes its stream from the body buffer pool, whose own lock is
//   never held with this one); a connection dropped by ResetServers, NextServer or ReleaseConnections stays
//   alive for a request still running on it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "delivery/net/HttpClient.h"
#include "delivery/jobs/ThreadJob.h"
#include "foundation/data/MemoryStream.h"
#include "foundation/threads/Mutex.h"
#include "foundation/runtime/VelURI.h"

namespace Vel {

struct DownloadServer {
    std::string url;
    std::string userName;
    std::string password;
};

inline constexpr std::size_t kMaxDownloadServers = 256;

class DownloadManager {
public:
    // One open connection to one content server; used by one thread at a time.
    static constexpr std::int32_t kDefaultTimeoutMs = 30000;

    class HttpConnection {
    public:
        // Throws Vel::NetworkException (the URL, "") when the URL does not parse or no session
        // can be opened.
        explicit HttpConnection(const DownloadServer& server);
        HttpConnection(const HttpConnection&) = delete;
        HttpConnection& operator=(const HttpConnection&) = delete;

        // Fetches the path (raw elements separated by "/", each percent-encoded on the way
        // out) into a new stream; a body longer than sizeLimit is refused with "size_mismatch".
        // With a job: its abort ends the transfer, and received bytes count into its progress
        // (taken back again when Get throws). stop, when given, ends the transfer as an abort
        // does (the caller's shutdown).
        std::shared_ptr<VelMemoryStream> Get(const std::string& path, const std::shared_ptr<ThreadJob>& job,
                                             std::uint32_t sizeLimit, const std::function<bool()>& stop = {});
        // As Get, into the caller's stream (appended at its position, which should leave room
        // for sizeLimit bytes so that it never grows); returns the CRC-32 of the body, taken
        // piece by piece as the bytes arrive. The stream's content is unspecified on a throw.
        std::uint32_t Fetch(const std::string& path, VelMemoryStream& into, const std::shared_ptr<ThreadJob>& job,
                            std::uint32_t sizeLimit, const std::function<bool()>& stop = {});

        // The request object Get sends for the path.
        std::string MakeObject(const std::string& path) const;
        const std::string& GetUrl() const noexcept { return url_; }
        // Connect time-out and idle limit of the requests (HttpRequestOptions::timeoutMs).
        void SetTimeout(std::int32_t milliseconds) noexcept { timeoutMs_ = milliseconds; }

    private:
        std::int32_t timeoutMs_ = kDefaultTimeoutMs;
        HttpHandles handles_;
        std::string url_;
        VelURI base_;
        std::string origin_;  // "http://host:port" or "https://host:port"
    };

    // The default announces the missing password on the GUI thread (see the contract).
    DownloadManager();
    explicit DownloadManager(std::function<void()> missingPasswordNotice);
    DownloadManager(const DownloadManager&) = delete;
    DownloadManager& operator=(const DownloadManager&) = delete;

    void LoadDownloadServers();
    void GetDownloadServers(std::vector<DownloadServer>& out);
    // The calling thread's connection to the current server (list[index mod size]).
    std::shared_ptr<HttpConnection> GetConnection();
    // Drops every connection; back to the first server.
    void ResetServers();
    // Drops every connection and moves on; false once every server has been tried.
    bool NextServer();
    void ReleaseConnections();

    // Fetches a content file (its name, "_" and the decimal CRC-32 of its stored form) and
    // checks its length, then its CRC-32 (taken as the bytes arrive; the body is not read
    // again). The stream comes from the body buffer pool, sized once for expectedStoredSize;
    // its block goes back there when the last holder lets it go.
    // stop, when given, ends a running transfer as the job's abort does.
    std::shared_ptr<VelMemoryStream> DownloadFile(const std::string& path, std::uint32_t expectedStoredSize,
                                                  std::uint32_t expectedStoredCrc,
                                                  const std::shared_ptr<ThreadJob>& job,
                                                  const std::function<bool()>& stop = {});

    // The connect time-out and idle limit of the connections made from now on (default 30 s);
    // tests shorten it so that a stalled server fails fast.
    void SetRequestTimeout(std::int32_t milliseconds) noexcept { timeoutMs_.store(milliseconds); }

private:
    // Fills the list; true when the missing-password notice is due. Lock held.
    bool LoadLocked();

    VelMutex mutex_{"DownloadManager"};
    std::vector<DownloadServer> servers_;
    std::uint32_t index_ = 0;
    std::map<std::uint64_t, std::shared_ptr<HttpConnection>> connections_;
    std::function<void()> missingPasswordNotice_;
    std::atomic<std::int32_t> timeoutMs_{kDefaultTimeoutMs};
};

// The process-wide manager.
DownloadManager& GetDownloadManager();

inline constexpr const char* kMissingDownloadPasswordText =
    "No download password set.\nUse 'download.setPassword' to set one.";

}  // namespace Vel
