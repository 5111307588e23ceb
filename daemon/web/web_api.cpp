#include "daemon/web/web_api.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <charconv>

#include "daemon/nut/nut_words.h"
#include "daemon/web/json_text.h"
#include "daemon/web/prometheus_metrics.h"
#include "daemon/web/web_assets.h"

namespace web {

namespace {

constexpr std::string_view kCookieName = "vesperod_session";
constexpr int64_t kMaxHistoryPoints = 20'000;
constexpr int kDefaultEvents = 500, kMaxEvents = 5000;

bool ParseInteger(const std::string& text, int64_t* out) {
    const char* end = text.data() + text.size();
    const auto r = std::from_chars(text.data(), end, *out);
    return r.ec == std::errc() && r.ptr == end;
}

// An optional integer parameter: absent gives fallback; present but not a number is an error.
bool IntegerParameter(std::string_view query, std::string_view name, int64_t fallback, int64_t* out) {
    const std::optional<std::string> text = QueryValue(query, name);
    if (!text) {
        *out = fallback;
        return true;
    }
    return ParseInteger(*text, out);
}

Reply Json(int status, std::string body) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

Reply MethodNotAllowed(std::string_view allowed) {
    Reply r = JsonError(405, "method not allowed");
    r.headers.emplace_back("Allow", std::string(allowed));
    return r;
}

}  // namespace

Reply JsonError(int status, std::string_view message) {
    std::string body = "{\"error\":";
    AppendJsonString(&body, message);
    body += "}";
    return Json(status, std::move(body));
}

bool PercentDecode(std::string_view in, std::string* out, bool plusIsSpace) {
    auto hex = [](char h) -> int {
        if (h >= '0' && h <= '9') return h - '0';
        if (h >= 'a' && h <= 'f') return h - 'a' + 10;
        if (h >= 'A' && h <= 'F') return h - 'A' + 10;
        return -1;
    };
    out->clear();
    out->reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '+' && plusIsSpace) {
            out->push_back(' ');
        } else if (c == '%') {
            if (in.size() - i < 3) return false;
            const int hi = hex(in[i + 1]), lo = hex(in[i + 2]);
            if (hi < 0 || lo < 0) return false;
            out->push_back(char(hi * 16 + lo));
            i += 2;
        } else {
            out->push_back(c);
        }
    }
    return true;
}

std::optional<std::string> QueryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        const size_t end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        query = end == std::string_view::npos ? std::string_view() : query.substr(end + 1);
        const size_t eq = pair.find('=');
        std::string key;
        if (!PercentDecode(pair.substr(0, eq), &key, true) || key != name) continue;
        std::string value;
        if (eq == std::string_view::npos) return value;
        if (!PercentDecode(pair.substr(eq + 1), &value, true)) return std::nullopt;
        return value;
    }
    return std::nullopt;
}

Api::Api(MainSide* main, Post post, Clock clock)
    : main_(main), post_(std::move(post)), clock_(std::move(clock)), snapshot_(std::make_shared<Snapshot>()),
      users_(std::make_shared<nut::UsersFile>()) {}

Api::~Api() {
    for (auto& [number, thread] : checks_)
        if (thread.joinable()) thread.join();
}

