#include "daemon/web/web_api.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>

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

// An optional integer parameter: absent gives fallback; present, it must be a whole number that
// fits. False with *error naming the parameter otherwise.
bool IntegerParameter(std::string_view query, std::string_view name, int64_t fallback, int64_t* out,
                      std::string_view what, std::string* error) {
    const std::optional<std::string> text = QueryValue(query, name);
    if (!text) {
        *out = fallback;
        return true;
    }
    const char* end = text->data() + text->size();
    const auto r = std::from_chars(text->data(), end, *out);
    if (r.ec == std::errc::result_out_of_range && r.ptr == end) {
        *error = std::string(name) + " is out of range";
        return false;
    }
    if (r.ec != std::errc() || r.ptr != end || text->empty()) {
        *error = std::string(name) + " must be " + std::string(what);
        return false;
    }
    return true;
}

bool IsJsonType(std::string_view type) {
    type = type.substr(0, type.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
    while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.remove_prefix(1);
    constexpr std::string_view json = "application/json";
    return type.size() == json.size() &&
           std::equal(type.begin(), type.end(), json.begin(), [](char a, char b) { return std::tolower(a) == b; });
}

std::string ClockTime(int64_t ms) {
    const time_t seconds = time_t(ms / 1000);
    tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return text;
}

Reply Json(int status, std::string body) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

Reply Text(int status, std::string body) {
    Reply r = Json(status, std::move(body));
    r.contentType = "text/plain; charset=utf-8";
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

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Calls each(item) for the comma-separated items of a header, trimmed, empty ones skipped.
template <typename F>
void EachItem(std::string_view header, F each) {
    while (!header.empty()) {
        const size_t comma = header.find(',');
        const std::string_view item = Trim(header.substr(0, comma));
        if (!item.empty() && each(item)) return;
        header = comma == std::string_view::npos ? std::string_view() : header.substr(comma + 1);
    }
}

}  // namespace

bool EtagMatches(std::string_view ifNoneMatch, std::string_view etag) {
    bool match = false;
    EachItem(ifNoneMatch, [&](std::string_view tag) {
        if (tag.starts_with("W/")) tag.remove_prefix(2);
        match = tag == "*" || tag == etag;
        return match;
    });
    return match;
}

bool AcceptsGzip(std::string_view acceptEncoding) {
    bool gzip = false;
    EachItem(acceptEncoding, [&](std::string_view item) {
        const size_t semi = item.find(';');
        const std::string_view coding = Trim(item.substr(0, semi));
        if (!nut::EqualNoCase(coding, "gzip") && !nut::EqualNoCase(coding, "x-gzip")) return false;
        gzip = true;
        if (semi != std::string_view::npos) {
            // q=0, q=0.0, q=0.000: refused.
            std::string_view q = Trim(item.substr(semi + 1));
            if (q.starts_with("q=") || q.starts_with("Q=")) {
                q.remove_prefix(2);
                gzip = q.find_first_not_of("0.") != std::string_view::npos;
            }
        }
        return true;
    });
    return gzip;
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

ReaderPool::ReaderPool(int threads, size_t maxQueued) : maxQueued_(maxQueued) {
    for (int i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
}

ReaderPool::~ReaderPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
}

bool ReaderPool::Full() {
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_.size() >= maxQueued_;
}

void ReaderPool::Run(std::string path, Job job) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.emplace_back(std::move(path), std::move(job));
    }
    wake_.notify_one();
}

void ReaderPool::Work() {
    std::unique_ptr<history::Store> store;
    std::string opened;
    for (;;) {
        std::pair<std::string, Job> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !jobs_.empty(); });
            if (stop_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        if (!store || !store->IsOpen() || opened != job.first) {
            store.reset();
            opened = job.first;
            if (!opened.empty()) {
                store = std::make_unique<history::Store>(history::Store::Clock(), [](const QString&) {});
                if (!store->OpenForReading(QString::fromStdString(opened))) store.reset();
            }
        }
        job.second(store.get());
    }
}

