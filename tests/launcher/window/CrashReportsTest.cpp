// The crash report upload against a stand-in server on loopback, with scripted answers.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "foundation/core/AppEnvironment.h"
#include "foundation/core/CrashHandler.h"
#include "foundation/core/ParameterStore.h"
#include "foundation/config/SiteName.h"
#include "foundation/core/StringUtils.h"
#include "launcher/window/CrashReports.h"
#include "platform/Prompt.h"
#include "tests/support/CurrentDirGuard.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"
#include "tools/standin-server/StandinServer.h"

namespace Vel {
namespace {

namespace fs = std::filesystem;
using Platform::kIdCancel;
using Platform::kIdOk;
using Platform::kIdRetry;

std::string UrlDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

// The form's two fields, decoded.
std::map<std::string, std::string> Form(const std::string& body) {
    std::map<std::string, std::string> fields;
    std::size_t start = 0;
    while (start <= body.size()) {
        auto end = body.find('&', start);
        if (end == std::string::npos) end = body.size();
        const std::string pair = body.substr(start, end - start);
        const auto eq = pair.find('=');
        if (eq != std::string::npos) fields[pair.substr(0, eq)] = UrlDecode(pair.substr(eq + 1));
        start = end + 1;
    }
    return fields;
}

class CrashReportsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::current_path(dir_.Path());
        Standin::ServerConfig config;
        config.root = dir_.Path().string();
        server_ = std::make_unique<Standin::HttpServer>(config);
        server_->Start();
        GetParameterStore().Set("crash.report_url", ParameterType::String, server_->BaseUrl() + "crashreport.xml");
        SetSiteNameForTesting("");
    }
    void TearDown() override {
        server_.reset();
        SetSiteNameForTesting("");
    }

    void Leave(const std::string& stem, const std::string& dump, const std::string& log) {
        dir_.Write("out/crashes/" + stem + ".dmp", dump);
        dir_.Write("out/crashes/" + stem + ".log", log);
    }
    bool Exists(const std::string& name) const { return fs::exists(dir_ / ("out/crashes/" + name)); }
    std::vector<Standin::RequestRecord> Posts() const {
        std::vector<Standin::RequestRecord> posts;
        for (auto& r : server_->RequestLog())
            if (r.method == "POST") posts.push_back(r);
        return posts;
    }

    Vel::Test::CurrentDirGuard cwd_;
    Vel::Test::TempDir dir_{"crashreports"};
    std::unique_ptr<Standin::HttpServer> server_;
};

TEST_F(CrashReportsTest, ASentReportCarriesTheFormAndBothFilesGo) {
    const std::string dump(5000, 'D');
    Leave("trailstarter", dump, "[ExceptionInfo]\r\nExceptionAddress=4660\r\nVersion=1.2.3.4\r\n64Bit=1\r\n"
                                "RunningTime=00:00:01.500\r\nUsedMemory=12\r\nCrashInfo=x\r\r\n\r\n");
    Vel::Test::ScriptedPrompt prompt({kIdOk});
    CrashReports().ReportPendingCrashDumps(nullptr);

    ASSERT_EQ(prompt.Questions().size(), 1u);
    const auto offer = prompt.Questions()[0];
    EXPECT_EQ(offer.caption, "Solvenda Frontier did not shutdown normally");
    EXPECT_NE(offer.text.find("\nException Address = 4660\nVersion = 1.2.3.4\n"), std::string::npos) << offer.text;
    EXPECT_EQ(offer.buttons, Platform::PromptButtons::OkCancel);

    const auto posts = Posts();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_EQ(posts[0].path, "/crashreport.xml");
    EXPECT_EQ(posts[0].contentType, "text/html");
    EXPECT_EQ(posts[0].cookie, "");  // no site, no cookie
    const auto form = Form(posts[0].body);
    ASSERT_EQ(form.size(), 2u);
    const std::string& doc = form.at("crashInfo");
    EXPECT_EQ(doc.rfind("<crashInfo><time>", 0), 0u) << doc;
    for (const char* part : {"<site>pro01</site><login></login><osName>", "<exceptionAddress>4660</exceptionAddress>"
                             "<clientVersion>1.2.3.4</clientVersion><posX>0</posX><posY>0</posY><posZ>0</posZ>"
                             "<serverID>0</serverID><customerID>",
                             "<usedMemory>12</usedMemory><runningTime>00:00:01.500</runningTime>"
                             "<client64bit>1</client64bit></crashInfo>"})
        EXPECT_NE(doc.find(part), std::string::npos) << part << "\n" << doc;
    // Base64 lines of 76 characters, each ended by "\r\n".
    const std::string& b64 = form.at("crashDump");
    ASSERT_GT(b64.size(), 80u);
    EXPECT_EQ(b64.substr(76, 2), "\r\n");
    EXPECT_EQ(b64.find('\r'), 76u);
    EXPECT_TRUE(b64.starts_with(Base64Encode("PK\x03\x04", 0).substr(0, 4)));  // a zip package
    EXPECT_FALSE(Exists("trailstarter.dmp"));
    EXPECT_FALSE(Exists("trailstarter.log"));
    EXPECT_TRUE(Exists("crash.zip"));
}