void Api::Handle(const Request& request, ReplyFn done) {
    std::string_view path = request.target;
    std::string_view query;
    if (const size_t q = path.find('?'); q != std::string_view::npos) {
        query = path.substr(q + 1);
        path = path.substr(0, q);
    }
    const bool get = request.method == "GET" || request.method == "HEAD";
    const bool post = request.method == "POST";
    Reply r;

    if (path == "/" || path == "/index.html" || path.substr(0, 8) == "/assets/") {
        if (!get) return done(MethodNotAllowed("GET, HEAD"));
        const Asset* asset = FindAsset(path.substr(0, 8) == "/assets/" ? path.substr(8) : std::string_view("index.html"));
        if (!asset) return done(JsonError(404, "not found"));
        r.contentType = asset->contentType;
        r.staticBody = asset->data;
        r.staticSize = asset->size;
        r.headers.emplace_back("Cache-Control", "no-cache");
        return done(std::move(r));
    }
    if (path == "/healthz") return done(get ? Health() : MethodNotAllowed("GET, HEAD"));
    if (path == "/metrics") return done(get ? Metrics() : MethodNotAllowed("GET, HEAD"));

    constexpr std::string_view api = "/api/v1/";
    if (path.substr(0, api.size()) != api) return done(JsonError(404, "not found"));
    const std::string_view rest = path.substr(api.size());

    if (rest == "ups") return done(get ? Units() : MethodNotAllowed("GET, HEAD"));
    if (rest == "events") return done(get ? Events(query) : MethodNotAllowed("GET, HEAD"));
    if (rest == "session") return done(get ? Session(request) : MethodNotAllowed("GET, HEAD"));
    if (rest == "login") {
        if (!post) return done(MethodNotAllowed("POST"));
        return Login(request, std::move(done));
    }
    if (rest == "logout") return done(post ? Logout(request) : MethodNotAllowed("POST"));
    if (rest == "stream") {
        // Not HEAD: a stream has no end for a header-only answer to describe.
        if (request.method != "GET") return done(MethodNotAllowed("GET"));
        r.stream = true;
        return done(std::move(r));
    }
    if (rest.substr(0, 9) == "commands/") {
        if (!get) return done(MethodNotAllowed("GET, HEAD"));
        std::string id;
        if (!PercentDecode(rest.substr(9), &id, false) || id.empty() || id.size() > 64)
            return done(JsonError(404, "unknown command id"));
        return main_->CommandStatus(std::move(id), std::move(done));
    }
    if (rest.substr(0, 4) == "ups/") {
        std::string_view tail = rest.substr(4);
        const size_t slash = tail.find('/');
        std::string name;
        if (!PercentDecode(tail.substr(0, slash), &name, false) || name.empty())
            return done(JsonError(404, "unknown unit"));
        // As on the NUT side, a unit's name matches without regard to case; from here on it is
        // spelled as configured, so the history and the command queue find it.
        for (const UnitSnapshot& u : snapshot_->units)
            if (nut::EqualNoCase(u.name, name)) name = u.name;
        const std::string_view what = slash == std::string_view::npos ? std::string_view() : tail.substr(slash + 1);
        if (slash == std::string_view::npos)
            return done(get ? OneUnit(name) : MethodNotAllowed("GET, HEAD"));
        if (what == "history") return done(get ? History(name, query) : MethodNotAllowed("GET, HEAD"));
        if (what == "command") {
            if (!post) return done(MethodNotAllowed("POST"));
            return Command(request, name, std::move(done));
        }
    }
    done(JsonError(404, "not found"));
}

Reply Api::Units() const {
    std::string body;
    body.reserve(8192);
    body += "{\"server\":\"vesperod\",\"version\":";
    AppendJsonString(&body, VESPERO_VERSION);
    body += ",\"time\":";
    AppendJsonInteger(&body, clock_());
    body += ",\"units\":[";
    bool first = true;
    for (const UnitSnapshot& u : snapshot_->units) {
        if (!first) body += ',';
        first = false;
        body += u.json;
    }
    body += "]}";
    return Json(200, std::move(body));
}

Reply Api::OneUnit(std::string_view name) const {
    for (const UnitSnapshot& u : snapshot_->units)
        if (u.name == name) return Json(200, u.json);
    return JsonError(404, "unknown unit");
}

Reply Api::Health() const {
    int stale = 0, units = 0;
    for (const UnitSnapshot& u : snapshot_->units) {
        if (u.remote) continue;
        ++units;
        stale += u.stale ? 1 : 0;
    }
    const bool ok = units > stale;
    std::string body = ok ? "{\"status\":\"ok\"" : "{\"status\":\"stale\"";
    body += ",\"units\":" + std::to_string(units) + ",\"stale\":" + std::to_string(stale);
    if (streamCount_) body += ",\"streams\":" + std::to_string(streamCount_());
    body += "}";
    return Json(ok ? 200 : 503, std::move(body));
}