std::optional<HistoryRange> ParseHistoryRange(std::string_view query, int64_t now, int64_t maxPoints, std::string* error) {
    constexpr std::string_view seconds = "a whole number of seconds since the epoch";
    HistoryRange r;
    int64_t from = 0, to = 0, step = 0;
    if (!IntegerParameter(query, "to", now, &to, seconds, error) ||
        !IntegerParameter(query, "from", 0, &from, seconds, error) ||
        !IntegerParameter(query, "step", 60, &step, "a whole number of seconds", error))
        return std::nullopt;
    const bool fromGiven = QueryValue(query, "from").has_value();
    if (fromGiven && from > to) {
        *error = "from is after to";
        return std::nullopt;
    }
    if (step <= 0) {
        *error = "step must be above 0";
        return std::nullopt;
    }
    // Nothing older than a year is kept (hour rows start on the hour), nothing newer than the
    // running minute exists: clipped to that, every difference below fits.
    const int64_t lo = now - history::Store::kKeepSeconds - 3600, hi = now + 60;
    r.to = std::clamp(to, lo, hi);
    r.from = fromGiven ? std::clamp(from, lo, hi) : std::max(lo, r.to - 3600);
    const int64_t span = r.to - r.from;
    const auto wholeMinutes = [](int64_t s) { return std::max<int64_t>(60, s / 60 * 60 + (s % 60 ? 60 : 0)); };
    r.step = wholeMinutes(std::min(step, hi - lo));
    // Buckets start at multiples of the step, so a range may touch one more than span / step.
    if (span / r.step + 1 > maxPoints) r.step = wholeMinutes((span + maxPoints - 2) / (maxPoints - 1));
    return r;
}

Api::Api(MainSide* main, Post post, Clock clock, std::shared_ptr<nut::PasswordChecker> checker)
    : main_(main), post_(std::move(post)), clock_(std::move(clock)), snapshot_(std::make_shared<Snapshot>()),
      users_(std::make_shared<nut::UsersFile>()),
      checker_(checker ? std::move(checker) : std::make_shared<nut::PasswordChecker>()),
      readers_(std::make_unique<ReaderPool>(kReaderThreads, kMaxQueuedReads)) {}

