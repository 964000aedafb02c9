#include "launcher/window/TrailstarterDlg.h"

#include "delivery/jobs/DownloadProgress.h"
#include "delivery/workers/WorkerRunner.h"
#include "delivery/workers/WorkerStatus.h"
#include "delivery/workers/Workers.h"
#include "foundation/runtime/AppServices.h"
#include "foundation/core/AppEnvironment.h"
#include "foundation/core/Exception.h"
#include "foundation/core/FatalError.h"
#include "foundation/threads/TimedJobs.h"
#include "foundation/config/SiteName.h"
#include "launcher/controls/BitmapResources.h"
#include "launcher/controls/CustomButton.h"
#include "launcher/controls/CustomProgressbar.h"
#include "launcher/app/UpdateManagerState.h"
#include "delivery/update/UpdateManager.h"
#include "platform/InstanceObject.h"
#include "tests/support/FakeWorkers.h"
#include "tests/support/MainWindowFakes.h"
#include "tests/support/QtApp.h"
#include "tests/support/ScriptedPrompt.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>

#include "tests/support/IsolatedSettings.h"
#include "tests/support/PumpUntil.h"
#include "tests/support/ScopedEnv.h"
#include "tests/support/TempDir.h"
#include "tests/support/WaitFor.h"

#include <gtest/gtest.h>

#include <QKeyEvent>

#include <algorithm>
#include <atomic>
#include <future>
#include <chrono>
#include <filesystem>
#include <thread>

namespace Vel {
namespace {

using Test::FakeWorker;

using Vel::Test::App;

void ResetWorkerState() {
    GetWorkerRunner().Reset();
    EndWorkerStatus();
    SetWorkerStatusText("");
    SetWorkerProgress(nullptr);
    EndWorkerStatus();
    SetWorkerStatusListener({});
}

using Vel::Test::PumpUntil;

void Pump() { QCoreApplication::processEvents(); }

class TrailstarterDlgTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        ResetWorkerState();
        SetSiteNameForTesting("");
        // Planet-data downloads keep running until a test ends them.
        for (int i = 0; i < 4; ++i)
            backend.downloads.push_back([](int, const ThreadJobBinder&) { return std::make_shared<ThreadJob>(); });
    }
    void TearDown() override {
        window.reset();
        ResetWorkerState();
    }
    // Builds and initialises the window; the start-up update stays current until finished.
    CTrailstarterDlg& Open(std::function<void(CTrailstarterDlg&)> beforeInit = nullptr) {
        window = std::make_unique<CTrailstarterDlg>(fakes.Services(),
                                                    std::make_unique<Vel::Test::RecordingInhibitor>(&awake));
        if (beforeInit) beforeInit(*window);
        window->InitDialog();
        return *window;
    }
    void FinishStartupUpdate() {
        ASSERT_TRUE(backend.lastUpdateJob);
        backend.lastUpdateJob->Complete();
        Pump();
    }
    template <class T>
    T* Item(const char* name) { return window->findChild<T*>(name); }

    Vel::Test::ScriptedPrompt prompt;
    Vel::Test::RecordingBackend backend;
    Vel::Test::MainWindowFakes fakes;
    bool awake = false;
    std::unique_ptr<CTrailstarterDlg> window;
};

TEST_F(TrailstarterDlgTest, TitleFollowsSiteAndStatus) {
    SetSiteNameForTesting("test2");
    auto& w = Open();
    w.UpdateWindowTitle("Updating");
    EXPECT_EQ(w.windowTitle().toStdString(), "Solvenda Frontier - Trail Starter - test2 - Updating");
    w.UpdateWindowTitle("");
    EXPECT_EQ(w.windowTitle().toStdString(), "Solvenda Frontier - Trail Starter - test2");
    // The program's own icon, not the desktop's default.
    EXPECT_FALSE(w.windowIcon().isNull());
    EXPECT_EQ(w.windowIcon().pixmap(32).toImage(), LoadIconResource(128).pixmap(32).toImage());
}

TEST_F(TrailstarterDlgTest, PercentSuffix) {
    auto& w = Open();
    FinishStartupUpdate();
    auto progress = std::make_shared<DownloadProgress>();
    progress->SetTotal(1000);
    progress->AddDone(427);
    SetWorkerProgress(progress);
    SetWorkerStatusText("Downloading planet data");
    w.UpdateProgressView();
    EXPECT_EQ(Item<QLabel>("IDC_STATUS")->text().toStdString(), "Downloading planet data - 42%");
    EXPECT_EQ(Item<QProgressBar>("IDC_PROGRESS")->value(), 42);
    EXPECT_EQ(w.windowTitle().toStdString(), "Solvenda Frontier - Trail Starter - Downloading planet data - 42%");
    progress->SetDone(0);
    w.UpdateProgressView();
    EXPECT_EQ(Item<QLabel>("IDC_STATUS")->text().toStdString(), "Downloading planet data");
}

