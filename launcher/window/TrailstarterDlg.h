#pragma once
// The launcher's main window: news page, the current worker's progress, the Launch and Tools
// buttons, and the hub through which background parts reach the user interface.
//
// Contract:
// - Created, initialised (InitDialog, run by the first show unless called before) and run on
//   the GUI thread; every handler runs there and catches everything at its boundary.
// - While it lives it is the process's main-window target: PostMainWindowMessage from any
//   thread becomes a MainWindowEvent queued to it. The target is cleared, under the entry
//   point's lock, first thing in the destructor, so later posts are dropped.
// - While it lives, message boxes and error dialogs asked for on other threads are shown by the
//   GUI thread on their behalf (GuiThreadPrompt; its dialog service is the process's); their
//   callers wait in slices and give up with Cancel when their job is aborted or the window goes. The GUI thread never waits for a worker thread
//   here except inside a job's Abort, which such a waiting worker leaves promptly.
// - The retry question is sent and answered: run at once on the GUI thread, otherwise queued
//   to it while the caller waits.
// - Escape, the close box and a posted close all go through RequestClose; a worker that
//   refuses to abort keeps the window open, and it then closes at the next worker-done message.
//   Escape is taken before any control of the window sees it (an application event filter for
//   the key presses aimed at this window), so a control that keeps every key for itself, the
//   news page's browser among them, cannot swallow it. F1 (About) and Alt with the marked
//   letter of the Launch caption (a click on an enabled Launch button) are taken the same way.
//   Other windows' keys are left alone.
// - The window's menu (About, in place of the system menu) opens on a right click anywhere in
//   the window, the news page included: the page never shows the browser's own menu.
// - Handlers that would start a worker while another is current queue it as pending instead.
// - No update worker starts while the game client runs (also one the player started himself):
//   neither the one at opening nor one asked for by a version message.
// - While the game client runs and no worker shows progress, the status line says so. A client
//   the player started before the window opened leaves Launch and Tools disabled, as one the
//   window launched does; the start-up update it held back starts at the first timer tick
//   that finds it ended.
// - Controls are found by their symbolic names while initialising; a missing one is reported
//   through the prompt and the window goes on without it.

#include "delivery/workers/MainWindowMessages.h"
#include "launcher/dialogs/GuiDialogService.h"
#include "launcher/dialogs/GuiThreadPrompt.h"
#include "launcher/window/MainWindowServices.h"
#include "launcher/window/SleepInhibitor.h"

#include <QDialog>
#include <QEvent>
#include <QTimer>

#include <memory>
#include <string>

class QAction;
class QLabel;
class QMenu;
class QProgressBar;
class QPushButton;

namespace Vel {

class ITSWorker;

class MainWindowEvent final : public QEvent {
public:
    MainWindowEvent(MainWindowMessage message, std::uintptr_t wParam, std::intptr_t lParam)
        : QEvent(EventType()), message_(message), wParam_(wParam), lParam_(lParam) {}
    static QEvent::Type EventType();
    MainWindowMessage Message() const { return message_; }
    std::uintptr_t WParam() const { return wParam_; }
    std::intptr_t LParam() const { return lParam_; }

private:
    MainWindowMessage message_;
    std::uintptr_t wParam_;
    std::intptr_t lParam_;
};

class CTrailstarterDlg final : public QDialog, public IMainWindowTarget {
    Q_OBJECT
public:
    explicit CTrailstarterDlg(MainWindowServices services,
                              std::unique_ptr<ISleepInhibitor> inhibitor = nullptr,
                              QWidget* parent = nullptr);
    ~CTrailstarterDlg() override;

    // The window's initialisation; runs once.
    void InitDialog();

    void QueueMessage(MainWindowMessage message, std::uintptr_t wParam, std::intptr_t lParam) override;

    // The retry question: true when the player chose Retry. Any thread.
    bool SendRetryQuestion(const std::string& text);

    // Asks the window to close; false when the current worker refused to abort.
    bool RequestClose();

    bool IsRestartRequested() const { return restartRequested_; }
    bool IsClosing() const { return closing_; }
    bool IsClosed() const { return closed_; }

    // The 500 ms timer's work: the application dispatcher's jobs, the due timed jobs, then the
    // progress view.
    void OnTimer();

    void UpdateProgressView();
    void UpdateWindowTitle(const std::string& status);
    void UpdateButtonCaptions();
    void UpdateLaunchButton();

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void showEvent(QShowEvent* e) override;
    void reject() override;
    void accept() override;

private:
    void HandleMessage(MainWindowMessage message, std::uintptr_t wParam);
    int OnRetryQuestion(const std::string& text);
    void OnWorkerDone();
    void OnStartUpdate();
    void OnVersionCurrent();
    void OnUpdateResult(std::uintptr_t code);
    void OnMoveResult(std::uintptr_t result);
    void OnClientEnded(bool clientSeen);
    void OnTools();
    void OnLaunch();
    // Launch and Tools disabled, the status line saying the game runs.
    void ShowClientRunning();
    void OnAbout();
    void ShowUpdateError(std::uintptr_t code);
    void StartPlanetDownloadWorker();
    void SetProgressIndeterminate(bool busy);
    void StartOrQueue(std::shared_ptr<ITSWorker> worker);
    void RunOrQueue(std::shared_ptr<ITSWorker> worker);
    void InstallWorkerCallbacks();
    void GiveWindowMenu(QWidget* widget);
    std::string String(unsigned id) const;
    template <class F>
    void Guarded(F&& f) noexcept;

    MainWindowServices services_;
    std::unique_ptr<ISleepInhibitor> inhibitor_;
    std::shared_ptr<GuiDialogService> dialogs_;
    std::shared_ptr<GuiDialogService> previousDialogService_;
    Platform::IPrompt* previousPrompt_;
    std::unique_ptr<GuiThreadPrompt> guiPrompt_;
    QTimer timer_;

    QPushButton* launch_ = nullptr;
    QPushButton* tools_ = nullptr;
    QWidget* browser_ = nullptr;
    QMenu* windowMenu_ = nullptr;  // owned by the window
    QAction* about_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* timeLeft_ = nullptr;
    QLabel* rate_ = nullptr;
    QLabel* sizes_ = nullptr;

    bool initialised_ = false;
    bool closing_ = false;
    // The start-up update waits for a game client the player started himself; the first timer
    // tick or version answer after that client has ended starts it.
    bool startupUpdateDeferred_ = false;
    bool closed_ = false;
    bool closeAccepted_ = false;
    bool restartRequested_ = false;
    bool busyShown_ = false;
};

}  // namespace Vel