Reply Api::Metrics() {
    if (metrics_.empty()) {
        std::vector<MetricsUnit> units;
        units.reserve(snapshot_->units.size());
        for (const UnitSnapshot& u : snapshot_->units)
            if (!u.remote) units.push_back({u.name, &u.variables, u.stale, u.linkLost});
        metrics_ = PrometheusText(units);
    }
    Reply r;
    r.contentType = "text/plain; version=0.0.4; charset=utf-8";
    r.body = metrics_;
    return r;
}

history::Store* Api::HistoryReader() {
    if (history_ && history_->IsOpen()) return history_.get();
    if (historyPath_.empty()) return nullptr;
    history_ = std::make_unique<history::Store>([this] { return clock_(); }, [](const QString&) {});
    if (!history_->OpenForReading(QString::fromStdString(historyPath_))) history_.reset();
    return history_.get();
}

Reply Api::History(std::string_view name, std::string_view query) {
    bool known = false;
    for (const UnitSnapshot& u : snapshot_->units) known = known || u.name == name;
    if (!known) return JsonError(404, "unknown unit");
    const int64_t now = clock_() / 1000;
    int64_t to = 0, from = 0, step = 0;
    if (!IntegerParameter(query, "to", now, &to) || !IntegerParameter(query, "from", to - 3600, &from) ||
        !IntegerParameter(query, "step", 60, &step))
        return JsonError(400, "from, to and step are whole seconds since the epoch");
    if (from >= to || step <= 0) return JsonError(400, "from must be before to, and step above 0");
    int quantity = -1;
    if (const std::optional<std::string> q = QueryValue(query, "quantity")) {
        for (int i = 0; i < history::kQuantities; ++i)
            if (*q == history::kQuantityNames[i]) quantity = i;
        if (quantity < 0) return JsonError(400, "no history is kept of that quantity");
    }
    // Whole minutes, and never more points than a chart can use.
    step = std::max<int64_t>(60, (step + 59) / 60 * 60);
    if ((to - from) / step > kMaxHistoryPoints) step = ((to - from) / kMaxHistoryPoints + 59) / 60 * 60;

    history::Store* store = HistoryReader();
    const std::vector<history::SampleRow> rows =
        store ? store->Samples(std::string(name), from, to, step, quantity) : std::vector<history::SampleRow>();

    std::string body;
    body.reserve(256 + rows.size() * (quantity < 0 ? 200 : 40));
    body += "{\"unit\":";
    AppendJsonString(&body, name);
    body += ",\"from\":" + std::to_string(from) + ",\"to\":" + std::to_string(to) + ",\"step\":" + std::to_string(step);
    body += ",\"t\":[";
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i) body += ',';
        AppendJsonInteger(&body, rows[i].start);
    }
    body += "],\"series\":{";
    bool firstSeries = true;
    for (int q = 0; q < history::kQuantities; ++q) {
        if (quantity >= 0 && q != quantity) continue;
        if (!firstSeries) body += ',';
        firstSeries = false;
        AppendJsonString(&body, history::kQuantityNames[q]);
        body += ":{";
        const char* const parts[] = {"min", "avg", "max"};
        for (int p = 0; p < 3; ++p) {
            if (p) body += ',';
            body += '"';
            body += parts[p];
            body += "\":[";
            for (size_t i = 0; i < rows.size(); ++i) {
                if (i) body += ',';
                const history::Stat& s = rows[i].stats[q];
                if (!s.count)
                    body += "null";
                else
                    AppendJsonNumber(&body, p == 0 ? s.min : p == 1 ? s.avg : s.max);
            }
            body += ']';
        }
        body += '}';
    }
    body += "}}";
    return Json(200, std::move(body));
}

