// ctest: threading
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>

#include "delivery/jobs/DownloadProgress.h"
#include "delivery/workers/MainWindowMessages.h"
#include "delivery/update/UpdateRun.h"
#include "delivery/workers/WorkerStatus.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/core/ParameterStore.h"
#include "foundation/core/StringUtils.h"
#include "platform/InstanceObject.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CurrentDirGuard.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/ManualRequestScheduler.h"
#include "tests/support/RecordedResults.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/ScriptedUpdatePrompt.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/WaitFor.h"
#include "tools/standin-server/StandinServer.h"

using namespace Vel;
using namespace Vel::UpdateManager;
using TestSupport::WaitFor;
namespace fs = std::filesystem;

namespace {

std::string BuildDir() {
    const char* build = std::getenv("TRAILSTARTER_BUILD_DIR");
    return build != nullptr ? build : ".";
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A job that records its completion.
struct WatchedJob {
    std::shared_ptr<ThreadJob> job = std::make_shared<ThreadJob>();
    std::shared_ptr<std::atomic<bool>> completed = std::make_shared<std::atomic<bool>>(false);
    WatchedJob() {
        job->AddCompletionCallback([c = completed] { c->store(true); });
    }
    bool IsCompleted() const { return completed->load(); }
};

// Two volumes (or one), each with the space the test sets; a failure on demand.
class FakeVolumes final : public IVolumeProbe {
public:
    VolumeInfo Query(const std::string& path) override {
        std::lock_guard lock(mutex_);
        if (fail) throw FileException(path);
        const bool staging = path.find("SF_Update") != std::string::npos;
        VolumeInfo v;
        v.device = staging || !twoVolumes ? 1 : 2;
        v.mountPoint = staging ? "/stage/" : "/client/";
        v.available = staging ? stagingFree : clientFree;
        return v;
    }
    void Set(bool two, std::uint64_t staging, std::uint64_t client) {
        std::lock_guard lock(mutex_);
        twoVolumes = two;
        stagingFree = staging;
        clientFree = client;
    }
    bool fail = false;

private:
    std::mutex mutex_;
    bool twoVolumes = false;
    std::uint64_t stagingFree = ~std::uint64_t{0};
    std::uint64_t clientFree = ~std::uint64_t{0};
};

// A prompt whose answers the test gives while the run waits.
class GatedPrompt final : public IUpdateErrorPrompt {
public:
    bool AskRetry(unsigned stringId, const std::string&, bool) override {
        std::unique_lock lock(mutex_);
        asked_.push_back(stringId);
        changed_.notify_all();
        changed_.wait(lock, [&] { return !answers_.empty(); });
        const bool answer = answers_.front();
        answers_.erase(answers_.begin());
        return answer;
    }
    bool WaitForQuestions(std::size_t n) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return asked_.size() >= n; });
    }
    void Answer(bool answer) {
        std::lock_guard lock(mutex_);
        answers_.push_back(answer);
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<unsigned> asked_;
    std::vector<bool> answers_;
};

// A clock whose sleepers wait until the test moves it (or, so that nothing hangs, for a real
// time-out): shows what a pause waits for.
class SteppedClock final : public IClock {
public:
    MonoTime Now() const override {
        std::lock_guard lock(mutex_);
        return now_;
    }
    void SleepFor(MonoDuration d) override {
        std::unique_lock lock(mutex_);
        const MonoTime until = now_ + d;
        ++sleepers_;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(30), [&] { return now_ >= until; });
        --sleepers_;
        changed_.notify_all();
    }
    bool WaitForSleeper() {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return sleepers_ > 0; });
    }
    void Advance(MonoDuration d) {
        std::lock_guard lock(mutex_);
        now_ += d;
        changed_.notify_all();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    MonoTime now_ = MonoTime{} + std::chrono::hours(24);
    int sleepers_ = 0;
};

// One stand-in server for the whole suite: the download manager keeps the server list it
// loaded first.
fs::path g_siteRoot;
std::unique_ptr<Standin::HttpServer> g_server;

class UpdateRunTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static Vel::Test::TempDir site("site");
        g_siteRoot = site.Path();
        Standin::ServerConfig config;
        config.root = g_siteRoot.string();
        g_server = std::make_unique<Standin::HttpServer>(config);
        g_server->Start();
    }
    static void TearDownTestSuite() { g_server.reset(); }

    void SetUp() override {
        ResetForTesting();
        g_server->ClearFaults();
        fs::remove_all(g_siteRoot);
        fs::create_directories(g_siteRoot);
        fs::create_directories(dir_ / "client/bin32");
        fs::create_directories(dir_ / "tmp");
        fs::copy_file(BuildDir() + "/tools/updater/SolvendaUpdater", dir_ / "client/bin32/SolvendaUpdater");
        fs::current_path(dir_ / "client");
        env_.Set("TMPDIR", (dir_ / "tmp").c_str());
        // The game client's instance object: this test's own.
        fs::create_directories(dir_ / "objects");
        fs::permissions(dir_ / "objects", fs::perms::owner_all, fs::perm_options::replace);
        env_.Set("XDG_RUNTIME_DIR", (dir_ / "objects").c_str());
        GetParameterStore().Set("web.update.url", ParameterType::String, g_server->BaseUrl());
        UpdateRunEnvironment environment;
        environment.prompt = &prompt_;
        environment.clock = &clock_;
        environment.volumes = &volumes_;
        SetUpdateRunEnvironment(environment);
        SetMainWindowTarget(&target_);
        Init(&scheduler_);
    }
    void TearDown() override {
        Shutdown();
        SetMainWindowTarget(nullptr);
        SetUpdateRunEnvironment({});
        GetParameterStore() = ParameterStore();
        ResetForTesting();
    }

    // The site: make-site over dir/site-client.
    void MakeSite(const std::map<std::string, std::string>& files) {
        fs::remove_all(dir_ / "site-client");
        for (const auto& [path, content] : files) dir_.Write("site-client/" + path, content);
        Vel::Test::ChildProcess make(Vel::Test::ToolPath("make-site"),
                                {"--client", (dir_ / "site-client").string(), "--out", g_siteRoot.string()});
        ASSERT_EQ(make.Wait(), 0);
    }

    std::vector<int> RunToEnd(const std::shared_ptr<ThreadJob>& job, std::size_t results = 1) {
        StartUpdate(job);
        EXPECT_TRUE(WaitFor([&] { return target_.Results().size() >= results && !IsUpdateRunning(); }));
        // The staging folder goes as the run's very last act.
        EXPECT_TRUE(WaitFor([&] { return fs::is_empty(dir_ / "tmp"); }));
        return target_.Results();
    }

    std::size_t StagingFolders() const {
        std::size_t n = 0;
        for (const auto& e : fs::directory_iterator(dir_ / "tmp"))
            if (e.path().filename().string().find("SF_Update") != std::string::npos) ++n;
        return n;
    }

    Vel::Test::TempDir dir_{"run"};
    Vel::Test::CurrentDirGuard cwd_;
    Vel::Test::ScopedEnv env_;
    FakeClock clock_;
    Vel::Test::ManualRequestScheduler scheduler_{clock_};
    Vel::Test::ScriptedUpdatePrompt prompt_;
    FakeVolumes volumes_;
    Vel::Test::RecordedResults target_{MainWindowMessage::UpdateFinished};
};

TEST_F(UpdateRunTest, AllUpToDateGivesDoneWithoutAStagingFolder) {
    MakeSite({{"data/a.bin", "aaaa"}, {"version.txt", "1.0.0.1"}});
    dir_.Write("client/data/a.bin", "aaaa");
    dir_.Write("client/version.txt", "1.0.0.1");
    WatchedJob job;
    EXPECT_EQ(RunToEnd(job.job), std::vector<int>{0});
    EXPECT_TRUE(job.IsCompleted());
    const auto progress = GetWorkerProgress();
    ASSERT_TRUE(progress);
    EXPECT_EQ(progress->GetDone(), progress->GetTotal());
    EXPECT_TRUE(prompt_.Questions().empty());
    // No staging folder was made at all: the server saw no package request either.
    for (const auto& r : g_server->RequestLog()) EXPECT_EQ(r.path.find("client_files/"), std::string::npos) << r.path;
}

