#include "daemon/web/remote_nut.h"

#include <QTcpSocket>

#include <map>
#include <set>

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
    std::map<std::string, size_t> readingBytes;
    size_t listsLeft = 0;
    std::vector<RemoteUnit> units;  // as last completed
    std::set<std::string> cutLogged;  // "unit\nwhat" already logged
};

RemoteNut::RemoteNut(std::vector<RemoteEndpoint> servers, Clock clock, std::function<void()> changed, QObject* parent)
    : QObject(parent), clock_(std::move(clock)), changed_(std::move(changed)) {
    for (RemoteEndpoint& e : servers) {
        auto s = std::make_unique<Server>();
        s->suffix = "@" + e.host.toStdString() + (e.port == 3493 ? std::string() : ":" + std::to_string(e.port));
        s->endpoint = std::move(e);
        Server* raw = s.get();
        // What one read can bring in, whatever the server sends.
        s->socket.setReadBufferSize(256 * 1024);
        connect(&s->socket, &QTcpSocket::connected, this, [this, raw] { Poll(raw); });
        connect(&s->socket, &QTcpSocket::readyRead, this, [this, raw] {
            raw->buffer += raw->socket.readAll().toStdString();
            // A long answer may come in one read; only a line without end is too much.
            size_t at = 0, end;
            while (raw->socket.state() == QAbstractSocket::ConnectedState &&
                   (end = raw->buffer.find('\n', at)) != std::string::npos) {
                std::string line = raw->buffer.substr(at, end - at);
                at = end + 1;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                OnLine(raw, line);
            }
            if (raw->socket.state() != QAbstractSocket::ConnectedState) return;
            raw->buffer.erase(0, at);
            if (raw->buffer.size() > kMaxLine) Fail(raw, "the server sent a line too long");
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
    s->readingBytes.clear();
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
        if (s->listing.size() >= kMaxUnits) return Cut(s, "", "units past the first 64 left out");
        if (w[1].size() > kMaxNameLength) return Cut(s, "", "units with names over 64 bytes left out");
        s->listing.push_back(w[1]);
        std::string& description = s->descriptions[w[1]];
        description = w.size() >= 3 ? w[2] : std::string();
        if (description.size() > kMaxValueLength) {
            description.resize(kMaxValueLength);
            Cut(s, w[1], "description cut to 256 bytes");
        }
        return;
    }
    if (w[0] == "VAR" && w.size() >= 4) {
        // Only units asked about; anything else would be kept for nothing.
        const auto known = s->reading.find(w[1]);
        if (known == s->reading.end()) return;
        std::vector<nut::Variable>& vars = known->second;
        if (vars.size() >= kMaxVariables) return Cut(s, w[1], "variables past the first 500 left out");
        if (w[2].size() > kMaxNameLength) return Cut(s, w[1], "variables with names over 64 bytes left out");
        if (w[3].size() > kMaxValueLength) {
            w[3].resize(kMaxValueLength);
            Cut(s, w[1], "values cut to 256 bytes");
        }
        size_t& bytes = s->readingBytes[w[1]];
        if (bytes + w[2].size() + w[3].size() > kMaxUnitBytes)
            return Cut(s, w[1], "variables past 20 KiB of names and values left out");
        bytes += w[2].size() + w[3].size();
        vars.push_back({std::move(w[2]), std::move(w[3])});
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
        for (const std::string& ups : s->listing) s->reading[ups];
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

void RemoteNut::Cut(Server* s, const std::string& unit, const char* what) {
    // Bounded, should a server make up new names every round.
    if (s->cutLogged.size() >= 1024 || !s->cutLogged.insert(unit + "\n" + what).second) return;
    if (log_) log_("web: " + (unit.empty() ? s->suffix.substr(1) : unit + s->suffix) + ": " + what);
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
