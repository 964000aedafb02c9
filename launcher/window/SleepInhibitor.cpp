#include "launcher/window/SleepInhibitor.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QObject>

#include <fcntl.h>
#include <unistd.h>

namespace Vel {
namespace {

constexpr int kInhibitTimeoutMs = 2000;

class LogindInhibitBus final : public IInhibitBus {
public:
    void RequestInhibit(Answer answer) override {
        QDBusConnection bus = QDBusConnection::systemBus();
        if (!bus.isConnected()) {
            answer(-1);
            return;
        }
        // A plain method call: a QDBusInterface would introspect the service, synchronously.
        QDBusMessage call = QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
        call << QStringLiteral("sleep:idle") << QStringLiteral("Trailstarter") << QStringLiteral("Downloading")
             << QStringLiteral("block");
        // Parented to owner_: destroying this object deletes the watchers and their answers.
        auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kInhibitTimeoutMs), &owner_);
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher,
                         [answer = std::move(answer)](QDBusPendingCallWatcher* finished) {
                             QDBusPendingReply<QDBusUnixFileDescriptor> reply = *finished;
                             int fd = -1;
                             if (reply.isValid() && reply.value().isValid())
                                 // The reply closes its descriptor when it goes; keep a duplicate.
                                 fd = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
                             finished->deleteLater();
                             answer(fd);
                         });
    }

private:
    QObject owner_;
};

}  // namespace

std::unique_ptr<IInhibitBus> MakeLogindInhibitBus() { return std::make_unique<LogindInhibitBus>(); }

LogindSleepInhibitor::LogindSleepInhibitor(std::unique_ptr<IInhibitBus> bus)
    : bus_(bus ? std::move(bus) : MakeLogindInhibitBus()) {}

LogindSleepInhibitor::~LogindSleepInhibitor() { SetKeepAwake(false); }

void LogindSleepInhibitor::SetKeepAwake(bool awake) {
    if (awake == wanted_) return;
    wanted_ = awake;
    if (!awake) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return;
    }
    const unsigned showing = ++showing_;
    bus_->RequestInhibit([this, showing](int fd) { OnAnswer(showing, fd); });
}

void LogindSleepInhibitor::OnAnswer(unsigned showing, int fd) noexcept {
    if (fd < 0) return;
    if (!wanted_ || showing != showing_ || fd_ >= 0) {
        ::close(fd);  // not wanted any more
        return;
    }
    fd_ = fd;
}

}  // namespace Vel
