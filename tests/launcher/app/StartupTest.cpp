#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <filesystem>
#include <future>
#include <iostream>
#include <thread>

#include "delivery/update/UpdateManager.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/runtime/ProcessRuntime.h"
#include "foundation/config/SiteName.h"
#include "launcher/app/TrailstarterApp.h"
#include "platform/InstanceActivation.h"
#include "platform/InstanceObject.h"
#include "tests/support/CurrentDirGuard.h"
#include "tests/support/PumpUntil.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScriptedPrompt.h"
#include "tests/support/TempDir.h"

using namespace Vel;
namespace fs = std::filesystem;

namespace {

class RecordingServices final : public IStartupServices {
public:
    std::vector<std::string> calls;
    int termsAnswer = kTermsAccepted;
    bool languageChosen = true;
    bool restart = false;
    std::vector<std::string> restartArguments;

    bool WaitForParentProcess(pid_t pid, int timeoutMs) override {
        calls.push_back("WaitForParentProcess " + std::to_string(pid) + " " + std::to_string(timeoutMs));
        return true;
    }
    bool EnsureLanguageChosen() override { return Record("EnsureLanguageChosen"), languageChosen; }
    int RunTermsDialog() override { return Record("RunTermsDialog"), termsAnswer; }
    void InitUserFolders(unsigned flags) override { Record("InitUserFolders " + std::to_string(flags)); }
    void CreateAppServices() override { Record("CreateAppServices"); }
    void StartRouter() override { Record("StartRouter"); }
    void InitUpdateManager() override { Record("InitUpdateManager"); }
    bool RunMainWindow() override {
        // The running instance holds its object while the window shows.
        calls.push_back(std::string("RunMainWindow held=") +
                        (Platform::InstanceObject::Exists(InstanceObjectName(true, "")) ? "1" : "0"));
        return restart;
    }
    void ShutdownTimedJobs() override { Record("ShutdownTimedJobs"); }
    void ShutdownUpdateManager() override { Record("ShutdownUpdateManager"); }
    void StopRouter() override { Record("StopRouter"); }
    void ShutdownContentDownload() override { Record("ShutdownContentDownload"); }
    void ReleaseConnections() override { Record("ReleaseConnections"); }
    void DestroyAppServices() override { Record("DestroyAppServices"); }
    bool RestartSelf() override {
        Record("RestartSelf");
        restartArguments = UpdateManager::RestartArguments();  // what the real restart passes
        return false;
    }

private:
    void Record(const std::string& call) { calls.push_back(call); }
};

// Each start-up runs in a fresh installation folder, with its own runtime folder for the locks.
class StartupTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_RUNTIME_DIR", runtime_.Path().c_str(), 1);
        fs::permissions(runtime_.Path(), fs::perms::owner_all, fs::perm_options::replace);
        fs::current_path(install_.Path());
        GetParameterStore() = ParameterStore();
        ResetRuntimeForTesting();
        SetExecutablePathForTesting((install_.Path() / "Trailstarter").string());
    }
    void TearDown() override {
        ResetRuntimeForTesting();
        GetParameterStore() = ParameterStore();
    }

    std::vector<std::string> Run(std::vector<std::string> arguments) {
        CTrailstarterApp app(services_, std::move(arguments));
        EXPECT_FALSE(app.InitInstance());
        EXPECT_EQ(app.ExitInstance(), 0);
        return services_.calls;
    }

    Vel::Test::CurrentDirGuard cwd_;
    Vel::Test::TempDir install_{"install"};
    Vel::Test::TempDir runtime_{"runtime"};
    RecordingServices services_;
    Vel::Test::ScriptedPrompt prompt_;
};

const std::vector<std::string> kServiceOrder = {
    "EnsureLanguageChosen", "RunTermsDialog", "InitUserFolders 3", "CreateAppServices", "StartRouter",
    "InitUpdateManager", "RunMainWindow held=1", "ShutdownTimedJobs", "ShutdownUpdateManager", "StopRouter",
    "ShutdownContentDownload", "ReleaseConnections", "DestroyAppServices",
};

}  // namespace

TEST_F(StartupTest, ServicesStartAndStopInOrder) {
    EXPECT_EQ(Run({}), kServiceOrder);
    EXPECT_TRUE(prompt_.Questions().empty());
}