// More done than announced fills the bar instead of leaving it at its last value.
TEST_F(TrailstarterDlgTest, OverFullProgressFillsTheBar) {
    auto& w = Open();
    FinishStartupUpdate();
    auto progress = std::make_shared<DownloadProgress>();
    progress->SetTotal(1000);
    progress->AddDone(427);
    SetWorkerProgress(progress);
    SetWorkerStatusText("Downloading planet data");
    w.UpdateProgressView();
    progress->AddDone(1000);
    w.UpdateProgressView();
    EXPECT_EQ(Item<QProgressBar>("IDC_PROGRESS")->value(), 100);
}

// Launch and Tools are drawn from the shared face strip, each with its own icons, and the bar is
// the one with painted corners.
TEST_F(TrailstarterDlgTest, ButtonsAndBarAreTheCustomControls) {
    auto& w = Open();
    auto* launch = Item<CustomButton>("IDOK");
    auto* tools = Item<CustomButton>("IDC_TOOLS");
    ASSERT_TRUE(launch && tools);
    ASSERT_TRUE(launch->HasFaces() && tools->HasFaces());
    EXPECT_EQ(launch->FrameSize(), QSize(88, 45));
    EXPECT_TRUE(Item<CustomProgressbar>("IDC_PROGRESS"));

    w.show();
    for (CustomButton* b : {launch, tools}) {
        b->setEnabled(true);
        b->setFocusPolicy(Qt::NoFocus);
    }
    const QImage launchFace = launch->grab().toImage();
    const QImage toolsFace = tools->grab().toImage();
    EXPECT_EQ(launch->CurrentFrame(), 0);
    EXPECT_EQ(launch->size(), QSize(88, 45));
    // Same frame, different icons: the faces differ only where the icon and caption are.
    EXPECT_EQ(launchFace.pixel(2, 44), toolsFace.pixel(2, 44));
    EXPECT_NE(launchFace.copy(28, 1, 32, 24), toolsFace.copy(28, 1, 32, 24));
}

TEST_F(TrailstarterDlgTest, BottomOfWindowStates) {
    struct Case {
        const char* name;
        bool shown, busy, error, maintenance;
        int phase;
        bool bar, marquee, status, info, keepAwake;
        const char* text;  // null: not checked
    } cases[] = {
        {"not shown, maintenance", false, false, false, true, 1, false, false, true, false, false,
         "Servers are currently in maintenance mode."},
        {"not shown", false, false, false, false, 1, false, false, false, false, false, nullptr},
        {"busy, phase 0", true, true, false, false, 0, true, true, true, false, true, "Updating"},
        {"not busy, phase 0", true, false, false, false, 0, true, false, true, false, true, "Updating - 50%"},
        {"not busy, phase 1", true, false, false, false, 1, true, false, true, true, true, "Updating - 50%"},
        {"error", true, false, true, false, 1, true, false, true, false, true, nullptr},
    };
    auto& w = Open();
    FinishStartupUpdate();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fakes.maintenance = c.maintenance;
        EndWorkerStatus();
        auto progress = std::make_shared<DownloadProgress>();
        progress->SetTotal(10);
        progress->AddDone(5);
        SetWorkerStatusText("Updating");
        if (c.shown) SetWorkerProgress(progress);
        if (c.busy) BeginWorkerStatus();
        if (c.shown) SetWorkerPhase(static_cast<std::uint8_t>(c.phase));
        if (c.error) SetWorkerError();
        w.UpdateProgressView();
        w.UpdateProgressView();  // a second refresh settles the marquee's own hiding
        auto* bar = Item<QProgressBar>("IDC_PROGRESS");
        EXPECT_EQ(!bar->isHidden(), c.bar);
        EXPECT_EQ(bar->maximum() == 0, c.marquee);
        EXPECT_EQ(!Item<QLabel>("IDC_STATUS")->isHidden(), c.status);
        for (const char* info : {"IDC_TIME_REMAINING", "IDC_RATE", "IDC_SIZES"})
            EXPECT_EQ(!Item<QLabel>(info)->isHidden(), c.info) << info;
        EXPECT_EQ(awake, c.keepAwake);
        if (c.text) {
            EXPECT_EQ(Item<QLabel>("IDC_STATUS")->text().toStdString(), c.text);
        }
    }
}

