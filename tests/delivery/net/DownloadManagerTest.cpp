// ctest: threading
#include <gtest/gtest.h>

#include <latch>
#include <map>
#include <set>
#include <thread>

#include "delivery/net/BodyBufferPool.h"
#include "delivery/net/DownloadManager.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/runtime/AppServices.h"
#include "foundation/data/Crc32.h"
#include "foundation/core/Exception.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"
#include "tools/standin-server/StandinServer.h"

using namespace Vel;
using Standin::Fault;
using Standin::FaultKind;

namespace {

Fault MakeFault(FaultKind kind, unsigned status = 0) {
    Fault f;
    f.kind = kind;
    f.status = status;
    return f;
}

Fault Redirect(const std::string& location, unsigned status) {
    Fault f = MakeFault(FaultKind::kRedirect, status);
    f.location = location;
    return f;
}

std::uint32_t CrcOf(const std::string& s) { return Crc32(s.data(), s.size()); }

// The stand-in content server with a few files; the update base URL points at it, and the
// fallback server is a path on it.
class DownloadManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_.Write("dynamic_content/data/file.dat_1", Content());
        Standin::ServerConfig config;
        config.root = dir_.Path().string();
        server_ = std::make_unique<Standin::HttpServer>(config);
        server_->Start();
        GetParameterStore() = ParameterStore();
        GetParameterStore().Set("web.update.url", ParameterType::String, server_->BaseUrl());
        GetParameterStore().Set("web.download.url", ParameterType::String, Origin() + "/fallback/");
        SetPassword("");
    }
    void TearDown() override {
        server_.reset();
        GetParameterStore() = ParameterStore();
    }

    static std::string Content() { return "planet bytes, stored form"; }
    std::string Origin() const { return "http://127.0.0.1:" + std::to_string(server_->Port()); }
    static void SetPassword(const std::string& pw) {
        WriteRegistrySettingString(Settings::DownloadPassword.section, Settings::DownloadPassword.name, pw,
                                   Settings::DownloadPassword.scope);
    }
    void WriteServerList(const std::vector<std::string>& urls) const {
        std::string xml = "<?xml version=\"1.0\"?>\n<!-- servers -->\n<downloadServers>\n";
        for (const auto& u : urls) xml += "  <downloadServer>" + u + "</downloadServer>\n";
        dir_.Write("download_servers.xml", xml + "</downloadServers>\n");
    }
    // Targets of the content requests, in the order they came.
    std::vector<Standin::RequestRecord> ContentRequests() const {
        std::vector<Standin::RequestRecord> out;
        for (auto& r : server_->RequestLog())
            if (r.path.find("/dynamic_content/") != std::string::npos) out.push_back(r);
        return out;
    }
    static std::shared_ptr<ThreadJob> JobWithRoom() {
        auto job = std::make_shared<ThreadJob>();
        job->GetProgress()->SetTotal(1000000);
        return job;
    }

    Vel::Test::TempDir dir_{"content-site"};
    std::unique_ptr<Standin::HttpServer> server_;
    int notices_ = 0;
    DownloadManager manager_{[this] { ++notices_; }};
};

}  // namespace

TEST_F(DownloadManagerTest, TheServerListNamesTheServersInDocumentOrder) {
    dir_.Write("download_servers.xml",
               "<?xml version=\"1.0\"?>\n<!-- the content servers -->\n<downloadServers>\n"
               "  <downloadServer>\n    " + Origin() + "/a/  \n  </downloadServer>\n"
               "  <more><downloadServer>http://nested.invalid/</downloadServer></more>\n"
               "  <downloadServer>http://b.invalid/</downloadServer>\n"
               "  <downloadServer>https://c.invalid:81/cdn</downloadServer>\n"
               "</downloadServers>\n");
    std::vector<DownloadServer> servers;
    manager_.GetDownloadServers(servers);
    manager_.GetDownloadServers(servers);

    ASSERT_EQ(servers.size(), 3u);
    EXPECT_EQ(servers[0].url, Origin() + "/a/");
    EXPECT_EQ(servers[1].url, "http://b.invalid/");
    EXPECT_EQ(servers[2].url, "https://c.invalid:81/cdn");
    for (const auto& s : servers) EXPECT_TRUE(s.userName.empty() && s.password.empty());
    const auto log = server_->RequestLog();
    ASSERT_EQ(log.size(), 1u) << "the list is fetched once";
    EXPECT_EQ(log[0].path, "/download_servers.xml");
    EXPECT_EQ(notices_, 0);
}

