#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>

#include "delivery/update/DownloadJob.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/time/Clock.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"
#include "tools/standin-server/StandinServer.h"

using namespace Vel;
using Standin::Fault;
using Standin::FaultKind;

namespace {

const std::string kPackagePath = "client_files/data/x_00.zip";

// Records every call; OnRetry answers from a script (then false); the abort flag is the test's.
class RecordingCallback final : public VelDownloadJob::ICallback {
public:
    RecordingCallback(FakeClock& clock, std::deque<bool> answers) : clock_(clock), answers_(std::move(answers)) {}

    void OnDone(const DownloadItem&, bool failed) override {
        std::lock_guard lock(mutex_);
        done.push_back(failed);
    }
    bool OnRetry(const DownloadItem&, const std::string& message) override {
        std::lock_guard lock(mutex_);
        retryMessages.push_back(message);
        retryTimes.push_back(clock_.Now());
        if (answers_.empty()) return false;
        const bool answer = answers_.front();
        answers_.pop_front();
        return answer;
    }
    void SetStatus(const std::string& text) override {
        std::lock_guard lock(mutex_);
        if (text.rfind("Downloading ", 0) == 0) attemptTimes.push_back(clock_.Now());
    }
    void AddProgress(std::uint64_t bytes) override { net += static_cast<std::int64_t>(bytes); }
    void TakeBackProgress(std::uint64_t bytes) override { net -= static_cast<std::int64_t>(bytes); }
    void SetTransferring(bool) override {}
    bool IsAborted() override { return aborted.load(); }
    void OnDiscarded(const DownloadItem&) override { ++discarded; }

    std::vector<bool> Done() {
        std::lock_guard lock(mutex_);
        return done;
    }

    std::atomic<bool> aborted{false};
    std::atomic<std::int64_t> net{0};
    std::atomic<int> discarded{0};
    std::vector<bool> done;
    std::vector<std::string> retryMessages;
    std::vector<MonoTime> retryTimes;
    std::vector<MonoTime> attemptTimes;

private:
    FakeClock& clock_;
    std::deque<bool> answers_;
    std::mutex mutex_;
};

class DownloadJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        Standin::ServerConfig config;
        config.root = dir_.Path() / "site";
        std::filesystem::create_directories(config.root);
        server_ = std::make_unique<Standin::HttpServer>(config);
        server_->Start();
        body_ = std::string(20000, 'p');
        for (std::size_t i = 0; i < body_.size(); ++i) body_[i] = static_cast<char>('a' + i % 26);
    }

    // The package served under mirror folder "mN/" for each of the first `count` mirrors.
    std::vector<DownloadMirror> Mirrors(int count, bool serve) {
        std::vector<DownloadMirror> mirrors;
        for (int i = 1; i <= count; ++i) {
            const std::string folder = "m" + std::to_string(i);
            if (serve) dir_.Write("site/" + folder + "/" + kPackagePath, body_);
            mirrors.push_back({VelURI(server_->BaseUrl() + folder), "", ""});
        }
        return mirrors;
    }

    DownloadItem Item() const {
        DownloadItem item;
        item.path = kPackagePath;
        item.size = body_.size();
        item.sha1 = VelCryptSHA1::Hash(body_.data(), body_.size());
        item.displayName = "data/x.dll";
        return item;
    }

    std::shared_ptr<RecordingCallback> Callback(std::deque<bool> answers = {}) {
        return std::make_shared<RecordingCallback>(clock_, std::move(answers));
    }

    std::string Target() const { return (dir_.Path() / "download").string(); }

    // The mirror folder ("m1".."m5") of every request, in order.
    std::vector<std::string> RequestedMirrors() const {
        std::vector<std::string> out;
        for (const auto& r : server_->RequestLog()) out.push_back(r.path.substr(1, 2));
        return out;
    }

    Vel::Test::TempDir dir_;
    FakeClock clock_;
    std::unique_ptr<Standin::HttpServer> server_;
    std::string body_;
};

TEST_F(DownloadJobTest, AVerifiedPackageKeepsItsPathBelowTheTarget) {
    auto callback = Callback();
    VelDownloadJob job(Mirrors(1, true), Item(), Target(), callback, true, clock_);
    job.Run();
    EXPECT_EQ(callback->Done(), std::vector<bool>{false});
    EXPECT_EQ(Vel::Test::ReadFile(dir_.Path() / "download" / kPackagePath), body_);
    EXPECT_EQ(callback->net.load(), static_cast<std::int64_t>(body_.size()));

    VelDownloadJob flat(Mirrors(1, true), Item(), Target(), callback, false, clock_);
    EXPECT_EQ(flat.TargetPath(), Target() + "/x_00.zip");
}