TEST_F(StartupTest, DecliningOrClosingTheTermsStartsNoService) {
    for (int answer : {kTermsDeclined, 2}) {
        SCOPED_TRACE(answer);
        services_.calls.clear();
        ResetRuntimeForTesting();
        services_.termsAnswer = answer;
        EXPECT_EQ(Run({}), (std::vector<std::string>{"EnsureLanguageChosen", "RunTermsDialog"}));
    }
}

TEST_F(StartupTest, QuietOrAPublicFolderSkipsTheTermsButNotTheLanguage) {
    for (const auto& args : {std::vector<std::string>{"-q"}, {"--change-public-users-dir", "/data"}}) {
        services_.calls.clear();
        ResetRuntimeForTesting();
        auto calls = Run(args);
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front(), "EnsureLanguageChosen");
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "RunTermsDialog"), 0);
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "DestroyAppServices"), 1);
    }
}

TEST_F(StartupTest, RestartAfterUpdatePassesQuietAndOurProcessId) {
    services_.restart = true;
    auto calls = Run({});
    EXPECT_EQ(calls.back(), "RestartSelf");
    EXPECT_EQ(services_.restartArguments,
              (std::vector<std::string>{"--quiet", "--wait-for-parent", std::to_string(::getpid())}));
    ASSERT_EQ(prompt_.Questions().size(), 1u);  // the restart failed in the fake
    EXPECT_EQ(prompt_.Questions()[0].text,
              "Failed to restart Trailstarter after update\r\nPlease try restarting it manually");
}

// A test installation set up on the command line must still talk to its own servers after the
// restart: every key=value parameter goes on as it came, one argument each; switches, bare names
// and unknown options do not.
TEST_F(StartupTest, RestartAfterUpdatePassesOnTheCommandLineParameters) {
    services_.restart = true;
    Run({"-q", "web.update.url=http://127.0.0.1:9/", "--allow-mutiple-instances", "bare.name", "a=b=c",
         "--unknown=1", "--flag", "web.news.host=two words", "=x", "web.update.url=http://127.0.0.1:10/"});
    EXPECT_EQ(services_.restartArguments,
              (std::vector<std::string>{"--quiet", "--wait-for-parent", std::to_string(::getpid()),
                                        "web.update.url=http://127.0.0.1:9/", "a=b=c", "web.news.host=two words",
                                        "web.update.url=http://127.0.0.1:10/"}));
}

TEST_F(StartupTest, AfterPatchWaitsThenShowsTheNoticeWithoutTakingTheObject) {
    auto calls = Run({"--after-patch", "--wait-for-parent", "4242"});
    EXPECT_EQ(calls, (std::vector<std::string>{"WaitForParentProcess 4242 10000"}));
    ASSERT_EQ(prompt_.Questions().size(), 1u);
    EXPECT_EQ(prompt_.Questions()[0].text, "New update system installed!\r\nPlease restart Solvenda Frontier.");
    EXPECT_EQ(prompt_.Questions()[0].icon, Platform::PromptIcon::Information);
    EXPECT_FALSE(fs::exists(Platform::InstanceObject::LockPath("Trailstarter_0")));
}

TEST_F(StartupTest, InstallationRootIsTheParentOfABinFolderAndStaleCrashFilesGo) {
    for (const char* bin : {"bin64", "BIN32"}) {
        ResetRuntimeForTesting();
        services_.calls.clear();
        install_.Write("Trailstarter.log", "old");
        install_.Write("Trailstarter.dmp", "old");
        install_.Write("Trailstarter_keep.log", "other");
        fs::create_directories(install_ / bin);
        fs::current_path(install_ / bin);
        Run({"-q"});
        EXPECT_EQ(fs::canonical(fs::current_path()), fs::canonical(install_.Path())) << bin;
        EXPECT_FALSE(fs::exists(install_ / "Trailstarter.log"));
        EXPECT_FALSE(fs::exists(install_ / "Trailstarter.dmp"));
        EXPECT_TRUE(fs::exists(install_ / "Trailstarter_keep.log"));
    }
}