TEST_F(DownloadManagerTest, WithoutAUsableListTheFallbackServerIsUsedWithTheUserClient) {
    struct Case {
        const char* what;
        const char* list;  // null: the request fails with 404
        const char* password;
        int notices;
    };
    const Case cases[] = {
        {"fetch fails", nullptr, "", 1},
        {"fetch fails, password set", nullptr, "secret", 0},
        {"no server in the list", "<downloadServers><other/></downloadServers>", "", 1},
        {"list does not parse", "<downloadServers>", "secret", 0},
    };
    for (const Case& c : cases) {
        server_->ClearFaults();
        if (c.list)
            dir_.Write("download_servers.xml", c.list);
        else
            server_->SetFault("/download_servers.xml", MakeFault(FaultKind::kStatus, 404));
        SetPassword(c.password);
        int notices = 0;
        DownloadManager manager([&] { ++notices; });

        std::vector<DownloadServer> servers;
        manager.GetDownloadServers(servers);
        ASSERT_EQ(servers.size(), 1u) << c.what;
        EXPECT_EQ(servers[0].url, Origin() + "/fallback/") << c.what;
        EXPECT_EQ(servers[0].userName, "client") << c.what;
        EXPECT_EQ(servers[0].password, c.password) << c.what;
        EXPECT_EQ(notices, c.notices) << c.what;
        EXPECT_EQ(manager.GetConnection()->GetUrl(), Origin() + "/fallback/") << c.what;
    }
}

TEST_F(DownloadManagerTest, TheMissingPasswordMessageWaitsForTheGuiThread) {
    server_->SetFault("/download_servers.xml", MakeFault(FaultKind::kStatus, 404));
    Vel::Test::ScriptedPrompt prompt({Platform::kIdOk});
    CreateAppServices();
    {
        DownloadManager manager;  // the production announcement
        std::vector<DownloadServer> servers;
        manager.GetDownloadServers(servers);
        EXPECT_TRUE(prompt.Questions().empty()) << "not shown on the calling thread";
        PumpAppDispatcher();
    }
    DestroyAppServices();
    const auto questions = prompt.Questions();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text, "No download password set.\nUse 'download.setPassword' to set one.");
    EXPECT_EQ(questions[0].caption, "Error");
    EXPECT_EQ(questions[0].buttons, Platform::PromptButtons::Ok);
}

TEST(DownloadManagerConnection, ContentServersAreAskedInAbsoluteFormInTheirOwnScheme) {
    struct Case {
        const char* url;
        const char* object;  // for the path /dynamic_content/x_1
    };
    const Case cases[] = {
        {"http://h/", "http://h:80/dynamic_content/x_1"},
        {"http://h", "http://h:80/dynamic_content/x_1"},
        {"http://h:8080/cdn/", "http://h:8080/cdn/dynamic_content/x_1"},
        {"http://h:8080/cdn", "http://h:8080/cdn/dynamic_content/x_1"},
        {"https://h/", "https://h:443/dynamic_content/x_1"},
        {"https://h:8443/cdn", "https://h:8443/cdn/dynamic_content/x_1"},
        {"  http://h:81/a/ \n", "http://h:81/a/dynamic_content/x_1"},
    };
    for (const Case& c : cases) {
        DownloadManager::HttpConnection connection({c.url, "", ""});
        EXPECT_EQ(connection.MakeObject("/dynamic_content/x_1"), c.object) << c.url;
    }
    for (const char* bad : {"", "not a url", "http://h:99999/", "gopher://h/", "http://h/ x"}) {
        EXPECT_THROW(DownloadManager::HttpConnection({bad, "", ""}), NetworkException) << bad;
    }
}