TEST_F(TrailstarterDlgTest, StartUpdateMessageByCurrentWorker) {
    Open();
    FinishStartupUpdate();
    ASSERT_FALSE(IsWorkerRunning());

    // During a compaction: nothing.
    auto compaction = std::make_shared<FakeWorker>(kCompactPlanetDataWorker, 0, "compact");
    StartWorker(compaction);
    PostMainWindowMessage(MainWindowMessage::StartUpdate);
    Pump();
    EXPECT_EQ(GetCurrentWorker(), compaction);
    EXPECT_FALSE(compaction->GetJob()->IsAborted());
    compaction->GetJob()->Complete();
    Pump();

    // During a planet download: the update pre-empts it.
    auto download = std::make_shared<FakeWorker>(kDownloadPlanetDataWorker, -1, "download");
    StartWorker(download);
    PostMainWindowMessage(MainWindowMessage::StartUpdate);
    Pump();
    EXPECT_TRUE(download->GetJob()->IsAborted());
    EXPECT_EQ(GetCurrentWorkerType(), kUpdateWorker);

    // While the update manager says an update runs: nothing.
    fakes.updateRunning = true;
    backend.lastUpdateJob->Complete();
    Pump();
    PostMainWindowMessage(MainWindowMessage::StartUpdate);
    Pump();
    EXPECT_FALSE(IsWorkerRunning());
}

// While the game client runs (one the player started too), neither the opening nor a version
// message starts an update; the first message after it has ended does.
TEST_F(TrailstarterDlgTest, NoUpdateStartsWhileTheClientRuns) {
    fakes.clientRunning = true;
    Open();
    EXPECT_FALSE(IsWorkerRunning());
    EXPECT_FALSE(backend.lastUpdateJob);
    PostMainWindowMessage(MainWindowMessage::StartUpdate);
    Pump();
    EXPECT_FALSE(IsWorkerRunning());

    fakes.clientRunning = false;
    PostMainWindowMessage(MainWindowMessage::StartUpdate);
    Pump();
    EXPECT_EQ(GetCurrentWorkerType(), kUpdateWorker);
    FinishStartupUpdate();
}

// Opened while the player's own client runs, the window still gets its start-up update (file
// checks, then the planet content) once the client has ended, even when the version is current.
TEST_F(TrailstarterDlgTest, TheStartupUpdateHeldBackByARunningClientStartsWithTheNextVersionAnswer) {
    fakes.clientRunning = true;
    Open();
    PostMainWindowMessage(MainWindowMessage::VersionCurrent);
    Pump();
    EXPECT_FALSE(IsWorkerRunning());

    fakes.clientRunning = false;
    PostMainWindowMessage(MainWindowMessage::VersionCurrent);
    Pump();
    EXPECT_EQ(GetCurrentWorkerType(), kUpdateWorker);
    FinishStartupUpdate();
    // Only once: later answers only follow the Launch button.
    PostMainWindowMessage(MainWindowMessage::VersionCurrent);
    Pump();
    EXPECT_NE(GetCurrentWorkerType(), kUpdateWorker);
}

// A client the player started before the window opened: Launch and Tools are disabled as for a
// client the window launched, the status line says the game runs, and the update it held back
// starts at the first timer tick after the client's end, the planet content after it.
TEST_F(TrailstarterDlgTest, AClientRunningAtOpeningDisablesTheButtonsAndItsEndStartsTheUpdateAtTheNextTick) {
    fakes.clientRunning = true;
    fakes.canStart = false;  // as the update manager answers while the client runs
    auto& w = Open();
    auto* launch = Item<QPushButton>("IDOK");
    auto* tools = Item<QPushButton>("IDC_TOOLS");
    auto* status = Item<QLabel>("IDC_STATUS");
    auto expectClientState = [&] {
        EXPECT_FALSE(IsWorkerRunning());
        EXPECT_FALSE(launch->isEnabled());
        EXPECT_FALSE(tools->isEnabled());
        EXPECT_FALSE(status->isHidden());
        EXPECT_EQ(status->text().toStdString(), "Solvenda Frontier is running.");
    };
    expectClientState();
    w.OnTimer();
    expectClientState();

    fakes.clientRunning = false;
    fakes.canStart = true;
    w.OnTimer();  // no version message needed
    EXPECT_EQ(GetCurrentWorkerType(), kUpdateWorker);
    EXPECT_TRUE(status->isHidden());
    fakes.calls.clear();
    PostMainWindowMessage(MainWindowMessage::UpdateFinished, 0);
    FinishStartupUpdate();
    Pump();
    EXPECT_EQ(GetCurrentWorkerType(), kDownloadPlanetDataWorker);
    EXPECT_NE(std::find(fakes.calls.begin(), fakes.calls.end(), "init content"), fakes.calls.end());
    EXPECT_TRUE(tools->isEnabled());
    // Once only.
    AbortCurrentWorker();
    w.OnTimer();
    EXPECT_FALSE(IsWorkerRunning());
}

