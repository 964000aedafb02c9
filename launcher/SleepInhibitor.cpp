#include "launcher/SleepInhibitor.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QDBusReply>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>
#include <unistd.h>

namespace Vel {

LogindSleepInhibitor::~LogindSleepInhibitor() { SetKeepAwake(false); }

void LogindSleepInhibitor::SetKeepAwake(bool awake) {
    if (!awake) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        return;
    }
    if (fd_ >= 0) return;
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) return;
    QDBusInterface manager(QStringLiteral("org.freedesktop.login1"),
                           QStringLiteral("/org/freedesktop/login1"),
                           QStringLiteral("org.freedesktop.login1.Manager"), bus);
    if (!manager.isValid()) return;
    manager.setTimeout(2000);
    QDBusReply<QDBusUnixFileDescriptor> reply =
        manager.call(QStringLiteral("Inhibit"), QStringLiteral("sleep:idle"),
                     QStringLiteral("Trailstarter"), QStringLiteral("Downloading"),
                     QStringLiteral("block"));
    if (!reply.isValid() || !reply.value().isValid()) return;
    // The reply object closes its descriptor when it goes; keep a duplicate of our own.
    fd_ = ::fcntl(reply.value().fileDescriptor(), F_DUPFD_CLOEXEC, 0);
}

}  // namespace Vel
