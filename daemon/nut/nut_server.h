// The TCP side: listens on the configured addresses, gives every connection its own Session,
// splits what arrives into lines and enforces the limits (line length, idle time, connection
// count in all and per address, unread output). Single-threaded on the event loop; nothing here
// ever blocks. Password checks run on the PasswordChecker's worker: meanwhile their connection
// reads no further requests, so its answers keep their order, and every other client is served
// as usual.
//
// Connections are plain non-blocking descriptors watched by socket notifiers: one receive and
// one send per request, which is what lets a small server keep pace with many clients.
// After OK STARTTLS a connection's bytes pass through its own TLS channel over memory buffers,
// so a handshake never blocks; one that is not done by tls_handshake_timeout loses its connection.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "daemon/daemon_config.h"
#include "daemon/nut/nut_session.h"
#include "daemon/nut/password_checker.h"

class QTcpServer;

namespace nut {

class Server : public QObject {
public:
    Server(const DaemonConfig& config, UnitBoard* board, const UsersFile* users, Session::Clock clock,
           QObject* parent = nullptr);
    ~Server() override;

    // Binds every configured address without letting anyone in yet, so a taken address is told
    // at once; false with the address and the system's reason otherwise.
    bool Bind(QString* error);
    // Starts accepting on the bound addresses (binding them first if Bind was not called).
    bool Listen(QString* error);
    void Close();
    std::vector<quint16> Ports() const;  // the bound ports, in configured order
    int ClientCount() const { return int(clients_.size()); }

    // Takes up the limits of the configuration again after it was changed in place (a reload);
    // connected clients stay.
    void Reconfigure();
    int MaxConnections() const { return maxConnections_; }  // after the descriptor limit

    // The checker shared with the web side (before Listen); without one the server has its own.
    void UsePasswordChecker(std::shared_ptr<PasswordChecker> checker);
    PasswordChecker& Checker() { return *checker_; }
    const std::shared_ptr<PasswordChecker>& SharedChecker() const { return checker_; }
    // Runs a password check on the worker thread; tests put in one they can hold back and count.
    void SetChecker(PasswordChecker::Run run) { checker_->SetRun(std::move(run)); }
    // How long accepting pauses when the process is out of descriptors.
    void SetAcceptPauseMs(int ms) { acceptPauseMs_ = ms; }
    int AcceptPauses() const { return acceptPauses_; }

    class Connection;  // one client (defined in the source)
    class Inbox;  // brings the checker's verdicts to the event loop (defined in the source)
    class Refusal;  // a client over a cap, told so (defined in the source)
    void Accept(int fd);

    // A refused client has each request it sends within this time answered with the refusal;
    // the server then shuts its side and waits as long again for the client to close, so that
    // neither a request still in flight nor the client's close meets a reset.
    static constexpr int kRefusalWaitMs = 2000;
    // Refused clients held at once; beyond that one is told and closed at once.
    static constexpr int kMaxRefusing = 32;
    int RefusingCount() const { return int(refusing_.size()); }

private:
    void Drop(Connection* connection, const QString& why = {});
    void DropIdle();
    uint64_t StartCheck(Connection* connection, const PasswordCheck& check);
    void NoteDropped(const std::string& peer);
    void NoteTlsFailure(const std::string& peer, const std::string& why, bool established);
    void AcceptFailed(QTcpServer* listener);

    const DaemonConfig& config_;
    UnitBoard* board_;
    const UsersFile* users_;
    Session::Clock clock_;
    std::vector<QTcpServer*> servers_;
    std::vector<int> bound_;  // bound but not yet listening, in configured order
    std::unordered_map<Connection*, int> clients_;  // connection -> descriptor
    std::unordered_set<Refusal*> refusing_;
    std::unordered_map<std::string, int> perAddress_;  // peer address -> connections
    QTimer idleTimer_;
    std::shared_ptr<PasswordChecker> checker_;
    std::unique_ptr<Inbox> inbox_;
    quint64 nextConnectionId_ = 0;
    int maxConnections_ = 0;
    int acceptPauseMs_ = 1000;
    int acceptPauses_ = 0;
    // One line a second at most, with the count of those held back meanwhile in the next.
    class LogLimit {
    public:
        void Say(qint64 now, const QString& line, const char* heldBack);

    private:
        qint64 lastMs_ = 0;
        int unsaid_ = -1;  // -1: nothing said yet
    };
    LogLimit refusalLog_, dropLog_, tlsLog_;
    bool acceptPaused_ = false;

    friend class Connection;
    friend class Refusal;
};

// One line on standard error, or to the sink when one is set (tests). Control characters in the
// text (a client's user name, a command word) are escaped, so no client can forge a log line.
void LogLine(const QString& text);
QString EscapeForLog(const QString& text);
void SetLogSink(std::function<void(const QString&)> sink);

}  // namespace nut
