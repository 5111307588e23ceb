#include "daemon/web/web_bridge.h"

#include <QMetaObject>

#include "daemon/nut/nut_server.h"
#include "daemon/web/http_server.h"
#include "daemon/web/json_text.h"
#include "daemon/web/remote_nut.h"
#include "daemon/web/unit_json.h"

namespace web {

WebBridge::WebBridge(nut::UnitBoard* board, Clock steadyMs, Clock wallMs, QObject* parent)
    : QObject(parent), board_(board), steady_(std::move(steadyMs)), wall_(std::move(wallMs)) {
    coalesce_.setSingleShot(true);
    connect(&coalesce_, &QTimer::timeout, this, [this] { Publish(); });
}

void WebBridge::Sync(bool) {
    if (!server_ || coalesce_.isActive()) return;
    const qint64 waited = steady_() - lastPublish_;
    if (waited >= kMinGapMs)
        Publish();
    else
        coalesce_.start(int(kMinGapMs - waited));
}

void WebBridge::Publish() {
    if (!server_) return;
    const qint64 now = steady_();
    lastPublish_ = now;
    const qint64 wall = wall_();
    auto snapshot = std::make_shared<Snapshot>();
    std::vector<int> changed;
    for (const nut::UnitBoard::Unit* unit : board_->PresentUnits()) {
        const int d = unit->device;
        if (unit->lastRefreshMs != lastRefreshSteady_[d]) {
            lastRefreshSteady_[d] = unit->lastRefreshMs;
            lastRefreshWall_[d] = wall - (now - unit->lastRefreshMs);
        }
        UnitTimes times;
        times.stale = board_->IsStale(*unit, now);
        times.lastRefreshMs = unit->last ? lastRefreshWall_[d] : 0;
        const bool troubled = times.stale || (unit->linkLost && unit->last);
        if (!troubled)
            since_[d] = 0;
        else if (!since_[d])
            // Stale counts from the last news, not from when it was noticed.
            since_[d] = unit->linkLost || !unit->last ? wall : std::min(wall, lastRefreshWall_[d] ? lastRefreshWall_[d] : wall);
        times.sinceMs = since_[d];
        UnitSnapshot u;
        u.name = unit->name;
        u.json = UnitJson(*unit, times);
        u.variables = unit->variables;
        u.stale = times.stale;
        u.linkLost = unit->linkLost && unit->last;
        if (u.json != published_[d]) {
            published_[d] = u.json;
            changed.push_back(int(snapshot->units.size()));
        }
        snapshot->units.push_back(std::move(u));
    }
    if (remote_) {
        for (const RemoteUnit& r : remote_->Units()) {
            qint64& since = remoteSince_[r.name];
            if (r.reachable)
                since = 0;
            else if (!since)
                since = r.lastGoodMs ? r.lastGoodMs : wall;
            UnitSnapshot u;
            u.name = r.name;
            u.json = RemoteUnitJson(r, since);
            u.stale = !r.reachable;
            u.remote = true;
            std::string& last = remotePublished_[r.name];
            if (u.json != last) {
                last = u.json;
                changed.push_back(int(snapshot->units.size()));
            }
            snapshot->units.push_back(std::move(u));
        }
    }
    NoteOutcomes();
    server_->Publish(std::move(snapshot), std::move(changed));
}

void WebBridge::NoteOutcomes() {
    const qint64 now = steady_();
    for (auto it = pending_.begin(); it != pending_.end();) {
        const std::string status = board_->Tracking().Status(it->first, now);
        if (status == "PENDING") {
            ++it;
            continue;
        }
        const Pending& p = it->second;
        const char* outcome = status == "SUCCESS" ? "SUCCESS" : status == "ERR FAILED" ? "FAILED" : "UNKNOWN";
        board_->Note(p.unit, "instcmd", p.command + ": " + outcome, p.user, p.peer);
        it = pending_.erase(it);
    }
}

void WebBridge::Answer(ReplyFn done, Reply reply) {
    if (!server_) return;
    server_->Post([done = std::move(done), reply = std::move(reply)]() mutable { done(std::move(reply)); });
}

void WebBridge::ToMain(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        tasks_.push_back(std::move(task));
    }
    QMetaObject::invokeMethod(
        this,
        [this] {
            std::vector<std::function<void()>> tasks;
            {
                std::lock_guard<std::mutex> lock(tasksMutex_);
                tasks.swap(tasks_);
            }
            for (auto& t : tasks) t();
        },
        Qt::QueuedConnection);
}

void WebBridge::RunCommand(CommandOrder order, ReplyFn done) {
    ToMain(
        [this, order = std::move(order), done = std::move(done)]() mutable {
            nut::UnitBoard::Unit* unit = board_->Find(order.unit);
            if (!unit) return Answer(std::move(done), JsonError(404, "unknown unit"));
            const nut::InstantCommand* command = nut::FindInstantCommand(order.command);
            if (!command) return Answer(std::move(done), JsonError(404, "no such command"));
            const std::string what =
                order.command + (order.parameter ? " " + std::to_string(*order.parameter) : std::string());
            if (board_->IsStale(*unit, steady_())) {
                board_->Note(unit->name, "instcmd", what + ": DATA-STALE", order.user, order.peer);
                return Answer(std::move(done), JsonError(503, "the unit's data is stale: the command would not reach it"));
            }
            const std::string id = board_->Tracking().Start(unit->device, command->commandCode, steady_());
            board_->Queue(command->keybType, unit->device, order.parameter.value_or(0));
            nut::LogLine(QString::fromStdString("web command " + unit->name + " " + what + " by \"" + order.user +
                                                "\" from " + order.peer));
            board_->Note(unit->name, "instcmd", what + ": queued", order.user, order.peer);
            pending_[id] = Pending{unit->name, what, order.user, order.peer};
            std::string body = "{\"id\":";
            AppendJsonString(&body, id);
            body += ",\"status\":\"PENDING\"}";
            Reply r;
            r.status = 202;
            r.body = std::move(body);
            Answer(std::move(done), std::move(r));
        });
}

void WebBridge::CommandStatus(std::string id, ReplyFn done) {
    ToMain(
        [this, id = std::move(id), done = std::move(done)]() mutable {
            const std::string status = board_->Tracking().Status(id, steady_());
            if (status == "ERR UNKNOWN") return Answer(std::move(done), JsonError(404, "unknown command id"));
            std::string body = "{\"id\":";
            AppendJsonString(&body, id);
            body += ",\"status\":";
            AppendJsonString(&body, status == "ERR FAILED" ? "FAILED" : status);
            body += "}";
            Reply r;
            r.body = std::move(body);
            Answer(std::move(done), std::move(r));
        });
}

void WebBridge::Log(std::string line) {
    ToMain([line = std::move(line)] { nut::LogLine(QString::fromStdString(line)); });
}

void WebBridge::Note(std::string unit, std::string kind, std::string text, std::string user, std::string peer) {
    ToMain([this, unit = std::move(unit), kind = std::move(kind), text = std::move(text), user = std::move(user),
            peer = std::move(peer)] { board_->Note(unit, kind.c_str(), text, user, peer); });
}

}  // namespace web
