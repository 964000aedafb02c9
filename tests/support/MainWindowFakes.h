#pragma once
// Recording stand-ins for what the main window calls on: the update manager's state, the
// content services, crash reports, news page, client launch, dialogs and language, and the
// sleep inhibitor. GUI thread only, as the window calls them.

#include "delivery/update/UpdateManager.h"
#include "launcher/window/MainWindowServices.h"
#include "launcher/window/SleepInhibitor.h"

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace Vel::Test {

class MainWindowFakes final : public IUpdateState,
                              public IContentServices,
                              public ICrashReports,
                              public INewsPage,
                              public IClientLauncher,
                              public IWindowDialogs,
                              public ILanguage {
public:
    bool maintenance = false;
    bool canStart = true;
    bool clientRunning = false;
    bool updateRunning = false;
    bool toolsResult = true;
    bool launchStarts = true;
    int storedLanguage = 1033;
    int languageAfterTools = 1033;
    UpdateManager::UpdateFailure failure;  // what the ended update run tells
    std::vector<std::string> calls;
    std::function<void(QWidget*)> attach;  // stands in for the browser made in the news area

    bool IsMaintenanceMode() override { return maintenance; }
    bool CanStartClient() override { return canStart; }
    bool IsClientRunning() override { return clientRunning; }
    bool IsUpdateRunning() override { return updateRunning; }
    void CheckForUpdate() override { calls.push_back("check"); }
    UpdateManager::UpdateFailure TakeLastFailure() override { return std::exchange(failure, {}); }
    void InitContentDownload() override { calls.push_back("init content"); }
    void RescanContent() override { calls.push_back("rescan"); }
    void ReportPendingCrashDumps(QWidget*) override { calls.push_back("crash reports"); }
    void Attach(QWidget* area) override {
        if (attach) attach(area);
    }
    void Navigate() override { calls.push_back("navigate"); }
    void Refresh() override { calls.push_back("refresh"); }
    void FitToSmallScreen(QWidget*) override {}
    bool LaunchClient(QWidget*) override {
        calls.push_back("launch");
        return launchStarts;
    }
    bool RunTools(QWidget*) override {
        calls.push_back("tools");
        storedLanguage = languageAfterTools;
        return toolsResult;
    }
    void ShowAbout(QWidget*) override { calls.push_back("about"); }
    void ShowConnectionError(QWidget*, const UpdateManager::UpdateFailure& f) override {
        calls.push_back("connection error" + std::string(f.serverAnswered ? " (server answered)" : "") +
                        (f.cause.empty() ? "" : ": " + f.cause));
    }
    int LoadStoredLanguage() override { return storedLanguage; }
    void EnsureLanguageChosen() override { calls.push_back("apply language"); }

    MainWindowServices Services() {
        MainWindowServices s;
        s.updates = this;
        s.content = this;
        s.crashReports = this;
        s.newsPage = this;
        s.launcher = this;
        s.dialogs = this;
        s.language = this;
        return s;
    }
};

class RecordingInhibitor final : public ISleepInhibitor {
public:
    explicit RecordingInhibitor(bool* held) : held_(held) {}
    void SetKeepAwake(bool awake) override { *held_ = awake; }

private:
    bool* held_;
};

}  // namespace Vel::Test
