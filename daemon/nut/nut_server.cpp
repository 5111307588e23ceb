#include "daemon/nut/nut_server.h"
#include "daemon/nut/starttls.h"

#include <QHostAddress>
#include <QSocketNotifier>
#include <QTcpServer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>
#include <memory>
#include <mutex>
#include <string>

namespace nut {

namespace {
std::function<void(const QString&)>& Sink() {
    static std::function<void(const QString&)> sink;
    return sink;
}
}  // namespace

QString EscapeForLog(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && !(u >= 0x7f && u <= 0x9f)) {
            out += c;
        } else if (u == '\r') {
            out += QLatin1String("\\r");
        } else if (u == '\n') {
            out += QLatin1String("\\n");
        } else if (u == '\t') {
            out += QLatin1String("\\t");
        } else {
            out += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        }
    }
    return out;
}

void LogLine(const QString& text) {
    const QString line = EscapeForLog(text);
    if (Sink()) return Sink()(line);
    const QByteArray bytes = line.toUtf8();
    std::fprintf(stderr, "vesperod: %s\n", bytes.constData());
    std::fflush(stderr);
}

void SetLogSink(std::function<void(const QString&)> sink) { Sink() = std::move(sink); }

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
    Connection(Server* server, int fd, std::string peer, quint64 id)
        : QObject(server), server_(server), fd_(fd), id_(id), peer_(std::move(peer)),
          session_(server->board_, server->users_, peer_, server->clock_,
                   [](const std::string& text) { LogLine(QString::fromStdString(text)); }),
          reader_(fd, QSocketNotifier::Read, this), writer_(fd, QSocketNotifier::Write, this) {
        lastRequestMs_ = server->clock_();
        session_.DeferPasswordChecks(true);
        writer_.setEnabled(false);
        connect(&reader_, &QSocketNotifier::activated, this, [this] { Receive(); });
        connect(&writer_, &QSocketNotifier::activated, this, [this] { SendPending(); });
    }

    ~Connection() override { ::close(fd_); }

    const std::string& peer() const { return peer_; }
    quint64 id() const { return id_; }
    uint64_t checkId() const { return waiting_ ? checkId_ : 0; }
    qint64 lastRequestMs() const { return lastRequestMs_; }
    // When OK STARTTLS went out, while the handshake is still to finish; -1 otherwise.
    qint64 handshakeSinceMs() const { return tls_ && !tls_->Established() ? handshakeSinceMs_ : -1; }

    // The password check this connection waited for is done (or was dropped, which refuses
    // the request that needed it and leaves the verdict open): answer that request and carry on
    // with the lines that came after.
    void TakeVerdict(PasswordChecker::Outcome outcome) {
        if (outcome == PasswordChecker::Outcome::Dropped)
            session_.RefuseCheck();
        else
            session_.SetVerdict(outcome == PasswordChecker::Outcome::Matches);
        waiting_ = false;
        checkId_ = 0;
        if (!closeWhenSent_) reader_.setEnabled(!readerDone_);
        Process();
    }

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
        if (tls_) return FromTls(std::string_view(chunk, size_t(n)));
        if (n == 0) return PeerDone();
        input_.append(chunk, size_t(n));
        Process();
    }

    // The client is done sending: answer what it asked, then close.
    void PeerDone() {
        if (tls_ && !tls_->Established()) return server_->Drop(this);
        reader_.setEnabled(false);
        readerDone_ = true;
        if (waiting_) return;  // TakeVerdict answers the rest, then closes
        closeWhenSent_ = true;
        if (pending_.empty()) server_->Drop(this);
    }

    // Bytes under TLS (none: the end of the stream).
    void FromTls(std::string_view bytes) {
        if (bytes.empty()) return PeerDone();
        const bool wasEstablished = tls_->Established();
        std::string out;
        const TlsChannel::Result result = tls_->Receive(bytes, &input_, &out);
        if (!out.empty()) SendRaw(out);
        if (result == TlsChannel::Result::Failed) {
            server_->NoteTlsFailure(peer_, tls_->Error(), wasEstablished);
            return server_->Drop(this);
        }
        if (!clients().count(this)) return;  // dropped while sending
        if (result == TlsChannel::Result::Closed) return PeerDone();
        if (!wasEstablished && tls_->Established()) lastRequestMs_ = server_->clock_();
        Process();
    }

    // From the line after STARTTLS on, everything is the client's handshake.
    void StartTls() {
        tls_ = std::make_unique<TlsChannel>(*server_->config_.tls);
        handshakeSinceMs_ = server_->clock_();
        std::string early;
        early.swap(input_);
        if (!early.empty()) FromTls(early);
    }

    const std::unordered_map<Connection*, int>& clients() const { return server_->clients_; }

    // Answers every whole line in the input, up to one that waits for a password check.
    void Process() {
        std::string& reply = reply_;  // kept between requests, so its memory is too
        reply.clear();
        bool keepOpen = true;
        bool startTls = false;
        session_.SetTlsPolicy(server_->config_.tls != nullptr, server_->config_.forceTls);
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
            const std::string_view line = std::string_view(input_).substr(start, end - start);
            keepOpen = session_.Handle(line, &reply);
            if (const auto& check = session_.PendingCheck()) {
                if (!server_->checker_->Remembered(*check)) {
                    // The line stays in the input and is handled again once the verdict is in.
                    waiting_ = true;
                    reader_.setEnabled(false);
                    checkId_ = server_->StartCheck(this, *check);
                    break;
                }
                session_.SetVerdict(true);
                keepOpen = session_.Handle(line, &reply);
            }
            // Blanks do not count as requests: they must not keep an idle client in.
            if (line.find_first_not_of(" \t\r") != std::string_view::npos) lastRequestMs_ = server_->clock_();
            start = newline + 1;
            if ((startTls = session_.TakeStartTls())) break;
        }
        input_.erase(0, start);
        if (keepOpen && !waiting_ && !startTls && input_.size() > size_t(server_->config_.maxLineLength)) {
            reply += "ERR INVALID-ARGUMENT line-too-long\n";
            keepOpen = false;
        }
        if (!keepOpen || (readerDone_ && !waiting_)) {
            reader_.setEnabled(false);
            closeWhenSent_ = true;
        }
        Send(reply);
        if (startTls && clients().count(this)) StartTls();
    }

    void Send(const std::string& reply) {
        if (!tls_) return SendRaw(reply);
        std::string sealed;
        tls_->Seal(reply, &sealed);
        if (closeWhenSent_) tls_->Close(&sealed);
        SendRaw(sealed);
    }

    void SendRaw(const std::string& reply) {
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

    bool waiting_ = false;     // for a password check; further lines wait in the input
    uint64_t checkId_ = 0;
    bool readerDone_ = false;  // the client has closed its sending side

    void SendPending() {
        std::string rest;
        rest.swap(pending_);
        SendRaw(rest);
    }

    Server* server_;
    int fd_;
    quint64 id_;
    std::string peer_;
    Session session_;
    QSocketNotifier reader_;
    QSocketNotifier writer_;
    std::string input_;
    std::string reply_;
    std::string pending_;
    qint64 lastRequestMs_ = 0;
    bool closeWhenSent_ = false;
    std::unique_ptr<TlsChannel> tls_;  // from OK STARTTLS on
    qint64 handshakeSinceMs_ = 0;
};

