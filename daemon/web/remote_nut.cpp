#include "daemon/web/remote_nut.h"

#include <QTcpSocket>

#include <map>

#include "daemon/nut/nut_words.h"

namespace web {

struct RemoteNut::Server {
    RemoteEndpoint endpoint;
    std::string suffix;  // "@host" or "@host:port"
    QTcpSocket socket;
    std::string buffer;
    bool busy = false;        // a round of questions is out
    qint64 askedMs = 0;
    std::vector<std::string> listing;               // units named by LIST UPS, in this round
    std::map<std::string, std::string> descriptions;
    std::map<std::string, std::vector<nut::Variable>> reading;  // this round's answers
    size_t listsLeft = 0;
    std::vector<RemoteUnit> units;  // as last completed
};

RemoteNut::RemoteNut(std::vector<RemoteEndpoint> servers, Clock clock, std::function<void()> changed, QObject* parent)
    : QObject(parent), clock_(std::move(clock)), changed_(std::move(changed)) {
    for (RemoteEndpoint& e : servers) {
        auto s = std::make_unique<Server>();
        s->suffix = "@" + e.host.toStdString() + (e.port == 3493 ? std::string() : ":" + std::to_string(e.port));
        s->endpoint = std::move(e);
        Server* raw = s.get();
        connect(&s->socket, &QTcpSocket::connected, this, [this, raw] { Poll(raw); });
        connect(&s->socket, &QTcpSocket::readyRead, this, [this, raw] {
            raw->buffer += raw->socket.readAll().toStdString();
            if (raw->buffer.size() > (1 << 20)) return Fail(raw, "the server sent too much");
            size_t end;
            while (raw->socket.state() == QAbstractSocket::ConnectedState &&
                   (end = raw->buffer.find('\n')) != std::string::npos) {
                std::string line = raw->buffer.substr(0, end);
                raw->buffer.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                OnLine(raw, line);
            }
        });
        connect(&s->socket, &QTcpSocket::errorOccurred, this,
                [this, raw](QAbstractSocket::SocketError) { Fail(raw, raw->socket.errorString().toStdString()); });
        servers_.push_back(std::move(s));
    }
    connect(&timer_, &QTimer::timeout, this, [this] {
        for (auto& s : servers_) Poll(s.get());
    });
    timer_.start(kPollMs);
    for (auto& s : servers_) Poll(s.get());
}

RemoteNut::~RemoteNut() = default;

std::vector<RemoteUnit> RemoteNut::Units() const {
    std::vector<RemoteUnit> all;
    for (const auto& s : servers_) all.insert(all.end(), s->units.begin(), s->units.end());
    return all;
}

void RemoteNut::Poll(Server* s) {
    const qint64 now = clock_();
    if (s->busy) {
        if (now - s->askedMs > kTimeoutMs) Fail(s, "no answer within 5 s");
        return;
    }
    if (s->socket.state() == QAbstractSocket::UnconnectedState) {
        s->askedMs = now;
        s->socket.connectToHost(s->endpoint.host, s->endpoint.port);
        return;
    }
    if (s->socket.state() != QAbstractSocket::ConnectedState) {
        if (now - s->askedMs > kTimeoutMs) Fail(s, "cannot connect within 5 s");
        return;
    }
    s->busy = true;
    s->askedMs = now;
    s->listing.clear();
    s->descriptions.clear();
    s->reading.clear();
    s->listsLeft = 0;
    s->socket.write("LIST UPS\n");
}

void RemoteNut::OnLine(Server* s, const std::string& line) {
    std::vector<std::string> w;
    if (nut::SplitRequest(line, &w) != nut::SplitResult::Ok || w.empty()) return Fail(s, "an answer that is not NUT");
    if (w[0] == "ERR" && s->listsLeft > 0) {
        // One unit's variables refused (DATA-STALE, say): it is left out of this round.
        if (--s->listsLeft == 0) Finish(s);
        return;
    }
    if (w[0] == "ERR") return Fail(s, "the server answered " + line);
    if (w[0] == "BEGIN") return;
    if (w[0] == "UPS" && w.size() >= 2) {
        s->listing.push_back(w[1]);
        s->descriptions[w[1]] = w.size() >= 3 ? w[2] : std::string();
        return;
    }
    if (w[0] == "VAR" && w.size() >= 4) {
        s->reading[w[1]].push_back({w[2], w[3]});
        return;
    }
    if (w[0] == "END" && w.size() >= 3 && w[2] == "UPS") {
        if (s->listing.empty()) return Finish(s);
        // All questions at once: the server answers them in order. A name that is not one plain
        // word could not be asked for safely; such a unit is left out.
        std::string questions;
        std::vector<std::string> plain;
        for (const std::string& ups : s->listing) {
            if (ups.empty() || ups.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-") != std::string::npos)
                continue;
            plain.push_back(ups);
            questions += "LIST VAR " + ups + "\n";
        }
        s->listing = std::move(plain);
        if (s->listing.empty()) return Finish(s);
        s->listsLeft = s->listing.size();
        s->socket.write(questions.data(), qint64(questions.size()));
        return;
    }
    if (w[0] == "END" && w.size() >= 3 && w[2] == "VAR") {
        if (s->listsLeft == 0 || --s->listsLeft > 0) return;
        Finish(s);
    }
}

void RemoteNut::Finish(Server* s) {
    {
        const qint64 now = clock_();
        s->units.clear();
        for (const std::string& ups : s->listing) {
            RemoteUnit u;
            u.name = ups + s->suffix;
            u.description = s->descriptions[ups];
            u.variables = std::move(s->reading[ups]);
            u.reachable = !u.variables.empty();
            if (!u.reachable) u.problem = "the server has no data for it";
            u.lastGoodMs = u.reachable ? now : 0;
            s->units.push_back(std::move(u));
        }
        s->busy = false;
        if (changed_) changed_();
    }
}

void RemoteNut::Fail(Server* s, const std::string& why) {
    s->busy = false;
    s->buffer.clear();
    s->socket.abort();
    bool changed = false;
    for (RemoteUnit& u : s->units) {
        changed = changed || u.reachable || u.problem != why;
        u.reachable = false;
        u.problem = why;
    }
    if (s->units.empty()) {
        // Never answered: one placeholder so the page shows the server and why it is missing.
        RemoteUnit u;
        u.name = s->suffix.substr(1);
        u.problem = why;
        s->units.push_back(std::move(u));
        changed = true;
    }
    if (changed && changed_) changed_();
}

}  // namespace web