Reply Api::Events(std::string_view query) {
    int64_t since = 0, limit = 0;
    if (!IntegerParameter(query, "since", clock_() - 86'400'000, &since) ||
        !IntegerParameter(query, "limit", kDefaultEvents, &limit))
        return JsonError(400, "since is milliseconds since the epoch, limit a count");
    limit = std::clamp<int64_t>(limit, 1, kMaxEvents);
    history::Store* store = HistoryReader();
    // Without since, the latest of the last day: what a page opening wants. With it, everything
    // from there on: what a page catching up after a gap wants.
    const bool latest = !QueryValue(query, "since").has_value();
    const std::vector<history::Event> events =
        store ? store->Events(since, int(limit), latest) : std::vector<history::Event>();
    std::string body = "{\"events\":[";
    for (size_t i = 0; i < events.size(); ++i) {
        if (i) body += ',';
        AppendEventJson(&body, events[i]);
    }
    body += "]}";
    return Json(200, std::move(body));
}

void AppendEventJson(std::string* out, const history::Event& e) {
    *out += "{\"id\":";
    AppendJsonInteger(out, e.id);
    *out += ",\"time\":";
    AppendJsonInteger(out, e.timeMs);
    *out += ",\"unit\":";
    AppendJsonString(out, e.unit);
    *out += ",\"kind\":";
    AppendJsonString(out, e.kind);
    *out += ",\"text\":";
    AppendJsonString(out, e.text);
    *out += ",\"user\":";
    AppendJsonString(out, e.user);
    *out += ",\"peer\":";
    AppendJsonString(out, e.peer);
    *out += '}';
}

std::string Api::SessionCookie(const std::string& token, bool tls, bool clear) const {
    std::string cookie = std::string(kCookieName) + "=" + (clear ? std::string() : token) +
                         "; Path=/; HttpOnly; SameSite=Strict; Max-Age=" +
                         (clear ? std::string("0") : std::to_string(SessionTable::kLifetimeMs / 1000));
    if (tls) cookie += "; Secure";
    return cookie;
}

Reply Api::Session(const Request& request) {
    const WebLogin* login = sessions_.Find(CookieValue(request.cookie, kCookieName), clock_());
    if (!login) return Json(200, "{\"user\":null}");
    std::string body = "{\"user\":";
    AppendJsonString(&body, login->user);
    body += ",\"csrf\":";
    AppendJsonString(&body, login->csrf);
    body += "}";
    return Json(200, std::move(body));
}

const WebLogin* Api::Authorise(const Request& request, Reply* refusal) {
    const WebLogin* login = sessions_.Find(CookieValue(request.cookie, kCookieName), clock_());
    if (!login) {
        *refusal = JsonError(401, "log in first");
        return nullptr;
    }
    if (!ConstantTimeEquals(request.csrf, login->csrf)) {
        *refusal = JsonError(403, "the X-CSRF-Token header is missing or wrong");
        return nullptr;
    }
    // A user removed from the file, or given a new password, is logged out.
    const auto user = users_->users.find(login->user);
    if (user == users_->users.end() || user->second.password != login->password) {
        sessions_.Remove(CookieValue(request.cookie, kCookieName));
        *refusal = JsonError(401, "log in again");
        return nullptr;
    }
    return login;
}

