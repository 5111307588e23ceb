#include "daemon/nut_server.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>

namespace nut {

void LogLine(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fprintf(stderr, "vesperod: %s\n", bytes.constData());
    std::fflush(stderr);
}

struct Server::Client {
    QTcpSocket* socket = nullptr;
    std::unique_ptr<Session> session;
    QByteArray input;
    qint64 lastRequestMs = 0;
    bool closing = false;
};

namespace {

QString Describe(const QHostAddress& address, quint16 port) {
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QStringLiteral("[%1]:%2").arg(address.toString()).arg(port)
               : QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

std::string PeerText(const QTcpSocket* socket) {
    QHostAddress peer = socket->peerAddress();
    bool mapped = false;
    const quint32 v4 = peer.toIPv4Address(&mapped);
    if (mapped) peer = QHostAddress(v4);
    return peer.toString().toStdString();
}

}  // namespace

Server::Server(const DaemonConfig& config, UnitBoard* board, const UsersFile* users, Session::Clock clock,
               QObject* parent)
    : QObject(parent), config_(config), board_(board), users_(users), clock_(clock) {
    idleTimer_.setInterval(1000);
    connect(&idleTimer_, &QTimer::timeout, this, [this] { DropIdle(); });
}

Server::~Server() { Close(); }

bool Server::Listen(QString* error) {
    for (const ListenAddress& a : config_.listen) {
        auto* server = new QTcpServer(this);
        if (!server->listen(a.address, a.port)) {
            *error = QStringLiteral("cannot listen on %1: %2").arg(Describe(a.address, a.port), server->errorString());
            delete server;
            return false;
        }
        connect(server, &QTcpServer::newConnection, this, [this, server] { Accept(server); });
        servers_.push_back(server);
        LogLine(QStringLiteral("listening on %1").arg(Describe(a.address, server->serverPort())));
    }
    idleTimer_.start();
    return true;
}

void Server::Close() {
    idleTimer_.stop();
    while (!clients_.empty()) {
        QTcpSocket* socket = clients_.begin()->first;
        clients_.erase(clients_.begin());
        socket->abort();
        delete socket;
    }
    for (QTcpServer* s : servers_) {
        s->close();
        delete s;
    }
    servers_.clear();
}

std::vector<quint16> Server::Ports() const {
    std::vector<quint16> ports;
    for (const QTcpServer* s : servers_) ports.push_back(s->serverPort());
    return ports;
}

void Server::Accept(QTcpServer* server) {
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        if (int(clients_.size()) >= config_.maxConnections) {
            LogLine(QStringLiteral("refused a connection from %1: already %2 clients")
                        .arg(QString::fromStdString(PeerText(socket)))
                        .arg(clients_.size()));
            socket->write("ERR ACCESS-DENIED too-many-connections\n");
            socket->disconnectFromHost();
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            if (socket->state() == QAbstractSocket::UnconnectedState) socket->deleteLater();
            continue;
        }
        socket->setParent(this);  // its life is the client's, not the listening socket's
        auto client = std::make_unique<Client>();
        client->socket = socket;
        client->lastRequestMs = clock_();
        client->session = std::make_unique<Session>(board_, users_, PeerText(socket), clock_,
                                                    [](const std::string& text) { LogLine(QString::fromStdString(text)); });
        Client* raw = client.get();
        clients_.emplace(socket, std::move(client));
        connect(socket, &QTcpSocket::readyRead, this, [this, raw] { Read(raw); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { Drop(socket); });
        if (socket->bytesAvailable() > 0) Read(raw);
    }
}

void Server::Read(Client* client) {
    if (client->closing) return;
    QTcpSocket* socket = client->socket;
    client->input += socket->readAll();
    std::string reply;
    bool keepOpen = true;
    qsizetype start = 0;
    while (keepOpen) {
        const qsizetype newline = client->input.indexOf('\n', start);
        if (newline < 0) break;
        qsizetype end = newline;
        if (end > start && client->input[end - 1] == '\r') --end;
        if (end - start > config_.maxLineLength) {
            reply += "ERR INVALID-ARGUMENT line-too-long\n";
            keepOpen = false;
            break;
        }
        keepOpen = client->session->Handle(std::string_view(client->input.constData() + start, size_t(end - start)), &reply);
        start = newline + 1;
    }
    client->input.remove(0, start);
    if (keepOpen && client->input.size() > config_.maxLineLength) {
        reply += "ERR INVALID-ARGUMENT line-too-long\n";
        keepOpen = false;
    }
    if (start > 0) client->lastRequestMs = clock_();
    if (!reply.empty()) socket->write(reply.data(), qint64(reply.size()));
    if (!keepOpen) {
        client->closing = true;
        socket->disconnectFromHost();  // sends what is queued first
        return;
    }
    // A client that asks without reading its answers would make us hold them without end.
    if (socket->bytesToWrite() > config_.maxPendingOutput) {
        LogLine(QStringLiteral("dropped %1: it does not read its answers")
                    .arg(QString::fromStdString(PeerText(socket))));
        client->closing = true;
        socket->abort();
    }
}

void Server::Drop(QTcpSocket* socket) {
    const auto it = clients_.find(socket);
    if (it == clients_.end()) return;
    clients_.erase(it);
    socket->deleteLater();
}

void Server::DropIdle() {
    const qint64 now = clock_();
    const qint64 limit = qint64(config_.idleTimeoutSeconds) * 1000;
    std::vector<QTcpSocket*> idle;
    for (const auto& [socket, client] : clients_)
        if (!client->closing && now - client->lastRequestMs > limit) idle.push_back(socket);
    for (QTcpSocket* socket : idle) {
        LogLine(QStringLiteral("dropped %1: idle for %2 s")
                    .arg(QString::fromStdString(PeerText(socket)))
                    .arg(config_.idleTimeoutSeconds));
        clients_[socket]->closing = true;
        socket->abort();  // emits disconnected, which erases it
    }
}

}  // namespace nut