// A client over a cap. Closing at once, with its request unread or still on the way, would
// make the system answer it with a reset: the client might never read why, and its next write
// would meet a broken pipe. So its requests are read and each is answered with the refusal
// (clients look at the answer to one request only: upsc ignores the one to STARTTLS, upscmd
// those to USERNAME and PASSWORD), then our side is shut and the client's close awaited. Both
// waits are bounded, and so is the number of answers.
class Server::Refusal : public QObject {
public:
    Refusal(Server* server, int fd) : QObject(server), server_(server), fd_(fd), reader_(fd, QSocketNotifier::Read, this) {
        connect(&reader_, &QSocketNotifier::activated, this, [this] { Receive(); });
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, [this] { shut_ ? Finish() : Shut(); });
        timer_.start(kRefusalWaitMs);
    }
    ~Refusal() override { ::close(fd_); }

    // Ends it now; the object goes later, never inside its own notifier's signal.
    void Finish() {
        if (!server_->refusing_.erase(this)) return;
        reader_.setEnabled(false);
        timer_.stop();
        deleteLater();
    }

private:
    static constexpr int kMaxAnswers = 4;

    void Receive() {
        char chunk[4096];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
        if (n <= 0) return Finish();  // the client closed (or failed): nothing is left to tell it
        if (shut_) return;            // read and dropped, so that our close meets no unread data
        for (ssize_t i = 0; i < n && !shut_; ++i) {
            if (chunk[i] != '\n') continue;
            Send();
            if (++answers_ == kMaxAnswers) Shut();
        }
    }

    void Shut() {
        if (answers_ == 0) Send();  // a client that asked nothing still learns why
        shut_ = true;
        shutdown(fd_, SHUT_WR);
        timer_.start(kRefusalWaitMs);
    }

    void Send() {
        static const char kRefusal[] = "ERR ACCESS-DENIED too-many-connections\n";
        [[maybe_unused]] const ssize_t n = send(fd_, kRefusal, sizeof kRefusal - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }

    Server* server_;
    int fd_;
    QSocketNotifier reader_;
    QTimer timer_;
    int answers_ = 0;
    bool shut_ = false;
};

