#pragma once
// What the main window calls on outside itself, each behind a small interface so that the
// window can be built and tested before (and without) the real parts.
//
// Contract:
// - Every interface is called on the GUI thread only, from the main window's handlers.
// - MainWindowServices holds non-owning pointers; a null pointer means the part is absent and
//   the window behaves as if it answered "nothing to do" (see each interface). The pointed-to
//   objects must outlive the window.

class QWidget;

namespace Vel {

namespace UpdateManager {
struct UpdateFailure;  // delivery/update/UpdateManager.h
}

// The update manager's client state and version check.
class IUpdateState {
public:
    virtual ~IUpdateState() = default;
    virtual bool IsMaintenanceMode() = 0;
    virtual bool CanStartClient() = 0;
    // Also true for a client the player started himself (its instance object is held); the
    // timer asks it on each tick while the start-up update waits for that client.
    virtual bool IsClientRunning() = 0;
    virtual bool IsUpdateRunning() = 0;
    // Asks for a version check; its answer arrives as a window message.
    virtual void CheckForUpdate() = 0;
    // Why the update run that just ended failed; taken once.
    virtual UpdateManager::UpdateFailure TakeLastFailure() = 0;
};

// The planet content outside the workers.
class IContentServices {
public:
    virtual ~IContentServices() = default;
    virtual void InitContentDownload() = 0;
    virtual void RescanContent() = 0;
};

// Crash reports left by earlier runs or by the client.
class ICrashReports {
public:
    virtual ~ICrashReports() = default;
    virtual void ReportPendingCrashDumps(QWidget* parent) = 0;
};

// The news page in the browser area.
class INewsPage {
public:
    virtual ~INewsPage() = default;
    virtual void Attach(QWidget* browserArea) = 0;
    virtual void Navigate() = 0;
    virtual void Refresh() = 0;
    virtual void FitToSmallScreen(QWidget* window) = 0;
};

// Launching the client (the Launch button).
class IClientLauncher {
public:
    virtual ~IClientLauncher() = default;
    // Starts the client and its monitor; true when it started (the window then keeps Launch and
    // Tools disabled until the client has ended).
    virtual bool LaunchClient(QWidget* window) = 0;
};

// The modal dialogs the window opens: tools sheet, about box, connection error.
class IWindowDialogs {
public:
    virtual ~IWindowDialogs() = default;
    // Runs the tools sheet; true when it ended with OK.
    virtual bool RunTools(QWidget* parent) = 0;
    virtual void ShowAbout(QWidget* parent) = 0;
    // After a failed fetch of the update list: the connection error, with the failure's cause
    // as its description; the internet is probed unless the update server itself answered.
    virtual void ShowConnectionError(QWidget* parent, const UpdateManager::UpdateFailure& failure) = 0;
};

// The interface language as stored and applied to the GUI thread.
class ILanguage {
public:
    virtual ~ILanguage() = default;
    virtual int LoadStoredLanguage() = 0;
    virtual void EnsureLanguageChosen() = 0;
};

struct MainWindowServices {
    IUpdateState* updates = nullptr;
    IContentServices* content = nullptr;
    ICrashReports* crashReports = nullptr;
    INewsPage* newsPage = nullptr;
    IClientLauncher* launcher = nullptr;
    IWindowDialogs* dialogs = nullptr;
    ILanguage* language = nullptr;
};

}  // namespace Vel
