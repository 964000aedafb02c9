// ctest: threading
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "delivery/net/HttpClient.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempDir.h"
#include "tools/standin-server/StandinServer.h"

namespace {

// Sends one raw request and reads the answer until the server closes, for at most 20 s without
// a byte; `closed` tells whether the server closed the connection.
std::string Exchange(std::uint16_t port, const std::string& request, bool* closed = nullptr) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    const timeval limit{20, 0};
    ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return {};
    }
    ::send(s, request.data(), request.size(), MSG_NOSIGNAL);
    std::string answer;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(s, buf, sizeof buf, 0)) > 0) answer.append(buf, static_cast<std::size_t>(n));
    if (closed) *closed = n == 0;
    ::close(s);
    return answer;
}

std::string Get(std::uint16_t port, const std::string& target, bool* closed = nullptr) {
    return Exchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n", closed);
}

std::string BodyOf(const std::string& answer) {
    const auto end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

class StandinServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_.Write("site/client_files/Data/X_ab.zip", "zipbytes");
        dir_.Write("site/dynamic_content/planets/a%b.pak_12", "content");
        dir_.Write("site/(fr)/trailstarter/terms-of-use/index.xml", "<html/>");
        dir_.Write("secret.txt", "outside");
        Standin::ServerConfig config;
        config.root = (dir_ / "site").string();
        server_ = std::make_unique<Standin::HttpServer>(config);
        server_->Start();
    }
    Vel::Test::TempDir dir_;
    std::unique_ptr<Standin::HttpServer> server_;
};

}  // namespace

TEST_F(StandinServerTest, TargetsAreMappedIntoTheRoot) {
    const auto port = server_->Port();
    const std::string self = "http://127.0.0.1:" + std::to_string(port);
    struct Case {
        std::string target;
        std::string body;  // "" for 404
    };
    const Case cases[] = {
        {"/client_files/Data/X_ab.zip", "zipbytes"},
        {"/client_files\\data\\x_ab.zip", "zipbytes"},  // "\" and another letter case
        {self + "/client_files/Data/X_ab.zip", "zipbytes"},  // absolute form
        {"/dynamic_content/planets/a%25b.pak_12?x=1", "content"},
        {"/client_files/../../secret.txt", ""},
        {"/client_files/%2e%2e/%2e%2e/secret.txt", ""},
        {"/client_files/Data", ""},
        {"/nothing", ""},
    };
    for (const auto& c : cases) {
        const std::string answer = Get(port, c.target);
        if (c.body.empty()) {
            EXPECT_EQ(answer.rfind("HTTP/1.1 404", 0), 0u) << c.target;
        } else {
            EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << c.target;
            EXPECT_EQ(BodyOf(answer), c.body) << c.target;
        }
    }
    // A browser shows an XML page only when it is told the type.
    struct Typed {
        const char* target;
        const char* type;
    };
    for (const auto& t : {Typed{"/(fr)/trailstarter/terms-of-use/index.xml", "application/xml"},
                          Typed{"/client_files/Data/X_ab.zip", "application/octet-stream"}}) {
        const std::string answer = Get(port, t.target);
        EXPECT_NE(answer.find(std::string("\r\nContent-Type: ") + t.type + "\r\n"), std::string::npos) << answer;
    }
    const std::string list = BodyOf(Get(port, "/download_servers.xml"));
    EXPECT_NE(list.find("<downloadServer>" + server_->BaseUrl() + "</downloadServer>"), std::string::npos) << list;

    const auto log = server_->RequestLog();
    ASSERT_EQ(log.size(), std::size(cases) + 3);
    EXPECT_EQ(log[2].target, self + "/client_files/Data/X_ab.zip");
    EXPECT_EQ(log[2].path, "/client_files/Data/X_ab.zip");
    EXPECT_EQ(log[0].connection, "close");
    EXPECT_NE(log[0].connectionId, log[1].connectionId);
}

// The page the browser shows during every update check: one page for every language, which
// picks its text from the launcher's "lang" in the page itself.
TEST(StandinSite, ServesThePatchingPageForEveryLanguage) {
    Standin::ServerConfig config;
    config.root = TRAILSTARTER_SOURCE_DIR "/tools/standin-server/site";
    Standin::HttpServer server(config);
    server.Start();
    const std::string answer =
        Get(server.Port(), "/trailstarter/sf/patching.html?memory=4096&lang=DE&territoryid=0");
    EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
    EXPECT_NE(answer.find("\r\nContent-Type: text/html; charset=utf-8\r\n"), std::string::npos);
    const std::string page = BodyOf(answer);
    for (const char* text : {"<title>Solvenda Frontier is being updated</title>", "EN: ['Solvenda Frontier is being updated'",
                             "FR: ['Solvenda Frontier est en cours de mise à jour'",
                             "DE: ['Solvenda Frontier wird aktualisiert'",
                             "ES: ['Solvenda Frontier se está actualizando'"})
        EXPECT_NE(page.find(text), std::string::npos) << text;
}

