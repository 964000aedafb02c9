// ctest: threading
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "delivery/net/HttpClient.h"
#include "foundation/core/SystemErrorText.h"
#include "platform/LastError.h"
#include "platform/NetworkErrors.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"
#include "tools/standin-server/StandinServer.h"

using namespace Vel::Platform;
using Standin::Fault;
using Standin::FaultKind;

namespace {

class HttpClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_.Write("files/a.bin", Body());
        dir_.Write("files/big.bin", std::string(2048, 'b'));
        Standin::ServerConfig config;
        config.root = (dir_ / "files").string();
        server_ = std::make_unique<Standin::HttpServer>(config);
        server_->Start();
    }

    static std::string Body() { return "hello from the stand-in server"; }
    VelURI Url(const std::string& path) const { return VelURI(server_->BaseUrl() + path, true); }

    // GET into a string; returns the request's result.
    bool Get(const std::string& path, std::string& body, bool& sent, const HttpRequestOptions& options = {}) {
        body.clear();
        return HttpGet(Url(path), [&](const char* d, std::size_t n) { body.append(d, n); return true; }, options,
                       sent);
    }

    Vel::Test::TempDir dir_;
    std::unique_ptr<Standin::HttpServer> server_;
};

Fault Status(unsigned status) {
    Fault f;
    f.kind = FaultKind::kStatus;
    f.status = status;
    return f;
}

Fault Redirect(const std::string& location, unsigned status = 302) {
    Fault f;
    f.kind = FaultKind::kRedirect;
    f.status = status;
    f.location = location;
    return f;
}

// A local port that nobody listens on.
std::uint16_t ClosedPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

}  // namespace