// The same through the update manager: the client is whoever holds its instance object, and the
// timer finds it let go.
TEST_F(TrailstarterDlgTest, TheTimerSeesTheClientsInstanceObjectLetGo) {
    Vel::Test::TempDir dir;
    std::filesystem::create_directories(dir / "run");
    std::filesystem::permissions(dir / "run", std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace);
    Vel::Test::ScopedEnv env;
    env.Set("XDG_RUNTIME_DIR", (dir / "run").c_str());
    UpdateManager::ResetForTesting();
    UpdateManager::SetVersionRequesterForTesting([](RouterConnector::VersionCallback) {});
    Platform::InstanceObject client;
    ASSERT_EQ(client.Create(UpdateManager::ClientInstanceObjectName()), Platform::InstanceObject::Result::New);
    UpdateManagerState updates;
    auto services = fakes.Services();
    services.updates = &updates;
    window = std::make_unique<CTrailstarterDlg>(services, std::make_unique<Vel::Test::RecordingInhibitor>(&awake));
    window->InitDialog();
    window->OnTimer();
    EXPECT_FALSE(IsWorkerRunning());
    EXPECT_FALSE(Item<QPushButton>("IDOK")->isEnabled());
    EXPECT_FALSE(Item<QPushButton>("IDC_TOOLS")->isEnabled());

    client.Release();
    window->OnTimer();
    EXPECT_EQ(GetCurrentWorkerType(), kUpdateWorker);
    FinishStartupUpdate();
    window.reset();
    UpdateManager::SetVersionRequesterForTesting(nullptr);
    UpdateManager::ResetForTesting();
}

// The client ends while a worker that no update pre-empts runs: the update stays held back and
// starts at the first tick after that worker.
TEST_F(TrailstarterDlgTest, AHeldBackUpdateWaitsForACompactionThatRunsWhenTheClientEnds) {
    fakes.clientRunning = true;
    auto& w = Open();
    auto compaction = std::make_shared<FakeWorker>(kCompactPlanetDataWorker, 0, "compact");
    StartWorker(compaction);
    fakes.clientRunning = false;
    w.OnTimer();
    EXPECT_EQ(GetCurrentWorker(), compaction);
    compaction->GetJob()->Complete();
    Pump();
    w.OnTimer();
    EXPECT_EQ(GetCurrentWorkerType(), kUpdateWorker);
    FinishStartupUpdate();
}

TEST_F(TrailstarterDlgTest, HandlersQueueInsteadOfThrowingWhileAWorkerRuns) {
    // The start-up update is current: a move result asks for a download, which waits.
    Open();
    PostMainWindowMessage(MainWindowMessage::MoveFinished, 0);
    Pump();
    EXPECT_EQ(GetCurrentWorkerType(), kUpdateWorker);
    auto pending = GetWorkerRunner().GetPendingWorker();
    ASSERT_TRUE(pending);
    EXPECT_EQ(pending->GetType(), kDownloadPlanetDataWorker);
    // When the update ends, the window starts it.
    FinishStartupUpdate();
    Pump();
    EXPECT_EQ(GetCurrentWorkerType(), kDownloadPlanetDataWorker);
}

TEST_F(TrailstarterDlgTest, EscapeDuringARepairAnsweredNoKeepsTheWindowUntilTheRepairEnds) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    backend.repair = [released](std::shared_ptr<ThreadJob> job, const std::string&) {
        released.wait();
        job->Complete();
    };
    Vel::Test::ScriptedPrompt local({Platform::kIdNo, Platform::kIdNo});
    auto& w = Open();
    FinishStartupUpdate();
    StartWorker(std::make_shared<RepairDynamicContentWorker>("planet_07.pak"));

    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&w, &escape);
    EXPECT_EQ(local.Questions().size(), 1u);  // the repair's question
    EXPECT_TRUE(w.IsClosing());
    EXPECT_FALSE(w.IsClosed());
    PostMainWindowMessage(MainWindowMessage::Close);  // a posted close takes the same road
    Pump();
    EXPECT_EQ(local.Questions().size(), 2u);
    EXPECT_FALSE(w.IsClosed());

    release.set_value();  // the repair ends: worker done, and the window closes by itself
    EXPECT_TRUE(PumpUntil([&] { return w.IsClosed(); }));
}