// A server listed as https is asked over TLS, its certificate checked against the authorities
// the environment names; one that cannot be verified is refused before anything is asked,
// with a text that names the certificate's problem and the host.
TEST_F(DownloadManagerTest, AnHttpsServerIsAskedOverVerifiedTls) {
    Vel::Test::TempDir certDir{"content-ca"};
    const auto certs = Vel::Test::MakeTestCertificates(certDir.Path());
    Standin::ServerConfig config;
    config.root = dir_.Path().string();
    config.tlsCertificate = certs.serverCert;
    config.tlsKey = certs.serverKey;
    Standin::HttpServer tls(config);
    tls.Start();
    const std::string port = std::to_string(tls.Port());
    const auto size = static_cast<std::uint32_t>(Content().size());

    struct Case {
        const char* what;
        std::string server;
        bool trusted;
        std::string error;  // "" when the file arrives
    };
    const Case cases[] = {
        {"trusted through SSL_CERT_FILE", "https://127.0.0.1:" + port + "/", true, ""},
        {"unknown authority", "https://127.0.0.1:" + port + "/", false,
         "The certificate of 127.0.0.1 could not be verified: it was not issued by a trusted certificate authority"},
        {"another host name", "https://localhost:" + port + "/", true,
         "The certificate of localhost could not be verified: it was issued for another host name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Vel::Test::ScopedEnv env;
        env.Set("SSL_CERT_FILE", c.trusted ? certs.caFile.c_str() : (certDir / "none.pem").c_str());
        env.Set("SSL_CERT_DIR", certDir.Path().c_str());  // holds no hashed authority
        WriteServerList({c.server});
        tls.ClearLog();
        DownloadManager manager([] {});
        const auto job = JobWithRoom();
        try {
            const auto stream = manager.DownloadFile("data/file.dat_1", size, CrcOf(Content()), job);
            EXPECT_EQ(c.error, "");
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream->GetData()), stream->GetSize()), Content());
            const auto log = tls.RequestLog();
            ASSERT_EQ(log.size(), 1u);
            EXPECT_EQ(log[0].target, c.server + "dynamic_content/data/file.dat_1");
        } catch (const NetworkException& e) {
            EXPECT_EQ(e.GetErrorText(), c.error);
            EXPECT_TRUE(tls.RequestLog().empty()) << "nothing is asked of a server that is not trusted";
        }
        EXPECT_TRUE(ContentRequests().empty()) << "never as plain HTTP";
    }
}

TEST_F(DownloadManagerTest, AFileIsAskedUnderItsLowerCasePathBelowTheServersOwnPath) {
    dir_.Write("cdn/dynamic_content/data/file.dat_1", Content());
    WriteServerList({Origin() + "/cdn/"});
    const auto job = JobWithRoom();

    const auto stream =
        manager_.DownloadFile("Data\\\\File.DAT_1", static_cast<std::uint32_t>(Content().size()), CrcOf(Content()), job);

    ASSERT_TRUE(stream);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream->GetData()), stream->GetSize()), Content());
    EXPECT_EQ(job->GetProgress()->GetDone(), Content().size());
    const auto requests = ContentRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, Origin() + "/cdn/dynamic_content/data/file.dat_1");
}

TEST_F(DownloadManagerTest, EachPathElementIsPercentEncoded) {
    dir_.Write("dynamic_content/data/a b.dat_305419896", Content());
    const auto stream = manager_.DownloadFile("Data/A b.dat_" + std::to_string(0x12345678u),
                                              static_cast<std::uint32_t>(Content().size()), CrcOf(Content()), nullptr);
    ASSERT_TRUE(stream);
    const auto requests = ContentRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].target, Origin() + "/dynamic_content/data/a%20b.dat_305419896");
}