// The checker's verdicts wake the event loop through a pipe; they pass under a mutex: plain
// primitives, so the race checker sees every hand-over.
class Server::Inbox {
public:
    struct Verdict {
        Connection* connection;
        quint64 id;
        std::string peer;
        PasswordChecker::Outcome outcome;
    };

    explicit Inbox(std::function<void(Verdict&)> deliver) : deliver_(std::move(deliver)) {
        if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) wake_[0] = wake_[1] = -1;
        notifier_ = std::make_unique<QSocketNotifier>(wake_[0], QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, notifier_.get(), [this] { Deliver(); });
    }

    ~Inbox() {
        notifier_.reset();
        for (int fd : wake_)
            if (fd >= 0) ::close(fd);
    }

    // From any thread.
    void Add(Verdict verdict) {
        {
            const std::lock_guard lock(mutex_);
            verdicts_.push_back(std::move(verdict));
        }
        const char c = 1;
        [[maybe_unused]] const ssize_t n = write(wake_[1], &c, 1);
    }

    void Clear() {
        const std::lock_guard lock(mutex_);
        verdicts_.clear();
    }

private:
    void Deliver() {
        char drain[64];
        while (read(wake_[0], drain, sizeof drain) > 0) {
        }
        std::deque<Verdict> verdicts;
        {
            const std::lock_guard lock(mutex_);
            verdicts.swap(verdicts_);
        }
        for (Verdict& v : verdicts) deliver_(v);
    }

    std::function<void(Verdict&)> deliver_;
    std::mutex mutex_;
    std::deque<Verdict> verdicts_;
    int wake_[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier_;
};

Server::Server(const DaemonConfig& config, UnitBoard* board, const UsersFile* users, Session::Clock clock,
               QObject* parent)
    : QObject(parent), config_(config), board_(board), users_(users), clock_(clock),
      checker_(std::make_shared<PasswordChecker>([clock] { return int64_t(clock()); })) {
    idleTimer_.setInterval(1000);
    connect(&idleTimer_, &QTimer::timeout, this, [this] { DropIdle(); });
    // The verdict finds its connection by pointer and number, so a client gone meanwhile (or a
    // new one at the same address) is skipped.
    inbox_ = std::make_unique<Inbox>([this](Inbox::Verdict& v) {
        if (v.outcome == PasswordChecker::Outcome::Dropped) NoteDropped(v.peer);
        if (clients_.count(v.connection) && v.connection->id() == v.id) v.connection->TakeVerdict(v.outcome);
    });
    Reconfigure();
}

Server::~Server() { Close(); }

void Server::UsePasswordChecker(std::shared_ptr<PasswordChecker> checker) {
    checker_->CancelAll(this);
    checker_ = std::move(checker);
}

void Server::Reconfigure() {
    // Room for what is not a client: the serial port and its lock, the listeners, the log, the
    // event loop's own descriptors and those refused clients hold for a moment.
    constexpr long kReserved = 64 + kMaxRefusing;
    maxConnections_ = config_.maxConnections;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const long room = std::max(1L, long(std::min<rlim_t>(limit.rlim_cur, INT_MAX)) - kReserved);
        if (maxConnections_ > room) {
            LogLine(QStringLiteral("max_connections %1 is more than the descriptor limit %2 allows; serving at "
                                   "most %3 clients")
                        .arg(maxConnections_).arg(quint64(limit.rlim_cur)).arg(room));
            maxConnections_ = int(room);
        }
    }
}

