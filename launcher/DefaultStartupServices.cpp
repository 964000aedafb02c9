// The production wiring of the start-up: each call reaches the service that provides it.

#include "delivery/DownloadManager.h"
#include "delivery/RouterConnector.h"
#include "delivery/UpdateManager.h"
#include "foundation/AppServices.h"
#include "foundation/TimedJobs.h"
#include "foundation/UserFolders.h"
#include "launcher/StartupServices.h"
#include "launcher/TrailstarterDlg.h"
#include "launcher/UpdateManagerState.h"
#include "platform/Prompt.h"

namespace Vel {
namespace {

class DefaultStartupServices final : public IStartupServices {
public:
    bool WaitForParentProcess(pid_t pid, int timeoutMs) override {
        return UpdateManager::WaitForParentProcess(pid, timeoutMs);
    }

    bool EnsureLanguageChosen() override { return true; }

    int RunTermsDialog() override {
        const int answer = Platform::ShowPrompt("Do you accept the Solvenda Frontier Terms of Use?",
                                                Platform::PromptButtons::YesNo, Platform::PromptIcon::Question,
                                                "Solvenda Frontier Account Terms of Use (ToU)");
        return answer == Platform::kIdYes ? kTermsAccepted : kTermsDeclined;
    }

    void InitUserFolders(unsigned flags) override { Vel::InitUserFolders(flags); }
    void CreateAppServices() override { Vel::CreateAppServices(); }
    void StartRouter() override { RouterConnector::Start(); }
    void InitUpdateManager() override { UpdateManager::Init(); }

    bool RunMainWindow() override {
        UpdateManagerState updates;
        MainWindowServices services;
        services.updates = &updates;
        CTrailstarterDlg window(services);
        window.exec();
        return window.IsRestartRequested();
    }

    void ShutdownTimedJobs() override { Vel::ShutdownTimedJobs(); }
    void ShutdownUpdateManager() override { UpdateManager::Shutdown(); }
    void StopRouter() override { RouterConnector::Stop(); }
    void ShutdownContentDownload() override {}
    void ReleaseConnections() override { GetDownloadManager().ReleaseConnections(); }
    void DestroyAppServices() override { Vel::DestroyAppServices(); }

    bool RestartSelf() override { return UpdateManager::RestartSelf(); }
};

}  // namespace

std::unique_ptr<IStartupServices> MakeDefaultStartupServices() { return std::make_unique<DefaultStartupServices>(); }

}  // namespace Vel