TEST_F(UpdateRunTest, ChangedFilesAreAppliedAndTheLauncherInTheListAsksForARestart) {
    MakeSite({{"data/a.bin", std::string(3000, 'n')},
              {"new folder/b.bin", "brand new"},
              {"Trailstarter", "the next launcher"},
              {"version.txt", "1.0.0.1"}});
    dir_.Write("client/data/a.bin", std::string(3000, 'o'));  // same size, other hash
    dir_.Write("client/version.txt", "1.0.0.0");
    WatchedJob job;
    EXPECT_EQ(RunToEnd(job.job), std::vector<int>{1});
    EXPECT_TRUE(job.IsCompleted());
    for (const char* path : {"data/a.bin", "new folder/b.bin", "Trailstarter", "version.txt"})
        EXPECT_EQ(ReadAll(dir_ / "client" / path), ReadAll(dir_ / "site-client" / path)) << path;
    EXPECT_EQ(StagingFolders(), 0u);
}

TEST_F(UpdateRunTest, FailuresEndWithTheirResultAndTheUpdaterNeverRuns) {
    // A stand-in updater that leaves a mark shows whether the run got as far as applying.
    const fs::path mark = dir_ / "updater-ran";
    std::ofstream(dir_ / "client/bin32/SolvendaUpdater", std::ios::trunc) << "#!/bin/sh\ntouch '" << mark.string()
                                                                           << "'\n";
    // An update server whose certificate no trusted authority signed.
    fs::create_directories(dir_ / "certs");
    const auto certs = Vel::Test::MakeTestCertificates(dir_ / "certs");
    Standin::ServerConfig tlsConfig;
    tlsConfig.root = g_siteRoot.string();
    tlsConfig.tlsCertificate = certs.serverCert;
    tlsConfig.tlsKey = certs.serverKey;
    Standin::HttpServer untrusted(tlsConfig);
    untrusted.Start();
    struct Case {
        const char* name;
        std::function<void()> arrange;
        int result;
        bool errorAsked;
        UpdateFailure failure;  // what the run tells the window
    };
    const std::vector<Case> cases = {
        {"manifest 404",
         [] {
             Standin::Fault fault;
             Standin::ParseFault("404", fault);
             g_server->SetFault("/client_files.xml", fault);
         },
         3, false, {"HTTP 404", true}},
        {"manifest that is no XML", [] { std::ofstream(g_siteRoot / "client_files.xml") << "<files><file"; }, 7, false, {}},
        {"every mirror failing, Cancel",
         [] { fs::remove_all(g_siteRoot / "client_files"); }, 2, true, {}},
        {"space cannot be measured", [this] { volumes_.fail = true; }, 2, false, {}},
        {"manifest server's certificate not trusted",
         [&] { GetParameterStore().Set("web.update.list", ParameterType::String, untrusted.BaseUrl()); }, 3, false,
         {"The certificate of 127.0.0.1 could not be verified: it was not issued by a trusted certificate authority",
          true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MakeSite({{"data/a.bin", "new content"}});
        g_server->ClearFaults();
        volumes_.fail = false;
        c.arrange();
        const std::size_t before = target_.Results().size();
        const std::size_t asked = prompt_.Questions().size();
        WatchedJob job;
        const auto results = RunToEnd(job.job, before + 1);
        ASSERT_EQ(results.size(), before + 1);
        EXPECT_EQ(results.back(), c.result);
        const UpdateFailure failure = TakeLastFailure();
        EXPECT_EQ(failure.cause, c.failure.cause);
        EXPECT_EQ(failure.serverAnswered, c.failure.serverAnswered);
        EXPECT_EQ(job.IsCompleted(), c.result <= 2);
        EXPECT_FALSE(fs::exists(mark));
        const auto questions = prompt_.Questions();
        EXPECT_EQ(questions.size() > asked, c.errorAsked);
        if (c.errorAsked) {
            EXPECT_EQ(questions.back().stringId, kStringDownloadError);
            // The package's own answer, not a code of 0.
            const std::string& text = questions.back().argument;
            EXPECT_NE(text.find("contact planet support. (HTTP 404)"), std::string::npos) << text;
            EXPECT_EQ(text.find("error code 0"), std::string::npos) << text;
        }
    }
}

TEST_F(UpdateRunTest, TooLittleSpaceOnTwoVolumesNamesBothWithTheirTotals) {
    MakeSite({{"a.bin", std::string(1000, 'a')}, {"b.bin", std::string(500, 'b')}});
    dir_.Write("client/b.bin", std::string(200, 'o'));  // grows by 300 on the client volume
    volumes_.Set(true, 10, 10);
    WatchedJob job;
    const auto results = RunToEnd(job.job);
    EXPECT_EQ(results, std::vector<int>{2});

    const FileList list = ReadFileList(ReadAll(g_siteRoot / "client_files.xml"));
    const std::uint64_t gib = std::uint64_t{1} << 30;
    const std::uint64_t staging = GetTotalZipSize(list) + 1500 + gib;
    const std::uint64_t client = 1000 + 300 + gib;  // the new file, the growth, the margin
    const auto questions = prompt_.Questions();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].stringId, kStringNoDiskSpace);
    EXPECT_TRUE(questions[0].tryAgainEnabled);
    EXPECT_EQ(questions[0].argument, "To update, you need an additional " + FormatByteSize(staging) + " on /stage/ and " +
                                         FormatByteSize(client) + " on /client/.");
}

