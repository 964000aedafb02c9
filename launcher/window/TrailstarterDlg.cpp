#include "launcher/window/TrailstarterDlg.h"

#include "delivery/jobs/DownloadProgress.h"
#include "delivery/update/UpdateManager.h"
#include "delivery/workers/WorkerRunner.h"
#include "delivery/workers/WorkerStatus.h"
#include "delivery/workers/Workers.h"
#include "foundation/runtime/AppServices.h"
#include "foundation/core/CrashHandler.h"
#include "foundation/core/Exception.h"
#include "foundation/core/FatalError.h"
#include "foundation/threads/TimedJobs.h"
#include "foundation/text/LocalizedStrings.h"
#include "foundation/config/SiteName.h"
#include "launcher/controls/BitmapResources.h"
#include "launcher/controls/CustomButton.h"
#include "launcher/controls/CustomProgressbar.h"
#include "launcher/controls/DialogItems.h"
#include "ui_MainWindow.h"

#include <QAction>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QCoreApplication>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

namespace Vel {
namespace {

constexpr int kTimerPeriodMs = 500;
// "Solvenda Frontier is running.": the status line while the game client runs.
constexpr unsigned kClientRunningTextId = 1270;

// Both buttons share the face strip and differ in their icons.
CustomButtonLook ButtonLook(unsigned iconId, unsigned disabledIconId) {
    CustomButtonLook look;
    look.textColour = QColor::fromRgb(0xE7E7E7);
    look.disabledTextColour = QColor::fromRgb(0x6B6B6B);
    look.bitmapId = 188;
    look.iconId = iconId;
    look.disabledIconId = disabledIconId;
    look.textTop = 26;
    look.iconTop = 1;
    look.iconLeft = 0;
    return look;
}

QString Q(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

QEvent::Type MainWindowEvent::EventType() {
    static const auto type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
}

CTrailstarterDlg::CTrailstarterDlg(MainWindowServices services, std::unique_ptr<ISleepInhibitor> inhibitor,
                                   QWidget* parent)
    : QDialog(parent),
      services_(std::move(services)),
      inhibitor_(inhibitor ? std::move(inhibitor) : std::make_unique<LogindSleepInhibitor>()),
      dialogs_(std::make_shared<GuiDialogService>(this)),
      previousPrompt_(&Platform::GetPrompt()) {
    Ui::MainWindowLayout layout;
    layout.setupUi(this);
    windowMenu_ = new QMenu(this);
    guiPrompt_ = std::make_unique<GuiThreadPrompt>(*previousPrompt_, dialogs_);
    Platform::SetPrompt(guiPrompt_.get());
    previousDialogService_ = SetProcessDialogService(dialogs_);
    timer_.setInterval(kTimerPeriodMs);
    connect(&timer_, &QTimer::timeout, this, [this] { Guarded([this] { OnTimer(); }); });
    if (QCoreApplication::instance() != nullptr) QCoreApplication::instance()->installEventFilter(this);
    SetMainWindowTarget(this);
}

CTrailstarterDlg::~CTrailstarterDlg() {
    SetMainWindowTarget(nullptr);
    timer_.stop();
    SetProcessDialogService(std::move(previousDialogService_));
    dialogs_->Shutdown();
    if (initialised_) {
        SetWorkerStatusListener({});
        SetWorkerStartedCallback({});
        SetWorkerCompletedCallback({});
        SetWorkerFailedCallback({});
        SetWorkerErrorCallback({});
    }
    Platform::SetPrompt(previousPrompt_);
    inhibitor_->SetKeepAwake(false);
}

template <class F>
void CTrailstarterDlg::Guarded(F&& f) noexcept {
    try {
        f();
    } catch (...) {
        // Nothing may leave a Qt event handler; the next message or timer tick goes on.
    }
}

std::string CTrailstarterDlg::String(unsigned id) const { return LoadLocalizedString(id); }

void CTrailstarterDlg::InitDialog() {
    if (initialised_) return;
    initialised_ = true;
    setWindowIcon(LoadIconResource(kProgramIconId));

    if (services_.crashReports) services_.crashReports->ReportPendingCrashDumps(this);

    auto* launch = GetDialogItem<CustomButton>(this, "IDOK");
    auto* tools = GetDialogItem<CustomButton>(this, "IDC_TOOLS");
    if (launch) launch->LoadFaces(ButtonLook(196, 199));
    if (tools) tools->LoadFaces(ButtonLook(198, 201));
    launch_ = launch;
    tools_ = tools;
    browser_ = GetDialogItem<QWidget>(this, "IDC_BROWSER");
    progress_ = GetDialogItem<CustomProgressbar>(this, "IDC_PROGRESS");
    status_ = GetDialogItem<QLabel>(this, "IDC_STATUS");
    timeLeft_ = GetDialogItem<QLabel>(this, "IDC_TIME_REMAINING");
    rate_ = GetDialogItem<QLabel>(this, "IDC_RATE");
    sizes_ = GetDialogItem<QLabel>(this, "IDC_SIZES");

    if (launch_) connect(launch_, &QPushButton::clicked, this, [this] { Guarded([this] { OnLaunch(); }); });
    if (tools_) connect(tools_, &QPushButton::clicked, this, [this] { Guarded([this] { OnTools(); }); });
    if (progress_) progress_->setRange(0, 100);
    if (services_.newsPage) {
        if (browser_) services_.newsPage->Attach(browser_);
        CheckCrashHandler();  // the browser engine has started
        services_.newsPage->FitToSmallScreen(this);
    }
    // A right click on the news page opens the window's menu, never the browser's own (whose
    // Back and Reload would leave the page the launcher chose).
    if (browser_) {
        GiveWindowMenu(browser_);
        for (QWidget* page : browser_->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) GiveWindowMenu(page);
    }
    update();

    timer_.start();
    UpdateWindowTitle("");
    UpdateButtonCaptions();

    // The window manager's menu is not ours to extend: About sits in the window's context menu
    // and on F1.
    const std::string about = String(101);
    if (!about.empty()) {
        auto* action = new QAction(Q(about), this);
        action->setShortcut(QKeySequence(Qt::Key_F1));
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, [this] { Guarded([this] { OnAbout(); }); });
        addAction(action);
        windowMenu_->addAction(action);
        about_ = action;
    }
    GiveWindowMenu(this);
    raise();
    activateWindow();

    InstallWorkerCallbacks();
    // A game client already running (one the player started) keeps its files: the window shows
    // it as it shows a client it launched, and the update starts once the timer sees it ended.
    if (services_.updates && services_.updates->IsClientRunning()) {
        startupUpdateDeferred_ = true;
        ShowClientRunning();
    } else {
        StartOrQueue(std::make_shared<UpdateWorker>());
    }
    if (services_.newsPage) services_.newsPage->Navigate();
}

void CTrailstarterDlg::InstallWorkerCallbacks() {
    SetWorkerStatusListener([] { PostMainWindowMessage(MainWindowMessage::UpdateProgress); });
    SetWorkerStartedCallback([this](const std::shared_ptr<ITSWorker>& worker) {
        // Runs on the GUI thread, inside StartWorker.
        if (tools_) tools_->setEnabled(worker->AllowsTools());
        UpdateLaunchButton();
        UpdateProgressView();
    });
    SetWorkerCompletedCallback([](const std::shared_ptr<ITSWorker>& worker) {
        PostMainWindowMessage(worker->CloseOnFinish() ? MainWindowMessage::Close : MainWindowMessage::WorkerDone);
    });
    SetWorkerFailedCallback([](bool closeWindow) {
        EndWorkerStatus();
        PostMainWindowMessage(closeWindow ? MainWindowMessage::Close : MainWindowMessage::WorkerDone);
    });
    SetWorkerErrorCallback([this, dialogs = dialogs_](const std::string& text) {
        // Only the GUI-side part touches the window; the service drops it once the window goes.
        return dialogs->Call([this, text] { return OnRetryQuestion(text); }, 0) != 0;
    });
}

void CTrailstarterDlg::QueueMessage(MainWindowMessage message, std::uintptr_t wParam, std::intptr_t lParam) {
    QCoreApplication::postEvent(this, new MainWindowEvent(message, wParam, lParam));
}

bool CTrailstarterDlg::SendRetryQuestion(const std::string& text) {
    return dialogs_->Call([this, text] { return OnRetryQuestion(text); }, 0) != 0;
}

int CTrailstarterDlg::OnRetryQuestion(const std::string& text) {
    return Platform::ShowPrompt(text, Platform::PromptButtons::RetryCancel, Platform::PromptIcon::Warning) ==
                   Platform::kIdRetry
               ? 1
               : 0;
}

bool CTrailstarterDlg::event(QEvent* e) {
    if (e->type() == MainWindowEvent::EventType()) {
        auto* m = static_cast<MainWindowEvent*>(e);
        Guarded([&] { HandleMessage(m->Message(), m->WParam()); });
        return true;
    }
    try {
        return QDialog::event(e);
    } catch (...) {
        return true;
    }
}

void CTrailstarterDlg::HandleMessage(MainWindowMessage message, std::uintptr_t wParam) {
    switch (message) {
        case MainWindowMessage::Refresh:
            if (services_.newsPage) services_.newsPage->Refresh();
            break;
        case MainWindowMessage::UpdateProgress: UpdateProgressView(); break;
        case MainWindowMessage::RetryQuestion: break;  // sent through SendRetryQuestion, never posted
        case MainWindowMessage::WorkerDone: OnWorkerDone(); break;
        case MainWindowMessage::ClientEnded: OnClientEnded(wParam == 1); break;
        case MainWindowMessage::VersionCurrent: OnVersionCurrent(); break;
        case MainWindowMessage::StartUpdate: OnStartUpdate(); break;
        case MainWindowMessage::UpdateFinished: OnUpdateResult(wParam); break;
        case MainWindowMessage::MoveFinished: OnMoveResult(wParam); break;
        case MainWindowMessage::StartDownload:
            ClearPendingWorker();
            RunOrQueue(std::make_shared<DownloadDynamicContentWorker>(0, false));
            break;
        case MainWindowMessage::StartPending: StartPendingWorker(); break;
        case MainWindowMessage::SwitchToPending: SwitchToPendingWorker(); break;
        case MainWindowMessage::Close: RequestClose(); break;
    }
}

void CTrailstarterDlg::StartOrQueue(std::shared_ptr<ITSWorker> worker) {
    try {
        if (!IsWorkerRunning()) {
            StartWorker(worker);
            return;
        }
    } catch (const Exception&) {
        // A worker became current in the meantime: queue behind it.
    }
    try {
        SetPendingWorker(std::move(worker));
    } catch (const Exception&) {
        // A worker of higher priority already waits; this one is dropped.
    }
}

void CTrailstarterDlg::RunOrQueue(std::shared_ptr<ITSWorker> worker) {
    try {
        RunWorker(worker);
    } catch (const Exception&) {
        // The current worker refused to make way.
        try {
            SetPendingWorker(std::move(worker));
        } catch (const Exception&) {
        }
    }
}

void CTrailstarterDlg::OnTimer() {
    // Each step on its own: a failing job must not stop the timed jobs or the refresh.
    // The dispatcher drops its jobs' Vel::Exceptions itself; an exception that still leaves it
    // (every kind, with "system.dispatcher.catch_exception" off) may neither cross this event
    // handler nor be lost, so it is a fatal error, as it would be on a pool thread.
    try {
        PumpAppDispatcher();
    } catch (const std::exception& e) {
        FatalError(e.what());
    } catch (...) {
        FatalError("unknown exception");
    }
    Guarded([] { RunDueTimedJobs(); });
    // The start-up update held back by the player's client goes within a tick of its end.
    Guarded([this] {
        if (startupUpdateDeferred_ && !closing_) OnStartUpdate();
    });
    Guarded([this] { UpdateProgressView(); });
    // Libraries that start late (the browser engine, libcurl) may have replaced the crash
    // handler; the version it writes may have changed.
    Guarded([] {
        CheckCrashHandler();
        RefreshCrashHandlerState();
    });
}

void CTrailstarterDlg::SetProgressIndeterminate(bool busy) {
    if (busy == busyShown_) return;
    busyShown_ = busy;
    if (progress_) {
        if (busy) progress_->setRange(0, 0);  // the marquee
        else progress_->setRange(0, 100);
    }
    for (QLabel* info : {timeLeft_, rate_, sizes_})
        if (info) info->setVisible(!busy);
}

void CTrailstarterDlg::UpdateProgressView() {
    const bool shown = IsWorkerStatusShown();
    const bool error = HasWorkerError();
    const int phase = GetWorkerPhase();
    if (progress_) progress_->setVisible(shown);
    if (status_) status_->setVisible(shown);
    for (QLabel* info : {timeLeft_, rate_, sizes_})
        if (info) info->setVisible(shown && !error && phase != 0);

    if (!shown) {
        inhibitor_->SetKeepAwake(false);
        if (!services_.updates || !status_) return;
        if (services_.updates->IsClientRunning()) {
            status_->setText(Q(String(kClientRunningTextId)));
            status_->setVisible(true);
        } else if (services_.updates->IsMaintenanceMode()) {
            status_->setText(QStringLiteral("Servers are currently in maintenance mode."));
            status_->setVisible(true);
        }
        return;
    }
    inhibitor_->SetKeepAwake(true);
    if (error) return;

    const auto progress = GetWorkerProgress();
    std::string text = GetWorkerStatusText();
    const bool busy = IsWorkerJobActive();
    SetProgressIndeterminate(busy);
    if (progress && !busy) {
        const int percent = static_cast<int>(progress->GetPercent());
        // More done than announced still shows a full bar, never the last value below it.
        if (progress_) progress_->setValue(std::clamp(percent, 0, 100));
        if (percent > 0 && !text.empty()) text += " - " + std::to_string(percent) + "%";
    }
    if (status_) status_->setText(Q(text));
    UpdateWindowTitle(text);
    if (phase != 0 && progress) {
        if (timeLeft_) timeLeft_->setText(Q(GetTimeRemainingText()));
        if (rate_) rate_->setText(Q(progress->GetRateText()));
        if (sizes_) sizes_->setText(Q(progress->GetSizeText()));
    }
}

void CTrailstarterDlg::UpdateWindowTitle(const std::string& status) {
    std::string title = String(165);
    const std::string site = GetSiteName();
    if (!site.empty()) title += " - " + site;
    if (!status.empty()) title += " - " + status;
    setWindowTitle(Q(title));
}

void CTrailstarterDlg::UpdateButtonCaptions() {
    if (launch_) launch_->setText(Q(String(171)));
    if (tools_) tools_->setText(Q(String(129)));
}

void CTrailstarterDlg::UpdateLaunchButton() {
    if (!launch_) return;
    bool enable = services_.updates && services_.updates->CanStartClient();
    if (enable) {
        auto current = GetCurrentWorker();
        enable = !current || current->AllowsLaunch();
    }
    launch_->setEnabled(enable);
}

void CTrailstarterDlg::StartPlanetDownloadWorker() {
    StartOrQueue(std::make_shared<DownloadDynamicContentWorker>(0, false));
}

void CTrailstarterDlg::OnWorkerDone() {
    if (closing_) {
        PostMainWindowMessage(MainWindowMessage::Close);
        return;
    }
    UpdateWindowTitle("");
    bool started = false;
    try {
        started = StartPendingWorker();
    } catch (const Exception&) {
    }
    if (services_.newsPage) services_.newsPage->Navigate();
    if (!started) {
        if (tools_) tools_->setEnabled(!(services_.updates && services_.updates->IsClientRunning()));
        if (services_.updates) services_.updates->CheckForUpdate();
    }
}

void CTrailstarterDlg::OnVersionCurrent() {
    // A current version still gets the start-up update's checks and its planet content.
    if (startupUpdateDeferred_) {
        OnStartUpdate();
        if (!startupUpdateDeferred_) return;
    }
    UpdateLaunchButton();
}

void CTrailstarterDlg::OnStartUpdate() {
    if (services_.updates && (services_.updates->IsUpdateRunning() || services_.updates->IsClientRunning())) return;
    switch (GetCurrentWorkerType()) {
        case kNoWorker:
            startupUpdateDeferred_ = false;
            StartOrQueue(std::make_shared<UpdateWorker>());
            break;
        case kDownloadPlanetDataWorker:
            startupUpdateDeferred_ = false;
            RunOrQueue(std::make_shared<UpdateWorker>());
            break;
        default: break;  // the next version check asks again; a held-back update stays held
    }
}

void CTrailstarterDlg::OnUpdateResult(std::uintptr_t code) {
    switch (static_cast<UpdateResult>(code)) {
        case UpdateResult::Done:
            if (services_.content) services_.content->InitContentDownload();
            StartPlanetDownloadWorker();
            break;
        case UpdateResult::DoneRestart:
            restartRequested_ = true;
            PostMainWindowMessage(MainWindowMessage::Close);
            break;
        case UpdateResult::Aborted: PostMainWindowMessage(MainWindowMessage::Close); break;
        default:
            ShowUpdateError(code);
            PostMainWindowMessage(MainWindowMessage::Close);
            break;
    }
}

void CTrailstarterDlg::ShowUpdateError(std::uintptr_t code) {
    const UpdateManager::UpdateFailure failure =
        services_.updates ? services_.updates->TakeLastFailure() : UpdateManager::UpdateFailure();
    const char* text = nullptr;
    switch (static_cast<UpdateResult>(code)) {
        case UpdateResult::UpdateListFailed:
            if (services_.dialogs) services_.dialogs->ShowConnectionError(this, failure);
            return;
        case UpdateResult::DownloadError:
            text = "An error occurred while downloading the update. Please try again later.";
            break;
        case UpdateResult::ExtractError:
            text = "An error occurred while extracting the update. Please try again later.";
            break;
        case UpdateResult::ApplyError:
            text = "An error occurred while applying the update. Please try again later.";
            break;
        default: text = "An internal error occurred. Please contact support."; break;
    }
    std::string message = std::string("Failed to update SF: ") + text;
    if (!failure.cause.empty()) message += "\n\n" + failure.cause;
    Platform::ShowPrompt(message, Platform::PromptButtons::Ok, Platform::PromptIcon::Error);
}

void CTrailstarterDlg::OnMoveResult(std::uintptr_t result) {
    if (result == 1) {
        const UpdateManager::UpdateFailure failure =
            services_.updates ? services_.updates->TakeLastFailure() : UpdateManager::UpdateFailure();
        std::string message = "Failed to move planet data: Please Contact support if the problem persists.";
        if (!failure.cause.empty()) message += "\n\n" + failure.cause;
        Platform::ShowPrompt(message, Platform::PromptButtons::Ok, Platform::PromptIcon::Error);
    }
    StartPlanetDownloadWorker();
}

void CTrailstarterDlg::OnClientEnded(bool clientSeen) {
    if (clientSeen) {
        if (services_.newsPage) services_.newsPage->Navigate();
        if (services_.content) services_.content->RescanContent();
    }
    if (services_.crashReports) services_.crashReports->ReportPendingCrashDumps(this);
    StartPlanetDownloadWorker();
}

void CTrailstarterDlg::OnTools() {
    if (!services_.dialogs) return;
    const int language = services_.language ? services_.language->LoadStoredLanguage() : 0;
    if (!services_.dialogs->RunTools(this)) return;
    if (services_.language && services_.language->LoadStoredLanguage() != language) {
        services_.language->EnsureLanguageChosen();
        UpdateButtonCaptions();
        if (services_.newsPage) services_.newsPage->Navigate();
    }
}

void CTrailstarterDlg::OnLaunch() {
    if (!services_.launcher) return;
    // Asked before anything is aborted: a launch that cannot happen leaves the worker running.
    if (!services_.updates || !services_.updates->CanStartClient()) return;
    if (!AbortCurrentWorker()) return;
    EndWorkerStatus();
    UpdateWindowTitle("");
    if (services_.newsPage) services_.newsPage->Refresh();
    if (!services_.launcher->LaunchClient(this)) return;
    ShowClientRunning();
}

void CTrailstarterDlg::ShowClientRunning() {
    if (launch_) launch_->setEnabled(false);
    if (tools_) tools_->setEnabled(false);
    UpdateProgressView();
}

void CTrailstarterDlg::OnAbout() {
    if (services_.dialogs) services_.dialogs->ShowAbout(this);
}

bool CTrailstarterDlg::RequestClose() {
    if (closed_) return true;
    closing_ = true;
    bool agreed = false;
    try {
        agreed = AbortCurrentWorker();
    } catch (...) {
        agreed = false;
    }
    if (!agreed) return false;  // stays open; closes at the next worker done
    timer_.stop();
    inhibitor_->SetKeepAwake(false);
    closed_ = true;
    closeAccepted_ = true;
    QDialog::done(QDialog::Rejected);
    return true;
}

void CTrailstarterDlg::closeEvent(QCloseEvent* e) {
    if (closeAccepted_) {
        e->accept();
        return;
    }
    e->ignore();
    Guarded([this] { RequestClose(); });
}

void CTrailstarterDlg::GiveWindowMenu(QWidget* widget) {
    widget->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(widget, &QWidget::customContextMenuRequested, this, [this, widget](const QPoint& at) {
        Guarded([&] {
            if (!windowMenu_->isEmpty()) windowMenu_->popup(widget->mapToGlobal(at));
        });
    });
}

bool CTrailstarterDlg::eventFilter(QObject* watched, QEvent* e) {
    // Escape, F1 and the Launch button's mnemonic work whichever of the window's controls has
    // the focus. A control that takes a key for itself (the browser keeps nearly every key for
    // its page) stops the shortcut, and its key press then comes here; when no control takes
    // it, the shortcut has already run and no key press follows.
    if (e->type() != QEvent::KeyPress || !watched->isWidgetType()) return false;
    const auto* key = static_cast<QKeyEvent*>(e);
    const int code = key->key();
    const Qt::KeyboardModifiers modifiers =
        key->modifiers() & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
    const bool escape = code == Qt::Key_Escape;
    const bool help = code == Qt::Key_F1 && modifiers == Qt::NoModifier && about_ != nullptr;
    const bool launch = modifiers == Qt::AltModifier && launch_ != nullptr && launch_->isEnabled() &&
                        launch_->isVisibleTo(this) &&
                        QKeySequence(QKeyCombination(modifiers, static_cast<Qt::Key>(code))) ==
                            QKeySequence::mnemonic(launch_->text());
    if (!escape && !help && !launch) return false;
    if (static_cast<QWidget*>(watched)->window() != this) return false;
    if (escape) {
        Guarded([this] { RequestClose(); });
    } else if (!key->isAutoRepeat()) {
        Guarded([&] {
            if (help) {
                about_->trigger();
            } else {
                launch_->click();
            }
        });
    }
    return true;
}

void CTrailstarterDlg::reject() {
    // Escape.
    Guarded([this] { RequestClose(); });
}

void CTrailstarterDlg::accept() {
    // Enter on the default button is the Launch command, never a close.
    Guarded([this] { OnLaunch(); });
}

void CTrailstarterDlg::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    Guarded([this] { InitDialog(); });
}

}  // namespace Vel