TEST_F(StartupTest, CommandLineImportsAssignmentsAndIgnoresAMalformedLineWhole) {
    Run({"--quiet", "web.update.url=http://127.0.0.1:9/"});
    EXPECT_EQ(GetConfigString("web.update.url", "-"), "http://127.0.0.1:9/");
    EXPECT_EQ(std::count(services_.calls.begin(), services_.calls.end(), "RunTermsDialog"), 0);

    ResetRuntimeForTesting();
    GetParameterStore() = ParameterStore();
    services_.calls.clear();
    Run({"--quiet", "--wait-for-parent", "abc", "web.update.url=x"});
    EXPECT_EQ(GetConfigString("web.update.url", "-"), "-");
    EXPECT_EQ(services_.calls.front(), "EnsureLanguageChosen");  // no wait, and the terms are shown:
    EXPECT_EQ(std::count(services_.calls.begin(), services_.calls.end(), "RunTermsDialog"), 1);
}

TEST_F(StartupTest, InstanceNameCarriesHostIndexAndSite) {
    install_.Write("site.txt", "test2");
    Run({"-q", "host.index=3"});
    EXPECT_EQ(InstanceObjectName(true, ""), "Trailstarter_3_test2");
    EXPECT_EQ(InstanceObjectName(false, "Solvenda"), "Solvenda_3");
}

TEST_F(StartupTest, SecondStartWhileTheFirstHoldsTheObjectRunsNothing) {
    SetSiteNameForTesting("");
    ASSERT_TRUE(AcquireSingleInstance(false, "Trailstarter", -1, true, false));  // "the first instance"
    auto calls = Run({"-q"});
    EXPECT_TRUE(calls.empty());
    ASSERT_EQ(prompt_.Questions().size(), 1u);  // nobody listens for "activate" here
    EXPECT_EQ(prompt_.Questions()[0].text, "Trailstarter is already running");
}

// Without $XDG_RUNTIME_DIR the objects live in "$TMPDIR/trailstarter-<uid>". When that folder is
// someone else's, open to others, or a link, it is not ours to read: the start takes its
// object in "$XDG_CACHE_HOME/trailstarter-<uid>" (made 0700 with its parents) and runs, instead
// of reporting a running instance.
TEST_F(StartupTest, ATempFolderThatIsNotOursAndPrivateIsPassedOverForTheCacheFolder) {
    struct Case {
        const char* name;
        uid_t owner;  // 0: ours
        mode_t mode;
        bool link;
    } cases[] = {
        {"another user's folder open to all", 65534, 0777, false},
        {"another user's private folder", 65534, 0700, false},
        {"our folder open to all", 0, 0777, false},
        {"a link to our private folder", 0, 0700, true},
    };
    const std::string leaf = "trailstarter-" + std::to_string(::geteuid());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.owner != 0 && ::geteuid() != 0) {
            std::cout << "skipped (needs root to give a folder away): " << c.name << "\n";
            continue;
        }
        Vel::Test::TempDir tmp("tmp"), cache("cache");
        Vel::Test::ScopedEnv env;
        env.Set("XDG_RUNTIME_DIR", nullptr);
        env.Set("TMPDIR", tmp.Path().c_str());
        env.Set("XDG_CACHE_HOME", (cache / "home/.cache").c_str());
        const fs::path shared = tmp / leaf;
        if (c.link) {
            fs::create_directory(tmp / "elsewhere");
            fs::create_directory_symlink(tmp / "elsewhere", shared);
        } else {
            fs::create_directory(shared);
        }
        ASSERT_EQ(::chmod(shared.c_str(), c.mode), 0);
        if (c.owner != 0) {
            ASSERT_EQ(::chown(shared.c_str(), c.owner, c.owner), 0);
        }

        services_.calls.clear();
        ResetRuntimeForTesting();
        std::vector<std::string> expected = kServiceOrder;
        expected.erase(expected.begin() + 1);  // -q: no terms
        EXPECT_EQ(Run({"-q"}), expected);
        EXPECT_TRUE(prompt_.Questions().empty());

        const fs::path own = cache / "home/.cache" / leaf;
        EXPECT_EQ(Platform::RuntimeDirectory(), own.string());
        EXPECT_TRUE(fs::exists(own / "Trailstarter_0.lock"));
        EXPECT_TRUE(fs::is_empty(c.link ? tmp / "elsewhere" : shared));
        for (const fs::path& made : {cache / "home", cache / "home/.cache", own}) {
            struct stat st {};
            ASSERT_EQ(::lstat(made.c_str(), &st), 0) << made;
            EXPECT_EQ(st.st_mode & 07777, 0700u) << made;
        }
        ResetRuntimeForTesting();
    }
}