namespace {

// A socket bound to the address but not listening: connections to it are refused as if nothing
// were there. -1 with errno set on failure.
int BindSocket(const QHostAddress& address, quint16 port) {
    sockaddr_storage where{};
    socklen_t length = 0;
    int family = AF_INET;
    const bool anyFamily = address.protocol() == QAbstractSocket::AnyIPProtocol;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto* in = reinterpret_cast<sockaddr_in*>(&where);
        in->sin_family = AF_INET;
        in->sin_port = htons(port);
        in->sin_addr.s_addr = htonl(address.toIPv4Address());
        length = sizeof *in;
    } else {
        family = AF_INET6;
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&where);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        if (!anyFamily) {
            const Q_IPV6ADDR bytes = address.toIPv6Address();
            std::memcpy(&in6->sin6_addr, bytes.c, sizeof bytes.c);
            const QString scope = address.scopeId();
            if (!scope.isEmpty()) {
                bool numeric = false;
                const uint index = scope.toUInt(&numeric);
                in6->sin6_scope_id = numeric ? index : if_nametoindex(scope.toLocal8Bit().constData());
            }
        }
        length = sizeof *in6;
    }
    int fd = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 && anyFamily && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT)) {
        // No IPv6 on this machine: "any" is every IPv4 address.
        return BindSocket(QHostAddress(QHostAddress::AnyIPv4), port);
    }
    if (fd < 0) return -1;
    const int on = 1, off = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (family == AF_INET6) setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, anyFamily ? &off : &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&where), length) != 0) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

bool Server::Bind(QString* error) {
    for (const ListenAddress& a : config_.listen) {
        const int fd = BindSocket(a.address, a.port);
        if (fd < 0) {
            *error = QStringLiteral("cannot listen on %1: %2")
                         .arg(Describe(a.address, a.port), QString::fromLocal8Bit(std::strerror(errno)));
            for (int other : std::exchange(bound_, {})) close(other);
            return false;
        }
        bound_.push_back(fd);
    }
    return true;
}

bool Server::Listen(QString* error) {
    if (bound_.empty() && servers_.empty() && !Bind(error)) return false;
    for (size_t i = 0; i < bound_.size(); ++i) {
        const int fd = bound_[i];
        const ListenAddress& a = config_.listen[i];
        auto* listener = new Listener(this);
        listener->setMaxPendingConnections(128);
        const bool listening = ::listen(fd, 128) == 0;
        const QString why = QString::fromLocal8Bit(std::strerror(errno));
        if (!listening || !listener->setSocketDescriptor(fd)) {
            *error = QStringLiteral("cannot listen on %1: %2").arg(Describe(a.address, a.port), listening ? listener->errorString() : why);
            delete listener;
            for (size_t j = i; j < bound_.size(); ++j) close(bound_[j]);
            bound_.clear();
            return false;
        }
        connect(listener, &QTcpServer::acceptError, this, [this, listener] { AcceptFailed(listener); });
        servers_.push_back(listener);
        LogLine(QStringLiteral("listening on %1").arg(Describe(a.address, listener->serverPort())));
    }
    bound_.clear();
    idleTimer_.start();
    return true;
}

// Out of descriptors (EMFILE, ENFILE) or memory: the connection stays in the backlog and would
// make the listener fire again at once. Qt pauses the listener on such an error; it is resumed
// after a pause, by which time clients may have gone.
void Server::AcceptFailed(QTcpServer* listener) {
    ++acceptPauses_;
    listener->pauseAccepting();
    if (!acceptPaused_)
        LogLine(QStringLiteral("cannot accept connections (%1); trying again every %2 ms")
                    .arg(listener->errorString()).arg(acceptPauseMs_));
    acceptPaused_ = true;
    QTimer::singleShot(acceptPauseMs_, listener, [listener] { listener->resumeAccepting(); });
}

void Server::Close() {
    idleTimer_.stop();
    checker_->CancelAll(this);
    inbox_->Clear();
    for (auto& [connection, fd] : clients_) delete connection;  // closes its descriptor
    clients_.clear();
    for (Refusal* r : std::exchange(refusing_, {})) delete r;
    perAddress_.clear();
    for (QTcpServer* s : servers_) {
        s->close();
        delete s;
    }
    servers_.clear();
    for (int fd : std::exchange(bound_, {})) close(fd);
}

std::vector<quint16> Server::Ports() const {
    std::vector<quint16> ports;
    for (const QTcpServer* s : servers_) ports.push_back(s->serverPort());
    return ports;
}