TEST_F(CrashReportsTest, FailuresAndRefusalsKeepOrDropTheFiles) {
    SetSiteNameForTesting("test2");
    Leave("trailstarter", "dump", "ExceptionAddress=1\r\n");
    server_->SetFault("/crashreport.xml", Standin::Fault{Standin::FaultKind::kStatus, 500});
    {
        // 500, Retry, 500 again, Cancel: both files stay.
        Vel::Test::ScriptedPrompt prompt({kIdOk, kIdRetry, kIdCancel});
        CrashReports().ReportPendingCrashDumps(nullptr);
        ASSERT_EQ(prompt.Questions().size(), 3u);
        EXPECT_EQ(prompt.Questions()[1].text, "Failed sending error crash report. Retry?");
        EXPECT_EQ(prompt.Questions()[1].buttons, Platform::PromptButtons::RetryCancel);
        const auto posts = Posts();
        ASSERT_EQ(posts.size(), 2u);
        EXPECT_EQ(posts[0].cookie, "alternatesrv=test2");
        EXPECT_NE(Form(posts[0].body).at("crashInfo").find("<site>test2</site>"), std::string::npos);
        EXPECT_TRUE(Exists("trailstarter.dmp"));
        EXPECT_TRUE(Exists("trailstarter.log"));
    }
    {
        // Declined: both go without a post.
        server_->ClearLog();
        Vel::Test::ScriptedPrompt prompt({kIdCancel});
        CrashReports().ReportPendingCrashDumps(nullptr);
        EXPECT_EQ(prompt.Questions().size(), 1u);
        EXPECT_TRUE(Posts().empty());
        EXPECT_FALSE(Exists("trailstarter.dmp"));
        EXPECT_FALSE(Exists("trailstarter.log"));
    }
}

TEST_F(CrashReportsTest, EmptyOrLoglessDumpsAreNotOfferedAndTheClientsComeFirst) {
    Leave("trailstarter_empty", "", "ExceptionAddress=1\r\n");
    dir_.Write("out/crashes/trailstarter_nolog.dmp", "dump");
    Leave("trailstarter", "dump", "Version=launcher\r\n");
    Leave("solvenda_12", "dump", "Version=client\r\nPosX=7\r\n");
    Vel::Test::ScriptedPrompt prompt({kIdOk, kIdOk});
    CrashReports().ReportPendingCrashDumps(nullptr);

    const auto questions = prompt.Questions();
    ASSERT_EQ(questions.size(), 2u);
    EXPECT_NE(questions[0].text.find("Version = client"), std::string::npos);
    EXPECT_NE(questions[1].text.find("Version = launcher"), std::string::npos);
    const auto posts = Posts();
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_NE(Form(posts[0].body).at("crashInfo").find("<posX>7</posX>"), std::string::npos);
    // The empty dump went with its log, unasked; the dump without a log stays.
    EXPECT_FALSE(Exists("trailstarter_empty.dmp"));
    EXPECT_FALSE(Exists("trailstarter_empty.log"));
    EXPECT_TRUE(Exists("trailstarter_nolog.dmp"));
}

