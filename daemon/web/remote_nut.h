// Other NUT servers shown on this dashboard, as PeaNUT does: every couple of seconds each one is
// asked over the NUT protocol for its units (LIST UPS) and their variables (LIST VAR). Read only;
// nothing is ever sent to them but these questions. Lives on the server's thread.
#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "daemon/daemon_config.h"
#include "daemon/ups_variables.h"

class QTcpSocket;

namespace web {

using RemoteEndpoint = nut::RemoteServer;

struct RemoteUnit {
    std::string name;  // "ups@host" (":port" when not 3493)
    std::string description;
    std::vector<nut::Variable> variables;
    bool reachable = false;    // the last round of questions was answered
    qint64 lastGoodMs = 0;     // wall clock of the last full answer
    std::string problem;       // why not, in words
};

class RemoteNut : public QObject {
public:
    using Clock = std::function<qint64()>;  // wall clock, ms since the epoch
    RemoteNut(std::vector<RemoteEndpoint> servers, Clock clock, std::function<void()> changed,
              QObject* parent = nullptr);
    ~RemoteNut() override;

    // Every unit of every server as last read; a server not answering keeps its units, marked.
    std::vector<RemoteUnit> Units() const;

    // Lines of what was cut, once for each unit and kind of cut.
    void SetLog(std::function<void(const std::string&)> log) { log_ = std::move(log); }

    static constexpr int kPollMs = 2000;
    static constexpr int kTimeoutMs = 5000;
    // What one server's units may take, so that each unit's message to the dashboards stays far
    // below a stream's backlog (HttpOptions::maxStreamBacklog) whatever the server sends.
    static constexpr size_t kMaxUnits = 64;
    static constexpr size_t kMaxVariables = 500;
    static constexpr size_t kMaxNameLength = 64;    // longer names are left out
    static constexpr size_t kMaxValueLength = 256;  // longer values (and descriptions) are cut
    // Names and values of one unit in all: JSON escaping can make six bytes of one, and the
    // unit's message must stay under a quarter of the backlog (128 KiB of 512).
    static constexpr size_t kMaxUnitBytes = 20 * 1024;
    static constexpr size_t kMaxLine = 64 * 1024;

private:
    struct Server;
    void Poll(Server* server);
    void OnLine(Server* server, const std::string& line);
    void Fail(Server* server, const std::string& why);
    void Finish(Server* server);  // a round is complete: its answers become the units
    void Cut(Server* server, const std::string& unit, const char* what);

    std::vector<std::unique_ptr<Server>> servers_;
    Clock clock_;
    std::function<void()> changed_;
    std::function<void(const std::string&)> log_;
    QTimer timer_;
};

}  // namespace web
