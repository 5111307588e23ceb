// vesperod's web side as browsers and scripts meet it: the simulated unit on a pseudo-terminal,
// the real link and service, and plain HTTP over loopback sockets (so that broken and hostile
// requests can be sent byte for byte).
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <atomic>
#include <map>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sqlite3.h>
#include <zlib.h>

#include "daemon/history/history_store.h"
#include "tests/support/child_process.h"
#include "tests/support/files_and_waits.h"

using testsupport::Spawn;
using testsupport::Terminate;
using testsupport::WaitFor;
using testsupport::ReadAll;
using testsupport::WriteFile;

namespace {

quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.serverPort();
}

// A TCP connection to 127.0.0.1:port, from the loopback address `from`; -1 when refused.
int Connect(quint16 port, const char* from = "127.0.0.1") {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (std::string_view(from) != "127.0.0.1") {
        // The port is left to connect(), which may reuse one still closing towards elsewhere.
        const int one = 1;
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof one);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& bytes) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += size_t(n);
    }
    return true;
}

// Reads until stop says the text is complete, the peer closes, or limitMs passes.
template <typename Stop>
std::string ReadUntil(int fd, Stop stop, int limitMs) {
    std::string text;
    QElapsedTimer t;
    t.start();
    while (!stop(text) && t.elapsed() < limitMs) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buffer[16384];
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        text.append(buffer, size_t(n));
    }
    return text;
}

struct HttpReply {
    int status = 0;
    std::string head;
    std::string body;
    std::string Header(const std::string& name) const {
        std::string lower = head;
        for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
        std::string key = "\r\n" + name + ":";
        for (char& c : key) c = char(std::tolower(static_cast<unsigned char>(c)));
        const size_t at = lower.find(key);
        if (at == std::string::npos) return {};
        const size_t start = at + key.size();
        std::string value = head.substr(start, head.find("\r\n", start) - start);
        while (!value.empty() && value.front() == ' ') value.erase(0, 1);
        return value;
    }
    QJsonObject Json() const { return QJsonDocument::fromJson(QByteArray::fromStdString(body)).object(); }
};

// A whole response (headers and Content-Length body) read from fd.
std::string Gunzip(const std::string& in) {
    z_stream z{};
    if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return "(inflateInit2 failed)";
    std::string out(in.size() * 8 + 1024, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = uInt(in.size());
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (z.total_out == out.size()) out.resize(out.size() * 2);
        z.next_out = reinterpret_cast<Bytef*>(out.data() + z.total_out);
        z.avail_out = uInt(out.size() - z.total_out);
        rc = inflate(&z, Z_NO_FLUSH);
    }
    out.resize(z.total_out);
    inflateEnd(&z);
    return rc == Z_STREAM_END && z.avail_in == 0 ? out : "(not one whole gzip stream)";
}

HttpReply ReadReply(int fd, int limitMs = 10000) {
    const std::string text = ReadUntil(
        fd,
        [](const std::string& t) {
            const size_t end = t.find("\r\n\r\n");
            if (end == std::string::npos) return false;
            std::string lower = t.substr(0, end);
            for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
            const size_t cl = lower.find("content-length:");
            return cl != std::string::npos && t.size() >= end + 4 + std::stoul(lower.substr(cl + 15));
        },
        limitMs);
    HttpReply r;
    const size_t end = text.find("\r\n\r\n");
    r.head = text.substr(0, end);
    r.body = end == std::string::npos ? std::string() : text.substr(end + 4);
    if (text.rfind("HTTP/1.", 0) == 0) r.status = std::atoi(text.c_str() + 9);
    return r;
}

class WebE2e : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // A thousand streams need more descriptors than the usual 1024.
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);

        dir_ = new QTemporaryDir();
        ASSERT_TRUE(dir_->isValid());
        qputenv("XDG_CONFIG_HOME", dir_->path().toLocal8Bit());
        qputenv("XDG_STATE_HOME", dir_->path().toLocal8Bit());
        QDir().mkpath(Path("Tralvane"));
        WriteFile(Path("Tralvane/vesperod.users"),
                  "[admin]\n  password = s3cret\n  instcmds = all\n"
                  "[viewer]\n  password = look\n");
        nutPort_ = FreePort();
        httpPort_ = FreePort();
        // The dashboard also shows this very server's units over NUT, and a server that is not there.
        WriteFile(Path("Tralvane/vesperod.conf"),
                  QStringLiteral("[unit0]\ninput_voltage_nominal = 230\n"
                                 "[server]\nhttp_request_timeout = 2\nhttp_max_streams = 1000\n"
                                 "http_remote = 127.0.0.1:%1, 127.0.0.1:1%2\n").arg(nutPort_).arg(extraRemote_).toUtf8() +
                      extraConfig_);
        if (beforeStart_) beforeStart_();
        WriteFile(Path("ctl"), "state=2\nbattery=0\nsilent=0\n");
        // At a real unit's pace: an unpaced simulator refreshes hundreds of times a second, and a
        // thousand streams left unread would fill and be dropped as readers too slow to keep.
        sim_ = new testsupport::SimProcess(QStringLiteral(VESPERO_SIM_PATH), 1, dir_->path(),
                                           {QStringLiteral("--control"), Path("ctl"), QStringLiteral("--log"), Path("frames"),
                                            QStringLiteral("--pace"), QStringLiteral("9600")});
        ASSERT_TRUE(sim_->ready());
        StartDaemon();
    }

    // fresh: wait until the unit has answered, not just until the web side is up.
    static void StartDaemon(bool fresh = true) {
        daemon_ = Spawn(QStringLiteral(VESPEROD_PATH),
                        {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(nutPort_),
                         QStringLiteral("--http-listen"), QStringLiteral("127.0.0.1:%1").arg(httpPort_)},
                        Path("vesperod.err"));
        ASSERT_GT(daemon_, 0);
        if (fresh)
            ASSERT_TRUE(WaitFor([] { return Get("/healthz").status == 200; }, 20000)) << Log();
        else
            ASSERT_TRUE(WaitFor([] { return Get("/api/v1/events").status == 200; }, 20000)) << Log();
    }

    static void TearDownTestSuite() {
        Terminate(daemon_);
        delete sim_;
        delete dir_;
        extraConfig_.clear();
        extraRemote_.clear();
        beforeStart_ = nullptr;
    }

    static QString Path(const char* name) { return dir_->filePath(QLatin1String(name)); }
    static std::string Log() { return ReadAll(Path("vesperod.err")).toStdString(); }

    static HttpReply Request(const std::string& method, const std::string& path, const std::string& body = {},
                             const std::string& headers = {}, const char* from = "127.0.0.1") {
        const int fd = Connect(httpPort_, from);
        if (fd < 0) return {};
        std::string request = method + " " + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + headers;
        if (!body.empty() || method == "POST")
            request += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
        request += "\r\n" + body;
        SendAll(fd, request);
        HttpReply r = ReadReply(fd);
        close(fd);
        return r;
    }
    static HttpReply Get(const std::string& path) { return Request("GET", path); }

    // One NUT request over the NUT port, its answer line.
    static std::string Nut(const std::string& line) {
        const int fd = Connect(nutPort_);
        if (fd < 0) return {};
        SendAll(fd, line + "\n");
        std::string answer = ReadUntil(fd, [](const std::string& t) { return t.find('\n') != std::string::npos; }, 5000);
        close(fd);
        return answer.substr(0, answer.find('\n'));
    }

    static QTemporaryDir* dir_;
    static QByteArray extraConfig_;            // more [server] settings, for fixtures of their own
    static void (*beforeStart_)();             // runs once the folder is made, before the service
    static QString extraRemote_;               // ", host:port" of more NUT servers to show
    static testsupport::SimProcess* sim_;
    static pid_t daemon_;
    static quint16 nutPort_, httpPort_;
};

