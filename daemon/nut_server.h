// The TCP side: listens on the configured addresses, gives every connection its own Session,
// splits what arrives into lines and enforces the limits (line length, idle time, connection
// count, unread output). Single-threaded on the event loop; nothing here ever blocks.
//
// Connections are plain non-blocking descriptors watched by socket notifiers: one receive and
// one send per request, which is what lets a small server keep pace with many clients.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <unordered_map>
#include <vector>

#include "daemon/daemon_config.h"
#include "daemon/nut_session.h"

class QTcpServer;

namespace nut {

class Server : public QObject {
public:
    Server(const DaemonConfig& config, UnitBoard* board, const UsersFile* users, Session::Clock clock,
           QObject* parent = nullptr);
    ~Server() override;

    // Binds every configured address; false with the address and the system's reason otherwise.
    bool Listen(QString* error);
    void Close();
    std::vector<quint16> Ports() const;  // the bound ports, in configured order
    int ClientCount() const { return int(clients_.size()); }

    class Connection;  // one client (defined in the source)
    void Accept(int fd);

private:
    void Drop(Connection* connection, const QString& why = {});
    void DropIdle();

    const DaemonConfig& config_;
    UnitBoard* board_;
    const UsersFile* users_;
    Session::Clock clock_;
    std::vector<QTcpServer*> servers_;
    std::unordered_map<Connection*, int> clients_;  // connection -> descriptor
    QTimer idleTimer_;

    friend class Connection;
};

void LogLine(const QString& text);  // one line on standard error

}  // namespace nut
