#include "delivery/net/HttpClient.h"

#include <curl/curl.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <mutex>
#include <vector>

#include "foundation/core/AppEnvironment.h"
#include "foundation/time/Clock.h"
#include "platform/LastError.h"
#include "platform/NetworkErrors.h"

using namespace Vel::Platform;

namespace {

// ---- process-wide state -----------------------------------------------------------------

std::once_flag g_curlInit;
void EnsureCurl() {
    std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::mutex g_agentMutex;
std::string g_agent;

// Per-host transfer slots.
std::mutex g_slotMutex;
std::condition_variable g_slotFreed;
unsigned g_maxPerServer = 0;
std::map<std::string, unsigned> g_running;

class HostSlot {
public:
    // Waits for a free slot, polling the abort check; false when aborted.
    bool Acquire(const std::string& key, const std::function<bool()>& isAborted) {
        std::unique_lock lock(g_slotMutex);
        while (g_maxPerServer != 0 && g_running[key] >= g_maxPerServer) {
            if (isAborted && isAborted()) return false;
            g_slotFreed.wait_for(lock, std::chrono::milliseconds(50));
        }
        ++g_running[key];
        key_ = key;
        held_ = true;
        return true;
    }
    ~HostSlot() {
        if (!held_) return;
        {
            std::lock_guard lock(g_slotMutex);
            if (--g_running[key_] == 0) g_running.erase(key_);
        }
        g_slotFreed.notify_all();
    }

private:
    std::string key_;
    bool held_ = false;
};

unsigned CodeForCurl(CURLcode rc, long verifyResult, int osErrno) {
    switch (rc) {
        case CURLE_OPERATION_TIMEDOUT: return kNetTimeout;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY: return kNetNameNotResolved;
        case CURLE_COULDNT_CONNECT: return kNetCannotConnect;
        case CURLE_UNSUPPORTED_PROTOCOL: return kNetUnrecognizedScheme;
        case CURLE_URL_MALFORMAT: return kNetInvalidUrl;
        case CURLE_TOO_MANY_REDIRECTS: return kNetRedirectFailed;
        case CURLE_GOT_NOTHING:
        case CURLE_WEIRD_SERVER_REPLY: return kNetInvalidServerResponse;
        case CURLE_PARTIAL_FILE: return kNetConnectionAborted;
        case CURLE_SEND_ERROR:
        case CURLE_RECV_ERROR: return osErrno == ECONNRESET || osErrno == EPIPE ? kNetConnectionReset : kNetConnectionAborted;
        case CURLE_PEER_FAILED_VERIFICATION:
            switch (verifyResult) {
                case X509_V_OK:
                case X509_V_ERR_UNSPECIFIED:  // curl's own host name check
                case X509_V_ERR_HOSTNAME_MISMATCH: return kNetSecureCertCnInvalid;
                case X509_V_ERR_CERT_HAS_EXPIRED:
                case X509_V_ERR_CERT_NOT_YET_VALID: return kNetSecureCertDateInvalid;
                case X509_V_ERR_CERT_REVOKED: return kNetSecureCertRevoked;
                case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
                case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
                case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
                case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
                case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE: return kNetSecureInvalidCA;
                default: return kNetSecureFailure;
            }
        case CURLE_SSL_CERTPROBLEM: return kNetClientAuthCertNeeded;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_CIPHER: return kNetSecureFailure;
        case CURLE_ABORTED_BY_CALLBACK:
        case CURLE_WRITE_ERROR: return kNetOperationCancelled;
        default: return kNetInternalError;
    }
}

// A request object in absolute form ("http://host:port/path").
bool IsAbsoluteTarget(const std::string& object) {
    return object.rfind("http://", 0) == 0 || object.rfind("https://", 0) == 0;
}

bool SameHeaderName(const std::string& a, const char* b) {
    const std::size_t n = std::char_traits<char>::length(b);
    if (a.size() != n) return false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

}  // namespace

// ---- free functions ---------------------------------------------------------------------

std::string HttpVerb(HttpMethod method) {
    switch (method) {
        case HttpMethod::kGet: return "GET";
        case HttpMethod::kPost: return "POST";
        case HttpMethod::kDelete: return "DELETE";
        case HttpMethod::kPut: return "PUT";
    }
    return {};
}

std::string HttpUserAgent() {
    std::lock_guard lock(g_agentMutex);
    if (g_agent.empty()) {
        std::string version = Vel::GetVersionString();
        if (version.empty()) version = Vel::GetTrailstarterVersion();
        g_agent = "Corvane/";
        g_agent += version;
    }
    return g_agent;
}

std::string ClientCertificateFolder() {
    const char* config = ::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (config && *config) {
        base = config;
    } else {
        const char* home = ::getenv("HOME");
        if (!home || !*home) return {};
        base = std::string(home) + "/.config";
    }
    return base + "/trailstarter/certificates/";
}

std::string FindClientCertificate(const std::string& folder, const std::string& subjectText) {
    if (subjectText.empty() || folder.empty()) return {};
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        if (it->path().extension() == ".pem") files.push_back(it->path());
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
        FILE* f = std::fopen(file.c_str(), "rb");
        if (!f) continue;
        X509* cert = PEM_read_X509(f, nullptr, nullptr, nullptr);
        std::fclose(f);
        if (!cert) continue;
        char* subject = X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0);
        const bool match = subject && std::string(subject).find(subjectText) != std::string::npos;
        OPENSSL_free(subject);
        X509_free(cert);
        if (match) return file.string();
    }
    return {};
}

