#include "platform/InstanceActivation.h"

#include <QApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>
#include <sys/un.h>

#include <cinttypes>
#include <cstdio>

#include "platform/InstanceObject.h"

namespace Vel::Platform {
namespace {

void RaiseWindow() {
    QWidget* window = QApplication::activeWindow();
    if (window == nullptr) {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->isVisible()) {
                window = w;
                break;
            }
        }
    }
    if (window == nullptr) return;
    window->showNormal();
    window->raise();
    window->activateWindow();
}

}  // namespace

std::string ActivationSocketPath(const std::string& objectName) {
    const std::string dir = RuntimeDirectory();
    if (dir.empty()) return "";
    const std::string path = dir + "/" + objectName + ".sock";
    if (path.size() < sizeof(sockaddr_un::sun_path)) return path;
    // A long object name (a long site name): 16 hex digits of its FNV-1a hash fit, as the
    // runtime folder leaves room for them.
    std::uint64_t hash = 14695981039346656037ULL;
    for (const unsigned char c : objectName) hash = (hash ^ c) * 1099511628211ULL;
    char name[24];
    std::snprintf(name, sizeof name, "/%016" PRIx64 ".sock", hash);
    return dir + name;
}

ActivationListener::ActivationListener(const std::string& objectName) : server_(std::make_unique<QLocalServer>()) {
    const std::string socketPath = ActivationSocketPath(objectName);
    if (socketPath.empty()) return;  // no runtime folder: nobody can ask us anyway
    const QString path = QString::fromStdString(socketPath);
    QLocalServer::removeServer(path);  // we hold the instance object: any socket there is stale
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(path)) return;
    QObject::connect(server_.get(), &QLocalServer::newConnection, server_.get(), [server = server_.get()] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket] {
                // A Qt slot: nothing may leave it.
                try {
                    if (!socket->canReadLine()) {
                        if (socket->bytesAvailable() > 64) socket->disconnectFromServer();
                        return;
                    }
                    if (socket->readLine(64).trimmed() == "activate") {
                        RaiseWindow();
                        socket->write("ok\n");
                        socket->flush();
                    }
                } catch (...) {
                }
                socket->disconnectFromServer();
            });
        }
    });
}

ActivationListener::~ActivationListener() = default;

bool ActivationListener::IsListening() const { return server_->isListening(); }

bool RequestActivation(const std::string& objectName, int timeoutMs) {
    const std::string path = ActivationSocketPath(objectName);
    if (path.empty()) return false;
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(path));
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write("activate\n");
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs)) return false;
    }
    return socket.readLine(64).trimmed() == "ok";
}

}  // namespace Vel::Platform