// Answers every question through a function of the test, which may change the world meanwhile.
class ActingPrompt final : public Platform::IPrompt {
public:
    explicit ActingPrompt(std::function<int(const std::string& text)> act) : act_(std::move(act)) {
        Platform::SetPrompt(this);
    }
    ~ActingPrompt() override { Platform::SetPrompt(nullptr); }
    int Show(const std::string& text, const std::string&, Platform::PromptButtons, Platform::PromptIcon) override {
        return act_(text);
    }

private:
    std::function<int(const std::string&)> act_;
};

TEST_F(CrashReportsTest, ARetryReadsTheEndpointAndTheSiteAgainAndBuildsThePackageAgain) {
    SetSiteNameForTesting("test2");
    Leave("trailstarter", std::string(3000, 'a'), "ExceptionAddress=1\r\n");
    server_->SetFault("/crashreport.xml", Standin::Fault{Standin::FaultKind::kStatus, 500});
    int retries = 0;
    ActingPrompt prompt([&](const std::string& text) {
        if (text != "Failed sending error crash report. Retry?") return kIdOk;
        // Between the tries: another endpoint, another site, a dump that grew.
        ++retries;
        GetParameterStore().Set("crash.report_url", ParameterType::String, server_->BaseUrl() + "other.xml");
        SetSiteNameForTesting("test3");
        dir_.Write("out/crashes/trailstarter.dmp", std::string(3000, 'a') + std::string(3000, 'b'));
        return retries == 1 ? kIdRetry : kIdCancel;
    });
    CrashReports().ReportPendingCrashDumps(nullptr);

    EXPECT_EQ(retries, 1);
    const auto posts = Posts();
    ASSERT_EQ(posts.size(), 2u);
    EXPECT_EQ(posts[0].path, "/crashreport.xml");
    EXPECT_EQ(posts[1].path, "/other.xml");
    EXPECT_EQ(posts[1].cookie, "alternatesrv=test3");
    const auto first = Form(posts[0].body), second = Form(posts[1].body);
    EXPECT_NE(second.at("crashInfo").find("<site>test3</site>"), std::string::npos) << second.at("crashInfo");
    EXPECT_NE(first.at("crashDump"), second.at("crashDump"));
    EXPECT_FALSE(Exists("trailstarter.dmp"));  // sent on the second try
}

// A crash file that is a link, or that another user owns, is never read, offered or sent.
TEST_F(CrashReportsTest, LinksAndOtherUsersFilesAreLeftAlone) {
    const auto secret = dir_.Write("secret", "Version=secret\r\nSECRET BYTES\r\n");
    fs::permissions(secret, fs::perms::owner_read | fs::perms::owner_write);
    fs::create_directories(dir_ / "out/crashes");
    // A link in place of a dump, with a log beside it; a dump whose log is a link.
    fs::create_symlink(secret, dir_ / "out/crashes/solvenda_2.dmp");
    dir_.Write("out/crashes/solvenda_2.log", "Version=1\r\n");
    dir_.Write("out/crashes/trailstarter.dmp", "dump");
    fs::create_symlink(secret, dir_ / "out/crashes/trailstarter.log");
    // A dump and a log that belong to someone else (only root can make them here).
    const bool root = ::geteuid() == 0;
    if (root) {
        Leave("trailstarter_other", "dump", "Version=other\r\n");
        for (const char* name : {"trailstarter_other.dmp", "trailstarter_other.log"})
            ASSERT_EQ(::chown((dir_ / ("out/crashes/" + std::string(name))).c_str(), 65534, 65534), 0);
    }

    Vel::Test::ScriptedPrompt prompt({}, kIdOk);
    CrashReports reports;
    reports.ReportPendingCrashDumps(nullptr);
    EXPECT_FALSE(reports.SendCrashReport(nullptr, "out/crashes/solvenda_2.dmp"));  // asked by name

    EXPECT_TRUE(prompt.Questions().empty()) << prompt.Questions()[0].text;
    EXPECT_TRUE(Posts().empty());
    for (const char* name : {"solvenda_2.dmp", "solvenda_2.log", "trailstarter.dmp", "trailstarter.log"})
        EXPECT_TRUE(fs::exists(fs::symlink_status(dir_ / ("out/crashes/" + std::string(name))))) << name;
    if (root) {
        EXPECT_TRUE(Exists("trailstarter_other.dmp"));
    }
    EXPECT_EQ(Vel::Test::ReadFile(secret), "Version=secret\r\nSECRET BYTES\r\n");
}

