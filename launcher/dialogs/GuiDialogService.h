#pragma once
// Runs dialogs on the GUI thread on behalf of any thread.
//
// Contract:
// - Call(dialog, cancelResult) on the GUI thread runs the dialog at once and returns its result.
// - From any other thread it queues the dialog to the GUI thread (to the anchor object's event
//   queue) and waits in short slices. Between slices it gives up, returning cancelResult, when
//   the calling thread's wait is cancelled (IsWaitCancelled: its job was aborted) or when the
//   service has been shut down. A dialog given up before the
//   GUI reached it is never shown; one already showing finishes and its answer is dropped.
// - The GUI thread never waits for another thread here, so a GUI thread that is joining a
//   worker cannot deadlock with that worker's dialog.
// - Shutdown (any thread) releases every waiter and makes later calls from other threads return
//   cancelResult at once. The anchor's owner calls it before the anchor is destroyed; after it the
//   anchor is never touched again. Held by shared pointer: callers keep it alive while they wait.
// - The service locks one mutex of its own, never while a dialog runs.
// - One service at a time is the process's (SetProcessDialogService, while the main window
//   lives): dialogs asked for on other threads without a service at hand go through it. Getting
//   and setting it take a separate process-wide mutex; any thread.

#include <QObject>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace Vel {

class GuiDialogService : public std::enable_shared_from_this<GuiDialogService> {
public:
    // anchor: an object living on the GUI thread; queued dialogs run in its thread's event loop.
    explicit GuiDialogService(QObject* anchor,
                              std::chrono::milliseconds slice = std::chrono::milliseconds(20));
    GuiDialogService(const GuiDialogService&) = delete;
    GuiDialogService& operator=(const GuiDialogService&) = delete;

    int Call(std::function<int()> dialog, int cancelResult);
    void Shutdown();
    bool IsShutDown() const;
    bool IsGuiThread() const;

private:
    struct Request;

    QObject* anchor_;
    QThread* guiThread_;
    std::chrono::milliseconds slice_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool shutDown_ = false;
};

// The process's service, or null when none is installed.
std::shared_ptr<GuiDialogService> GetProcessDialogService();
// Installs the process's service (null removes it); returns the one it replaces.
std::shared_ptr<GuiDialogService> SetProcessDialogService(std::shared_ptr<GuiDialogService> service);

}  // namespace Vel