void Server::Accept(int fd) {
    acceptPaused_ = false;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    std::string peer = PeerText(fd);
    int& fromPeer = perAddress_[peer];
    QString full;
    if (int(clients_.size()) >= maxConnections_)
        full = QStringLiteral("already %1 clients").arg(clients_.size());
    else if (fromPeer >= config_.maxConnectionsPerAddress)
        full = QStringLiteral("already %1 clients from there").arg(fromPeer);
    if (!full.isEmpty()) {
        if (fromPeer == 0) perAddress_.erase(peer);
        // A peer that keeps knocking must not fill the log.
        refusalLog_.Say(clock_(), QStringLiteral("refused a connection from %1: %2").arg(QString::fromStdString(peer), full),
                        "refused");
        if (int(refusing_.size()) < kMaxRefusing) {
            refusing_.insert(new Refusal(this, fd));
            return;
        }
        static const char kRefusal[] = "ERR ACCESS-DENIED too-many-connections\n";
        [[maybe_unused]] const ssize_t n = send(fd, kRefusal, sizeof kRefusal - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
        ::close(fd);
        return;
    }
    ++fromPeer;
    // Request and answer: nothing is gained by holding a short answer back.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    clients_.emplace(new Connection(this, fd, std::move(peer), ++nextConnectionId_), fd);
}

void Server::Drop(Connection* connection, const QString& why) {
    if (clients_.erase(connection) == 0) return;
    if (const uint64_t check = connection->checkId()) checker_->Cancel(check);
    const auto it = perAddress_.find(connection->peer());
    if (it != perAddress_.end() && --it->second <= 0) perAddress_.erase(it);
    if (!why.isEmpty()) LogLine(QStringLiteral("dropped %1: %2").arg(QString::fromStdString(connection->peer()), why));
    connection->Stop();
}

void Server::DropIdle() {
    const qint64 now = clock_();
    const qint64 limit = qint64(config_.idleTimeoutSeconds) * 1000;
    const qint64 handshakeLimit = qint64(config_.tlsHandshakeTimeoutSeconds) * 1000;
    std::vector<Connection*> idle, stalled;
    for (const auto& [connection, fd] : clients_) {
        const qint64 handshakeSince = connection->handshakeSinceMs();
        if (handshakeSince >= 0 && now - handshakeSince > handshakeLimit)
            stalled.push_back(connection);
        else if (now - connection->lastRequestMs() > limit)
            idle.push_back(connection);
    }
    for (Connection* c : idle) Drop(c, QStringLiteral("idle for %1 s").arg(config_.idleTimeoutSeconds));
    // Each of them holds a connection of its address's share, so they go at their deadline.
    for (Connection* c : stalled) {
        tlsLog_.Say(now, QStringLiteral("dropped %1: no TLS handshake within %2 s")
                             .arg(QString::fromStdString(c->peer())).arg(config_.tlsHandshakeTimeoutSeconds),
                    "TLS failures");
        Drop(c);
    }
}

uint64_t Server::StartCheck(Connection* connection, const PasswordCheck& check) {
    Inbox* inbox = inbox_.get();
    return checker_->Submit(this, connection->peer(), check,
                            [inbox, connection, id = connection->id(), peer = connection->peer()](PasswordChecker::Outcome o) {
                                inbox->Add({connection, id, peer, o});
                            });
}

void Server::NoteDropped(const std::string& peer) {
    dropLog_.Say(clock_(),
                 QStringLiteral("dropped a password check from %1: more than %2 were waiting from there")
                     .arg(QString::fromStdString(peer)).arg(PasswordChecker::kMaxWaitingPerAddress),
                 "dropped");
}

void Server::NoteTlsFailure(const std::string& peer, const std::string& why, bool established) {
    tlsLog_.Say(clock_(),
                QStringLiteral("dropped %1: TLS %2 failed: %3")
                    .arg(QString::fromStdString(peer), established ? QStringLiteral("session") : QStringLiteral("handshake"),
                         QString::fromStdString(why)),
                "TLS failures");
}

void Server::LogLimit::Say(qint64 now, const QString& line, const char* heldBack) {
    if (unsaid_ >= 0 && now - lastMs_ < 1000) {
        ++unsaid_;
        return;
    }
    LogLine(line + (unsaid_ > 0 ? QStringLiteral(" (%1 more %2 before)").arg(unsaid_).arg(QLatin1String(heldBack)) : QString()));
    lastMs_ = now;
    unsaid_ = 0;
}

}  // namespace nut