// Keeps every key, as the news page's browser does.
class KeyEatingControl final : public QWidget {
public:
    using QWidget::QWidget;
    int keys = 0;

protected:
    void keyPressEvent(QKeyEvent* e) override {
        ++keys;
        e->accept();
    }
};

TEST_F(TrailstarterDlgTest, EscapeClosesTheWindowEvenWhenAControlKeepsEveryKey) {
    auto& w = Open();
    auto* control = new KeyEatingControl(&w);
    auto* elsewhere = new KeyEatingControl();  // another window's control keeps its keys
    std::unique_ptr<QWidget> otherWindow(elsewhere);

    QKeyEvent other(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(elsewhere, &other);
    EXPECT_EQ(elsewhere->keys, 1);
    QKeyEvent letter(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
    QCoreApplication::sendEvent(control, &letter);
    EXPECT_EQ(control->keys, 1);
    EXPECT_FALSE(w.IsClosing());

    // The update is still running: the close aborts it and the window goes at once.
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(control, &escape);
    EXPECT_EQ(control->keys, 1);
    EXPECT_TRUE(w.IsClosed());
    ASSERT_TRUE(backend.lastUpdateJob);
    EXPECT_TRUE(backend.lastUpdateJob->IsAborted());
}

TEST_F(TrailstarterDlgTest, F1AndTheLaunchMnemonicWorkWhileThePageKeepsEveryKey) {
    KeyEatingControl* page = nullptr;
    fakes.attach = [&](QWidget* area) { page = new KeyEatingControl(area); };
    auto& w = Open();
    ASSERT_NE(page, nullptr);
    FinishStartupUpdate();
    auto* launch = Item<QPushButton>("IDOK");
    launch->setEnabled(true);  // the client may start
    auto* elsewhere = new KeyEatingControl();  // another window's control keeps its keys
    std::unique_ptr<QWidget> otherWindow(elsewhere);
    auto press = [](QWidget* to, Qt::Key key, Qt::KeyboardModifiers modifiers) {
        QKeyEvent e(QEvent::KeyPress, key, modifiers);
        QCoreApplication::sendEvent(to, &e);
    };

    fakes.calls.clear();
    press(elsewhere, Qt::Key_F1, Qt::NoModifier);
    press(elsewhere, Qt::Key_L, Qt::AltModifier);
    press(page, Qt::Key_F1, Qt::ShiftModifier);
    EXPECT_EQ(elsewhere->keys, 2);
    EXPECT_EQ(page->keys, 1);
    EXPECT_TRUE(fakes.calls.empty());
    press(page, Qt::Key_F1, Qt::NoModifier);
    EXPECT_EQ(fakes.calls, (std::vector<std::string>{"about"}));
    EXPECT_EQ(page->keys, 1);

    // The marked letter of the caption in each language; the letter alone, or with Control,
    // stays the page's.
    fakes.launchStarts = false;  // the button stays enabled for the next language
    const struct {
        const char* caption;
        Qt::Key mnemonic, other;
    } captions[] = {{"&Launch", Qt::Key_L, Qt::Key_S},
                    {"&Lancer", Qt::Key_L, Qt::Key_J},
                    {"&Starten", Qt::Key_S, Qt::Key_L},
                    {"&Jugar", Qt::Key_J, Qt::Key_L}};
    for (const auto& c : captions) {
        SCOPED_TRACE(c.caption);
        launch->setText(QString::fromUtf8(c.caption));
        fakes.calls.clear();
        page->keys = 0;
        press(page, c.other, Qt::AltModifier);
        press(page, c.mnemonic, Qt::NoModifier);
        press(page, c.mnemonic, Qt::ControlModifier);
        EXPECT_EQ(page->keys, 3);
        EXPECT_TRUE(fakes.calls.empty());
        press(page, c.mnemonic, Qt::AltModifier);
        EXPECT_EQ(page->keys, 3);
        EXPECT_EQ(fakes.calls, (std::vector<std::string>{"refresh", "launch"}));
    }

    // A disabled Launch button leaves the key to the page.
    launch->setEnabled(false);
    fakes.calls.clear();
    page->keys = 0;
    press(page, Qt::Key_J, Qt::AltModifier);
    EXPECT_EQ(page->keys, 1);
    EXPECT_TRUE(fakes.calls.empty());
    EXPECT_FALSE(w.IsClosing());
}

// Shows a menu of its own on a right click, as the browser engine does.
class OwnMenuPage final : public QWidget {
public:
    using QWidget::QWidget;
    int ownMenus = 0;

protected:
    void contextMenuEvent(QContextMenuEvent* e) override {
        ++ownMenus;
        e->accept();
    }
};

TEST_F(TrailstarterDlgTest, ARightClickOnThePageOpensTheWindowMenu) {
    OwnMenuPage* page = nullptr;
    fakes.attach = [&](QWidget* area) { page = new OwnMenuPage(area); };
    auto& w = Open();
    ASSERT_NE(page, nullptr);
    w.show();
    QContextMenuEvent click(QContextMenuEvent::Mouse, QPoint(5, 5), page->mapToGlobal(QPoint(5, 5)));
    QCoreApplication::sendEvent(page, &click);
    EXPECT_EQ(page->ownMenus, 0);
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(menu->parent(), &w);
    ASSERT_EQ(menu->actions().size(), 1);
    fakes.calls.clear();
    menu->actions().front()->trigger();
    EXPECT_EQ(fakes.calls, (std::vector<std::string>{"about"}));
    menu->close();
}

TEST_F(TrailstarterDlgTest, UpdateResults) {
    const std::string certificate =
        "The certificate of update.example.org could not be verified: it was issued for another host name";
    const std::string refused = "The elevation command \"pkexec\" is not installed.";
    struct Case {
        std::uintptr_t code;
        bool closes, restart;
        std::vector<std::string> prompts;
        std::vector<std::string> calls;
        UpdateManager::UpdateFailure failure;
    } cases[] = {
        {1, true, true, {}, {}, {}},
        {2, true, false, {}, {}, {}},
        {3, true, false, {}, {"connection error"}, {}},
        {3, true, false, {}, {"connection error (server answered): " + certificate}, {certificate, true}},
        {5, true, false, {"Failed to update SF: An error occurred while extracting the update. Please try again later."}, {}, {}},
        {6, true, false,
         {"Failed to update SF: An error occurred while applying the update. Please try again later.\n\n" + refused}, {},
         {refused, false}},
        {9, true, false, {"Failed to update SF: An internal error occurred. Please contact support."}, {}, {}},
        {0, false, false, {}, {"init content"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.code);
        Vel::Test::ScriptedPrompt local;
        auto& w = Open();
        FinishStartupUpdate();
        fakes.calls.clear();
        fakes.failure = c.failure;
        PostMainWindowMessage(MainWindowMessage::UpdateFinished, c.code);
        Pump();
        Pump();
        EXPECT_EQ(w.IsClosed(), c.closes);
        EXPECT_EQ(w.IsRestartRequested(), c.restart);
        std::vector<std::string> shown;
        for (auto& q : local.Questions()) shown.push_back(q.text);
        EXPECT_EQ(shown, c.prompts);
        std::vector<std::string> calls;
        for (auto& call : fakes.calls)
            if (call != "navigate" && call != "check") calls.push_back(call);
        EXPECT_EQ(calls, c.calls);
        if (c.code == 0) {
            EXPECT_EQ(GetCurrentWorkerType(), kDownloadPlanetDataWorker);
        }
        window.reset();
        ResetWorkerState();
    }
}

// A failed content move shows its box with the cause the move left, and only once.
TEST_F(TrailstarterDlgTest, AFailedMoveNamesItsCause) {
    const std::string box = "Failed to move planet data: Please Contact support if the problem persists.";
    const std::string refused = "The elevation command \"pkexec\" is not installed.";
    Vel::Test::ScriptedPrompt local;
    Open();
    FinishStartupUpdate();
    fakes.failure = {refused, false};
    PostMainWindowMessage(MainWindowMessage::MoveFinished, 1);
    Pump();
    PostMainWindowMessage(MainWindowMessage::MoveFinished, 1);
    Pump();
    std::vector<std::string> shown;
    for (auto& q : local.Questions()) shown.push_back(q.text);
    EXPECT_EQ(shown, (std::vector<std::string>{box + "\n\n" + refused, box}));
}

TEST_F(TrailstarterDlgTest, MessagePostedAfterTheWindowIsGoneIsDropped) {
    Open();
    EXPECT_TRUE(HasMainWindow());
    window.reset();
    EXPECT_FALSE(HasMainWindow());
    EXPECT_FALSE(PostMainWindowMessage(MainWindowMessage::UpdateFinished, 0));
    Pump();
}

TEST_F(TrailstarterDlgTest, MissingControlIsReportedAndTheWindowGoesOn) {
    auto& w = Open([](CTrailstarterDlg& dlg) { delete dlg.findChild<QWidget*>("IDC_RATE"); });
    auto questions = prompt.Questions();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].text, "Internal error: Couldn't get dialog item IDC_RATE");
    SetWorkerProgress(std::make_shared<DownloadProgress>());
    SetWorkerPhase(1);
    w.UpdateProgressView();  // no crash without the control
    EXPECT_FALSE(Item<QLabel>("IDC_TIME_REMAINING")->isHidden());
}

TEST_F(TrailstarterDlgTest, ToolsLanguageChangeAndAbout) {
    auto& w = Open();
    FinishStartupUpdate();
    fakes.calls.clear();
    fakes.languageAfterTools = 1036;
    Item<QPushButton>("IDC_TOOLS")->click();
    EXPECT_EQ(fakes.calls, (std::vector<std::string>{"tools", "apply language", "navigate"}));
    fakes.calls.clear();
    ASSERT_FALSE(w.actions().isEmpty());  // context menu and F1
    w.actions().front()->trigger();
    EXPECT_EQ(fakes.calls, (std::vector<std::string>{"about"}));
}

TEST_F(TrailstarterDlgTest, WorkerThreadAsksTheRetryQuestionWhileTheGuiRuns) {
    Vel::Test::ScriptedPrompt local({Platform::kIdRetry});
    Open();
    FinishStartupUpdate();
    auto download = std::make_shared<FakeWorker>(kDownloadPlanetDataWorker, -1, "download");
    StartWorker(download);
    auto job = download->GetJob();
    std::atomic<int> handled{-1};
    TestSupport::BoundedThread jobThread([&] {
        try {
            throw NetworkException("http://content/a.pak", "Refused");
        } catch (...) {
            handled = job->Fail() ? 1 : 0;
        }
    });
    EXPECT_TRUE(PumpUntil([&] { return handled.load() >= 0; }));
    ASSERT_TRUE(jobThread.Join());
    EXPECT_EQ(handled.load(), 1);
    auto questions = local.Questions();
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].buttons, Platform::PromptButtons::RetryCancel);
    EXPECT_EQ(questions[0].text.rfind("Failed downloading http://content/a.pak", 0), 0u);
    EXPECT_EQ(GetCurrentWorker(), download);

    // A message box asked for on a worker thread is shown by the GUI thread too.
    std::atomic<int> answer{-1};
    TestSupport::BoundedThread asker(
        [&] { answer = Platform::ShowPrompt("Disk full", Platform::PromptButtons::OkCancel); });
    EXPECT_TRUE(PumpUntil([&] { return answer.load() >= 0; }));
    ASSERT_TRUE(asker.Join());
    EXPECT_EQ(local.Questions().size(), 2u);
}