QTemporaryDir* WebE2e::dir_ = nullptr;
QByteArray WebE2e::extraConfig_;
void (*WebE2e::beforeStart_)() = nullptr;
QString WebE2e::extraRemote_;
testsupport::SimProcess* WebE2e::sim_ = nullptr;
pid_t WebE2e::daemon_ = -1;
quint16 WebE2e::nutPort_ = 0;
quint16 WebE2e::httpPort_ = 0;

TEST_F(WebE2e, ServesTheUnitAsTypedJsonAndPushesItsChanges) {
    ASSERT_TRUE(WaitFor([] { return Get("/api/v1/ups/vespero0").Json()["state"].toObject()["status"].toString() == "OL CHRG"; }, 15000));
    const HttpReply all = Get("/api/v1/ups");
    EXPECT_EQ(all.status, 200);
    EXPECT_EQ(all.Header("Content-Type"), "application/json");
    const QJsonObject unit = all.Json()["units"].toArray().at(0).toObject();
    EXPECT_EQ(unit["name"].toString(), "vespero0");
    const QJsonObject vars = unit["variables"].toObject();
    EXPECT_TRUE(vars["battery.voltage"].isDouble());
    EXPECT_TRUE(vars["ups.status"].isString());
    EXPECT_TRUE(vars["device.model"].isString());
    EXPECT_EQ(unit["state"].toObject()["colour"].toString(), "green");
    EXPECT_FALSE(unit["gauges"].toArray().isEmpty());
    EXPECT_TRUE(unit["commands"].toArray().contains(QJsonValue("test.battery.start")));

    EXPECT_EQ(Get("/api/v1/ups/nosuch").status, 404);
    // Unit names match without regard to case, as on the NUT side; the answer spells it as configured.
    EXPECT_EQ(Get("/api/v1/ups/VESPERO0").Json()["name"].toString(), "vespero0");
    EXPECT_EQ(Get("/api/v1/ups/Vespero0/history?quantity=battery.voltage").Json()["unit"].toString(), "vespero0");
    EXPECT_EQ(Get("/api/v1/ups/nosuch/history").status, 404);
    const HttpReply history = Get("/api/v1/ups/vespero0/history?quantity=battery.voltage");
    EXPECT_EQ(history.status, 200);
    EXPECT_TRUE(history.Json()["series"].toObject()["battery.voltage"].toObject()["max"].isArray()) << history.body;
    EXPECT_EQ(Get("/api/v1/ups/vespero0/history?from=x").status, 400);
    EXPECT_EQ(Get("/api/v1/ups/vespero0/history?quantity=ups.serial").status, 400);
    const HttpReply page = Get("/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.Header("Content-Type").rfind("text/html", 0), 0u);
    EXPECT_FALSE(page.Header("Content-Security-Policy").empty());

    // A stream gets the unit at once, then its change to battery within the refreshes.
    const int stream = Connect(httpPort_);
    ASSERT_GE(stream, 0);
    SendAll(stream, "GET /api/v1/stream HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const std::string start = ReadUntil(stream, [](const std::string& t) { return t.find("\"OL CHRG\"") != std::string::npos; }, 5000);
    EXPECT_NE(start.find("Content-Type: text/event-stream"), std::string::npos) << start;
    WriteFile(Path("ctl"), "state=16\nbattery=0\nsilent=0\n");
    const std::string onBattery = ReadUntil(stream, [](const std::string& t) { return t.find("\"OB DISCHRG\"") != std::string::npos; }, 10000);
    EXPECT_NE(onBattery.find("event: ups\ndata: {"), std::string::npos);
    EXPECT_NE(onBattery.find("\"colour\":\"amber\""), std::string::npos);
    // ... and the event that the state changed.
    const std::string event = onBattery + ReadUntil(stream, [&](const std::string& t) { return (onBattery + t).find("event: event\ndata: {") != std::string::npos; }, 5000);
    EXPECT_NE(event.find("event: event\ndata: {"), std::string::npos);
    close(stream);

    // A silent unit reads as a lost link, with the time it was lost.
    WriteFile(Path("ctl"), "state=2\nbattery=0\nsilent=1\n");
    EXPECT_TRUE(WaitFor([] {
        const QJsonObject s = Get("/api/v1/ups/vespero0").Json()["state"].toObject();
        return s["linkLost"].toBool() && s["since"].isDouble() && s["colour"].toString() == "red";
    }, 15000));
    WriteFile(Path("ctl"), "state=2\nbattery=0\nsilent=0\n");
    EXPECT_TRUE(WaitFor([] { return Get("/api/v1/ups/vespero0").Json()["state"].toObject()["since"].isNull(); }, 15000));
}

// A reload asks with the tag it has and gets 304; a browser that takes gzip gets the copy made at
// build time, which unpacks to the very bytes of the plain one.
TEST_F(WebE2e, AssetsCarryAnEtagAndGoCompressed) {
    for (const char* path : {"/", "/assets/dashboard.js", "/assets/dashboard.css"}) {
        SCOPED_TRACE(path);
        const HttpReply plain = Get(path);
        ASSERT_EQ(plain.status, 200);
        const std::string tag = plain.Header("ETag");
        ASSERT_TRUE(tag.size() > 2 && tag.front() == '"' && tag.back() == '"') << tag;
        EXPECT_TRUE(plain.Header("Content-Encoding").empty());
        EXPECT_EQ(plain.Header("Vary"), "Accept-Encoding");

        const HttpReply again = Request("GET", path, {}, "If-None-Match: \"old\", " + tag + "\r\n");
        EXPECT_EQ(again.status, 304);
        EXPECT_TRUE(again.body.empty());
        EXPECT_EQ(again.Header("ETag"), tag);
        EXPECT_EQ(Request("GET", path, {}, "If-None-Match: \"old\"\r\n").body, plain.body);

        const HttpReply packed = Request("GET", path, {}, "Accept-Encoding: deflate, gzip;q=0.8, br\r\n");
        ASSERT_EQ(packed.status, 200);
        EXPECT_EQ(packed.Header("Content-Encoding"), "gzip");
        EXPECT_NE(packed.Header("ETag"), tag);  // another representation, another tag
        EXPECT_LT(packed.body.size(), plain.body.size() / 2);
        EXPECT_EQ(Gunzip(packed.body), plain.body);
        EXPECT_EQ(Request("GET", path, {}, "Accept-Encoding: gzip\r\nIf-None-Match: " + packed.Header("ETag") + "\r\n").status, 304);
        // The plain tag does not stand for the compressed bytes, nor the other way round.
        EXPECT_EQ(Request("GET", path, {}, "Accept-Encoding: gzip\r\nIf-None-Match: " + tag + "\r\n").status, 200);
        EXPECT_TRUE(Request("GET", path, {}, "Accept-Encoding: gzip;q=0\r\n").Header("Content-Encoding").empty());
    }
}