TEST_F(HttpClientTest, SuccessIsAStatusFrom200To299AndTheBodyAlwaysReachesTheSink) {
    struct Case {
        unsigned status;
        bool ok;
        bool body;
    };
    // 204 carries no body by definition; a 1xx answer is interim to HTTP/1.1, so curl never
    // sees a final answer and the request fails.
    const Case cases[] = {{199, false, false}, {200, true, true},  {204, true, false},
                          {299, true, true},   {300, false, true}, {404, false, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        server_->SetFault("/a.bin", Status(c.status));
        std::string body;
        bool sent = false;
        HttpRequestOptions options;
        options.timeoutMs = 5000;  // bounds an exchange that goes wrong
        EXPECT_EQ(Get("a.bin", body, sent, options), c.ok);
        EXPECT_TRUE(sent);
        EXPECT_EQ(body, c.body ? Body() : "");
    }
}

TEST_F(HttpClientTest, RefusingSinkFailsTheRequestThatWasSent) {
    bool sent = false;
    int calls = 0;
    SetLastError(0);
    EXPECT_FALSE(HttpGet(Url("a.bin"), [&](const char*, std::size_t) { ++calls; return false; }, {}, sent));
    EXPECT_TRUE(sent);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(GetLastError(), kNetOperationCancelled);
}

TEST_F(HttpClientTest, RefusedConnectionIsNotSent) {
    bool sent = true;
    std::string body;
    SetLastError(0);
    EXPECT_FALSE(HttpGet(VelURI("http://127.0.0.1:" + std::to_string(ClosedPort()) + "/x", true),
                         [](const char*, std::size_t) { return true; }, {}, sent));
    EXPECT_FALSE(sent);
    EXPECT_EQ(GetLastError(), kNetCannotConnect);
    EXPECT_EQ(SystemErrorText(GetLastError()),
              "A connection with the server could not be established (error code 12029)");
}

TEST_F(HttpClientTest, StallTripsTheIdleLimitButASlowSteadyBodyDoesNot) {
    HttpRequestOptions options;
    // Generous margins: sanitizer builds on a loaded machine must not starve the server past
    // the idle limit between two chunks.
    options.timeoutMs = 3000;
    Fault slow;
    slow.kind = FaultKind::kSlowBody;
    slow.chunk = 64;
    slow.intervalMs = 100;  // 2048 bytes take about 3.1 s, longer than the idle limit
    server_->SetFault("/big.bin", slow);
    std::string body;
    bool sent = false;
    EXPECT_TRUE(Get("big.bin", body, sent, options));
    EXPECT_EQ(body, std::string(2048, 'b'));

    Fault stall;
    stall.kind = FaultKind::kStall;
    server_->SetFault("/big.bin", stall);
    SetLastError(0);
    EXPECT_FALSE(Get("big.bin", body, sent, options));
    EXPECT_TRUE(sent);
    EXPECT_EQ(body, std::string(1024, 'b'));
    EXPECT_EQ(GetLastError(), kNetTimeout);
}

TEST_F(HttpClientTest, BrokenBodiesFail) {
    for (FaultKind kind : {FaultKind::kTruncate, FaultKind::kReset}) {
        Fault f;
        f.kind = kind;
        server_->SetFault("/big.bin", f);
        std::string body;
        bool sent = false;
        SetLastError(0);
        EXPECT_FALSE(Get("big.bin", body, sent));
        EXPECT_TRUE(sent);
        EXPECT_EQ(body, std::string(1024, 'b'));
        EXPECT_TRUE(GetLastError() == kNetConnectionAborted || GetLastError() == kNetConnectionReset)
            << GetLastError();
    }
}

TEST_F(HttpClientTest, AbortMidTransferReturnsWithoutWaitingForATimeOut) {
    Fault stall;
    stall.kind = FaultKind::kStall;
    server_->SetFault("/big.bin", stall);
    std::atomic<bool> abort{false};
    HttpRequestOptions options;
    options.timeoutMs = 0;  // no idle limit: only the abort can end the stalled transfer
    options.isAborted = [&] { return abort.load(); };
    bool sent = false;
    std::size_t received = 0;
    SetLastError(0);
    EXPECT_FALSE(HttpGet(Url("big.bin"), [&](const char*, std::size_t n) { received += n; abort = true; return true; },
                         options, sent));
    EXPECT_EQ(received, 1024u);
    EXPECT_EQ(GetLastError(), kNetOperationCancelled);
}

TEST_F(HttpClientTest, ASinkExceptionIsRethrownAfterTheTransfer) {
    bool sent = false;
    EXPECT_THROW(HttpGet(Url("a.bin"), [](const char*, std::size_t) -> bool { throw std::runtime_error("disk full"); },
                         {}, sent),
                 std::runtime_error);
}

TEST_F(HttpClientTest, HandlesKeepTheConnectionAndSendAgentHeadersAndCredentials) {
    HttpHandles handles;
    ASSERT_TRUE(handles.OpenSession());
    ASSERT_TRUE(handles.Connect("127.0.0.1", server_->Port(), "", "", false));
    std::string body;
    auto sink = [&](const char* d, std::size_t n) { body.append(d, n); return true; };
    for (const char* object : {"/a.bin", "a.bin?x=1"}) {
        ASSERT_TRUE(handles.OpenRequest("GET", object));
        ASSERT_TRUE(handles.Send("", {}));
        EXPECT_TRUE(handles.ReadBody(sink)) << object;
        EXPECT_EQ(handles.GetStatusCode(), 200u);
    }
    ASSERT_TRUE(handles.OpenRequest("GET", "/missing"));
    ASSERT_TRUE(handles.Send("", {}));
    EXPECT_FALSE(handles.ReadBody(sink));
    EXPECT_EQ(handles.GetStatusCode(), 404u);
    EXPECT_TRUE(handles.WasSent());

    const auto log = server_->RequestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].connectionId, log[2].connectionId);
    EXPECT_EQ(log[1].path, "/a.bin");
    EXPECT_EQ(log[2].status, 404u);
    EXPECT_EQ(log[0].userAgent, HttpUserAgent());
    EXPECT_EQ(HttpUserAgent().rfind("Corvane/", 0), 0u);

    // A header under a name the request already carries replaces it.
    HttpRequestOptions withHeader;
    withHeader.headers["User-Agent"] = "custom agent";
    bool headerSent = false;
    EXPECT_TRUE(HttpGetToString(Url("a.bin"), body, headerSent, withHeader));
    EXPECT_EQ(server_->RequestLog().back().userAgent, "custom agent");

    // Basic authentication for the user "client".
    Vel::Test::TempDir root;
    root.Write("x.txt", "secret");
    Standin::ServerConfig config;
    config.root = root.Path().string();
    config.password = "pw";
    Standin::HttpServer guarded(config);
    guarded.Start();
    const VelURI url(guarded.BaseUrl() + "x.txt", true);
    std::string text;
    bool sent = false;
    EXPECT_FALSE(HttpGetToString(url, text, sent));
    HttpRequestOptions options;
    options.userName = "client";
    options.password = "pw";
    EXPECT_TRUE(HttpGetToString(url, text, sent, options));
    EXPECT_EQ(text, "secret");
}

