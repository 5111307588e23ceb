// The web side's link to the server's thread: after every sync with the link it makes the units'
// snapshot and hands it to the HTTP server, and it carries out there what the web thread asks
// for (commands, log lines, events), answering back on the web thread.
#pragma once

#include <QObject>
#include <QTimer>

#include <functional>
#include <map>
#include <mutex>
#include <vector>
#include <string>

#include "daemon/unit_board.h"
#include "daemon/web/web_api.h"

namespace web {

class HttpServer;
class RemoteNut;

class WebBridge : public QObject, public MainSide {
public:
    using Clock = std::function<qint64()>;
    // steadyMs: the board's clock; wallMs: milliseconds since the epoch.
    WebBridge(nut::UnitBoard* board, Clock steadyMs, Clock wallMs, QObject* parent = nullptr);
    void Attach(HttpServer* server) { server_ = server; }
    // Also show the units of other NUT servers.
    void SetRemote(const RemoteNut* remote) { remote_ = remote; }

    // After the feed's sync: publishes the units that changed, at most once per kMinGapMs (an
    // unpaced link refreshes hundreds of times a second; a browser needs a few).
    void Sync(bool refreshed);
    static constexpr int kMinGapMs = 50;

    void RunCommand(CommandOrder order, ReplyFn done) override;
    void CommandStatus(std::string id, ReplyFn done) override;
    void Log(std::string line) override;
    void Note(std::string unit, std::string kind, std::string text, std::string user, std::string peer) override;

private:
    // Runs task on the server's thread. The task itself passes through a lock of ours rather
    // than inside Qt's event, so the race checker sees the hand-over.
    void ToMain(std::function<void()> task);
    void Publish();
    void Answer(ReplyFn done, Reply reply);
    void NoteOutcomes();

    struct Pending {
        std::string unit, command, user, peer;
    };
    nut::UnitBoard* board_;
    Clock steady_, wall_;
    HttpServer* server_ = nullptr;
    QTimer coalesce_;
    qint64 lastPublish_ = -kMinGapMs;
    std::string published_[4];   // each unit's JSON as last handed over
    qint64 lastRefreshWall_[4] = {};
    qint64 lastRefreshSteady_[4] = {};
    qint64 since_[4] = {};       // when the unit went stale or lost its link
    const RemoteNut* remote_ = nullptr;
    std::map<std::string, std::string> remotePublished_;
    std::map<std::string, qint64> remoteSince_;
    std::map<std::string, Pending> pending_;
    std::mutex tasksMutex_;
    std::vector<std::function<void()>> tasks_;  // web commands by tracking id, until their outcome
};

}  // namespace web
