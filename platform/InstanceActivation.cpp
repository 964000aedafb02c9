#include "platform/InstanceActivation.h"

#include <QApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QWidget>

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
    return RuntimeDirectory() + "/" + objectName + ".sock";
}

ActivationListener::ActivationListener(const std::string& objectName) : server_(std::make_unique<QLocalServer>()) {
    const QString path = QString::fromStdString(ActivationSocketPath(objectName));
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
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(ActivationSocketPath(objectName)));
    if (!socket.waitForConnected(timeoutMs)) return false;
    socket.write("activate\n");
    if (!socket.waitForBytesWritten(timeoutMs)) return false;
    while (!socket.canReadLine()) {
        if (!socket.waitForReadyRead(timeoutMs)) return false;
    }
    return socket.readLine(64).trimmed() == "ok";
}

}  // namespace Vel::Platform