TEST_F(DownloadManagerTest, AFailedAttemptTakesItsBytesBackExactlyOnce) {
    const auto size = static_cast<std::uint32_t>(Content().size());
    const std::string served = "/dynamic_content/data/file.dat_1";
    struct Case {
        const char* what;
        Fault fault;
        std::uint32_t expectedSize;
        const char* text;
    };
    const Case cases[] = {
        {"404", MakeFault(FaultKind::kStatus, 404), size, "Invalid response code: 404"},
        {"a redirect loop", Redirect(served, 307), size,
         "Invalid response code: 307 (redirect limit passed: more than 10 redirects)"},
        {"shorter than expected", MakeFault(FaultKind::kNone), size + 5, "size_mismatch"},
        {"one byte changed", MakeFault(FaultKind::kFlipByte), size, "CRC_mismatch"},
        {"wrong length and wrong bytes", MakeFault(FaultKind::kFlipByte), size + 5, "size_mismatch"},
        {"connection cut", MakeFault(FaultKind::kTruncate), size, ""},
    };
    for (const Case& c : cases) {
        server_->ClearFaults();
        if (c.fault.kind != FaultKind::kNone) server_->SetFault(served, c.fault);
        const auto job = JobWithRoom();
        job->GetProgress()->AddDone(5000);  // an earlier file
        try {
            manager_.DownloadFile("data/file.dat_1", c.expectedSize, CrcOf(Content()), job);
            ADD_FAILURE() << c.what << ": no exception";
        } catch (const NetworkException& e) {
            EXPECT_EQ(e.GetErrorText().rfind(c.text, 0), 0u) << c.what << ": " << e.GetErrorText();
            if (*c.text) {
                EXPECT_EQ(e.GetErrorText(), c.text) << c.what;
            }
        }
        EXPECT_EQ(job->GetProgress()->GetDone(), 5000u) << c.what;
    }
}

TEST_F(DownloadManagerTest, ABodyLongerThanExpectedIsRefusedAsSoonAsItPassesTheSize) {
    // The server sends half of a large body and then nothing: only a refusal at the expected
    // size ends the request before the idle limit.
    dir_.Write("dynamic_content/big_7", std::string(256 * 1024, 'z'));
    server_->SetFault("/dynamic_content/big_7", MakeFault(FaultKind::kStall));
    const auto job = JobWithRoom();
    try {
        manager_.DownloadFile("big_7", 1000, 0, job);
        ADD_FAILURE() << "no exception";
    } catch (const NetworkException& e) {
        EXPECT_EQ(e.GetErrorText(), "size_mismatch");
        EXPECT_EQ(e.GetUrl(), "/dynamic_content/big_7");
    }
    EXPECT_EQ(job->GetProgress()->GetDone(), 0u);
}

TEST_F(DownloadManagerTest, TwoThreadsGetTwoConnectionsAndEachIsReused) {
    dir_.Write("dynamic_content/second_2", "other bytes");
    std::latch together(2);
    std::shared_ptr<DownloadManager::HttpConnection> first[2], last[2];
    auto work = [&](int k) {
        together.arrive_and_wait();
        first[k] = manager_.GetConnection();
        for (int i = 0; i < 3; ++i) {
            if (k == 0)
                manager_.DownloadFile("data/file.dat_1", static_cast<std::uint32_t>(Content().size()),
                                      CrcOf(Content()), nullptr);
            else
                manager_.DownloadFile("second_2", 11, CrcOf("other bytes"), nullptr);
        }
        last[k] = manager_.GetConnection();
    };
    std::thread a(work, 0), b(work, 1);
    a.join();
    b.join();

    EXPECT_NE(first[0], first[1]);
    EXPECT_EQ(first[0], last[0]);
    EXPECT_EQ(first[1], last[1]);
    std::map<unsigned, int> perConnection;
    for (const auto& r : ContentRequests()) ++perConnection[r.connectionId];
    EXPECT_EQ(perConnection.size(), 2u);
    for (const auto& [id, count] : perConnection) EXPECT_EQ(count, 3) << "connection " << id;

    // After the release the next request opens a new connection.
    manager_.ReleaseConnections();
    EXPECT_NE(manager_.GetConnection(), first[0]);
    manager_.DownloadFile("second_2", 11, CrcOf("other bytes"), nullptr);
    EXPECT_EQ(perConnection.count(ContentRequests().back().connectionId), 0u);
}