std::string RedirectLimitText() {
    return "redirect limit passed: more than " + std::to_string(kMaxHttpRedirects) + " redirects";
}

bool IsCertificateError(unsigned code) {
    return code == kNetSecureInvalidCA || code == kNetSecureCertDateInvalid || code == kNetSecureCertCnInvalid ||
           code == kNetSecureCertRevoked;
}

std::string CertificateErrorText(unsigned code, const std::string& host) {
    const char* why = nullptr;
    switch (code) {
        case kNetSecureInvalidCA: why = "it was not issued by a trusted certificate authority"; break;
        case kNetSecureCertDateInvalid: why = "it has expired or is not yet valid"; break;
        case kNetSecureCertCnInvalid: why = "it was issued for another host name"; break;
        case kNetSecureCertRevoked: why = "it has been revoked"; break;
        default: return {};
    }
    return "The certificate of " + host + " could not be verified: " + why;
}

std::string HttpFailureText(const HttpExchange& exchange) {
    if (IsCertificateError(exchange.error)) return CertificateErrorText(exchange.error, exchange.host);
    if (exchange.status == 0 || (exchange.status >= 200 && exchange.status <= 299)) return {};
    std::string text = "HTTP " + std::to_string(exchange.status);
    if (exchange.redirectLimitPassed) text += ", " + RedirectLimitText();
    return text;
}

bool SetMaxConnectionsPerServer(unsigned n) {
    {
        std::lock_guard lock(g_slotMutex);
        g_maxPerServer = n;
    }
    g_slotFreed.notify_all();
    return true;
}

bool GetHttpLibraryVersion(std::string& versionText) {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    if (!info) return false;
    const unsigned v = info->version_num;
    versionText = std::to_string((v >> 16) & 0xFF) + "." + std::to_string((v >> 8) & 0xFF) + "." +
                  std::to_string(v & 0xFF) + ".0";
    return true;
}

