#include "launcher/dialogs/GuiDialogService.h"

#include "foundation/threads/WaitCancel.h"

#include <QMetaObject>
#include <QThread>

namespace Vel {
namespace {

std::mutex& ProcessServiceMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<GuiDialogService>& ProcessService() {
    static std::shared_ptr<GuiDialogService> service;
    return service;
}

}  // namespace

std::shared_ptr<GuiDialogService> GetProcessDialogService() {
    std::lock_guard lock(ProcessServiceMutex());
    return ProcessService();
}

std::shared_ptr<GuiDialogService> SetProcessDialogService(std::shared_ptr<GuiDialogService> service) {
    std::lock_guard lock(ProcessServiceMutex());
    std::swap(ProcessService(), service);
    return service;
}

struct GuiDialogService::Request {
    std::function<int()> dialog;
    bool started = false;
    bool finished = false;
    bool abandoned = false;
    int result = 0;
};

GuiDialogService::GuiDialogService(QObject* anchor, std::chrono::milliseconds slice)
    : anchor_(anchor), guiThread_(anchor->thread()), slice_(slice) {}

bool GuiDialogService::IsGuiThread() const { return QThread::currentThread() == guiThread_; }

bool GuiDialogService::IsShutDown() const {
    std::lock_guard lock(mutex_);
    return shutDown_;
}

void GuiDialogService::Shutdown() {
    {
        std::lock_guard lock(mutex_);
        shutDown_ = true;
    }
    changed_.notify_all();
}

int GuiDialogService::Call(std::function<int()> dialog, int cancelResult) {
    if (IsGuiThread()) return dialog();
    // A caller that has given up already asks nothing: otherwise the GUI thread could reach the
    // dialog while the caller is still looking at its cancel check, and show it to nobody.
    if (IsWaitCancelled()) return cancelResult;

    auto request = std::make_shared<Request>();
    request->dialog = std::move(dialog);
    std::unique_lock lock(mutex_);
    if (shutDown_) return cancelResult;

    // The queued call belongs to the anchor: Qt drops it if the anchor goes first. It holds the
    // service weakly so that a late call after the launcher has let go of it does nothing.
    std::weak_ptr<GuiDialogService> weakSelf = weak_from_this();
    // Posted under the lock, so that Shutdown (taken before the anchor dies) orders after it.
    const bool queued = QMetaObject::invokeMethod(
        anchor_,
        [weakSelf, request]() {
            auto self = weakSelf.lock();
            if (!self) return;
            {
                std::lock_guard lock(self->mutex_);
                if (request->abandoned || self->shutDown_) return;
                request->started = true;
            }
            int result = 0;
            try {
                result = request->dialog();
            } catch (...) {
                result = 0;  // nothing may leave a GUI event handler
                std::lock_guard lock(self->mutex_);
                request->abandoned = true;
            }
            {
                std::lock_guard lock(self->mutex_);
                request->result = result;
                request->finished = true;
            }
            self->changed_.notify_all();
        },
        Qt::QueuedConnection);
    if (!queued) return cancelResult;

    for (;;) {
        if (request->finished) return request->abandoned ? cancelResult : request->result;
        if (shutDown_) break;
        lock.unlock();
        const bool cancelled = IsWaitCancelled();
        lock.lock();
        if (request->finished) continue;
        if (cancelled) break;
        changed_.wait_for(lock, slice_);
    }
    request->abandoned = true;
    return cancelResult;
}

}  // namespace Vel