TEST_F(TrailstarterDlgTest, GuiAbortsAWorkerWaitingOnADialog) {
    auto& w = Open();
    FinishStartupUpdate();
    std::atomic<bool> asking{false};
    SetWorkerErrorCallback([&](const std::string& text) {
        asking = true;
        return w.SendRetryQuestion(text);
    });
    auto download = std::make_shared<FakeWorker>(kDownloadPlanetDataWorker, -1, "download");
    StartWorker(download);
    auto job = download->GetJob();
    Vel::Test::StartJobThread(job, [](ThreadJob& job) {
        try {
            throw NetworkException("http://content/a.pak", "Refused");
        } catch (...) {
            job.Fail();
        }
    });
    ASSERT_TRUE(TestSupport::WaitFor([&] { return asking.load(); })) << "the retry question was never asked";
    // The GUI thread joins the job thread without pumping: the waiting worker gives up.
    EXPECT_TRUE(AbortCurrentWorker());
    Pump();
    EXPECT_TRUE(prompt.Questions().empty());  // the abandoned question is never shown
}

TEST_F(TrailstarterDlgTest, TimerRunsTheDispatcherThenTheTimedJobsThenTheRefresh) {
    CreateAppServices();
    auto& w = Open();
    FinishStartupUpdate();
    std::vector<std::string> ran;
    GetAppDispatcher()->Post([&] { ran.push_back("dispatcher"); });
    TimedJob job;
    job.function = [&] { ran.push_back("timed"); };
    ScheduleTimedJob(job, VelDuration(), nullptr);
    SetWorkerStatusText("Compacting planet data");
    BeginWorkerStatus();
    w.OnTimer();
    EXPECT_EQ(ran, (std::vector<std::string>{"dispatcher", "timed"}));
    EXPECT_EQ(Item<QLabel>("IDC_STATUS")->text().toStdString(), "Compacting planet data");
    window.reset();
    DestroyAppServices();
}