Api::~Api() {
    readers_.reset();
    checker_->CancelAll(this);
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
    // A form of another site can POST text/plain without asking first; JSON it cannot.
    if (post && !IsJsonType(request.contentType))
        return done(JsonError(415, "a POST must have Content-Type: application/json"));

    if (path == "/" || path == "/index.html" || path.substr(0, 8) == "/assets/") {
        if (!get) return done(MethodNotAllowed("GET, HEAD"));
        const Asset* asset = FindAsset(path.substr(0, 8) == "/assets/" ? path.substr(8) : std::string_view("index.html"));
        if (!asset) return done(JsonError(404, "not found"));
        r.contentType = asset->contentType;
        // The compressed copy is another representation, with a tag of its own.
        const bool gzip = asset->gzip && AcceptsGzip(request.acceptEncoding);
        std::string etag = asset->etag;
        if (gzip) etag.insert(etag.size() - 1, "-gz");
        r.headers.emplace_back("Cache-Control", "no-cache");
        if (asset->gzip) r.headers.emplace_back("Vary", "Accept-Encoding");
        if (EtagMatches(request.ifNoneMatch, etag)) {
            r.status = 304;
            r.headers.emplace_back("ETag", std::move(etag));
            return done(std::move(r));
        }
        r.headers.emplace_back("ETag", std::move(etag));
        if (gzip) r.headers.emplace_back("Content-Encoding", "gzip");
        r.staticBody = gzip ? asset->gzip : asset->data;
        r.staticSize = gzip ? asset->gzipSize : asset->size;
        return done(std::move(r));
    }
    if (path == "/healthz") return done(get ? Health() : MethodNotAllowed("GET, HEAD"));
    if (path == "/metrics") return done(get ? Metrics() : MethodNotAllowed("GET, HEAD"));
    if (path == "/ups_metrics") return done(get ? UpsMetrics(query) : MethodNotAllowed("GET, HEAD"));

    constexpr std::string_view api = "/api/v1/";
    if (path.substr(0, api.size()) != api) return done(JsonError(404, "not found"));
    const std::string_view rest = path.substr(api.size());

    if (rest == "ups") return done(get ? Units() : MethodNotAllowed("GET, HEAD"));
    if (rest == "events") {
        if (!get) return done(MethodNotAllowed("GET, HEAD"));
        return Events(request, query, std::move(done));
    }
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
        r.streamFull = LoggedIn(request);
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
        if (what == "history") {
            if (!get) return done(MethodNotAllowed("GET, HEAD"));
            return History(name, query, std::move(done));
        }
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

Reply Api::UpsMetrics(std::string_view query) const {
    // One unit per scrape, as the NUT exporter serves it, so that a unit Prometheus cannot read
    // fails its own scrape and its own up series goes to 0.
    std::vector<const UnitSnapshot*> local;
    for (const UnitSnapshot& u : snapshot_->units)
        if (!u.remote) local.push_back(&u);
    const UnitSnapshot* unit = nullptr;
    if (const std::optional<std::string> name = QueryValue(query, "ups"); name && !name->empty()) {
        for (const UnitSnapshot* u : local)
            if (nut::EqualNoCase(u->name, *name)) unit = u;
        if (!unit) return Text(404, "unknown unit\n");
    } else if (local.size() == 1) {
        unit = local.front();
    } else {
        return Text(400, local.empty() ? "no units\n" : "more than one unit: name one with ?ups=NAME\n");
    }
    if (unit->linkLost) return Text(503, "link to " + unit->name + " lost\n");
    if (unit->stale || unit->variables.empty()) return Text(503, "no current readings from " + unit->name + "\n");
    Reply r;
    r.contentType = "text/plain; version=0.0.4; charset=utf-8";
    r.body = PrometheusText({{unit->name, &unit->variables, false, false}});
    return r;
}

void Api::Read(std::function<Reply(history::Store*)> read, ReplyFn done) {
    // The reply goes back to the web thread, and with it the last hold on the connection: a
    // connection is only ever released on the web thread.
    // Only this thread queues, so a queue not full now still has room below.
    if (readers_->Full()) {
        Reply r = JsonError(503, "busy with other history queries; try again");
        r.headers.emplace_back("Retry-After", "1");
        return done(std::move(r));
    }
    readers_->Run(historyPath_, [read = std::move(read), done = std::move(done), post = post_](history::Store* store) mutable {
        Reply reply = read(store);
        post([done = std::move(done), reply = std::move(reply)]() mutable { done(std::move(reply)); });
    });
}

bool Api::LoggedIn(const Request& request) {
    const WebLogin* login = sessions_.Find(CookieValue(request.cookie, kCookieName), clock_());
    if (!login) return false;
    const auto user = users_->users.find(login->user);
    return user != users_->users.end() && user->second.password == login->password;
}

namespace {

std::string HistoryJson(std::string_view name, const HistoryRange& range, int quantity,
                        const std::vector<history::SampleRow>& rows) {
    std::string body;
    body.reserve(256 + rows.size() * (quantity < 0 ? 200 : 40));
    body += "{\"unit\":";
    AppendJsonString(&body, name);
    body += ",\"from\":" + std::to_string(range.from) + ",\"to\":" + std::to_string(range.to) +
            ",\"step\":" + std::to_string(range.step);
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
    return body;
}

}  // namespace

void Api::History(std::string_view name, std::string_view query, ReplyFn done) {
    bool known = false;
    for (const UnitSnapshot& u : snapshot_->units) known = known || u.name == name;
    if (!known) return done(JsonError(404, "unknown unit"));
    std::string error;
    const std::optional<HistoryRange> range = ParseHistoryRange(query, clock_() / 1000, kMaxHistoryPoints, &error);
    if (!range) return done(JsonError(400, error));
    int quantity = -1;
    if (const std::optional<std::string> q = QueryValue(query, "quantity")) {
        for (int i = 0; i < history::kQuantities; ++i)
            if (*q == history::kQuantityNames[i]) quantity = i;
        if (quantity < 0) return done(JsonError(400, "quantity: no history is kept of that quantity"));
    }
    Read(
        [unit = std::string(name), range = *range, quantity](history::Store* store) {
            const std::vector<history::SampleRow> rows =
                store ? store->Samples(unit, range.from, range.to, range.step, quantity) : std::vector<history::SampleRow>();
            Reply r;
            r.body = HistoryJson(unit, range, quantity, rows);
            return r;
        },
        std::move(done));
}

void Api::Events(const Request& request, std::string_view query, ReplyFn done) {
    int64_t since = 0, limit = 0;
    std::string error;
    if (!IntegerParameter(query, "since", clock_() - 86'400'000, &since, "a whole number of milliseconds since the epoch", &error) ||
        !IntegerParameter(query, "limit", kDefaultEvents, &limit, "a whole number", &error))
        return done(JsonError(400, error));
    if (limit <= 0) return done(JsonError(400, "limit must be above 0"));
    limit = std::min<int64_t>(limit, kMaxEvents);
    // Without since, the latest of the last day: what a page opening wants. With it, everything
    // from there on: what a page catching up after a gap wants.
    const bool latest = !QueryValue(query, "since").has_value();
    const bool full = LoggedIn(request);
    Read(
        [since, limit, latest, full](history::Store* store) {
            const std::vector<history::Event> events =
                store ? store->Events(since, int(limit), latest) : std::vector<history::Event>();
            Reply r;
            r.body = "{\"events\":[";
            for (size_t i = 0; i < events.size(); ++i) {
                if (i) r.body += ',';
                AppendEventJson(&r.body, events[i], full);
            }
            r.body += "]}";
            return r;
        },
        std::move(done));
}

void AppendEventJson(std::string* out, const history::Event& e, bool full) {
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
    // Who did what, and from where, is for those logged in.
    *out += ",\"user\":";
    AppendJsonString(out, full ? e.user : std::string());
    *out += ",\"peer\":";
    AppendJsonString(out, full ? e.peer : std::string());
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

    const nut::PasswordCheck check = nut::MakePasswordCheck(*users_, user, password);
    const std::string peer = request.peer;
    const bool tls = request.tls;
    auto finish = [this, user, stored, peer, tls, done = std::move(done)](nut::PasswordChecker::Outcome outcome) mutable {
        if (outcome == nut::PasswordChecker::Outcome::Dropped) {
            LoginFailure(peer, user, true);
            Reply r = JsonError(503, "busy checking other logins from this address; try again");
            r.headers.emplace_back("Retry-After", "1");
            return done(std::move(r));
        }
        if (outcome == nut::PasswordChecker::Outcome::Wrong) {
            LoginFailure(peer, user, false);
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
    if (checker_->Remembered(check)) return finish(nut::PasswordChecker::Outcome::Matches);
    // The key derivation takes tens of milliseconds on the checker's worker, in turn with the
    // other addresses and the NUT side; this thread goes on serving meanwhile. The verdict takes
    // the hold on the reply with it back here: a connection is only ever released on this thread.
    auto shared = std::make_shared<decltype(finish)>(std::move(finish));
    checker_->Submit(this, peer, check, [post = post_, shared](nut::PasswordChecker::Outcome outcome) mutable {
        post([shared = std::move(shared), outcome] { (*shared)(outcome); });
    });
}

void Api::LoginFailure(const std::string& peer, const std::string& user, bool refused) {
    const int64_t now = clock_();
    auto it = failures_.find(peer);
    if (it == failures_.end()) {
        if (failures_.size() >= kMaxFailureAddresses) Tick();
        // Still full: a guessing crowd; its members share one count rather than grow the table.
        it = failures_.size() >= kMaxFailureAddresses ? failures_.try_emplace("(many addresses)").first
                                                      : failures_.try_emplace(peer).first;
    }
    Failures& f = it->second;
    if (!f.failed && !f.refused) f.firstUnnotedMs = now;
    ++(refused ? f.refused : f.failed);
    if (!refused) f.lastUser = history::Bounded(user, history::kMaxEventName);
    if (!f.lastNoteMs || now - f.lastNoteMs >= kFailureNoteGapMs) NoteFailures(it->first, now);
}

void Api::NoteFailures(const std::string& peer, int64_t now) {
    Failures& f = failures_.at(peer);
    std::string text;
    if (f.failed) text = f.failed == 1 ? "web login failed" : "web login failed " + std::to_string(f.failed) + " times";
    if (f.refused)
        text += (text.empty() ? "web login refused " : ", refused ") + std::to_string(f.refused) +
                (f.refused == 1 ? " time" : " times") + " while too many waited";
    if (f.failed + f.refused > 1) text += " since " + ClockTime(f.firstUnnotedMs);
    main_->Log(text + " (from " + peer + (f.lastUser.empty() ? std::string() : ", last as \"" + f.lastUser + "\"") + ")");
    main_->Note({}, "login", text, f.lastUser, peer);
    f.failed = f.refused = 0;
    f.lastUser.clear();
    f.lastNoteMs = now;
}

void Api::Tick() {
    const int64_t now = clock_();
    for (auto it = failures_.begin(); it != failures_.end();) {
        Failures& f = it->second;
        const bool due = now - f.lastNoteMs >= kFailureNoteGapMs;
        if (due && (f.failed || f.refused)) NoteFailures(it->first, now);
        if (due && !f.failed && !f.refused && now - f.lastNoteMs >= kFailureNoteGapMs)
            it = failures_.erase(it);
        else
            ++it;
    }
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