TEST_F(HttpClientTest, StringFormsAreCapped) {
    dir_.Write("files/huge.bin", std::string(kHttpStringLimit + 1, 'h'));
    dir_.Write("files/limit.bin", std::string(kHttpStringLimit, 'l'));
    std::string text = "old";
    bool sent = false;
    EXPECT_FALSE(HttpGetToString(Url("huge.bin"), text, sent));
    EXPECT_LE(text.size(), kHttpStringLimit);
    EXPECT_TRUE(HttpGetToString(Url("limit.bin"), text, sent));
    EXPECT_EQ(text.size(), kHttpStringLimit);
}

TEST_F(HttpClientTest, MaxConnectionsPerServerHoldsAcrossObjects) {
    Fault slow;
    slow.kind = FaultKind::kSlowBody;
    slow.chunk = 512;
    slow.intervalMs = 20;
    server_->SetFault("/big.bin", slow);
    ASSERT_TRUE(SetMaxConnectionsPerServer(1));
    std::atomic<int> inFlight{0}, most{0};
    auto fetch = [&] {
        bool sent = false;
        std::size_t received = 0;
        const bool ok = HttpGet(Url("big.bin"), [&](const char*, std::size_t n) {
            if (received == 0) {
                const int now = ++inFlight;
                int seen = most.load();
                while (now > seen && !most.compare_exchange_weak(seen, now)) {}
            }
            received += n;
            // Leave with the last byte, while the transfer still holds its slot: after HttpGet
            // returns, the next request may already have its first bytes.
            if (received == 2048) --inFlight;
            return true;
        }, {}, sent);
        EXPECT_TRUE(ok);
        EXPECT_EQ(received, 2048u);
    };
    std::thread a(fetch), b(fetch), c(fetch);
    a.join();
    b.join();
    c.join();
    SetMaxConnectionsPerServer(0);
    EXPECT_EQ(most.load(), 1);
}