namespace {

// One request of an exchange: the first, or one that follows a redirect.
struct Hop {
    std::string url;     // what curl connects to (and, without a target, asks for)
    std::string target;  // the request target in absolute form; empty: the URL's own
    std::string base;    // what a relative Location is resolved against
    std::string verb;
    bool withBody = true;
    bool secure = false;
    bool credentials = true;
};

std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string BareHost(std::string host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    return LowerAscii(host);
}

// The Location of a redirect that the last response of e asks to follow; empty when it is
// no such redirect.
std::string FollowableLocation(CURL* e) {
    long status = 0;
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
    if (status != 301 && status != 302 && status != 303 && status != 307 && status != 308) return {};
    curl_header* location = nullptr;
    if (curl_easy_header(e, "Location", 0, CURLH_HEADER, -1, &location) != CURLHE_OK || !location ||
        !location->value)
        return {};
    return location->value;
}

// The host of a URL; "" when it does not parse.
std::string HostOf(const char* url) {
    std::string result;
    CURLU* u = url ? curl_url() : nullptr;
    if (!u) return result;
    char* host = nullptr;
    if (curl_url_set(u, CURLUPART_URL, url, 0) == CURLUE_OK && curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK)
        result = BareHost(host);
    curl_free(host);
    curl_url_cleanup(u);
    return result;
}

// A trust-store variable as OpenSSL reads it: ignored in a set-user-ID or set-group-ID
// process; an empty value counts as unset. Null when not to be used.
const char* TrustVariable(const char* name) {
    const char* value = ::secure_getenv(name);
    return value && *value ? value : nullptr;
}

// The request that follows a redirect from `from` (answered with status) to location; false
// when the location does not parse or leaves http and https the wrong way.
bool NextHop(const Hop& from, long status, const std::string& location, const std::string& originalHost,
             Hop& next) {
    CURLU* u = curl_url();
    if (!u) return false;
    bool ok = curl_url_set(u, CURLUPART_URL, from.base.c_str(), 0) == CURLUE_OK &&
              curl_url_set(u, CURLUPART_URL, location.c_str(), CURLU_URLENCODE | CURLU_ALLOW_SPACE) == CURLUE_OK;
    char *url = nullptr, *scheme = nullptr, *host = nullptr;
    ok = ok && curl_url_get(u, CURLUPART_URL, &url, 0) == CURLUE_OK &&
         curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK &&
         curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK;
    if (ok) {
        const std::string to = LowerAscii(scheme);
        // The same scheme, or up from http to https; never down to plain http.
        ok = to == "https" || (to == "http" && !from.secure);
        next.url = url;
        next.target.clear();
        next.base = url;
        next.secure = to == "https";
        next.credentials = BareHost(host) == BareHost(originalHost);
        next.verb = from.verb;
        next.withBody = from.withBody;
        if ((status == 303 && from.verb != "HEAD") || ((status == 301 || status == 302) && from.verb == "POST")) {
            next.verb = "GET";
            next.withBody = false;
        }
    }
    curl_free(url);
    curl_free(scheme);
    curl_free(host);
    curl_url_cleanup(u);
    return ok;
}

}  // namespace

// ---- HttpHandles ------------------------------------------------------------------------

struct HttpHandles::Impl {
    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    std::string host;
    std::uint16_t port = 0;
    std::string user, password;
    bool secure = false;
    std::string verb, object;
    bool prepared = false;
    std::string body;
    HttpRequestOptions options;
    std::string certificateFile;

    // State of one transfer, read by the callbacks.
    const HttpBodySink* sink = nullptr;
    std::exception_ptr sinkError;
    bool sinkRefused = false;
    bool aborted = false;
    bool idleTripped = false;
    curl_off_t lastDown = -1, lastUp = -1;
    Vel::MonoTime lastActivity;

    // Set for requests whose redirects are followed here rather than by curl: the body of a
    // redirect is then not the answer and is passed over. -1 until the first piece of a
    // response tells.
    bool skipRedirectBody = false;
    int redirectBody = -1;

    // Runs one request and its response; curl follows the redirects when followInCurl.
    CURLcode Transfer(const Hop& hop, const HttpBodySink& bodySink, bool followInCurl);

    static std::size_t OnWrite(char* data, std::size_t size, std::size_t n, void* self) {
        auto* impl = static_cast<Impl*>(self);
        const std::size_t count = size * n;
        if (impl->skipRedirectBody) {
            if (impl->redirectBody < 0) impl->redirectBody = FollowableLocation(impl->easy).empty() ? 0 : 1;
            if (impl->redirectBody == 1) return count;
        }
        try {
            if (!(*impl->sink)(data, count)) {
                impl->sinkRefused = true;
                return 0;
            }
        } catch (...) {
            impl->sinkError = std::current_exception();
            return 0;
        }
        return count;
    }

    static int OnProgress(void* self, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
        auto* impl = static_cast<Impl*>(self);
        return impl->Check(dlnow, ulnow) ? 0 : 1;
    }

    // False stops the transfer.
    bool Check(curl_off_t down, curl_off_t up) {
        try {
            if (options.isAborted && options.isAborted()) {
                aborted = true;
                return false;
            }
        } catch (...) {
            sinkError = std::current_exception();
            return false;
        }
        const auto now = Vel::DefaultClock().Now();
        if (down != lastDown || up != lastUp) {
            lastDown = down;
            lastUp = up;
            lastActivity = now;
        } else if (options.timeoutMs > 0 && now - lastActivity > std::chrono::milliseconds(options.timeoutMs)) {
            idleTripped = true;
            return false;
        }
        return true;
    }