TEST_F(DownloadManagerTest, NextServerWalksTheListAndThenWrapsAround) {
    WriteServerList({Origin() + "/one/", Origin() + "/two/"});
    EXPECT_EQ(manager_.GetConnection()->GetUrl(), Origin() + "/one/");
    EXPECT_TRUE(manager_.NextServer());
    EXPECT_EQ(manager_.GetConnection()->GetUrl(), Origin() + "/two/");
    EXPECT_FALSE(manager_.NextServer());
    EXPECT_EQ(manager_.GetConnection()->GetUrl(), Origin() + "/one/") << "index 2 of two servers";
    manager_.ResetServers();
    EXPECT_TRUE(manager_.NextServer());
}

TEST_F(DownloadManagerTest, AServerUrlThatDoesNotParseIsANetworkFailureOfThatServer) {
    WriteServerList({"no url at all", "  " + Origin() + "/  "});
    const auto size = static_cast<std::uint32_t>(Content().size());
    EXPECT_THROW(manager_.DownloadFile("data/file.dat_1", size, CrcOf(Content()), nullptr), NetworkException);
    ASSERT_TRUE(manager_.NextServer());
    EXPECT_TRUE(manager_.DownloadFile("data/file.dat_1", size, CrcOf(Content()), nullptr));
    EXPECT_EQ(ContentRequests().back().target, Origin() + "/dynamic_content/data/file.dat_1") << "one '/' after the URL";
}

TEST_F(DownloadManagerTest, ARedirectedFileIsAskedAtItsNewPlaceAndStillChecked) {
    const auto size = static_cast<std::uint32_t>(Content().size());
    std::string changed = Content();
    changed[3] = '!';
    dir_.Write("moved/file.dat_1", Content());
    dir_.Write("moved/changed_1", changed);
    dir_.Write("moved/longer_1", Content() + "+");
    const std::string other = "http://localhost:" + std::to_string(server_->Port());
    struct Case {
        const char* what;
        unsigned status;
        std::string location;
        const char* target;  // of the second request
        const char* error;   // "" when the file arrives
    };
    const Case cases[] = {
        {"302 to a URL", 302, Origin() + "/moved/file.dat_1", "/moved/file.dat_1", ""},
        {"301 to a path", 301, "/moved/file.dat_1", "/moved/file.dat_1", ""},
        {"307 relative", 307, "../../moved/file.dat_1", "/moved/file.dat_1", ""},
        {"308 to another host", 308, other + "/moved/file.dat_1?v=2", "/moved/file.dat_1?v=2", ""},
        {"to other bytes", 302, "/moved/changed_1", "/moved/changed_1", "CRC_mismatch"},
        {"to a longer file", 302, "/moved/longer_1", "/moved/longer_1", "size_mismatch"},
    };
    manager_.LoadDownloadServers();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server_->ClearLog();
        server_->SetFault("/dynamic_content/data/file.dat_1", Redirect(c.location, c.status));
        const auto job = JobWithRoom();
        try {
            const auto stream = manager_.DownloadFile("data/file.dat_1", size, CrcOf(Content()), job);
            EXPECT_STREQ(c.error, "");
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream->GetData()), stream->GetSize()), Content());
            EXPECT_EQ(job->GetProgress()->GetDone(), size) << "only the file's own bytes count";
        } catch (const NetworkException& e) {
            EXPECT_EQ(e.GetErrorText(), c.error);
            EXPECT_EQ(job->GetProgress()->GetDone(), 0u);
        }
        const auto log = server_->RequestLog();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[0].target, Origin() + "/dynamic_content/data/file.dat_1") << "the first in absolute form";
        EXPECT_EQ(log[1].target, c.target);
    }
}

