#pragma once
// A small synchronous HTTP and HTTPS client over libcurl.
//
// Contract:
// - One HttpHandles object holds one curl easy handle (and its connection cache); it is used
//   by one thread at a time. The one-shot functions make their own.
// - The response body reaches the sink in pieces as it arrives, whatever the status; the
//   request succeeds only when the whole exchange worked and the status is 200 to 299,
//   judged after the body. A sink that returns false stops the transfer and fails it.
// - timeoutMs is a connect time-out and an idle limit (no bytes moving for that long); it
//   never limits a transfer that keeps moving. 0 leaves curl's own connect time-out and no
//   idle limit.
// - Certificates are checked unless the options allow unknown CAs or wrong names and dates,
//   against the trusted authorities as OpenSSL finds them: caFile when set, else the file
//   named by SSL_CERT_FILE, else the system bundle; and the folder named by SSL_CERT_DIR
//   (folders separated by ":"), else the system's folder. An empty or unset variable means
//   the system's; like OpenSSL, a set-user-ID or set-group-ID process ignores both. The
//   same rules hold for a request that a redirect takes from http to https.
// - Redirects are followed, at most kMaxHttpRedirects of them, to the same scheme or from
//   http up to https, never from https down to http, whichever way the request is sent. A
//   request object that is a path has them followed by curl, which sends the credentials
//   only to the same host, port and scheme. One in absolute form goes out in that form only
//   once: each redirect (301, 302, 303, 307, 308 with a Location) is resolved against the
//   URL it answered and asked for from its own host and port; the user name and password go
//   only to the host given to Connect. The body of a redirect that is followed never reaches
//   the sink. One that cannot be followed (too many, the wrong scheme, a Location that does
//   not parse) fails the request with 12156 and leaves its status readable;
//   RedirectLimitPassed tells the first of these (in either way of following) from the
//   others.
// - A request object is a path ("/" is put in front when missing) or a URL in absolute form
//   ("http://host:port/path"). The absolute form is sent as it stands as the request target,
//   to the host and port given to Connect; one holding white space or control characters is
//   refused.
// - The abort check is polled while the transfer runs (at least every 50 ms): a transfer
//   that is asked to abort returns at once.
// - No exception crosses a curl callback: one thrown by the sink is kept and rethrown from
//   the call that ran the transfer, after the transfer has ended.
// - On failure the thread's last system error holds a network code (12000-12174, texts in
//   platform/NetworkErrors.h); a bad status leaves it untouched.
// - SetMaxConnectionsPerServer limits the transfers running at once per host and port
//   across all objects of the process (guarded by one process-wide mutex); 0, the start
//   value, is no limit.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "foundation/runtime/VelURI.h"

using HttpBodySink = std::function<bool(const char* data, std::size_t count)>;

struct HttpRequestOptions {
    std::map<std::string, std::string> headers;
    // Subject text of a client certificate in ClientCertificateFolder(); empty: none.
    std::string clientCertificate;
    std::int32_t timeoutMs = 30000;
    bool ignoreRevocation = true;
    std::string userName;
    std::string password;
    bool ignoreCertNameAndDate = false;
    // Accept a certificate from an authority the trust store does not know.
    bool ignoreUnknownCA = false;
    // A PEM file of trusted authorities used in place of the system's; empty: the system's.
    std::string caFile;
    // Polled while the transfer runs; true aborts it (last error 12017).
    std::function<bool()> isAborted;
};

// How many redirects one request follows, whichever way it is sent.
inline constexpr long kMaxHttpRedirects = 10;

// How an exchange ended, for the texts that tell the player why it failed.
struct HttpExchange {
    bool sent = false;                 // the request went out
    unsigned status = 0;               // the status of the last answer; 0 when none came
    bool redirectLimitPassed = false;  // an answer asked for more than kMaxHttpRedirects redirects
    unsigned error = 0;                // the network code of a failed transfer; 0 when none
    std::string host;                  // the host of the last request (after redirects)
};