    void Reset() {
        if (multi && easy) curl_multi_remove_handle(multi, easy);
        if (easy) curl_easy_cleanup(easy);
        if (multi) curl_multi_cleanup(multi);
        easy = nullptr;
        multi = nullptr;
    }
};

HttpHandles::HttpHandles() : impl_(std::make_unique<Impl>()) {}

void HttpHandles::Fail(unsigned code) {
    failure_ = code;
    SetLastError(code);
}
HttpHandles::~HttpHandles() { CloseAll(); }

bool HttpHandles::OpenSession() {
    EnsureCurl();
    if (!impl_->easy) impl_->easy = curl_easy_init();
    if (!impl_->multi) impl_->multi = curl_multi_init();
    if (!impl_->easy || !impl_->multi) {
        impl_->Reset();
        SetLastError(kNetInternalError);
        return false;
    }
    return true;
}

bool HttpHandles::Connect(const std::string& host, std::uint16_t port, const std::string& user,
                          const std::string& password, bool secure) {
    CloseRequest();
    impl_->host = host;
    impl_->port = port;
    impl_->user = user;
    impl_->password = password;
    impl_->secure = secure;
    return impl_->easy != nullptr || OpenSession();
}

bool HttpHandles::OpenRequest(const std::string& verb, const std::string& object) {
    CloseRequest();
    if (verb.empty()) {
        SetLastError(kNetInvalidUrl);
        return false;
    }
    if (IsAbsoluteTarget(object)) {
        // Sent verbatim: nothing that could end the request line or add a header.
        for (char c : object)
            if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
                SetLastError(kNetInvalidUrl);
                return false;
            }
    }
    impl_->verb = verb;
    impl_->object.clear();
    if (!IsAbsoluteTarget(object) && (object.empty() || object.front() != '/')) impl_->object += '/';
    impl_->object += object;
    return true;
}

bool HttpHandles::Send(const std::string& body, const HttpRequestOptions& options) {
    impl_->body = body;
    impl_->options = options;
    impl_->certificateFile.clear();
    if (impl_->secure && !options.clientCertificate.empty()) {
        impl_->certificateFile = FindClientCertificate(ClientCertificateFolder(), options.clientCertificate);
        if (impl_->certificateFile.empty()) {
            SetLastError(kNetClientAuthCertNeeded);
            return false;
        }
    }
    impl_->prepared = true;
    return true;
}

