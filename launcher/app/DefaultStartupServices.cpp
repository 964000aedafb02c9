// The production wiring of the start-up: each call reaches the service that provides it.

#include "delivery/content/ContentDownload.h"
#include "delivery/net/DownloadManager.h"
#include "delivery/update/RouterConnector.h"
#include "delivery/update/UpdateManager.h"
#include "delivery/update/UpdateRun.h"
#include "delivery/UpdateWorkerBackend.h"
#include "delivery/workers/WorkerBackend.h"
#include "foundation/runtime/AppServices.h"
#include "foundation/threads/TimedJobs.h"
#include "foundation/config/UserFolders.h"
#include "launcher/window/ClientLauncher.h"
#include "launcher/app/ContentServices.h"
#include "launcher/window/CrashReports.h"
#include "launcher/toolsheet/DynamicContentDlg.h"
#include "launcher/dialogs/LanguageDlg.h"
#include "launcher/window/NewsPage.h"
#include "launcher/toolsheet/FolderOptionsPage.h"
#include "launcher/dialogs/NDADlg.h"
#include "launcher/toolsheet/PlanetSizeQuery.h"
#include "launcher/dialogs/UpdateErrorDialogPrompt.h"
#include "launcher/app/StartupServices.h"
#include "launcher/window/TrailstarterDlg.h"
#include "launcher/app/UpdateManagerState.h"
#include "launcher/window/WindowDialogs.h"
#include "platform/Prompt.h"

namespace Vel {
namespace {

class DefaultStartupServices final : public IStartupServices {
public:
    bool WaitForParentProcess(pid_t pid, int timeoutMs) override {
        return UpdateManager::WaitForParentProcess(pid, timeoutMs);
    }

    bool EnsureLanguageChosen() override { return EnsureLanguageChosenWithDialog(); }

    int RunTermsDialog() override {
        VelNDADlg terms;
        return terms.DoModal();
    }

    void InitUserFolders(unsigned flags) override { Vel::InitUserFolders(flags); }
    void CreateAppServices() override { Vel::CreateAppServices(); }
    void StartRouter() override { RouterConnector::Start(); }
    void InitUpdateManager() override {
        UpdateManager::Init();
        // Both live until the update pool has ended (ShutdownUpdateManager).
        UpdateManager::UpdateRunEnvironment environment;
        environment.prompt = &updatePrompt_;
        UpdateManager::SetUpdateRunEnvironment(environment);
        SetWorkerBackend(&backend_);
    }

    bool RunMainWindow() override {
        UpdateManagerState updates;
        ClientLauncher launcher;  // outlives the window: its monitor is joined after the window goes
        WindowDialogs dialogs(&planetSizes_);  // makes the tools sheet's pages for each run
        MainWindowServices services;
        services.updates = &updates;
        services.launcher = &launcher;
        services.dialogs = &dialogs;
        services.language = &dialogs;
        services.content = &content_;
        CrashReports crashReports;
        NewsPage newsPage;
        services.crashReports = &crashReports;
        services.newsPage = &newsPage;
        bool restart = false;
        {
            CTrailstarterDlg window(services);
            window.exec();
            restart = window.IsRestartRequested();
        }
        launcher.StopMonitor();
        return restart;
    }

    void ShutdownTimedJobs() override { Vel::ShutdownTimedJobs(); }
    void ShutdownUpdateManager() override {
        UpdateManager::Shutdown();
        UpdateManager::SetUpdateRunEnvironment({});
        SetWorkerBackend(nullptr);
    }
    void StopRouter() override { RouterConnector::Stop(); }
    void ShutdownContentDownload() override { ContentDownload::ShutdownContentDownload(); }
    void ReleaseConnections() override { GetDownloadManager().ReleaseConnections(); }
    void DestroyAppServices() override { Vel::DestroyAppServices(); }

    bool RestartSelf() override { return UpdateManager::RestartSelf(); }

private:
    UpdateErrorDialogPrompt updatePrompt_;
    UpdateWorkerBackend backend_;
    ContentServices content_;
    // The planet-data page's size answers, from the content driver's file collector (queued
    // until the content services start; answered on the collector's thread).
    PlanetSizeQueryAdapter planetSizes_{[](std::uint16_t planetId, IPlanetSizeQuery::Callback callback) {
        ContentDownload::QueryPlanetDownloadSize(planetId, std::move(callback));
    }};
};

}  // namespace

std::unique_ptr<IStartupServices> MakeDefaultStartupServices() { return std::make_unique<DefaultStartupServices>(); }

}  // namespace Vel