TEST(HttpsClient, CertificatesAreCheckedUnlessTheOptionsAllowOtherwise) {
    Vel::Test::TempDir dir;
    const auto certs = Vel::Test::MakeTestCertificates(dir.Path());
    dir.Write("root/x.txt", "over tls");
    Standin::ServerConfig config;
    config.root = (dir / "root").string();
    config.tlsCertificate = certs.serverCert;
    config.tlsKey = certs.serverKey;
    Standin::HttpServer server(config);
    server.Start();
    const std::string port = std::to_string(server.Port());
    const VelURI byAddress("https://127.0.0.1:" + port + "/x.txt", true);
    const VelURI byName("https://localhost:" + port + "/x.txt", true);

    struct Case {
        const char* what;
        const VelURI& url;
        bool withCa, ignoreName, ignoreCa;
        bool ok;
        unsigned error;
    };
    const Case cases[] = {
        {"test CA", byAddress, true, false, false, true, 0},
        {"name mismatch", byName, true, false, false, false, kNetSecureCertCnInvalid},
        {"name mismatch allowed", byName, true, true, false, true, 0},
        {"unknown CA", byAddress, false, false, false, false, kNetSecureInvalidCA},
        {"unknown CA allowed", byAddress, false, false, true, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        HttpRequestOptions options;
        if (c.withCa) options.caFile = certs.caFile;
        options.ignoreCertNameAndDate = c.ignoreName;
        options.ignoreUnknownCA = c.ignoreCa;
        std::string text;
        bool sent = false;
        SetLastError(0);
        EXPECT_EQ(HttpGetToString(c.url, text, sent, options), c.ok);
        if (c.ok) {
            EXPECT_EQ(text, "over tls");
        } else {
            EXPECT_EQ(GetLastError(), c.error);
        }
    }

    // A client certificate that is not there fails before anything is sent.
    HttpRequestOptions options;
    options.caFile = certs.caFile;
    options.clientCertificate = "CN=Nobody In Particular";
    std::string text;
    bool sent = true;
    EXPECT_FALSE(HttpGetToString(byAddress, text, sent, options));
    EXPECT_FALSE(sent);
    EXPECT_EQ(GetLastError(), kNetClientAuthCertNeeded);
    EXPECT_EQ(FindClientCertificate(dir.Path().string(), "Trailstarter Test CA"), certs.caFile);
    EXPECT_EQ(FindClientCertificate(dir.Path().string(), "CN=127.0.0.1"), certs.serverCert);
}

// The authorities are looked for as OpenSSL looks for them: SSL_CERT_FILE and SSL_CERT_DIR in
// place of the system's file and folder; a caFile of the request comes before both.
TEST(HttpsClient, TheTrustedAuthoritiesComeFromSslCertFileAndSslCertDir) {
    Vel::Test::TempDir dir;
    const auto certs = Vel::Test::MakeTestCertificates(dir.Path());
    dir.Write("root/x.txt", "over tls");
    std::filesystem::create_directories(dir / "hashed");
    std::filesystem::create_directories(dir / "empty");
    std::filesystem::copy_file(certs.caFile, dir / "hashed" / "ca.pem");
    ASSERT_EQ(std::system(("openssl rehash '" + (dir / "hashed").string() + "' >/dev/null 2>&1").c_str()), 0);
    Standin::ServerConfig config;
    config.root = (dir / "root").string();
    config.tlsCertificate = certs.serverCert;
    config.tlsKey = certs.serverKey;
    Standin::HttpServer server(config);
    server.Start();
    const VelURI url("https://127.0.0.1:" + std::to_string(server.Port()) + "/x.txt", true);
    const std::string none = (dir / "none.pem").string();
    const std::string empty = (dir / "empty").string();
    const std::string hashed = (dir / "hashed").string();

    struct Case {
        const char* what;
        const char* file;  // SSL_CERT_FILE; null: unset
        const char* folder;
        bool caFile;  // the request names the test authority itself
        bool ok;
    };
    const Case cases[] = {
        {"SSL_CERT_FILE", certs.caFile.c_str(), empty.c_str(), false, true},
        {"SSL_CERT_DIR", none.c_str(), hashed.c_str(), false, true},
        {"neither knows the authority", none.c_str(), empty.c_str(), false, false},
        {"the system's store", nullptr, nullptr, false, false},
        {"caFile before SSL_CERT_FILE", none.c_str(), empty.c_str(), true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Vel::Test::ScopedEnv env;
        env.Set("SSL_CERT_FILE", c.file);
        env.Set("SSL_CERT_DIR", c.folder);
        HttpRequestOptions options;
        if (c.caFile) options.caFile = certs.caFile;
        std::string text;
        HttpExchange exchange;
        EXPECT_EQ(HttpGetToString(url, text, exchange, options), c.ok);
        if (c.ok) {
            EXPECT_EQ(text, "over tls");
            EXPECT_EQ(exchange.error, 0u);
        } else {
            EXPECT_EQ(exchange.error, kNetSecureInvalidCA);
            EXPECT_EQ(HttpFailureText(exchange),
                      "The certificate of 127.0.0.1 could not be verified: it was not issued by a trusted certificate "
                      "authority");
        }
    }
}

// Asks the stand-in for a path through kept handles, in absolute form or as a path.
static bool GetThroughHandles(HttpHandles& handles, const std::string& object, std::string& body,
                       const HttpRequestOptions& options = {}) {
    body.clear();
    if (!handles.OpenRequest("GET", object) || !handles.Send("", options)) return false;
    return handles.ReadBody([&](const char* d, std::size_t n) { body.append(d, n); return true; });
}

TEST_F(HttpClientTest, RedirectsAreFollowedUpToTheLimitWhicheverWayTheTargetIsSent) {
    // /hop/0 -> /hop/1 -> ... -> /hop/N, the last one a plain file.
    const long n = kMaxHttpRedirects + 1;
    for (long i = 0; i <= n; ++i) {
        dir_.Write("files/hop/" + std::to_string(i), "hop " + std::to_string(i));
        if (i < n) server_->SetFault("/hop/" + std::to_string(i), Redirect("/hop/" + std::to_string(i + 1)));
    }
    const std::string origin = "http://127.0.0.1:" + std::to_string(server_->Port());
    struct Case {
        bool absolute;
        long redirects;
    };
    for (const Case c : {Case{true, kMaxHttpRedirects}, Case{true, kMaxHttpRedirects + 1},
                         Case{false, kMaxHttpRedirects}, Case{false, kMaxHttpRedirects + 1}}) {
        const std::string path = "/hop/" + std::to_string(n - c.redirects);
        SCOPED_TRACE((c.absolute ? "absolute, " : "path, ") + std::to_string(c.redirects));
        server_->ClearLog();
        HttpHandles handles;
        ASSERT_TRUE(handles.OpenSession());
        ASSERT_TRUE(handles.Connect("127.0.0.1", server_->Port(), "", "", false));
        std::string body;
        SetLastError(0);
        const bool ok = GetThroughHandles(handles, c.absolute ? origin + path : path, body);
        const auto log = server_->RequestLog();
        if (c.redirects <= kMaxHttpRedirects) {
            EXPECT_TRUE(ok);
            EXPECT_EQ(body, "hop " + std::to_string(n)) << "no redirect body reaches the sink";
            ASSERT_EQ(log.size(), static_cast<std::size_t>(c.redirects + 1));
            EXPECT_EQ(log.back().path, "/hop/" + std::to_string(n));
            EXPECT_FALSE(handles.RedirectLimitPassed());
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(GetLastError(), kNetRedirectFailed);
            EXPECT_EQ(handles.GetStatusCode(), 302u);
            EXPECT_TRUE(handles.RedirectLimitPassed());
            EXPECT_EQ(log.size(), static_cast<std::size_t>(kMaxHttpRedirects + 1)) << "no request past the limit";
        }
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log[0].target, c.absolute ? origin + path : path);
        for (std::size_t i = 1; i < log.size(); ++i) EXPECT_EQ(log[i].target, log[i].path) << "origin form after a redirect";
    }
}

TEST(HttpsClient, ARedirectGoesUpToHttpsButNeverDownToHttpWhicheverWayTheTargetIsSent) {
    Vel::Test::TempDir dir;
    const auto certs = Vel::Test::MakeTestCertificates(dir.Path());
    dir.Write("root/x.txt", "over tls");
    dir.Write("root/sub/y.txt", "plain");
    Standin::ServerConfig config;
    config.root = (dir / "root").string();
    Standin::HttpServer plain(config);
    plain.Start();
    config.tlsCertificate = certs.serverCert;
    config.tlsKey = certs.serverKey;
    Standin::HttpServer secure(config);
    secure.Start();
    const std::string plainOrigin = "http://127.0.0.1:" + std::to_string(plain.Port());
    const std::string secureOrigin = "https://127.0.0.1:" + std::to_string(secure.Port());
    plain.SetFault("/sub/y.txt", Redirect(secureOrigin + "/x.txt", 307));

    HttpRequestOptions options;
    options.caFile = certs.caFile;
    std::string body;
    for (const bool absolute : {true, false}) {
        SCOPED_TRACE(absolute ? "absolute form" : "path");
        SCOPED_TRACE("http to https");
        secure.ClearLog();
        HttpHandles handles;
        ASSERT_TRUE(handles.OpenSession());
        ASSERT_TRUE(handles.Connect("127.0.0.1", plain.Port(), "", "", false));
        EXPECT_TRUE(GetThroughHandles(handles, (absolute ? plainOrigin : "") + "/sub/y.txt", body, options));
        EXPECT_EQ(body, "over tls");
        ASSERT_EQ(secure.RequestLog().size(), 1u);
        EXPECT_EQ(secure.RequestLog()[0].target, "/x.txt");
    }
    {
        // The one-shot form that fetches the update list and the packages, with the authority
        // trusted as the player would trust it.
        SCOPED_TRACE("one-shot, http to https");
        Vel::Test::ScopedEnv env;
        env.Set("SSL_CERT_FILE", certs.caFile.c_str());
        HttpExchange exchange;
        EXPECT_TRUE(HttpGetToString(VelURI(plainOrigin + "/sub/y.txt", true), body, exchange));
        EXPECT_EQ(body, "over tls");
        EXPECT_EQ(exchange.host, "127.0.0.1");
    }
    struct Case {
        const char* what;
        std::string location;
        bool pathToo;  // curl itself refuses it as a redirect the same way
    };
    const Case cases[] = {
        {"https to http", plainOrigin + "/sub/y.txt", true},
        {"to another scheme", "ftp://127.0.0.1/x.txt", true},
        {"a Location that does not parse", "http://[::1/x", false},
    };
    for (const Case& c : cases) {
        for (const bool absolute : {true, false}) {
            if (!absolute && !c.pathToo) continue;
            SCOPED_TRACE(c.what);
            SCOPED_TRACE(absolute ? "absolute form" : "path");
            secure.SetFault("/x.txt", Redirect(c.location, 301));
            plain.ClearLog();
            HttpHandles handles;
            ASSERT_TRUE(handles.OpenSession());
            ASSERT_TRUE(handles.Connect("127.0.0.1", secure.Port(), "", "", true));
            SetLastError(0);
            EXPECT_FALSE(GetThroughHandles(handles, (absolute ? secureOrigin : "") + "/x.txt", body, options));
            EXPECT_EQ(GetLastError(), kNetRedirectFailed);
            EXPECT_EQ(handles.GetStatusCode(), 301u);
            EXPECT_FALSE(handles.RedirectLimitPassed()) << "not the limit";
            EXPECT_TRUE(plain.RequestLog().empty());
            if (absolute) {
                EXPECT_TRUE(body.empty());
            }
        }
    }
}