// The NUT exporter's per-unit path: a lost link fails that unit's scrape, so Prometheus's own up
// for it drops, while /metrics keeps answering and says why.
TEST_F(WebE2e, UpsMetricsFailsTheScrapeOfALostLink) {
    auto scrape = [] { return Get("/ups_metrics?ups=vespero0"); };
    ASSERT_TRUE(WaitFor([&] { return scrape().status == 200; }, 15000)) << scrape().body;
    const HttpReply live = scrape();
    EXPECT_EQ(live.Header("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
    EXPECT_NE(live.body.find("network_ups_tools_battery_voltage{ups=\"vespero0\"} "), std::string::npos) << live.body;
    EXPECT_NE(live.body.find("network_ups_tools_input_voltage_nominal{ups=\"vespero0\"} 230\n"), std::string::npos);
    EXPECT_NE(live.body.find("network_ups_tools_ups_status{ups=\"vespero0\",flag=\"OL\"} 1"), std::string::npos);
    EXPECT_EQ(Get("/api/v1/ups/vespero0").Json()["variables"].toObject()["input.voltage.nominal"].toInt(), 230);
    // One local unit: the name may be left out, and it matches without regard to case.
    EXPECT_NE(Get("/ups_metrics").body.find("network_ups_tools_ups_load{ups=\"vespero0\"} "), std::string::npos);
    EXPECT_EQ(Get("/ups_metrics?ups=VESPERO0").status, 200);
    EXPECT_EQ(Get("/ups_metrics?ups=nosuch").status, 404);
    // Another server's units are not this server's to export.
    EXPECT_EQ(Get("/ups_metrics?ups=vespero0%40127.0.0.1%3A" + std::to_string(nutPort_)).status, 404);
    EXPECT_EQ(Request("POST", "/ups_metrics?ups=vespero0", "{}").status, 405);

    WriteFile(Path("ctl"), "state=2\nbattery=0\nsilent=1\n");
    EXPECT_TRUE(WaitFor([&] { return scrape().status == 503; }, 15000)) << scrape().body;
    EXPECT_EQ(scrape().body.find("network_ups_tools_"), std::string::npos);
    const HttpReply all = Get("/metrics");
    EXPECT_EQ(all.status, 200);
    EXPECT_NE(all.body.find("vesperod_ups_link_lost{ups=\"vespero0\"} 1"), std::string::npos) << all.body;
    WriteFile(Path("ctl"), "state=2\nbattery=0\nsilent=0\n");
    EXPECT_TRUE(WaitFor([&] { return scrape().status == 200; }, 15000));
}

TEST_F(WebE2e, ShowsTheUnitsOfOtherNutServers) {
    const std::string remote = "/api/v1/ups/vespero0%40127.0.0.1%3A" + std::to_string(nutPort_);
    ASSERT_TRUE(WaitFor([&] { return Get(remote).Json()["state"].toObject()["status"].toString() == "OL CHRG"; }, 15000))
        << Get("/api/v1/ups").body;
    const QJsonObject unit = Get(remote).Json();
    EXPECT_TRUE(unit["remote"].toBool());
    EXPECT_EQ(unit["state"].toObject()["text"].toString(), "On line");
    EXPECT_TRUE(unit["variables"].toObject()["battery.voltage"].isDouble());
    EXPECT_TRUE(unit["commands"].toArray().isEmpty());
    // A server that cannot be reached is shown as such, with the reason.
    const QJsonObject gone = Get("/api/v1/ups/127.0.0.1:1").Json();
    EXPECT_TRUE(gone["state"].toObject()["stale"].toBool()) << Get("/api/v1/ups").body;
    EXPECT_TRUE(gone["state"].toObject()["text"].toString().startsWith("No data: "));
    // Neither counts in this server's own health or metrics.
    EXPECT_EQ(Get("/healthz").Json()["units"].toInt(), 1);
    EXPECT_EQ(Get("/metrics").body.find("127.0.0.1:"), std::string::npos);
}

TEST_F(WebE2e, CommandsNeedALoginItsCsrfTokenAndTheRight) {
    EXPECT_EQ(Request("POST", "/api/v1/login", R"({"user":"admin","password":"wrong"})").status, 401);
    EXPECT_EQ(Request("POST", "/api/v1/login", "not json").status, 400);
    const HttpReply login = Request("POST", "/api/v1/login", R"({"user":"admin","password":"s3cret"})");
    ASSERT_EQ(login.status, 200) << login.body;
    const std::string cookie = login.Header("Set-Cookie");
    EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
    EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
    EXPECT_NE(cookie.find("Max-Age="), std::string::npos);
    const std::string session = "Cookie: " + cookie.substr(0, cookie.find(';')) + "\r\n";
    const std::string csrf = login.Json()["csrf"].toString().toStdString();
    EXPECT_EQ(Request("GET", "/api/v1/session", {}, session).Json()["user"].toString(), "admin");

    const std::string order = R"({"command":"test.battery.start"})";
    const std::string path = "/api/v1/ups/vespero0/command";
    auto testFrames = [&] { return ReadAll(Path("frames")).count(QLatin1String("80 62 30 30 30 30 30 31 41 32")); };
    const int before = testFrames();
    EXPECT_EQ(Request("POST", path, order).status, 401);
    EXPECT_EQ(Request("POST", path, order, session).status, 403);
    EXPECT_EQ(Request("POST", path, order, session + "X-CSRF-Token: " + std::string(64, '0') + "\r\n").status, 403);
    EXPECT_EQ(Request("GET", path, {}, session).status, 405);
    EXPECT_EQ(Request("POST", "/api/v1/ups/vespero0/command", R"({"command":"no.such"})",
                      session + "X-CSRF-Token: " + csrf + "\r\n").status, 404);
    EXPECT_EQ(testFrames(), before);

    // The unit's name in any case reaches the same unit.
    const HttpReply queued = Request("POST", "/api/v1/ups/VESPERO0/command", order, session + "X-CSRF-Token: " + csrf + "\r\n");
    ASSERT_EQ(queued.status, 202) << queued.body;
    const std::string id = queued.Json()["id"].toString().toStdString();
    EXPECT_TRUE(WaitFor([&] { return testFrames() == before + 1; }, 10000));
    EXPECT_TRUE(WaitFor([&] { return Get("/api/v1/commands/" + id).Json()["status"].toString() == "SUCCESS"; }, 10000));
    EXPECT_EQ(Get("/api/v1/commands/nosuch").status, 404);

    // A user without the right is refused, and nothing reaches the unit.
    const HttpReply viewer = Request("POST", "/api/v1/login", R"({"user":"viewer","password":"look"})");
    ASSERT_EQ(viewer.status, 200);
    const std::string viewerCookie = viewer.Header("Set-Cookie");
    EXPECT_EQ(Request("POST", path, order,
                      "Cookie: " + viewerCookie.substr(0, viewerCookie.find(';')) + "\r\nX-CSRF-Token: " +
                          viewer.Json()["csrf"].toString().toStdString() + "\r\n").status, 403);

    // Every step is in the events, with the user and the address.
    bool login_seen = false, success_seen = false, denied_seen = false;
    WaitFor([&] {
        for (const QJsonValue v : Request("GET", "/api/v1/events", {}, session).Json()["events"].toArray()) {
            const QJsonObject e = v.toObject();
            login_seen |= e["text"] == "web login" && e["user"] == "admin" && e["peer"] == "127.0.0.1";
            success_seen |= e["text"] == "test.battery.start: SUCCESS" && e["user"] == "admin" && e["unit"] == "vespero0";
            denied_seen |= e["text"] == "test.battery.start: ACCESS-DENIED" && e["user"] == "viewer";
        }
        return login_seen && success_seen && denied_seen;
    }, 5000);
    EXPECT_TRUE(login_seen && success_seen && denied_seen) << login_seen << success_seen << denied_seen;
    // Who and from where is not for anonymous readers.
    const QJsonArray anonymous = Get("/api/v1/events").Json()["events"].toArray();
    EXPECT_FALSE(anonymous.isEmpty());
    for (const QJsonValue v : anonymous)
        EXPECT_TRUE(v["user"].toString().isEmpty() && v["peer"].toString().isEmpty()) << v["text"].toString().toStdString();
    EXPECT_NE(Log().find("web command vespero0 test.battery.start by \"admin\" from 127.0.0.1"), std::string::npos);

    // Logging out ends the session.
    EXPECT_EQ(Request("POST", "/api/v1/logout", {}, session + "X-CSRF-Token: " + csrf + "\r\n").status, 200);
    EXPECT_EQ(Request("POST", path, order, session + "X-CSRF-Token: " + csrf + "\r\n").status, 401);

    // Guessing from an address never locks the right password out, there or anywhere else.
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(Request("POST", "/api/v1/login", R"({"user":"admin","password":"guess"})", {}, "127.0.0.2").status, 401);
    EXPECT_EQ(Request("POST", "/api/v1/login", R"({"user":"admin","password":"s3cret"})", {}, "127.0.0.2").status, 200);
    EXPECT_EQ(Request("POST", "/api/v1/login", R"({"user":"admin","password":"s3cret"})").status, 200);
}

// From the victim's side: while its own address sends wrong passwords as fast as the answers
// come, on several connections at once, the owner's right one is let in, and every guess is
// answered as a wrong password, never refused unchecked.
TEST_F(WebE2e, AWrongPasswordFloodFromTheOwnersAddressLocksNobodyOut) {
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, other{0};
    std::vector<std::thread> flood;
    for (int i = 0; i < 4; ++i)
        flood.emplace_back([&] {
            while (!stop) {
                const int status = Request("POST", "/api/v1/login", R"({"user":"admin","password":"guess"})", {}, "127.0.0.5").status;
                ++(status == 401 ? wrong : other);
            }
        });
    EXPECT_TRUE(WaitFor([&] { return wrong >= 20; }, 10000));
    const int before = wrong;
    EXPECT_EQ(Request("POST", "/api/v1/login", R"({"user":"admin","password":"s3cret"})", {}, "127.0.0.5").status, 200);
    EXPECT_TRUE(WaitFor([&] { return wrong > before; }, 10000)) << "the flood went on";
    stop = true;
    for (std::thread& t : flood) t.join();
    EXPECT_EQ(other, 0);
}

TEST_F(WebE2e, HostileRequestsGetClearErrorsWhileTheNutSideAnswers) {
    auto raw = [](const std::string& bytes) {
        const int fd = Connect(httpPort_);
        SendAll(fd, bytes);
        const HttpReply r = ReadReply(fd);
        close(fd);
        return r;
    };
    EXPECT_EQ(raw("BLAH\r\n\r\n").status, 400);
    EXPECT_EQ(raw("GET / HTTP/1.1\r\nX-Big: " + std::string(64 * 1024, 'a') + "\r\n\r\n").status, 431);
    EXPECT_EQ(raw("POST /api/v1/login HTTP/1.1\r\nContent-Length: 10000000\r\n\r\n").status, 413);
    EXPECT_EQ(Request("DELETE", "/api/v1/ups").status, 405);
    EXPECT_EQ(Request("DELETE", "/api/v1/ups").Header("Allow"), "GET, HEAD");
    EXPECT_EQ(Get("/no/such/page").status, 404);
    EXPECT_EQ(Get("/assets/../../etc/passwd").status, 404);
    EXPECT_EQ(Get("/api/v1/ups/%zz").status, 404);

    // A client that sends half its headers and stops gets 408 once its time is up.
    const int slow = Connect(httpPort_);
    SendAll(slow, "GET /api/v1/ups HTTP/1.1\r\nHost: localhost\r\n");
    EXPECT_EQ(ReadReply(slow, 10000).status, 408);
    close(slow);

    // A thousand live dashboards: each gets its stream, one more is turned away, and NUT clients
    // are answered meanwhile.
    // (ten to an address, within the cap per address)
    std::vector<int> streams;
    for (int i = 0; i < 1000; ++i) {
        const std::string from = "127.0.1." + std::to_string(i % 100 + 1);
        const int fd = Connect(httpPort_, from.c_str());
        ASSERT_GE(fd, 0) << i;
        SendAll(fd, "GET /api/v1/stream HTTP/1.1\r\nHost: localhost\r\n\r\n");
        streams.push_back(fd);
    }
    EXPECT_TRUE(WaitFor([] { return Get("/healthz").Json()["streams"].toInt() == 1000; }, 60000)) << Get("/healthz").body;
    EXPECT_EQ(Get("/api/v1/stream").status, 503);
    EXPECT_EQ(Nut("GET VAR vespero0 ups.status").rfind("VAR vespero0 ups.status \"OL", 0), 0u);
    int open = 0;
    for (int fd : streams)
        open += ReadUntil(fd, [](const std::string& t) { return t.find("event: ups") != std::string::npos; }, 10000)
                        .find("event: ups") != std::string::npos;
    EXPECT_EQ(open, 1000);
    EXPECT_EQ(Get("/healthz").status, 200);
    for (int fd : streams) close(fd);
    // The slots come back.
    EXPECT_TRUE(WaitFor([] {
        const int fd = Connect(httpPort_);
        SendAll(fd, "GET /api/v1/stream HTTP/1.1\r\nHost: localhost\r\n\r\n");
        const bool ok = ReadUntil(fd, [](const std::string& t) { return t.find("event: ups") != std::string::npos; }, 2000)
                            .find("200 OK") != std::string::npos;
        close(fd);
        return ok;
    }, 10000));
    QThread::msleep(500);
    int wstatus = 0;
    const pid_t gone = waitpid(daemon_, &wstatus, WNOHANG);
    EXPECT_TRUE(Get("/healthz").status == 200) << Log() << " gone " << gone << " signal " << (WIFSIGNALED(wstatus) ? WTERMSIG(wstatus) : -1) << " exit " << (WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1);
}

TEST_F(WebE2e, EventsOutliveAKilledService) {
    const HttpReply login = Request("POST", "/api/v1/login", R"({"user":"admin","password":"s3cret"})");
    ASSERT_EQ(login.status, 200) << login.head << login.body << errno;
    ASSERT_TRUE(WaitFor([] { return Get("/api/v1/events").body.find("\"web login\"") != std::string::npos; }, 5000));
    const size_t before = Get("/api/v1/events?since=0&limit=5000").Json()["events"].toArray().size();
    kill(daemon_, SIGKILL);
    testsupport::WaitExit(daemon_, 5000);
    // The history is what is tested here, not how soon the link finds the unit again.
    StartDaemon(false);
    const auto afterReply = Get("/api/v1/events?since=0&limit=5000");
    const QJsonArray after = afterReply.Json()["events"].toArray();
    EXPECT_GE(size_t(after.size()), before) << afterReply.status << " " << afterReply.body << Log();
    EXPECT_NE(Get("/api/v1/events?since=0&limit=5000").body.find("\"web login\""), std::string::npos);
}

// 127.0.0.2 floods with streams and kept-alive connections; 127.0.0.1, its neighbour, is served
// throughout, and the refusals are logged as counts, not line by line.
TEST_F(WebE2e, OneAddressCannotTakeTheWebSideFromAnother) {
    const auto twoHundred = [](int fd) {
        return ReadUntil(fd, [](const std::string& t) { return t.find("\r\n\r\n") != std::string::npos; }, 5000)
                   .rfind("HTTP/1.1 200", 0) == 0;
    };
    std::vector<int> flood;
    for (int i = 0; i < 1500; ++i) {
        const int fd = Connect(httpPort_, "127.0.0.2");
        ASSERT_GE(fd, 0) << i;
        SendAll(fd, "GET /api/v1/stream HTTP/1.1\r\nHost: localhost\r\n\r\n");
        flood.push_back(fd);
    }
    int streams = 0;
    for (int fd : flood) streams += twoHundred(fd);
    EXPECT_EQ(streams, 16);
    // Idle kept-alive connections, each after one answered request, up to the cap per address.
    std::vector<int> idle;
    int kept = 0;
    for (int i = 0; i < 2100; ++i) {
        const int fd = Connect(httpPort_, "127.0.0.2");
        ASSERT_GE(fd, 0) << i;
        SendAll(fd, "GET /healthz HTTP/1.1\r\nHost: localhost\r\n\r\n");
        idle.push_back(fd);
    }
    for (int fd : idle) kept += ReadReply(fd, 5000).status == 200;
    EXPECT_LE(kept, 64 - 16);
    EXPECT_GT(kept, 0);

    // The neighbour: its requests, its metrics and its own stream.
    EXPECT_EQ(Get("/api/v1/ups").status, 200);
    EXPECT_EQ(Get("/metrics").status, 200);
    const int mine = Connect(httpPort_);
    SendAll(mine, "GET /api/v1/stream HTTP/1.1\r\nHost: localhost\r\n\r\n");
    EXPECT_NE(ReadUntil(mine, [](const std::string& t) { return t.find("event: ups") != std::string::npos; }, 10000)
                  .find("event: ups"), std::string::npos);
    close(mine);
    EXPECT_EQ(Nut("GET VAR vespero0 ups.status").rfind("VAR vespero0 ups.status", 0), 0u);

    // The log tells of it in counts, at most a line a second.
    EXPECT_TRUE(WaitFor([] { return Log().find("web: refused ") != std::string::npos; }, 5000)) << Log();
    const std::string log = Log();
    size_t lines = 0;
    for (size_t at = log.find("web: refused "); at != std::string::npos; at = log.find("web: refused ", at + 1)) ++lines;
    EXPECT_LT(lines, 30u) << log;
    EXPECT_NE(log.find("from 127.0.0.2"), std::string::npos) << log;

    for (int fd : flood) close(fd);
    for (int fd : idle) close(fd);
    // Its slots come back once it lets go.
    EXPECT_TRUE(WaitFor([] {
        const int fd = Connect(httpPort_, "127.0.0.2");
        SendAll(fd, "GET /api/v1/stream HTTP/1.1\r\nHost: localhost\r\n\r\n");
        const bool ok = ReadUntil(fd, [](const std::string& t) { return t.find("event: ups") != std::string::npos; }, 2000)
                            .find("200 OK") != std::string::npos;
        close(fd);
        return ok;
    }, 10000));
}

// A page of another site, whether through a rebound DNS name or a form posting text/plain,
// gets nothing: not the units, not even a failed login counted against its victim's address.
TEST_F(WebE2e, ForeignHostsAndCrossSitePostsAreRefused) {
    auto raw = [](const std::string& bytes) {
        const int fd = Connect(httpPort_);
        SendAll(fd, bytes);
        const HttpReply r = ReadReply(fd);
        close(fd);
        return r;
    };
    const std::string port = std::to_string(httpPort_);
    EXPECT_EQ(raw("GET /api/v1/ups HTTP/1.1\r\nHost: evil.example:" + port + "\r\n\r\n").status, 421);
    EXPECT_EQ(raw("GET /api/v1/ups HTTP/1.1\r\nHost: localhost.evil.example\r\n\r\n").status, 421);
    EXPECT_EQ(raw("GET /api/v1/stream HTTP/1.1\r\nHost: evil.example\r\n\r\n").status, 421);
    EXPECT_EQ(raw("GET /api/v1/ups HTTP/1.1\r\nHost: 192.0.2.1\r\n\r\n").status, 421);
    EXPECT_EQ(raw("GET /api/v1/ups HTTP/1.1\r\n\r\n").status, 400);
    for (const std::string& host : std::vector<std::string>{"localhost", "LocalHost:" + port, "127.0.0.1:" + port, "[::1]:" + port, "ups.localhost"})
        EXPECT_EQ(raw("GET /api/v1/ups HTTP/1.1\r\nHost: " + host + "\r\n\r\n").status, 200) << host;
    EXPECT_EQ(raw("GET /api/v1/ups HTTP/1.0\r\n\r\n").status, 200);

    // Ten form posts of a wrong password count for nothing; the owner then logs in.
    for (int i = 0; i < 10; ++i) {
        const std::string body = R"({"user":"admin","password":"guess"})";
        EXPECT_EQ(raw("POST /api/v1/login HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/plain\r\nContent-Length: " +
                      std::to_string(body.size()) + "\r\n\r\n" + body).status, 415);
    }
    EXPECT_EQ(raw("POST /api/v1/logout HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n").status, 415);
    const std::string right = R"({"user":"admin","password":"s3cret"})";
    EXPECT_EQ(raw("POST /api/v1/login HTTP/1.1\r\nHost: localhost\r\nContent-Type: Application/JSON; charset=utf-8\r\n"
                  "Content-Length: " + std::to_string(right.size()) + "\r\n\r\n" + right).status, 200);
}

// Failed logins are one event per address and minute, the rest counted into the next; the user
// names tried are cut short. Runs past the minute to see that next one.
TEST_F(WebE2e, FailedLoginsAreOneEventPerAddressAMinute) {
    const HttpReply login = Request("POST", "/api/v1/login", R"({"user":"admin","password":"s3cret"})");
    ASSERT_EQ(login.status, 200);
    const std::string cookie = login.Header("Set-Cookie");
    const std::string session = "Cookie: " + cookie.substr(0, cookie.find(';')) + "\r\n";
    const std::string longUser(3000, 'x');
    for (int i = 0; i < 8; ++i)
        Request("POST", "/api/v1/login", "{\"user\":\"" + longUser + "\",\"password\":\"guess\"}", {}, "127.0.0.3");
    const auto mine = [&] {
        QJsonArray out;
        for (const QJsonValue v : Request("GET", "/api/v1/events?since=0&limit=5000", {}, session).Json()["events"].toArray())
            if (v["kind"] == "login" && v["peer"] == "127.0.0.3") out.append(v);
        return out;
    };
    ASSERT_TRUE(WaitFor([&] { return mine().size() == 1; }, 5000)) << mine().size();
    EXPECT_EQ(mine().at(0)["text"].toString(), "web login failed");
    EXPECT_EQ(mine().at(0)["user"].toString().size(), 64);
    ASSERT_TRUE(WaitFor([&] { return mine().size() == 2; }, 75000)) << Log();
    const QString summary = mine().at(1)["text"].toString();
    EXPECT_TRUE(summary.startsWith("web login failed 7 times since ")) << summary.toStdString();
    EXPECT_LE(summary.size(), 256);
}

// Rows are written as each minute ends: a kill -9 just after a minute boundary loses nothing of
// the minute before it. Waits for that boundary, so runs up to a minute and a bit.
TEST_F(WebE2e, HistoryLosesAtMostTheRunningMinuteOnKill9) {
    const qint64 boundary = (QDateTime::currentSecsSinceEpoch() / 60 + 1) * 60;
    ASSERT_TRUE(WaitFor([&] { return QDateTime::currentSecsSinceEpoch() >= boundary + 2; }, 70000));
    kill(daemon_, SIGKILL);
    testsupport::WaitExit(daemon_, 5000);
    history::Store reader({}, {});
    ASSERT_TRUE(reader.OpenForReading(Path("Tralvane/history.sqlite")));
    const auto rows = reader.Samples("vespero0", boundary - 60, boundary, 60);
    ASSERT_EQ(rows.size(), 1u) << "the minute before the kill is lost";
    EXPECT_GT(rows[0].stats[0].count, 0);
    reader.Close();
    StartDaemon(false);
}

// Timeouts far shorter than usual, and a stream held open for more than three times the longest
// of them and past a heartbeat: it carries comments and pings, and an event at its very end,
// while a connection idle for as long beside it is closed.
// A NUT server on loopback whose unit "big" has 10,000 variables (one of them 1,000 bytes long)
// and whose unit "wide" has 300 of 200 bytes each. Answers every round of questions alike.
class FakeNut {
public:
    FakeNut() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 4);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~FakeNut() {
        stop_ = true;
        thread_.join();
        close(listener_);
    }
    quint16 port() const { return port_; }
    int bigRounds() const { return bigRounds_; }

private:
    static std::string Answer(const std::string& line) {
        if (line == "LIST UPS")
            return "BEGIN LIST UPS\nUPS big \"many\"\nUPS wide \"long\"\nEND LIST UPS\n";
        std::string out = "BEGIN " + line + "\n";
        char name[32];
        if (line == "LIST VAR big") {
            out += "VAR big ups.status \"OL\"\n";
            out += "VAR big device.long \"" + std::string(1000, 'L') + "\"\n";
            // Short ones first, so that the count, not the byte budget, is what stops them.
            for (int i = 0; i < 10000; ++i) {
                std::snprintf(name, sizeof name, "x.%05d", i);
                out += "VAR big " + std::string(name) + " \"" + (i < 600 ? "1" : std::string(60, 'v')) + "\"\n";
            }
        } else if (line == "LIST VAR wide") {
            for (int i = 0; i < 300; ++i) {
                std::snprintf(name, sizeof name, "w.%03d", i);
                out += "VAR wide " + std::string(name) + " \"" + std::string(200, 'w') + "\"\n";
            }
        } else {
            return "ERR UNKNOWN-UPS\n";
        }
        return out + "END " + line + "\n";
    }
    void Run() {
        std::vector<std::pair<int, std::string>> clients;
        while (!stop_) {
            std::vector<pollfd> fds{{listener_, POLLIN, 0}};
            for (auto& c : clients) fds.push_back({c.first, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 100) <= 0) continue;
            if (fds[0].revents & POLLIN) clients.emplace_back(accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC), "");
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
                auto& [fd, text] = clients[i - 1];
                char buffer[4096];
                const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
                if (n <= 0) {
                    close(fd);
                    fd = -1;
                    continue;
                }
                text.append(buffer, size_t(n));
                for (size_t end; (end = text.find('\n')) != std::string::npos;) {
                    const std::string line = text.substr(0, end);
                    text.erase(0, end + 1);
                    SendAll(fd, Answer(line));
                    if (line == "LIST VAR big") ++bigRounds_;
                }
            }
            std::erase_if(clients, [](const auto& c) { return c.first < 0; });
        }
        for (auto& c : clients) close(c.first);
    }
    int listener_ = -1;
    quint16 port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> bigRounds_{0};
    std::thread thread_;
};