// The launcher crashing on a call to an unmapped address leaves a report that the next start
// offers and sends.
TEST_F(CrashReportsTest, ACrashOnABadCallIsOfferedAndSentNextTime) {
    const std::string exe = (dir_ / "Trailstarter").string();
    const pid_t pid = ::fork();
    if (pid == 0) {
        SetExecutablePathForTesting(exe);
        InstallCrashHandler();
        RefreshCrashHandlerState();
        void (*volatile target)() = reinterpret_cast<void (*)()>(std::uintptr_t{0x1234});
        target();
        ::_exit(0);
    }
    int status = 0;
    ASSERT_TRUE(TestSupport::WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, std::chrono::seconds(30)))
        << "crashing child did not end";
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGSEGV);

    Vel::Test::ScriptedPrompt prompt({kIdOk});
    CrashReports().ReportPendingCrashDumps(nullptr);
    ASSERT_EQ(prompt.Questions().size(), 1u);
    EXPECT_NE(prompt.Questions()[0].text.find("\nException Address = 4660\n"), std::string::npos)
        << prompt.Questions()[0].text;
    const auto posts = Posts();
    ASSERT_EQ(posts.size(), 1u);
    EXPECT_NE(Form(posts[0].body).at("crashInfo").find("<exceptionAddress>4660</exceptionAddress>"),
              std::string::npos);
    EXPECT_FALSE(Exists("Trailstarter.dmp"));
    EXPECT_FALSE(Exists("Trailstarter.log"));
}

TEST_F(CrashReportsTest, ABadEndpointEndsThePassSilently) {
    GetParameterStore().Set("crash.report_url", ParameterType::String, "http://[bad");
    Leave("trailstarter", "dump", "Version=1\r\n");
    Vel::Test::ScriptedPrompt prompt({kIdOk});
    CrashReports().ReportPendingCrashDumps(nullptr);
    EXPECT_EQ(prompt.Questions().size(), 1u);
    EXPECT_TRUE(Exists("trailstarter.dmp"));
}

TEST(CrashInfoDocument, EscapesValuesInsideTheDocument) {
    CrashReportMachine machine;
    machine.site = "pro01";
    machine.gfxName = "A&B <GPU>";
    const std::string doc = BuildCrashInfoDocument({{"PosX", "x"}, {"ServerID", "99999999999"}}, "2024-01-02 03:04:05", machine);
    EXPECT_NE(doc.find("<gfxName>A&amp;B &lt;GPU&gt;</gfxName>"), std::string::npos) << doc;
    EXPECT_NE(doc.find("<posX>0</posX>"), std::string::npos);
    EXPECT_NE(doc.find("<serverID>0</serverID>"), std::string::npos);
    EXPECT_NE(doc.find("<client64bit>0</client64bit>"), std::string::npos);
    EXPECT_NE(UrlEncode(doc).find("A%26amp%3BB"), std::string::npos);
}

}  // namespace
}  // namespace Vel