void Api::Login(const Request& request, ReplyFn done) {
    const int64_t now = clock_();
    if (!limiter_.Allowed(request.peer, now)) {
        main_->Log("web login from " + request.peer + " refused: too many failed attempts");
        Reply r = JsonError(429, "too many failed logins from this address; wait a minute");
        r.headers.emplace_back("Retry-After", "60");
        return done(std::move(r));
    }
    if (int(checks_.size()) >= kMaxChecksRunning) {
        Reply r = JsonError(503, "busy checking other logins; try again");
        r.headers.emplace_back("Retry-After", "1");
        return done(std::move(r));
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(request.body.data(), qsizetype(request.body.size())), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return done(JsonError(400, "send {\"user\": ..., \"password\": ...} as JSON"));
    const QJsonObject o = doc.object();
    if (!o.value(QStringLiteral("user")).isString() || !o.value(QStringLiteral("password")).isString())
        return done(JsonError(400, "send {\"user\": ..., \"password\": ...} as JSON"));
    const std::string user = o.value(QStringLiteral("user")).toString().toStdString();
    const std::string password = o.value(QStringLiteral("password")).toString().toStdString();
    const auto known = users_->users.find(user);
    const std::string stored = known == users_->users.end() ? std::string() : known->second.password;

    // The key derivation takes tens of milliseconds: a thread of its own, so that this thread
    // goes on serving meanwhile. It posts its verdict back here.
    const nut::PasswordCheck check = nut::MakePasswordCheck(*users_, user, password);
    const int number = nextCheck_++;
    const std::string peer = request.peer;
    const bool tls = request.tls;
    auto finish = [this, number, user, stored, peer, tls, done = std::move(done)](bool ok) mutable {
        if (auto it = checks_.find(number); it != checks_.end()) {
            it->second.join();
            checks_.erase(it);
        }
        if (!ok) {
            limiter_.Failed(peer, clock_());
            main_->Log("web login by \"" + user + "\" from " + peer + " failed");
            main_->Note({}, "login", "web login failed", user, peer);
            return done(JsonError(401, "wrong user name or password"));
        }
        const std::string token = sessions_.Create(user, stored, clock_());
        const WebLogin* login = sessions_.Find(token, clock_());
        main_->Log("web login by \"" + user + "\" from " + peer);
        main_->Note({}, "login", "web login", user, peer);
        std::string body = "{\"user\":";
        AppendJsonString(&body, user);
        body += ",\"csrf\":";
        AppendJsonString(&body, login ? login->csrf : std::string());
        body += "}";
        Reply r = Json(200, std::move(body));
        r.headers.emplace_back("Set-Cookie", SessionCookie(token, tls, false));
        done(std::move(r));
    };
    auto shared = std::make_shared<decltype(finish)>(std::move(finish));
    checks_.emplace(number, std::thread([check, post = post_, shared] {
                        const bool ok = check.Run();
                        post([shared, ok] { (*shared)(ok); });
                    }));
}

Reply Api::Logout(const Request& request) {
    Reply refusal;
    const WebLogin* login = Authorise(request, &refusal);
    if (!login) return refusal;
    main_->Log("web logout by \"" + login->user + "\" from " + request.peer);
    sessions_.Remove(CookieValue(request.cookie, kCookieName));
    Reply r = Json(200, "{\"user\":null}");
    r.headers.emplace_back("Set-Cookie", SessionCookie({}, request.tls, true));
    return r;
}

void Api::Command(const Request& request, std::string_view unit, ReplyFn done) {
    Reply refusal;
    const WebLogin* login = Authorise(request, &refusal);
    if (!login) return done(std::move(refusal));
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(QByteArray(request.body.data(), qsizetype(request.body.size())), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject() || !doc.object().value(QStringLiteral("command")).isString())
        return done(JsonError(400, "send {\"command\": ..., \"parameter\": ...} as JSON"));
    CommandOrder order;
    order.unit = std::string(unit);
    order.command = doc.object().value(QStringLiteral("command")).toString().toStdString();
    order.user = login->user;
    order.peer = request.peer;
    const QJsonValue parameter = doc.object().value(QStringLiteral("parameter"));
    const nut::InstantCommand* command = nut::FindInstantCommand(order.command);
    if (!command) return done(JsonError(404, "no such command"));
    if (!parameter.isUndefined() && !parameter.isNull()) {
        int64_t value = -1;
        if (parameter.isDouble() && parameter.toDouble() == double(int64_t(parameter.toDouble())))
            value = int64_t(parameter.toDouble());
        else if (parameter.isString() && !ParseInteger(parameter.toString().toStdString(), &value))
            value = -1;
        if (!command->takesParameter || value < 0 || value > 0xFFFF)
            return done(JsonError(400, "this command takes no parameter, or not that one (0 to 65535)"));
        order.parameter = int(value);
    }
    const nut::User& user = users_->users.at(login->user);
    if (!user.instcmds.count("all") && !user.instcmds.count(command->name)) {
        main_->Log("web user \"" + order.user + "\" from " + order.peer + " may not run " + command->name);
        main_->Note(order.unit, "instcmd", std::string(command->name) + ": ACCESS-DENIED", order.user, order.peer);
        return done(JsonError(403, "this user may not run that command"));
    }
    order.command = command->name;
    main_->RunCommand(std::move(order), std::move(done));
}

}  // namespace web
