// The TCP side: listens on the configured addresses, gives every connection its own Session,
// splits what arrives into lines and enforces the limits (line length, idle time, connection
// count, unread output). Single-threaded on the event loop; nothing here ever blocks.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <memory>
#include <unordered_map>
#include <vector>

#include "daemon/daemon_config.h"
#include "daemon/nut_session.h"

class QTcpServer;
class QTcpSocket;

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

private:
    struct Client;
    void Accept(QTcpServer* server);
    void Read(Client* client);
    void Drop(QTcpSocket* socket);
    void DropIdle();

    const DaemonConfig& config_;
    UnitBoard* board_;
    const UsersFile* users_;
    Session::Clock clock_;
    std::vector<QTcpServer*> servers_;
    std::unordered_map<QTcpSocket*, std::unique_ptr<Client>> clients_;
    QTimer idleTimer_;
};

void LogLine(const QString& text);  // one line on standard error

}  // namespace nut