// With the dispatcher's catching off, a job's exception leaves the pump; the timer may not let
// it cross the event handler, nor swallow it.
TEST_F(TrailstarterDlgTest, AJobExceptionLeavingTheDispatcherIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            InstallCrashSignalHandlers();
            GetParameterStore().Set("system.dispatcher.catch_exception", ParameterType::Bool, false);
            CreateAppServices();
            auto& w = Open();
            GetAppDispatcher()->Post([] { throw Exception("lost in the timer"); });
            w.OnTimer();
        },
        "CrashInfo=lost in the timer");
}

TEST_F(TrailstarterDlgTest, ClientEndedRescansAndStartsTheDownload) {
    Open();
    FinishStartupUpdate();
    fakes.calls.clear();
    PostMainWindowMessage(MainWindowMessage::ClientEnded, 1);
    Pump();
    EXPECT_EQ(fakes.calls, (std::vector<std::string>{"navigate", "rescan", "crash reports"}));
    EXPECT_EQ(GetCurrentWorkerType(), kDownloadPlanetDataWorker);
}

// The planet-download request empties the pending slot first: a worker waiting there does not
// start after the download, whether the download starts at once or waits behind the current
// worker. The waiting worker outranks the download, so the slot is not emptied by the download
// taking it.
TEST_F(TrailstarterDlgTest, ThePlanetDownloadRequestDropsTheWorkerWaitingInTheSlot) {
    for (const bool busy : {false, true}) {
        SCOPED_TRACE(busy ? "a worker is current" : "no worker is current");
        Open();
        FinishStartupUpdate();
        ASSERT_FALSE(IsWorkerRunning());
        std::shared_ptr<FakeWorker> current;
        if (busy) {
            current = std::make_shared<FakeWorker>(kCompactPlanetDataWorker, 0, "compact");
            StartWorker(current);
        }
        auto waiting = std::make_shared<FakeWorker>(kRepairPlanetDataWorker, 0, "waiting");
        SetPendingWorker(waiting);

        PostMainWindowMessage(MainWindowMessage::StartDownload);
        Pump();
        if (busy) {
            EXPECT_EQ(GetCurrentWorker(), current);
            auto pending = GetWorkerRunner().GetPendingWorker();
            ASSERT_TRUE(pending);
            EXPECT_EQ(pending->GetType(), kDownloadPlanetDataWorker);
            current->GetJob()->Complete();
            Pump();
        }
        ASSERT_EQ(GetCurrentWorkerType(), kDownloadPlanetDataWorker);
        GetCurrentWorker()->GetJob()->Complete();  // the next round of the download follows
        Pump();
        EXPECT_EQ(GetCurrentWorkerType(), kDownloadPlanetDataWorker);
        EXPECT_EQ(waiting->starts.load(), 0);

        window.reset();
        ResetWorkerState();
    }
}

