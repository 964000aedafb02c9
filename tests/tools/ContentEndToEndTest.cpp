// ctest: threading
// The planet content end to end: a site made by make-site --planets, served by the stand-in,
// fetched by the content driver as the workers chain it (required content, the background
// planets one by one, then compaction), and the archives checked afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>

#include "delivery/content/ContentDownload.h"
#include "delivery/net/DownloadManager.h"
#include "delivery/content/DownloadQueue.h"
#include "delivery/archive/Zip.h"
#include "delivery/archive/ZipManager.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/data/ContentFormat.h"
#include "foundation/config/RegistrySettings.h"
#include "foundation/config/SettingKey.h"
#include "foundation/config/UserFolders.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/IsolatedSettings.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"
#include "tools/standin-server/StandinServer.h"

using namespace Vel;
using namespace Vel::ContentDownload;

namespace {

constexpr auto kBound = std::chrono::seconds(60);

std::string Pseudorandom(std::size_t size, std::uint32_t seed) {
    std::string out(size, '\0');
    for (char& c : out) {
        seed = seed * 1664525u + 1013904223u;
        c = static_cast<char>(seed >> 24);
    }
    return out;
}

// Runs a job as the worker runner would and waits for its end.
bool RunToCompletion(const std::function<std::shared_ptr<ThreadJob>(const ThreadJobBinder&)>& start, bool& started) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    const auto job = start([done](const std::shared_ptr<ThreadJob>& j) { j->AddCompletionCallback([done] { *done = true; }); });
    started = job != nullptr;
    return !job || TestSupport::WaitFor([&] { return done->load(); }, kBound);
}

}  // namespace

TEST(ContentEndToEnd, PlanetsFromAMadeSiteArriveIntactAndCompacted) {
    Vel::Test::TempDir dir("content-e2e");
    std::map<std::string, std::string> planetFiles;
    std::uint32_t seed = 1;
    for (const char* planet : {"terra/alpha", "terra/beta", "vega/gamma"}) {
        for (int n = 0; n < 6; ++n) {
            const std::string name = std::string(planet) + "/maps/tile" + std::to_string(n) + ".dat";
            planetFiles[name] = n % 2 ? Pseudorandom(150000 + 1000 * n, seed++) : std::string(90000, 'a' + n);
        }
    }
    for (const auto& [name, content] : planetFiles) dir.Write("planets/" + name, content);
    dir.Write("client/version.txt", "1.0.0.1");

    Standin::ServerConfig config;
    config.root = (dir / "site").string();
    std::filesystem::create_directories(config.root);
    Standin::HttpServer server(config);
    server.Start();
    Vel::Test::ChildProcess make(Vel::Test::ToolPath("make-site"),
                                 {"--client", (dir / "client").string(), "--out", (dir / "site").string(), "--planets",
                                  (dir / "planets").string(), "--required", "terra/alpha", "--server",
                                  server.BaseUrl()});
    ASSERT_EQ(make.Wait(), 0);

    GetParameterStore() = ParameterStore();
    GetParameterStore().Set("web.update.url", ParameterType::String, server.BaseUrl());
    // The player chose planets 3 and 2, in that order (planet 1 is terra/alpha).
    WriteRegistrySettingString(Settings::BGDownloadList.section, Settings::BGDownloadList.name, "3,2",
                               Settings::BGDownloadList.scope);

    DownloadManager manager([] {});
    manager.SetRequestTimeout(5000);
    const std::string content = (dir / "content").string() + "/";
    DownloadQueueOptions queueOptions;
    queueOptions.manager = &manager;
    queueOptions.contentFolder = content;
    queueOptions.threadCount = 4;
    DownloadQueue queue(queueOptions);
    ContentDriverOptions options;
    options.programDataFolder = (dir / "client" / kProgramDataFolderName).string();
    options.contentFolder = content;
    options.corruptListPath = (dir / "corrupt_files.lst").string();
    options.queue = &queue;
    ContentDriver driver(options);
    driver.Init();

    bool started = false;
    ASSERT_TRUE(RunToCompletion([&](const ThreadJobBinder& bind) { return driver.StartPlanetDataDownload(0, bind); },
                                started));
    EXPECT_TRUE(started);
    int backgroundJobs = 0;
    do {
        ASSERT_TRUE(RunToCompletion(
            [&](const ThreadJobBinder& bind) { return driver.StartPlanetDataDownload(1, bind); }, started));
        backgroundJobs += started ? 1 : 0;
        ASSERT_LE(backgroundJobs, 2);
    } while (started);
    EXPECT_EQ(backgroundJobs, 2);
    ASSERT_TRUE(driver.WaitForContentThread(kBound));
    ASSERT_TRUE(RunToCompletion(
        [&](const ThreadJobBinder& bind) {
            auto job = std::make_shared<ThreadJob>();
            bind(job);
            driver.CleanupPaks(job);
            return job;
        },
        started));

    // Every archive passes the check of local headers and stored CRCs, and holds the planet
    // files with their content.
    std::map<std::string, std::string> archived;
    for (const auto& file : std::filesystem::directory_iterator(content)) {
        ASSERT_EQ(file.path().extension(), ".pak") << file.path();
        Zip zip(file.path().string(), kZipWritable);
        EXPECT_NO_THROW(zip.Verify(kZipCheckCrc | kZipCheckLocalHeaders, {}, {}));
        for (const ZipEntry& e : zip.GetEntries()) {
            const auto stored = zip.ReadEntry(e);
            const auto plain = ZipManager::ConvertContentFormat(stored->GetData(), stored->GetSize(), e.method,
                                                                ContentFormat::kStored, e.crc32);
            archived[e.name] = std::string(reinterpret_cast<const char*>(plain->GetData()), plain->GetSize());
        }
    }
    EXPECT_EQ(archived, planetFiles);
    driver.RescanContent();
    EXPECT_TRUE(driver.GetSnapshot().needed.empty());
    driver.Shutdown();
    GetParameterStore() = ParameterStore();
}