TEST_F(DownloadManagerTest, TheCredentialsFollowARedirectOnlyToTheSameHost) {
    Standin::ServerConfig config;
    config.root = dir_.Path().string();
    config.password = "pw";
    Standin::HttpServer guarded(config);
    guarded.Start();
    dir_.Write("moved/file.dat_1", Content());
    const std::string port = std::to_string(guarded.Port());
    // The list needs the password too, so the fallback server on the guarded one is used.
    GetParameterStore().Set("web.update.url", ParameterType::String, guarded.BaseUrl());
    GetParameterStore().Set("web.download.url", ParameterType::String, guarded.BaseUrl());
    SetPassword("pw");
    DownloadManager manager([] {});
    const auto size = static_cast<std::uint32_t>(Content().size());

    guarded.SetFault("/dynamic_content/data/file.dat_1", Redirect("http://127.0.0.1:" + port + "/moved/file.dat_1", 302));
    EXPECT_TRUE(manager.DownloadFile("data/file.dat_1", size, CrcOf(Content()), nullptr));
    const std::string basic = guarded.RequestLog().back().authorization;
    EXPECT_EQ(guarded.RequestLog().back().path, "/moved/file.dat_1");
    EXPECT_EQ(basic.rfind("Basic ", 0), 0u);

    guarded.SetFault("/dynamic_content/data/file.dat_1", Redirect("http://localhost:" + port + "/moved/file.dat_1", 302));
    try {
        manager.DownloadFile("data/file.dat_1", size, CrcOf(Content()), nullptr);
        ADD_FAILURE() << "no exception";
    } catch (const NetworkException& e) {
        EXPECT_EQ(e.GetErrorText(), "Invalid response code: 401");
    }
    const auto log = guarded.RequestLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2].authorization, basic) << "the first request carries them";
    EXPECT_EQ(log.back().path, "/moved/file.dat_1");
    EXPECT_EQ(log.back().authorization, "") << "never to another host";
}

TEST_F(DownloadManagerTest, FetchTakesTheCrcOfTheFinalBodyAsItArrives) {
    // A body of many pieces, and one behind a redirect whose own body must not count.
    std::string large(300 * 1024, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
    dir_.Write("dynamic_content/large_3", large);
    dir_.Write("moved/large_3", large);
    dir_.Write("dynamic_content/moved_3", "not these bytes");
    server_->SetFault("/dynamic_content/moved_3", Redirect("/moved/large_3", 302));
    const auto limit = static_cast<std::uint32_t>(large.size());
    DownloadManager::HttpConnection connection({Origin() + "/", "", ""});
    for (const char* path : {"/dynamic_content/large_3", "/dynamic_content/moved_3"}) {
        SCOPED_TRACE(path);
        VelMemoryStream into(limit);
        const std::uint8_t* block = into.GetData();
        EXPECT_EQ(connection.Fetch(path, into, nullptr, limit), CrcOf(large));
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(into.GetData()), into.GetSize()), large);
        EXPECT_EQ(into.GetData(), block) << "sized once, never grown";
    }
}

TEST_F(DownloadManagerTest, DownloadedBodiesComeFromThePoolAndGoBackToIt) {
    const auto size = static_cast<std::uint32_t>(Content().size());
    BodyBufferPool& pool = GetBodyBufferPool();
    pool.Clear();

    auto stream = manager_.DownloadFile("data/file.dat_1", size, CrcOf(Content()), nullptr);
    ASSERT_TRUE(stream);
    EXPECT_EQ(stream->GetCapacity(), size) << "sized once for the file";
    const std::uint8_t* block = stream->GetData();
    EXPECT_EQ(pool.GetKeptCount(), 0u);
    stream.reset();
    EXPECT_EQ(pool.GetKeptCount(), 1u) << "back once its last holder let it go";

    stream = manager_.DownloadFile("data/file.dat_1", size, CrcOf(Content()), nullptr);
    EXPECT_EQ(stream->GetData(), block) << "the kept block is used again";
    EXPECT_EQ(pool.GetKeptCount(), 0u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(stream->GetData()), stream->GetSize()), Content());

    // A failed attempt's block goes back as well.
    server_->SetFault("/dynamic_content/data/file.dat_1", MakeFault(FaultKind::kFlipByte));
    EXPECT_THROW(manager_.DownloadFile("data/file.dat_1", size, CrcOf(Content()), nullptr), NetworkException);
    EXPECT_EQ(pool.GetKeptCount(), 1u);
    stream.reset();
    pool.Clear();
}