CURLcode HttpHandles::Impl::Transfer(const Hop& hop, const HttpBodySink& bodySink, bool followInCurl) {
    CURL* e = easy;
    curl_easy_reset(e);

    // Up from http to https, never down: a plain request may end on TLS, a secure one may not
    // leave it.
    const char* protocols = hop.secure ? "https" : "http,https";
    curl_easy_setopt(e, CURLOPT_URL, hop.url.c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, protocols);
    if (!hop.target.empty()) curl_easy_setopt(e, CURLOPT_REQUEST_TARGET, hop.target.c_str());
    if (followInCurl) {
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(e, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
        curl_easy_setopt(e, CURLOPT_MAXREDIRS, kMaxHttpRedirects);
    }
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_BUFFERSIZE, 256L * 1024);
    const std::string agent = HttpUserAgent();
    curl_easy_setopt(e, CURLOPT_USERAGENT, agent.c_str());
    if (hop.credentials && (!user.empty() || !password.empty())) {
        curl_easy_setopt(e, CURLOPT_USERNAME, user.c_str());
        curl_easy_setopt(e, CURLOPT_PASSWORD, password.c_str());
        curl_easy_setopt(e, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    }

    const HttpRequestOptions& o = options;
    if (o.timeoutMs > 0) curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(o.timeoutMs));
    // The certificate rules are set for plain requests too: curl may follow one of them to https.
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, o.ignoreUnknownCA ? 0L : 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, o.ignoreCertNameAndDate ? 0L : 2L);
    if (!o.caFile.empty()) {
        curl_easy_setopt(e, CURLOPT_CAINFO, o.caFile.c_str());
    } else if (const char* file = TrustVariable("SSL_CERT_FILE")) {
        // OpenSSL passes over a file it cannot read and trusts nothing from it; curl would fail
        // the whole request instead.
        curl_easy_setopt(e, CURLOPT_CAINFO, ::access(file, R_OK) == 0 ? file : nullptr);
    }
    if (const char* folder = TrustVariable("SSL_CERT_DIR")) curl_easy_setopt(e, CURLOPT_CAPATH, folder);
    if (hop.secure) {
        if (!certificateFile.empty()) {
            curl_easy_setopt(e, CURLOPT_SSLCERT, certificateFile.c_str());
            curl_easy_setopt(e, CURLOPT_SSLKEY, certificateFile.c_str());
        }
    }

    curl_slist* headers = nullptr;
    bool hasPragma = false;
    for (const auto& [name, value] : o.headers) hasPragma |= SameHeaderName(name, "Pragma");
    if (!hasPragma) headers = curl_slist_append(headers, "Pragma: no-cache");
    headers = curl_slist_append(headers, "Expect:");
    for (const auto& [name, value] : o.headers) headers = curl_slist_append(headers, (name + ": " + value).c_str());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers);

    if (hop.verb == "GET") {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    } else {
        if (hop.verb != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, hop.verb.c_str());
        if (hop.withBody && (hop.verb == "POST" || !body.empty())) {
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.data());
        }
    }

    sink = &bodySink;
    sinkError = nullptr;
    sinkRefused = aborted = idleTripped = false;
    skipRedirectBody = !followInCurl;
    redirectBody = -1;
    lastDown = lastUp = -1;
    lastActivity = Vel::DefaultClock().Now();
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::OnWrite);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Impl::OnProgress);
    curl_easy_setopt(e, CURLOPT_XFERINFODATA, this);

    // The multi interface lets the loop below poll the abort check and the idle limit every
    // 50 ms, however long curl itself would wait.
    CURLcode rc = CURLE_OK;
    curl_multi_add_handle(multi, e);
    int running = 1;
    while (running) {
        CURLMcode mc = curl_multi_perform(multi, &running);
        if (mc != CURLM_OK) {
            rc = CURLE_FAILED_INIT;
            break;
        }
        if (!running) break;
        if (!Check(lastDown, lastUp)) {
            rc = CURLE_ABORTED_BY_CALLBACK;
            break;
        }
        curl_multi_poll(multi, nullptr, 0, 50, nullptr);
    }
    if (!running) {
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left))
            if (msg->msg == CURLMSG_DONE && msg->easy_handle == e) rc = msg->data.result;
    }
    curl_multi_remove_handle(multi, e);
    curl_slist_free_all(headers);
    sink = nullptr;
    return rc;
}

bool HttpHandles::ReadBody(const HttpBodySink& sink) {
    Impl& d = *impl_;
    sent_ = false;
    status_ = 0;
    redirectLimitPassed_ = false;
    failure_ = 0;
    lastHost_ = BareHost(d.host);
    if (!d.prepared || !d.easy) {
        Fail(kNetInternalError);
        return false;
    }
    d.prepared = false;

    // A target in absolute form goes out once as it stands; curl would send the same target
    // again after a redirect, so those are followed here, each to a target of its own.
    const bool absolute = IsAbsoluteTarget(d.object);
    Hop hop;
    hop.secure = d.secure;
    hop.url = std::string(d.secure ? "https" : "http") + "://" + d.host + ":" + std::to_string(d.port) +
              (absolute ? "/" : d.object);
    hop.target = absolute ? d.object : std::string();
    hop.base = absolute ? d.object : hop.url;
    hop.verb = d.verb;

    HostSlot slot;
    if (!slot.Acquire(d.host + ":" + std::to_string(d.port), d.options.isAborted)) {
        Fail(kNetOperationCancelled);
        return false;
    }
    for (long redirects = 0;; ++redirects) {
        const CURLcode rc = d.Transfer(hop, sink, !absolute);
        CURL* e = d.easy;
        long status = 0, verify = 0, osErrno = 0, requestSize = 0;
        curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(e, CURLINFO_SSL_VERIFYRESULT, &verify);
        curl_easy_getinfo(e, CURLINFO_OS_ERRNO, &osErrno);
        curl_easy_getinfo(e, CURLINFO_REQUEST_SIZE, &requestSize);
        status_ = static_cast<unsigned>(status);
        sent_ = sent_ || requestSize > 0 || status > 0;
        char* effective = nullptr;
        if (curl_easy_getinfo(e, CURLINFO_EFFECTIVE_URL, &effective) == CURLE_OK && effective) {
            std::string host = HostOf(effective);
            if (!host.empty()) lastHost_ = std::move(host);
        }

        if (d.sinkError) {
            Fail(kNetOperationCancelled);
            std::rethrow_exception(std::exchange(d.sinkError, nullptr));
        }
        if (rc != CURLE_OK) {
            unsigned code = CodeForCurl(rc, verify, static_cast<int>(osErrno));
            if (d.idleTripped) code = kNetTimeout;
            // curl refuses a redirect to a scheme it may not follow as an unsupported protocol.
            if (rc == CURLE_UNSUPPORTED_PROTOCOL && status >= 300 && status <= 399) code = kNetRedirectFailed;
            redirectLimitPassed_ = rc == CURLE_TOO_MANY_REDIRECTS;
            Fail(code);
            return false;
        }
        const std::string location = absolute ? FollowableLocation(e) : std::string();
        if (location.empty()) return IsStatusSuccess();
        Hop next;
        if (redirects == kMaxHttpRedirects || !NextHop(hop, status, location, d.host, next)) {
            redirectLimitPassed_ = redirects == kMaxHttpRedirects;
            Fail(kNetRedirectFailed);
            return false;
        }
        hop = std::move(next);
    }
}