// With no folder of our own to hold the object in (here: the cache folder is too long for a
// socket address beside the lock), the start ends with the folder and the reason, never with
// "already running".
TEST_F(StartupTest, NoUsableRuntimeFolderIsReportedAsSuchAndStartsNothing) {
    Vel::Test::TempDir tmp("tmp");
    Vel::Test::ScopedEnv env;
    env.Set("XDG_RUNTIME_DIR", nullptr);
    env.Set("TMPDIR", tmp.Path().c_str());
    const std::string leaf = "trailstarter-" + std::to_string(::geteuid());
    fs::create_directory(tmp / leaf);
    ASSERT_EQ(::chmod((tmp / leaf).c_str(), 0777), 0);
    const std::string cache = (tmp / std::string(Platform::kMaxRuntimeDirectoryLength, 'c')).string();
    env.Set("XDG_CACHE_HOME", cache.c_str());

    EXPECT_TRUE(Run({"-q"}).empty());
    ASSERT_EQ(prompt_.Questions().size(), 1u);
    EXPECT_EQ(prompt_.Questions()[0].text, "Trailstarter cannot create its instance lock in " + cache + "/" + leaf +
                                               " and does not start.\n\nFile name too long (error code 36)");
    EXPECT_EQ(prompt_.Questions()[0].icon, Platform::PromptIcon::Error);
    EXPECT_FALSE(fs::exists(cache));
}

// A second process is refused while the first holds the object, and succeeds once the first
// was killed, although the lock file stays behind.
TEST(InstanceObject, KilledHolderLeavesTheObjectFree) {
    Vel::Test::TempDir runtime("runtime");
    fs::permissions(runtime.Path(), fs::perms::owner_all, fs::perm_options::replace);
    ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);

    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        Platform::InstanceObject object;
        const char ok = object.Create("Holder_0") == Platform::InstanceObject::Result::New ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ASSERT_EQ(ok, '1');

    Platform::InstanceObject second;
    EXPECT_EQ(second.Create("Holder_0"), Platform::InstanceObject::Result::Existed);
    EXPECT_TRUE(Platform::InstanceObject::Exists("Holder_0"));
    EXPECT_FALSE(second.Wait(0));

    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_TRUE(fs::exists(Platform::InstanceObject::LockPath("Holder_0")));
    EXPECT_FALSE(Platform::InstanceObject::Exists("Holder_0"));
    EXPECT_TRUE(second.Wait(20000));

    Platform::InstanceObject third;
    EXPECT_EQ(third.Create("Holder_0"), Platform::InstanceObject::Result::Existed);
    EXPECT_FALSE(Platform::InstanceObject::Exists("Missing_0"));
    EXPECT_FALSE(fs::exists(Platform::InstanceObject::LockPath("Missing_0")));
    ::close(ready[0]);
    ::close(ready[1]);
}

TEST(InstanceActivation, ASecondStartRaisesTheListeningInstance) {
    Vel::Test::TempDir runtime("runtime");
    fs::permissions(runtime.Path(), fs::perms::owner_all, fs::perm_options::replace);
    ::setenv("XDG_RUNTIME_DIR", runtime.Path().c_str(), 1);
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    QApplication app(argc, argv);
    Platform::ActivationListener listener("Raise_0");
    ASSERT_TRUE(listener.IsListening());

    // A long site name would not fit a socket address: the socket takes a short name instead.
    const std::string longName = "Raise_0_" + std::string(120, 's');
    Platform::ActivationListener longListener(longName);
    ASSERT_TRUE(longListener.IsListening());
    EXPECT_LT(Platform::ActivationSocketPath(longName).size(), 108u);

    for (const std::string& name : {std::string("Raise_0"), longName}) {
        auto answer =
            std::async(std::launch::async, [name] { return Platform::RequestActivation(name, 20000); });
        ASSERT_TRUE(Vel::Test::PumpUntil(
            [&] { return answer.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            std::chrono::seconds(30)));
        EXPECT_TRUE(answer.get()) << name;
    }
    EXPECT_FALSE(Platform::RequestActivation("Nobody_0", 500));
}