class WebBigRemote : public WebE2e {
protected:
    static void SetUpTestSuite() {
        fake_ = new FakeNut();
        extraRemote_ = QStringLiteral(", 127.0.0.1:%1").arg(fake_->port());
        WebE2e::SetUpTestSuite();
    }
    static void TearDownTestSuite() {
        WebE2e::TearDownTestSuite();
        delete fake_;
    }
    static FakeNut* fake_;
};
FakeNut* WebBigRemote::fake_ = nullptr;

// A remote unit is kept to 500 variables and 20 KiB, its values to 256 bytes, each cut logged
// once; and a dashboard that keeps reading keeps its stream whatever size another unit is.
TEST_F(WebBigRemote, RemoteUnitsAreBoundedAndNeverCloseAHealthyStream) {
    const int stream = Connect(httpPort_);
    ASSERT_GE(stream, 0);
    SendAll(stream, "GET /api/v1/stream HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const std::string big = "/api/v1/ups/big%40127.0.0.1%3A" + std::to_string(fake_->port());
    ASSERT_TRUE(WaitFor([&] { return Get(big).status == 200; }, 15000)) << Get("/api/v1/ups").body;
    // Three whole rounds of questions after the first answer: the cuts have each been met thrice.
    const int seen = fake_->bigRounds();
    std::string text;
    while (fake_->bigRounds() < seen + 3) {
        const std::string more = ReadUntil(stream, [](const std::string&) { return false; }, 500);
        text += more;
        pollfd p{stream, POLLIN, 0};
        if (more.empty() && poll(&p, 1, 0) > 0) break;  // readable yet nothing: closed
        ASSERT_LT(text.size(), size_t(64) << 20);
    }
    text += ReadUntil(stream, [](const std::string& t) { return t.find("event: ping") != std::string::npos; }, 7000);
    // Still open: the unit's messages came, and the ping after them.
    EXPECT_NE(text.find("\"name\":\"big@127.0.0.1:"), std::string::npos);
    EXPECT_NE(text.rfind("event: ping"), std::string::npos);
    EXPECT_GT(text.rfind("event: ping"), text.find("\"name\":\"big@127.0.0.1:"));
    pollfd p{stream, POLLIN, 0};
    char c;
    EXPECT_FALSE(poll(&p, 1, 0) > 0 && recv(stream, &c, 1, MSG_PEEK) == 0) << "the stream was closed";
    close(stream);

    const QJsonObject vars = Get(big).Json()["variables"].toObject();
    EXPECT_EQ(vars.size(), 500);
    EXPECT_EQ(vars["device.long"].toString().size(), 256);
    EXPECT_EQ(vars["ups.status"].toString(), "OL");
    EXPECT_TRUE(vars.contains("x.00497"));
    EXPECT_FALSE(vars.contains("x.00498"));
    const QJsonObject wide = Get("/api/v1/ups/wide%40127.0.0.1%3A" + std::to_string(fake_->port())).Json()["variables"].toObject();
    EXPECT_EQ(wide.size(), 20 * 1024 / 205);  // name and value: 5 + 200 bytes each
    const std::string log = Log();
    for (const char* cut : {"big@127.0.0.1:", "variables past the first 500 left out", "values cut to 256 bytes",
                            "variables past 20 KiB of names and values left out"})
        EXPECT_NE(log.find(cut), std::string::npos) << cut << "\n" << log;
    auto count = [&](const std::string& what) {
        size_t n = 0;
        for (size_t at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("variables past the first 500 left out"), 1u);
    EXPECT_EQ(count("values cut to 256 bytes"), 1u);
    EXPECT_EQ(count("variables past 20 KiB"), 1u);
    EXPECT_EQ(count("too large"), 0u);
}

class WebShortTimeouts : public WebE2e {
protected:
    static void SetUpTestSuite() {
        extraConfig_ = "http_idle_timeout = 3\nhttp_write_timeout = 3\n";
        WebE2e::SetUpTestSuite();
    }
};

TEST_F(WebShortTimeouts, StreamsOutliveEveryTimeoutAndCarryHeartbeats) {
    const int stream = Connect(httpPort_);
    ASSERT_GE(stream, 0);
    SendAll(stream, "GET /api/v1/stream HTTP/1.1\r\nHost: localhost\r\n\r\n");
    const int idle = Connect(httpPort_);
    SendAll(idle, "GET /healthz HTTP/1.1\r\nHost: localhost\r\n\r\n");
    ASSERT_EQ(ReadReply(idle).status, 200);

    // 3 x 3 s and a 15 s heartbeat: 17 s.
    std::string text;
    QElapsedTimer held;
    held.start();
    while (held.elapsed() < 17000) {
        const std::string more = ReadUntil(stream, [](const std::string&) { return false; }, 500);
        text += more;
        pollfd p{stream, POLLIN, 0};
        if (more.empty() && poll(&p, 1, 0) > 0) {
            char c;
            if (recv(stream, &c, 1, MSG_PEEK) <= 0) break;  // closed
        }
    }
    const auto count = [&text](const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_GE(count(": keepalive\n\n"), 1u);
    EXPECT_GE(count("event: ping\ndata: "), 3u);
    char c;
    EXPECT_EQ(recv(idle, &c, 1, MSG_DONTWAIT), 0) << "the idle connection is still open";
    close(idle);

    WriteFile(Path("ctl"), "state=16\nbattery=0\nsilent=0\n");
    const std::string end = ReadUntil(stream, [](const std::string& t) { return t.find("\"OB DISCHRG\"") != std::string::npos; }, 15000);
    EXPECT_NE(end.find("event: ups\ndata: {"), std::string::npos) << "stream cut after " << held.elapsed() << " ms";
    WriteFile(Path("ctl"), "state=2\nbattery=0\nsilent=0\n");
    close(stream);
}

// A year of history and clients asking for all of it, more of them than there are threads to
// read: the live answers (units, metrics) come back before the history queries are through.
class WebLongHistory : public WebE2e {
protected:
    static void SetUpTestSuite() {
        beforeStart_ = [] {
            // The store makes the file; minutes for the last 30 days, hours before that.
            const QString dir = Path("Tralvane");
            {
                history::Store store({}, {});
                ASSERT_TRUE(store.Open(dir));
            }
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(QDir(dir).filePath("history.sqlite").toUtf8().constData(), &db), SQLITE_OK);
            const qint64 now = QDateTime::currentSecsSinceEpoch() / 3600 * 3600;
            std::string columns = "unit, span, t", values = "'vespero0', s, t";
            for (const char* q : {"battery_voltage", "battery_charge", "battery_runtime", "ups_load", "ups_realpower",
                                  "input_voltage", "input_frequency", "battery_temperature"}) {
                const std::string c = q;
                columns += ", " + c + "_n, " + c + "_min, " + c + "_avg, " + c + "_max";
                values += ", 10, 1.0 + t % 7, 2.0 + t % 11, 3.0 + t % 13";
            }
            const std::string sql =
                "BEGIN; WITH RECURSIVE h(t, s) AS (SELECT " + std::to_string(now - 365 * 86400) + ", 3600 UNION ALL SELECT t + 3600, 3600 FROM h WHERE t < " +
                std::to_string(now - 30 * 86400 - 3600) + ") INSERT INTO samples(" + columns + ") SELECT " + values + " FROM h;" +
                "WITH RECURSIVE m(t, s) AS (SELECT " + std::to_string(now - 30 * 86400) + ", 60 UNION ALL SELECT t + 60, 60 FROM m WHERE t < " +
                std::to_string(now - 60) + ") INSERT INTO samples(" + columns + ") SELECT " + values + " FROM m; COMMIT;";
            char* error = nullptr;
            EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
            sqlite3_free(error);
            sqlite3_close(db);
        };
        WebE2e::SetUpTestSuite();
    }
};

TEST_F(WebLongHistory, HistoryReadsNeverHoldUpTheLiveAnswers) {
    const std::string whole = "/api/v1/ups/vespero0/history?from=-9223372036854775807&to=9223372036854775807&step=60";
    // The overflowing range is clipped and capped, not a million rows.
    const HttpReply year = Get(whole);
    ASSERT_EQ(year.status, 200) << year.body.substr(0, 200);
    const QJsonObject y = year.Json();
    EXPECT_LE(y["t"].toArray().size(), 20000);
    EXPECT_GT(y["t"].toArray().size(), 1000);
    EXPECT_LE(y["to"].toDouble() - y["from"].toDouble(), 367.0 * 86400);
    EXPECT_EQ(Get("/api/v1/ups/vespero0/history?from=1&to=0").Json()["error"].toString(), "from is after to");
    EXPECT_EQ(Get("/api/v1/ups/vespero0/history?step=0").Json()["error"].toString(), "step must be above 0");
    EXPECT_EQ(Get("/api/v1/ups/vespero0/history?to=99999999999999999999").Json()["error"].toString(), "to is out of range");
    EXPECT_EQ(Get("/api/v1/events?limit=0").Json()["error"].toString(), "limit must be above 0");
    EXPECT_EQ(Get("/api/v1/events?limit=-5").status, 400);
    EXPECT_EQ(Get("/api/v1/events?since=soon").Json()["error"].toString(),
              "since must be a whole number of milliseconds since the epoch");

    // Six year-long queries in flight, then the live side's questions; which answers first.
    std::vector<int> heavy;
    for (int i = 0; i < 6; ++i) {
        const int fd = Connect(httpPort_);
        SendAll(fd, "GET " + whole + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
        heavy.push_back(fd);
    }
    QThread::msleep(50);  // the queries are read before the live ones arrive
    std::vector<int> live;
    for (const char* path : {"/api/v1/ups", "/metrics"}) {
        const int fd = Connect(httpPort_);
        SendAll(fd, std::string("GET ") + path + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
        live.push_back(fd);
    }
    std::vector<std::string> order;
    std::vector<std::pair<int, std::string>> pending;
    for (int fd : heavy) pending.emplace_back(fd, "history");
    pending.emplace_back(live[0], "ups");
    pending.emplace_back(live[1], "metrics");
    std::map<int, std::string> got;
    QElapsedTimer t;
    t.start();
    while (!pending.empty() && t.elapsed() < 60000) {
        std::vector<pollfd> fds;
        for (const auto& [fd, name] : pending) fds.push_back({fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 200) <= 0) continue;
        for (const pollfd& p : fds) {
            if (!(p.revents & (POLLIN | POLLHUP))) continue;
            char buffer[65536];
            const ssize_t n = recv(p.fd, buffer, sizeof buffer, 0);
            if (n > 0) {
                got[p.fd].append(buffer, size_t(n));
                continue;
            }
            const auto it = std::find_if(pending.begin(), pending.end(), [&](const auto& e) { return e.first == p.fd; });
            order.push_back(it->second + (got[p.fd].rfind("HTTP/1.1 200", 0) == 0 ? "" : " (failed)"));
            pending.erase(it);
        }
    }
    for (int fd : heavy) close(fd);
    for (int fd : live) close(fd);
    ASSERT_EQ(order.size(), 8u);
    std::string seen;
    for (const std::string& o : order) seen += o + " ";
    EXPECT_EQ(std::count(order.begin(), order.end(), "history"), 6) << seen;
    EXPECT_NE(order.back(), "ups") << seen;
    EXPECT_NE(order.back(), "metrics") << seen;
    EXPECT_TRUE(std::find(order.begin(), order.end(), "ups") < order.end() - 1 &&
                std::find(order.begin(), order.end(), "metrics") < order.end() - 1) << seen;
}

}  // namespace

namespace {

// With a certificate and key configured the web side speaks HTTPS only, and its cookie is Secure.
TEST(WebTls, ServesHttpsFromTheConfiguredCertificate) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString cert = dir.filePath(QStringLiteral("cert.pem")), key = dir.filePath(QStringLiteral("key.pem"));
    const pid_t openssl = Spawn(QStringLiteral("/usr/bin/openssl"),
                                {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("rsa:2048"),
                                 QStringLiteral("-nodes"), QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert,
                                 QStringLiteral("-days"), QStringLiteral("1"), QStringLiteral("-subj"), QStringLiteral("/CN=localhost")},
                                dir.filePath(QStringLiteral("openssl.err")));
    ASSERT_EQ(testsupport::WaitExit(openssl, 30000), 0);
    const QString conf = dir.filePath(QStringLiteral("vesperod.conf"));
    WriteFile(conf, "[server]\nhttp_certificate = cert.pem\nhttp_key = key.pem\n");
    WriteFile(dir.filePath(QStringLiteral("vesperod.users")), "[admin]\n  password = s3cret\n");
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_STATE_HOME", dir.path().toLocal8Bit());
    const quint16 port = FreePort();
    const pid_t daemon = Spawn(QStringLiteral(VESPEROD_PATH),
                               {QStringLiteral("--config"), conf, QStringLiteral("--listen"),
                                QStringLiteral("127.0.0.1:%1").arg(FreePort()), QStringLiteral("--http-listen"),
                                QStringLiteral("127.0.0.1:%1").arg(port)},
                               dir.filePath(QStringLiteral("vesperod.err")));
    ASSERT_GT(daemon, 0);
    const QString out = dir.filePath(QStringLiteral("curl.out"));
    auto curl = [&](const QStringList& extra) {
        QFile::remove(out);
        const pid_t pid = Spawn(QStringLiteral("/usr/bin/curl"),
                                QStringList{QStringLiteral("-sk"), QStringLiteral("-D"), QStringLiteral("-")} + extra,
                                dir.filePath(QStringLiteral("curl.err")), out);
        testsupport::WaitExit(pid, 20000);
        return ReadAll(out);
    };
    const QString base = QStringLiteral("https://127.0.0.1:%1").arg(port);
    EXPECT_TRUE(WaitFor([&] { return curl({base + QStringLiteral("/api/v1/ups")}).startsWith(QLatin1String("HTTP/1.1 200")); }, 15000))
        << ReadAll(dir.filePath(QStringLiteral("vesperod.err"))).toStdString();
    const QString login = curl({QStringLiteral("-H"), QStringLiteral("Content-Type: application/json"), QStringLiteral("-d"),
                                QStringLiteral("{\"user\":\"admin\",\"password\":\"s3cret\"}"), base + QStringLiteral("/api/v1/login")});
    EXPECT_TRUE(login.contains(QLatin1String("HttpOnly; SameSite=Strict")) && login.contains(QLatin1String("; Secure"))) << login.toStdString();
    // Plain HTTP on the TLS port is not answered as if it were secure.
    EXPECT_FALSE(curl({QStringLiteral("http://127.0.0.1:%1/api/v1/ups").arg(port)}).contains(QLatin1String("200 OK")));
    Terminate(daemon);
}

}  // namespace
