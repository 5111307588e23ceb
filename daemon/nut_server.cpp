#include "daemon/nut_server.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>

namespace nut {

void LogLine(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fprintf(stderr, "vesperod: %s\n", bytes.constData());
    std::fflush(stderr);
}

namespace {

QString Describe(const QHostAddress& address, quint16 port) {
    return address.protocol() == QAbstractSocket::IPv6Protocol
               ? QStringLiteral("[%1]:%2").arg(address.toString()).arg(port)
               : QStringLiteral("%1:%2").arg(address.toString()).arg(port);
}

std::string PeerText(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return "?";
    QHostAddress address(reinterpret_cast<sockaddr*>(&peer));
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    if (mapped) address = QHostAddress(v4);
    return address.toString().toStdString();
}

// Hands every accepted descriptor to the server instead of wrapping it in a QTcpSocket.
class Listener : public QTcpServer {
public:
    Listener(Server* server) : QTcpServer(server), server_(server) {}

protected:
    void incomingConnection(qintptr fd) override { server_->Accept(int(fd)); }

private:
    Server* server_;
};

}  // namespace

class Server::Connection : public QObject {
public:
    Connection(Server* server, int fd)
        : QObject(server), server_(server), fd_(fd), peer_(PeerText(fd)),
          session_(server->board_, server->users_, peer_, server->clock_,
                   [](const std::string& text) { LogLine(QString::fromStdString(text)); }),
          reader_(fd, QSocketNotifier::Read, this), writer_(fd, QSocketNotifier::Write, this) {
        lastRequestMs_ = server->clock_();
        writer_.setEnabled(false);
        connect(&reader_, &QSocketNotifier::activated, this, [this] { Receive(); });
        connect(&writer_, &QSocketNotifier::activated, this, [this] { SendPending(); });
    }

    ~Connection() override { ::close(fd_); }

    const std::string& peer() const { return peer_; }
    qint64 lastRequestMs() const { return lastRequestMs_; }

    // Stops watching the descriptor; the connection is deleted later, never inside its own
    // notifier's signal.
    void Stop() {
        reader_.setEnabled(false);
        writer_.setEnabled(false);
        shutdown(fd_, SHUT_RDWR);
        deleteLater();
    }

private:
    void Receive() {
        char chunk[16384];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
            return server_->Drop(this);
        }
        if (n == 0) {  // the client is done sending: answer what it asked, then close
            reader_.setEnabled(false);
            closeWhenSent_ = true;
            if (pending_.empty()) server_->Drop(this);
            return;
        }
        input_.append(chunk, size_t(n));
        std::string& reply = reply_;  // kept between requests, so its memory is too
        reply.clear();
        bool keepOpen = true;
        size_t start = 0;
        while (keepOpen) {
            const size_t newline = input_.find('\n', start);
            if (newline == std::string::npos) break;
            size_t end = newline;
            if (end > start && input_[end - 1] == '\r') --end;
            if (end - start > size_t(server_->config_.maxLineLength)) {
                reply += "ERR INVALID-ARGUMENT line-too-long\n";
                keepOpen = false;
                break;
            }
            keepOpen = session_.Handle(std::string_view(input_).substr(start, end - start), &reply);
            start = newline + 1;
        }
        input_.erase(0, start);
        if (keepOpen && input_.size() > size_t(server_->config_.maxLineLength)) {
            reply += "ERR INVALID-ARGUMENT line-too-long\n";
            keepOpen = false;
        }
        if (start > 0) lastRequestMs_ = server_->clock_();
        if (!keepOpen) {
            reader_.setEnabled(false);
            closeWhenSent_ = true;
        }
        Send(reply);
    }

    void Send(const std::string& reply) {
        if (pending_.empty() && !reply.empty()) {
            const ssize_t n = send(fd_, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return server_->Drop(this);
            const size_t sent = n > 0 ? size_t(n) : 0;
            if (sent < reply.size()) pending_.assign(reply, sent);
        } else {
            pending_ += reply;
        }
        // A client that asks without reading its answers would make us hold them without end.
        if (pending_.size() > size_t(server_->config_.maxPendingOutput))
            return server_->Drop(this, QStringLiteral("it does not read its answers"));
        writer_.setEnabled(!pending_.empty());
        if (pending_.empty() && closeWhenSent_) server_->Drop(this);
    }

    void SendPending() {
        std::string rest;
        rest.swap(pending_);
        Send(rest);
    }

    Server* server_;
    int fd_;
    std::string peer_;
    Session session_;
    QSocketNotifier reader_;
    QSocketNotifier writer_;
    std::string input_;
    std::string reply_;
    std::string pending_;
    qint64 lastRequestMs_ = 0;
    bool closeWhenSent_ = false;
};

Server::Server(const DaemonConfig& config, UnitBoard* board, const UsersFile* users, Session::Clock clock,
               QObject* parent)
    : QObject(parent), config_(config), board_(board), users_(users), clock_(clock) {
    idleTimer_.setInterval(1000);
    connect(&idleTimer_, &QTimer::timeout, this, [this] { DropIdle(); });
}

Server::~Server() { Close(); }

bool Server::Listen(QString* error) {
    for (const ListenAddress& a : config_.listen) {
        auto* listener = new Listener(this);
        listener->setMaxPendingConnections(128);
        if (!listener->listen(a.address, a.port)) {
            *error = QStringLiteral("cannot listen on %1: %2").arg(Describe(a.address, a.port), listener->errorString());
            delete listener;
            return false;
        }
        servers_.push_back(listener);
        LogLine(QStringLiteral("listening on %1").arg(Describe(a.address, listener->serverPort())));
    }
    idleTimer_.start();
    return true;
}

void Server::Close() {
    idleTimer_.stop();
    for (auto& [connection, fd] : clients_) delete connection;  // closes its descriptor
    clients_.clear();
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

void Server::Accept(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    if (int(clients_.size()) >= config_.maxConnections) {
        LogLine(QStringLiteral("refused a connection from %1: already %2 clients")
                    .arg(QString::fromStdString(PeerText(fd)))
                    .arg(clients_.size()));
        static const char kRefusal[] = "ERR ACCESS-DENIED too-many-connections\n";
        [[maybe_unused]] const ssize_t n = send(fd, kRefusal, sizeof kRefusal - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(fd);
        return;
    }
    // Request and answer: nothing is gained by holding a short answer back.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    clients_.emplace(new Connection(this, fd), fd);
}

void Server::Drop(Connection* connection, const QString& why) {
    if (clients_.erase(connection) == 0) return;
    if (!why.isEmpty()) LogLine(QStringLiteral("dropped %1: %2").arg(QString::fromStdString(connection->peer()), why));
    connection->Stop();
}

void Server::DropIdle() {
    const qint64 now = clock_();
    const qint64 limit = qint64(config_.idleTimeoutSeconds) * 1000;
    std::vector<Connection*> idle;
    for (const auto& [connection, fd] : clients_)
        if (now - connection->lastRequestMs() > limit) idle.push_back(connection);
    for (Connection* c : idle) Drop(c, QStringLiteral("idle for %1 s").arg(config_.idleTimeoutSeconds));
}

}  // namespace nut