TEST_F(StandinServerTest, FaultsChangeTheBody) {
    const auto port = server_->Port();
    const std::string path = "/client_files/Data/X_ab.zip";
    struct Case {
        const char* fault;
        std::string status;
        std::string body;
    };
    const Case cases[] = {
        {"404", "404", "zipbytes"},
        {"500", "500", "zipbytes"},
        {"status:299", "299", "zipbytes"},
        {"flip", "200", std::string("zipb") + static_cast<char>(~'y') + "tes"},
        {"extra:3", "200", "zipbytesXXX"},
        {"truncate", "200", "zipb"},
        {"slow:3:1", "200", "zipbytes"},
    };
    for (const auto& c : cases) {
        Standin::Fault fault;
        ASSERT_TRUE(Standin::ParseFault(c.fault, fault)) << c.fault;
        server_->SetFault(path, fault);
        const std::string answer = Get(port, path);
        EXPECT_EQ(answer.substr(9, 3), c.status) << c.fault;
        EXPECT_EQ(BodyOf(answer), c.body) << c.fault;
    }
    Standin::Fault f;
    for (const char* bad : {"", "status:abc", "status:42", "slow:0:1", "slow:5", "sometimes"})
        EXPECT_FALSE(Standin::ParseFault(bad, f)) << bad;
    server_->ClearFaults();
    EXPECT_EQ(BodyOf(Get(port, path)), "zipbytes");
}

TEST_F(StandinServerTest, StopEndsStalledAndIdleConnections) {
    Standin::Fault stall;
    stall.kind = Standin::FaultKind::kStall;
    server_->SetFault("*", stall);
    std::string answer;
    bool closed = false;
    std::thread client([&] { answer = Get(server_->Port(), "/client_files/Data/X_ab.zip", &closed); });
    // An idle keep-alive connection as well.
    const int idle = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(server_->Port());
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    for (int i = 0; i < 2000 && server_->RequestLog().empty(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    server_->Stop();
    client.join();  // within the exchange's receive limit
    ::close(idle);
    EXPECT_TRUE(closed) << "Stop left the stalled connection open";
    // Stop may come before or after the stalled answer's first half went out.
    EXPECT_TRUE(answer.empty() || answer.rfind("HTTP/1.1 200", 0) == 0) << answer;
}

TEST(StandinServerExecutable, ServesAGeneratedSiteFromTheCommandLine) {
    Vel::Test::TempDir dir;
    dir.Write("root/client_files.xml", "<files/>");
    const std::string logFile = (dir / "requests.log").string();
    Vel::Test::ChildProcess server(Vel::Test::ToolPath("standin-server"),
                                   {"--root", (dir / "root").string(), "--listen", "127.0.0.1:0", "--log", logFile,
                                    "--fault", "/missing.txt=500"});
    const std::string line = server.ReadLine();
    ASSERT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line << " from " << Vel::Test::ToolPath("standin-server");
    const std::string base = "http://" + line.substr(std::string("listening on ").size()) + "/";
    std::string text;
    bool sent = false;
    EXPECT_TRUE(HttpGetToString(VelURI(base + "client_files.xml", true), text, sent));
    EXPECT_EQ(text, "<files/>");
    server.Terminate();
    EXPECT_EQ(server.Wait(), 0);
    const std::string log = Vel::Test::ReadFile(logFile);
    EXPECT_NE(log.find("status=200 GET /client_files.xml agent=\"Corvane/"), std::string::npos) << log;

    Vel::Test::ChildProcess refused(Vel::Test::ToolPath("standin-server"),
                                    {"--root", dir.Path().string(), "--listen", "10.1.2.3:0"});
    EXPECT_EQ(refused.Wait(), 1);
    Vel::Test::ChildProcess badFault(Vel::Test::ToolPath("standin-server"),
                                     {"--root", dir.Path().string(), "--fault", "/x=often"});
    EXPECT_EQ(badFault.Wait(), 2);
}
