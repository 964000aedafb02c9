// ctest: threading
#include <gtest/gtest.h>

#include "delivery/workers/MainWindowMessages.h"
#include "delivery/update/RouterConnector.h"
#include "delivery/update/UpdateManager.h"
#include "foundation/config/SiteName.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/CurrentDirGuard.h"
#include "tests/support/ManualRequestScheduler.h"
#include "tests/support/TempDir.h"

using namespace Vel;

namespace {

class RecordingWindow final : public IMainWindowTarget {
public:
    void QueueMessage(MainWindowMessage message, std::uintptr_t, std::intptr_t) override { messages.push_back(message); }
    std::vector<MainWindowMessage> messages;
};

std::uint16_t PortOf(const std::string& line) {
    EXPECT_EQ(line.rfind("listening on 127.0.0.1:", 0), 0u) << line;
    return static_cast<std::uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
}

}  // namespace

TEST(RouterEndToEnd, UpdateManagerGetsTheStandinsVersion) {
    Vel::Test::ChildProcess router(Vel::Test::ToolPath("standin-router"),
                              {"--listen", "127.0.0.1:0", "--version", "15.5.0.130973", "--fault", "twice"});
    const std::string line = router.ReadLine();
    ASSERT_FALSE(line.empty());
    const std::uint16_t port = PortOf(line);

    Vel::Test::CurrentDirGuard cwd;
    Vel::Test::TempDir install;
    install.Write("version.txt", "15.5.0.130973\n");
    std::filesystem::current_path(install.Path());
    SetSiteNameForTesting("localhost");  // every service host is "localhost"

    FakeClock clock;
    Vel::Test::ManualRequestScheduler scheduler(clock);
    RouterConnector::Options options;
    options.scheduler = &scheduler;
    options.clock = &clock;
    options.port = port;
    RouterConnector::Configure(options);
    RouterConnector::Start();
    RecordingWindow window;
    SetMainWindowTarget(&window);
    UpdateManager::ResetForTesting();

    UpdateManager::CheckForUpdate();
    scheduler.RunReady();  // the send
    // The reply arrives twice ("twice"): both are dispatched, the second one finds the request done.
    for (int dispatched = 0; dispatched < 2 && scheduler.WaitForJob();) dispatched += scheduler.RunReady();

    EXPECT_EQ(UpdateManager::GetLastVersion(), VersionNumber(15, 5, 0, 130973));
    EXPECT_FALSE(UpdateManager::IsMaintenanceMode());
    EXPECT_TRUE(UpdateManager::CanStartClient());
    EXPECT_EQ(window.messages, std::vector<MainWindowMessage>{MainWindowMessage::VersionCurrent});

    scheduler.Advance(std::chrono::seconds(2));  // the time-out only clears the entry
    EXPECT_EQ(window.messages.size(), 1u);

    SetMainWindowTarget(nullptr);
    RouterConnector::Stop();
    RouterConnector::Configure({});
    UpdateManager::ResetForTesting();
    SetSiteNameForTesting("");
}