// "redirect limit passed: more than 10 redirects".
std::string RedirectLimitText();
// True for the network codes of a server certificate that could not be verified (unknown
// authority, expired or not yet valid, issued for another name, revoked).
bool IsCertificateError(unsigned code);
// "The certificate of <host> could not be verified: " + why, for such a code; "" otherwise.
std::string CertificateErrorText(unsigned code, const std::string& host);
// Why an exchange failed: "HTTP 500"; "HTTP 307, " + RedirectLimitText() when the redirect
// limit was passed; CertificateErrorText when the server's certificate was not accepted.
// "" otherwise (the failure was then the transfer's, told by the last error).
std::string HttpFailureText(const HttpExchange& exchange);

enum class HttpMethod : int { kGet = 0, kPost = 1, kDelete = 2, kPut = 3 };

// The verb of the method table; "" for a value outside it.
std::string HttpVerb(HttpMethod method);

// "Corvane/" + the application environment's version text (the installed client's, else
// our own), fixed at the first request of the process.
std::string HttpUserAgent();

// Where client certificates are looked for: $XDG_CONFIG_HOME (else ~/.config) +
// "/trailstarter/certificates/". Each "*.pem" file there holds a certificate and its key.
std::string ClientCertificateFolder();
// The first file (in name order) in folder whose certificate's subject contains the text;
// "" when none.
std::string FindClientCertificate(const std::string& folder, const std::string& subjectText);

// Limits concurrent transfers per host and port across the process; true.
bool SetMaxConnectionsPerServer(unsigned n);

// libcurl's version as four numbers joined by dots ("7.88.1.0"); false when unknown.
bool GetHttpLibraryVersion(std::string& versionText);

class HttpHandles {
public:
    HttpHandles();
    ~HttpHandles();
    HttpHandles(const HttpHandles&) = delete;
    HttpHandles& operator=(const HttpHandles&) = delete;

    bool OpenSession();
    // Where the next requests go (https when secure).
    bool Connect(const std::string& host, std::uint16_t port, const std::string& user, const std::string& password,
                 bool secure);
    bool OpenRequest(const std::string& verb, const std::string& object);
    // Prepares the request; the exchange itself runs in ReadBody. False when the options
    // cannot be honoured (no such client certificate).
    bool Send(const std::string& body, const HttpRequestOptions& options);
    // Runs the exchange, handing the body to the sink.
    bool ReadBody(const HttpBodySink& sink);
    bool CloseRequest();
    void CloseAll();

    // True once the request went out in the last exchange.
    bool WasSent() const noexcept { return sent_; }
    unsigned GetStatusCode() const noexcept { return status_; }
    bool IsStatusSuccess() const noexcept { return status_ >= 200 && status_ <= 299; }
    // True when the last exchange failed because an answer asked for one redirect too many.
    bool RedirectLimitPassed() const noexcept { return redirectLimitPassed_; }
    // The network code the last exchange failed with; 0 when it ran to an answer (whatever its
    // status).
    unsigned GetFailureCode() const noexcept { return failure_; }
    // The host the last exchange asked last (a redirect's when one was followed).
    const std::string& LastHost() const noexcept { return lastHost_; }

private:
    void Fail(unsigned code);

    struct Impl;
    std::unique_ptr<Impl> impl_;
    bool sent_ = false;
    unsigned status_ = 0;
    bool redirectLimitPassed_ = false;
    unsigned failure_ = 0;
    std::string lastHost_;
};

bool HttpRequest(const VelURI& uri, const std::string& body, const HttpBodySink& sink,
                 const HttpRequestOptions& options, bool& sent, HttpMethod method);
bool HttpRequest(const VelURI& uri, const std::string& body, const HttpBodySink& sink,
                 const HttpRequestOptions& options, HttpExchange& exchange, HttpMethod method);
bool HttpGet(const VelURI& uri, const HttpBodySink& sink, const HttpRequestOptions& options, bool& sent);
bool HttpGet(const VelURI& uri, const HttpBodySink& sink, const HttpRequestOptions& options, HttpExchange& exchange);

// The string forms gather at most this much; a longer body fails the request.
inline constexpr std::size_t kHttpStringLimit = 16u * 1024 * 1024;

bool HttpGetToString(const VelURI& uri, std::string& text, bool& sent,
                     const HttpRequestOptions& options = HttpRequestOptions());
bool HttpGetToString(const VelURI& uri, std::string& text, HttpExchange& exchange,
                     const HttpRequestOptions& options = HttpRequestOptions());
bool HttpPostToString(const VelURI& uri, const std::string& body, std::string& text,
                      const HttpRequestOptions& options, bool& sent);
