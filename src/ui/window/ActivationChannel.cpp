#include "ui/window/ActivationChannel.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace tarvik {
namespace {

constexpr char kRequest[] = "activate\n";

}  // namespace

CActivationServer::CActivationServer(QObject* parent)
    : QObject(parent), server_(std::make_unique<QLocalServer>()) {
    connect(server_.get(), &QLocalServer::newConnection, this, &CActivationServer::OnConnection);
}

CActivationServer::~CActivationServer() = default;

bool CActivationServer::Listen(const QString& path) {
    // Only this user may ask (the lock folder is already the user's own).
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(path);
    if (!server_->listen(path)) {
        error_ = server_->errorString();
        return false;
    }
    return true;
}

void CActivationServer::OnConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            // Anything but the one request line is ignored; a peer cannot make it grow.
            if (!socket->canReadLine() && socket->bytesAvailable() < 64) {
                return;
            }
            const QByteArray line = socket->readLine(64);
            socket->disconnectFromServer();
            if (line == kRequest) {
                emit activationRequested();
            }
        });
    }
}

bool RequestActivation(const QString& path, std::chrono::milliseconds bound) {
    QLocalSocket socket;
    socket.connectToServer(path);
    const int ms = static_cast<int>(bound.count());
    if (!socket.waitForConnected(ms)) {
        return false;
    }
    socket.write(kRequest);
    return socket.waitForBytesWritten(ms);
}

}  // namespace tarvik