TEST_F(TrailstarterDlgTest, LaunchAsksWhetherTheClientMayStartBeforeAbortingTheDownload) {
    Open();
    FinishStartupUpdate();
    auto download = std::make_shared<FakeWorker>(kDownloadPlanetDataWorker, -1, "download");
    StartWorker(download);
    fakes.calls.clear();

    // The client may not start (no version yet, maintenance, ...): the download goes on.
    fakes.canStart = false;
    static_cast<QDialog*>(window.get())->accept();  // Enter: the Launch command
    EXPECT_FALSE(download->GetJob()->IsAborted());
    EXPECT_EQ(GetCurrentWorker(), download);
    EXPECT_TRUE(fakes.calls.empty());

    // It may: the download is aborted first, then the client starts and the buttons wait.
    fakes.canStart = true;
    static_cast<QDialog*>(window.get())->accept();  // Enter: the Launch command
    EXPECT_TRUE(download->GetJob()->IsAborted());
    EXPECT_EQ(fakes.calls, (std::vector<std::string>{"refresh", "launch"}));
    EXPECT_FALSE(Item<QPushButton>("IDOK")->isEnabled());
    EXPECT_FALSE(Item<QPushButton>("IDC_TOOLS")->isEnabled());
}

}  // namespace
}  // namespace Vel
