#include "app/desktop/single_instance.h"

#include <QApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QPointer>
#include <QStandardPaths>
#include <QWidget>
#include <unistd.h>

namespace {
constexpr int kConnectMsecs = 2000;
constexpr int kAnswerMsecs = 10000;  // the running one may be busy redrawing
constexpr qint64 kMaxRequest = 64;
}  // namespace

SingleInstance::SingleInstance(const QString& directory, QObject* parent) : QObject(parent) {
    QString dir = directory;
    if (dir.isEmpty()) dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) dir = QDir::tempPath();
    // The uid keeps users apart also where the directory is shared (a temporary one).
    const QString base = QStringLiteral("%1/vespero-%2").arg(dir).arg(::getuid());
    name_ = base + QStringLiteral(".socket");
    lockPath_ = base + QStringLiteral(".lock");
}

SingleInstance::~SingleInstance() {
    if (server_) server_->close();  // removes the socket file
}

SingleInstance::Claim SingleInstance::ClaimOrAsk(const QByteArray& request) {
    // Two starts at once must not both find no one and then remove each other's socket.
    QLockFile lock(lockPath_);
    lock.setStaleLockTime(0);  // held for a moment only; a dead holder is still detected
    if (!lock.tryLock(kAnswerMsecs)) {
        error_ = QStringLiteral("cannot lock %1").arg(lockPath_);
        return Claim::First;
    }

    QLocalSocket socket;
    socket.connectToServer(name_);
    if (socket.waitForConnected(kConnectMsecs)) {
        socket.write(request + '\n');
        socket.waitForBytesWritten(kConnectMsecs);
        while (!socket.canReadLine() && socket.state() == QLocalSocket::ConnectedState)
            if (!socket.waitForReadyRead(kAnswerMsecs)) break;
        return socket.canReadLine() ? Claim::Answered : Claim::NoAnswer;
    }
    // No one answers: a socket file left by a monitor that crashed, or none at all.
    QLocalServer::removeServer(name_);
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_->listen(name_)) {
        error_ = server_->errorString();
        delete server_;
        server_ = nullptr;
        return Claim::First;
    }
    connect(server_, &QLocalServer::newConnection, this, &SingleInstance::OnConnection);
    return Claim::First;
}

void SingleInstance::OnConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxRequest) socket->abort();
                return;
            }
            const QByteArray request = socket->readLine(kMaxRequest).trimmed();
            QPointer<QLocalSocket> guard(socket);
            emit Requested(request);
            if (!guard) return;
            socket->write("shown\n");
            socket->disconnectFromServer();
        });
    }
}

void BringForward(QWidget* window) {
    if (window) {
        if (window->isMinimized())
            window->setWindowState((window->windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        window->show();
        window->raise();
        window->activateWindow();
    }
    if (QWidget* modal = QApplication::activeModalWidget()) {
        modal->raise();
        modal->activateWindow();
    }
}