// The free space is compared with the need, margin included, at the byte: exactly enough
// asks nothing, one byte less asks (and the scripted prompt cancels).
TEST_F(UpdateRunTest, DiskSpaceExactlyEnoughAsksNothingAndOneByteLessAsks) {
    dir_.Write("client/grown.bin", std::string(200, 'o'));
    FileList list;
    list.files.push_back({"new.bin", true, 1000, 600, {}, {}});
    list.files.push_back({"grown.bin", false, 500, 300, {}, {}});  // grows by 300 on the client volume
    UpdateFolders folders;
    folders.root = (dir_ / "tmp/0000-0000-0000-0000-SF_Update/").string();
    folders.client = (dir_ / "client/").string();
    const std::uint64_t gib = std::uint64_t{1} << 30;
    const std::uint64_t staging = 600 + 300 + 1000 + 500 + gib;  // the packages, the unpacked files
    const std::uint64_t client = 1000 + 300 + gib;               // the new file, the growth

    const struct {
        const char* name;
        bool two;
        std::uint64_t stagingFree, clientFree;
        bool asked;
    } cases[] = {
        {"one volume, exactly enough", false, staging, 0, false},
        {"one volume, a byte short", false, staging - 1, 0, true},
        {"two volumes, exactly enough on both", true, staging, client, false},
        {"two volumes, the client volume a byte short", true, staging, client - 1, true},
        {"two volumes, the staging volume a byte short", true, staging - 1, client, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        volumes_.Set(c.two, c.stagingFree, c.clientFree);
        const std::size_t before = prompt_.Questions().size();
        EXPECT_EQ(CheckDiskSpace(list, folders), c.asked);  // true: the player cancelled
        const auto questions = prompt_.Questions();
        ASSERT_EQ(questions.size(), before + (c.asked ? 1 : 0));
        if (c.asked) {
            EXPECT_EQ(questions.back().stringId, kStringNoDiskSpace);
        }
    }
}

TEST_F(UpdateRunTest, LeftoverStagingFoldersGoUnlessALiveRunOwnsThem) {
    const fs::path tmp = dir_ / "tmp";
    auto make = [&](const std::string& name, bool withLock) {
        fs::create_directories(tmp / name / "download");
        if (withLock) std::ofstream(tmp / name / kStagingLockName);
        return tmp / name;
    };
    const fs::path stale = make("0123-4567-89ab-cdef-SF_Update", true);
    const fs::path owned = make("1111-2222-3333-4444-SF_Update", true);
    const fs::path fresh = make("5555-6666-7777-8888-SF_Update", false);
    const fs::path old = make("9999-aaaa-bbbb-cccc-SF_Update", false);
    const fs::path other = make("not-a-staging-folder", false);
    fs::last_write_time(old, fs::file_time_type::clock::now() - std::chrono::hours(1));
    const int fd = ::open((owned / kStagingLockName).c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);

    RemoveStaleStagingFolders(tmp.string());
    ::close(fd);
    EXPECT_FALSE(fs::exists(stale));
    EXPECT_FALSE(fs::exists(old));
    EXPECT_TRUE(fs::exists(owned));
    EXPECT_TRUE(fs::exists(fresh));  // its run may be about to take its lock
    EXPECT_TRUE(fs::exists(other));
}

// A TMPDIR that does not exist yet is made with its parents, in the modes any new folder gets;
// the run's own folder below it stays private and locked, and the packages come. A TMPDIR below
// a file ends the run as an internal error before any package is asked for.
TEST_F(UpdateRunTest, AMissingTempFolderIsMadeWithItsParents) {
    GatedPrompt gate;
    UpdateRunEnvironment environment;
    environment.prompt = &gate;
    environment.clock = &clock_;
    environment.volumes = &volumes_;
    SetUpdateRunEnvironment(environment);
    MakeSite({{"a.bin", "new"}});
    const auto packagesAsked = [] {
        std::size_t n = 0;
        for (const auto& r : g_server->RequestLog()) n += r.path.find("client_files/") != std::string::npos;
        return n;
    };
    {
        SCOPED_TRACE("below a file");
        dir_.Write("tmp/file", "not a folder");
        env_.Set("TMPDIR", (dir_ / "tmp/file/below").c_str());
        g_server->ClearLog();
        WatchedJob job;
        StartUpdate(job.job);
        ASSERT_TRUE(WaitFor([&] { return target_.Results().size() == 1 && !IsUpdateRunning(); }));
        EXPECT_EQ(target_.Results().back(), static_cast<int>(UpdateResult::InternalError));
        EXPECT_FALSE(job.IsCompleted());
        EXPECT_EQ(packagesAsked(), 0u);
    }

    const fs::path temp = dir_ / "tmp/not/yet";
    env_.Set("TMPDIR", temp.c_str());
    g_server->ClearLog();
    volumes_.Set(false, 10, 10);  // the disk-space question holds the run with its folder made
    WatchedJob job;
    StartUpdate(job.job);
    ASSERT_TRUE(gate.WaitForQuestions(1)) << "the run ended before its staging folder was made";
    std::vector<fs::path> staging;
    for (const auto& e : fs::directory_iterator(temp)) staging.push_back(e.path());
    ASSERT_EQ(staging.size(), 1u);
    fs::create_directory(dir_ / "reference");
    const auto mode = [](const fs::path& p) { return fs::status(p).permissions(); };
    EXPECT_EQ(mode(staging[0]), fs::perms::owner_all);
    EXPECT_EQ(mode(dir_ / "tmp/not"), mode(dir_ / "reference"));
    EXPECT_EQ(mode(temp), mode(dir_ / "reference"));
    const int fd = ::open((staging[0] / kStagingLockName).c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0) << "the run holds its lock";
    ::close(fd);

    volumes_.Set(false, ~std::uint64_t{0}, ~std::uint64_t{0});
    gate.Answer(true);
    ASSERT_TRUE(WaitFor([&] { return target_.Results().size() == 2 && !IsUpdateRunning(); }));
    EXPECT_EQ(target_.Results().back(), 0);
    EXPECT_TRUE(job.IsCompleted());
    EXPECT_EQ(packagesAsked(), 1u);
    EXPECT_EQ(ReadAll(dir_ / "client/a.bin"), "new");
    EXPECT_TRUE(WaitFor([&] { return fs::is_empty(temp); }));
}

TEST_F(UpdateRunTest, ARunStartedWhileAnAbortedOneEndsWaitsForIt) {
    GatedPrompt gate;
    UpdateRunEnvironment environment;
    environment.prompt = &gate;
    environment.clock = &clock_;
    environment.volumes = &volumes_;
    SetUpdateRunEnvironment(environment);
    MakeSite({{"a.bin", "new"}});
    volumes_.Set(false, 10, 10);

    WatchedJob first;
    StartUpdate(first.job);
    ASSERT_TRUE(gate.WaitForQuestions(1));  // the first run waits in the disk-space question
    EXPECT_TRUE(AbortUpdate());
    WatchedJob second;
    StartUpdate(second.job);
    EXPECT_TRUE(IsUpdateRunning());
    EXPECT_TRUE(IsAbortRequested());  // the second start did not clear the first run's abort

    volumes_.Set(false, ~std::uint64_t{0}, ~std::uint64_t{0});
    gate.Answer(true);  // Try again: the first run sees its abort only afterwards
    ASSERT_TRUE(WaitFor([&] { return target_.Results().size() == 2 && !IsUpdateRunning(); }));
    EXPECT_EQ(target_.Results(), (std::vector<int>{2, 0}));
    EXPECT_TRUE(first.IsCompleted());
    EXPECT_TRUE(second.IsCompleted());
    EXPECT_EQ(ReadAll(dir_ / "client/a.bin"), "new");
}

TEST_F(UpdateRunTest, AShutdownDuringTheFinishPauseEndsItAtOnce) {
    // The player cancels the disk-space question, then closes the window while "Aborting..."
    // is shown: the shutdown must not wait out the pause.
    SteppedClock clock;
    UpdateRunEnvironment environment;
    environment.prompt = &prompt_;
    environment.clock = &clock;
    environment.volumes = &volumes_;
    SetUpdateRunEnvironment(environment);
    MakeSite({{"a.bin", "new"}});
    volumes_.Set(false, 10, 10);
    WatchedJob job;
    StartUpdate(job.job);
    ASSERT_TRUE(clock.WaitForSleeper());  // in the finish pause

    auto shutdown = std::async(std::launch::async, [] { Shutdown(); });
    // The shutdown raises its flag before it joins the pool, whose thread is in the pause: the
    // flag stays up until the pause ends. One slice later the pause must have seen it, however
    // slowly the threads run; a pause that waited on would need nineteen slices more.
    EXPECT_TRUE(WaitFor([] { return IsShuttingDown(); }));
    clock.Advance(kFinishPauseSlice);
    // Bounded below the pool's own 10 s join limit, so that a pause that waited on fails here.
    const bool ended = shutdown.wait_for(std::chrono::seconds(8)) == std::future_status::ready;
    if (!ended) clock.Advance(kFinishPause);  // lets a pause that waited on end, so that the shutdown joins
    ASSERT_EQ(shutdown.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(ended) << "the shutdown waited for the pause";
    EXPECT_EQ(target_.Results(), std::vector<int>{2});
    EXPECT_TRUE(job.IsCompleted());
    Init(&scheduler_);  // for TearDown
}

// A client started by the player while the packages came in keeps its files: the unpacked
// update waits for it to let go of its instance object, then applies; aborted meanwhile, it
// ends as aborted with the client untouched.
TEST_F(UpdateRunTest, TheUpdaterWaitsWhileAClientHoldsItsObject) {
    struct Case {
        const char* name;
        bool abort;
        int result;
        const char* content;
    };
    const Case cases[] = {{"the client ends", false, 0, "new content"}, {"aborted meanwhile", true, 2, "old content"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MakeSite({{"data/a.bin", "new content"}});
        dir_.Write("client/data/a.bin", "old content");
        Platform::InstanceObject client;
        ASSERT_EQ(client.Create(ClientInstanceObjectName()), Platform::InstanceObject::Result::New);
        const std::size_t before = target_.Results().size();
        const MonoTime start = clock_.Now();
        WatchedJob job;
        StartUpdate(job.job);
        // A minute of its clock spent waiting, the files still old.
        ASSERT_TRUE(WaitFor([&] { return clock_.Now() - start >= std::chrono::minutes(1); }));
        EXPECT_EQ(target_.Results().size(), before);
        EXPECT_EQ(ReadAll(dir_ / "client/data/a.bin"), "old content");
        if (c.abort) {
            EXPECT_TRUE(AbortUpdate());
        } else {
            client.Release();
        }
        ASSERT_TRUE(WaitFor([&] { return target_.Results().size() == before + 1 && !IsUpdateRunning(); }));
        EXPECT_EQ(target_.Results().back(), c.result);
        EXPECT_EQ(ReadAll(dir_ / "client/data/a.bin"), c.content);
        ASSERT_TRUE(WaitFor([&] { return StagingFolders() == 0; }));
    }
}

}  // namespace