bool HttpHandles::CloseRequest() {
    impl_->prepared = false;
    impl_->verb.clear();
    impl_->object.clear();
    return true;
}

void HttpHandles::CloseAll() {
    CloseRequest();
    impl_->Reset();
}

// ---- one-shot forms ---------------------------------------------------------------------

bool HttpRequest(const VelURI& uri, const std::string& body, const HttpBodySink& sink,
                 const HttpRequestOptions& options, bool& sent, HttpMethod method) {
    HttpExchange exchange;
    const bool ok = HttpRequest(uri, body, sink, options, exchange, method);
    sent = exchange.sent;
    return ok;
}

bool HttpRequest(const VelURI& uri, const std::string& body, const HttpBodySink& sink,
                 const HttpRequestOptions& options, HttpExchange& exchange, HttpMethod method) {
    exchange = HttpExchange();
    const std::string verb = HttpVerb(method);
    const bool secure = uri.GetProtocol() == VelURI::kHttps;
    exchange.host = uri.GetHost();
    if (uri.GetProtocol() != VelURI::kHttp && !secure) {
        SetLastError(kNetUnrecognizedScheme);
        exchange.error = kNetUnrecognizedScheme;
        return false;
    }
    HttpHandles handles;
    if (!handles.OpenSession() ||
        !handles.Connect(uri.GetHost(), uri.GetPort(), options.userName, options.password, secure) ||
        !handles.OpenRequest(verb, uri.GetPathAndQuery(true)) || !handles.Send(body, options)) {
        exchange.error = GetLastError();
        return false;
    }
    // A sink's exception passes through; the exchange then tells nothing more.
    const bool ok = handles.ReadBody(sink);
    exchange.sent = handles.WasSent();
    exchange.status = handles.GetStatusCode();
    exchange.redirectLimitPassed = handles.RedirectLimitPassed();
    exchange.host = handles.LastHost();
    exchange.error = handles.GetFailureCode();
    return ok;
}

bool HttpGet(const VelURI& uri, const HttpBodySink& sink, const HttpRequestOptions& options, bool& sent) {
    return HttpRequest(uri, {}, sink, options, sent, HttpMethod::kGet);
}

bool HttpGet(const VelURI& uri, const HttpBodySink& sink, const HttpRequestOptions& options, HttpExchange& exchange) {
    return HttpRequest(uri, {}, sink, options, exchange, HttpMethod::kGet);
}

namespace {
HttpBodySink CappedStringSink(std::string& text) {
    return [&text](const char* data, std::size_t count) {
        if (text.size() + count > kHttpStringLimit) return false;
        text.append(data, count);
        return true;
    };
}
}  // namespace

bool HttpGetToString(const VelURI& uri, std::string& text, bool& sent, const HttpRequestOptions& options) {
    text.clear();
    return HttpRequest(uri, {}, CappedStringSink(text), options, sent, HttpMethod::kGet);
}

bool HttpGetToString(const VelURI& uri, std::string& text, HttpExchange& exchange, const HttpRequestOptions& options) {
    text.clear();
    return HttpRequest(uri, {}, CappedStringSink(text), options, exchange, HttpMethod::kGet);
}

bool HttpPostToString(const VelURI& uri, const std::string& body, std::string& text,
                      const HttpRequestOptions& options, bool& sent) {
    text.clear();
    return HttpRequest(uri, body, CappedStringSink(text), options, sent, HttpMethod::kPost);
}