// Mirrors are walked in turn, limit = max(n, 3), OnRetry after limit + 1 failed attempts, a new
// cycle begins at the first mirror, and every failed attempt is followed by a 3 s pause.
TEST_F(DownloadJobTest, MirrorScheduleAndPauses) {
    struct Case {
        int mirrors;
        std::deque<bool> answers;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {1, {}, {"m1", "m1", "m1", "m1"}},
        {5, {}, {"m1", "m2", "m3", "m4", "m5", "m1"}},
        {2, {true}, {"m1", "m2", "m1", "m2", "m1", "m2", "m1", "m2"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mirrors);
        server_->ClearLog();
        auto callback = Callback(c.answers);
        VelDownloadJob job(Mirrors(c.mirrors, false), Item(), Target(), callback, true, clock_);
        job.Run();
        EXPECT_EQ(RequestedMirrors(), c.expected);
        EXPECT_EQ(callback->retryMessages.size(), c.answers.size() + 1);
        EXPECT_EQ(callback->Done(), std::vector<bool>{true});
        ASSERT_EQ(callback->attemptTimes.size(), c.expected.size());
        for (std::size_t i = 1; i < callback->attemptTimes.size(); ++i)
            EXPECT_EQ(callback->attemptTimes[i] - callback->attemptTimes[i - 1], VelDownloadJob::kRetryPause);
        // OnRetry comes right after the last attempt of a cycle, before its pause.
        EXPECT_EQ(callback->retryTimes.front(), callback->attemptTimes[c.expected.size() / (c.answers.size() + 1) - 1]);
        EXPECT_EQ(callback->net.load(), 0);
    }
}

TEST_F(DownloadJobTest, BodyFaultsFailTheAttemptWithTheirMessage) {
    const DownloadItem item = Item();
    std::string flipped = body_;
    flipped[flipped.size() / 2] = static_cast<char>(~flipped[flipped.size() / 2]);
    const std::string flippedHash = VelCryptSHA1::Hash(flipped.data(), flipped.size()).ToHex();

    struct Case {
        const char* fault;
        std::string messageStart;
        bool exact;
    };
    const std::vector<Case> cases = {
        {"flip", "Invalid file hash. Expected=" + item.sha1.ToHex() + " Downloaded=" + flippedHash, true},
        {"extra:100", "Invalid file size. Expected=20000 Downloaded= ", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        Fault fault;
        ASSERT_TRUE(Standin::ParseFault(c.fault, fault));
        server_->ClearFaults();
        server_->SetFault("/m1/" + kPackagePath, fault);
        auto callback = Callback();
        VelDownloadJob job(Mirrors(1, true), item, Target(), callback, true, clock_);
        job.Run();
        ASSERT_EQ(callback->retryMessages.size(), 1u);
        const std::string& message = callback->retryMessages[0];
        if (c.exact) {
            EXPECT_EQ(message, c.messageStart);
        } else {
            EXPECT_EQ(message.rfind(c.messageStart, 0), 0u) << message;
        }
        EXPECT_EQ(callback->Done(), std::vector<bool>{true});
        // A longer body is cut as it passes the size; no failed attempt leaves its bytes counted.
        EXPECT_LE(std::filesystem::file_size(job.TargetPath()), item.size);
        EXPECT_EQ(callback->net.load(), 0);
    }
}

// A failed request names why: the status of an answer, the passed redirect limit, or the
// network error when no answer came; never "error code 0".
TEST_F(DownloadJobTest, ANetworkFailureNamesTheStatusOrTheErrorCode) {
    const std::string network = LoadLocalizedString(1122);
    ASSERT_FALSE(network.empty());
    const std::string served = "/m1/" + kPackagePath;
    const auto fail = [&](const char* text) {
        Fault fault;
        ASSERT_TRUE(Standin::ParseFault(text, fault));
        server_->SetFault(served, fault);
    };
    struct Case {
        const char* what;
        std::function<void(std::vector<DownloadMirror>&)> arrange;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"500", [&](auto&) { fail("500"); }, " (HTTP 500)"},
        {"404", [&](auto&) { fail("404"); }, " (HTTP 404)"},
        {"a redirect loop",
         [&](auto&) {
             Fault redirect;
             redirect.kind = FaultKind::kRedirect;
             redirect.status = 307;
             redirect.location = served;
             server_->SetFault(served, redirect);
         },
         " (HTTP 307, redirect limit passed: more than 10 redirects)"},
        {"no server",
         [&](auto& mirrors) {
             const std::uint16_t closed = server_->Port();
             server_->Stop();
             mirrors[0].url = VelURI("http://127.0.0.1:" + std::to_string(closed) + "/m1");
         },
         " (error code 12029)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server_->ClearFaults();
        auto mirrors = Mirrors(1, true);
        c.arrange(mirrors);
        auto callback = Callback();
        VelDownloadJob job(mirrors, Item(), Target(), callback, true, clock_);
        job.Run();
        ASSERT_EQ(callback->retryMessages.size(), 1u);
        EXPECT_EQ(callback->retryMessages[0], network + c.reason);
        EXPECT_EQ(callback->retryMessages[0].find("error code 0"), std::string::npos);
    }
}

TEST_F(DownloadJobTest, AbortDuringAStalledTransferEndsTheJobOnce) {
    Fault stall;
    stall.kind = FaultKind::kStall;
    server_->SetFault("/m1/" + kPackagePath, stall);
    auto callback = Callback({true, true, true});
    VelDownloadJob job(Mirrors(1, true), Item(), Target(), callback, true, clock_);
    std::thread runner([&] { job.Run(); });
    ASSERT_TRUE(TestSupport::WaitFor([&] { return callback->net.load() > 0; }));
    callback->aborted = true;
    const bool ended = TestSupport::WaitFor([&] { return !callback->Done().empty(); }, std::chrono::seconds(5));
    if (!ended) server_->Stop();
    runner.join();
    ASSERT_TRUE(ended) << "the abort waited for the stalled transfer";
    EXPECT_EQ(callback->Done(), std::vector<bool>{true});
    EXPECT_TRUE(callback->retryMessages.empty());
    EXPECT_EQ(server_->RequestLog().size(), 1u);
    EXPECT_TRUE(std::filesystem::exists(job.TargetPath()));  // the partial file stays
}

TEST_F(DownloadJobTest, AJobAbortedBeforeItStartsMakesNoRequest) {
    auto callback = Callback();
    callback->aborted = true;
    VelDownloadJob job(Mirrors(1, true), Item(), Target(), callback, true, clock_);
    job.Run();
    EXPECT_EQ(callback->Done(), std::vector<bool>{true});
    EXPECT_TRUE(server_->RequestLog().empty());
}

// Failures before any request still end in exactly one OnDone: a target that cannot be deleted,
// and no mirror at all (the cycle fails at once, without a pause).
TEST_F(DownloadJobTest, FailuresOutsideTheTransferEndTheJobOnce) {
    {
        auto callback = Callback();
        VelDownloadJob job(Mirrors(1, true), Item(), Target(), callback, true, clock_);
        dir_.Write("download/" + kPackagePath + "/blocker", "a folder where the file goes");
        job.Run();
        EXPECT_EQ(callback->Done(), std::vector<bool>{true});
        ASSERT_EQ(callback->retryMessages.size(), 1u);
        EXPECT_EQ(callback->retryMessages[0].rfind("Could not delete", 0), 0u) << callback->retryMessages[0];
        EXPECT_TRUE(server_->RequestLog().empty());
    }
    {
        auto callback = Callback();
        const MonoTime start = clock_.Now();
        VelDownloadJob job({}, Item(), Target(), callback, true, clock_);
        job.Run();
        EXPECT_EQ(callback->Done(), std::vector<bool>{true});
        ASSERT_EQ(callback->retryTimes.size(), 1u);
        EXPECT_EQ(callback->retryTimes[0], start);
    }
}

TEST_F(DownloadJobTest, ADiscardedJobNeverCallsOnDone) {
    auto callback = Callback();
    { VelDownloadJob job(Mirrors(1, true), Item(), Target(), callback, true, clock_); }
    EXPECT_EQ(callback->discarded.load(), 1);
    EXPECT_TRUE(callback->Done().empty());
}

TEST(MakeDownloadItem, TakesThePackageOfTheEntry) {
    FileListEntry entry;
    entry.path = "data\\x.dll";
    entry.size = 10;
    entry.size_zip = 7;
    ASSERT_TRUE(entry.sha1.FromHex("000102030405060708090a0b0c0d0e0f10111213"));
    ASSERT_TRUE(entry.sha1_zip.FromHex("ffffffffffffffffffffffffffffffffffffffff"));
    const DownloadItem item = MakeDownloadItem(entry);
    EXPECT_EQ(item.path, "client_files/data/x_000102030405060708090a0b0c0d0e0f10111213.zip");
    EXPECT_EQ(item.size, 7u);
    EXPECT_EQ(item.sha1, entry.sha1_zip);
    EXPECT_EQ(item.displayName, "data\\x.dll");
}

}  // namespace
