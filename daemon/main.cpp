// vesperod: the UPS link as a headless service that speaks the NUT network protocol.
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <sys/resource.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <iostream>
#include <string>
#include <utility>
#include <unistd.h>

#include "daemon/battery_settings.h"
#include "daemon/daemon_config.h"
#include "daemon/history/history_store.h"
#include "daemon/link_feed.h"
#include "daemon/mqtt/mqtt_bridge.h"
#include "daemon/nut/nut_server.h"
#include "daemon/service_manager.h"
#include "daemon/snmp/snmp_bridge.h"
#include "daemon/settings_reload.h"
#include "daemon/unit_board.h"
#include "daemon/nut/users_file.h"
#include "daemon/web/http_server.h"
#include "daemon/web/remote_nut.h"
#include "daemon/web/web_bridge.h"
#include "link/port/port_errors.h"
#include "link/device_lock.h"
#include "link/link_core.h"
#include "link/port/settings_store.h"
#include "link/ups_link.h"

namespace {

int signalPipe[2] = {-1, -1};

// Longest wait at start for every unit's first answer before clients are let in.
constexpr int kStartWaitMs = 5000;

void OnStopSignal(int signal) {
    const char c = signal == SIGHUP ? 'h' : 's';
    [[maybe_unused]] const ssize_t n = write(signalPipe[1], &c, 1);
}

QElapsedTimer steadyClock;
qint64 SteadyMs() { return steadyClock.elapsed(); }
qint64 WallMs() { return QDateTime::currentMSecsSinceEpoch(); }

// Every web dashboard holds a connection open: take the whole descriptor allowance the service
// manager grants rather than the historical 1024.
void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? 65536 : std::min<rlim_t>(limit.rlim_max, 65536);
    setrlimit(RLIMIT_NOFILE, &limit);
}

web::HttpOptions WebOptions(const nut::DaemonConfig& config) {
    web::HttpOptions options;
    for (const nut::ListenAddress& a : config.httpListen)
        options.listen.push_back({a.address.toString().toStdString(), a.port});
    options.certificateFile = config.httpCertificate.toStdString();
    options.keyFile = config.httpKey.toStdString();
    options.requestTimeoutSeconds = config.httpRequestTimeoutSeconds;
    options.idleTimeoutSeconds = config.httpIdleTimeoutSeconds;
    options.writeTimeoutSeconds = config.httpWriteTimeoutSeconds;
    options.maxStreams = size_t(config.httpMaxStreams);
    options.maxConnections = std::max<size_t>(options.maxConnections, options.maxStreams + 256);
    options.maxConnectionsPerAddress = size_t(config.httpMaxConnectionsPerAddress);
    options.maxStreamsPerAddress = size_t(config.httpMaxStreamsPerAddress);
    for (const QString& host : config.httpAllowedHosts) options.allowedHosts.push_back(host.toLower().toStdString());
    return options;
}


}  // namespace

int main(int argc, char** argv) {
    // Qt's own event loop rather than GLib's: fewer system calls per request, nothing lost for
    // a program without windows.
    qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vesperod"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VESPERO_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Serves the Vespero UPS units of this machine to Network UPS Tools clients (upsc, upsmon, ...).\n"
        "The units, their ports and bit rate come from the link settings ($XDG_CONFIG_HOME/Tralvane/Ups.ini,\n"
        "the same as the monitor window's); the server's own settings from --config. Runs in the\n"
        "foreground and logs to standard error; SIGTERM or SIGINT stop it, SIGHUP reads the settings\n"
        "and the users file again."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption configOption(
        QStringLiteral("config"),
        QStringLiteral("Server settings (default $XDG_CONFIG_HOME/Tralvane/vesperod.conf). The users file "
                       "vesperod.users is read from the same folder."),
        QStringLiteral("file"));
    const QCommandLineOption listenOption(
        QStringLiteral("listen"),
        QStringLiteral("Listen on this address instead of the configured ones (ADDR, ADDR:PORT or "
                       "[IPV6]:PORT); may be repeated."),
        QStringLiteral("address"));
    const QCommandLineOption portOption(QStringLiteral("port"),
                                        QStringLiteral("Port for addresses given without one (default 3493)."),
                                        QStringLiteral("port"));
    const QCommandLineOption hashOption(
        QStringLiteral("hash-password"),
        QStringLiteral("Read a password from standard input, print its salted hash for the users file, and exit."));
    const QCommandLineOption traceOption(
        QStringLiteral("link-trace"),
        QStringLiteral("Keep the link's trace lines (one or more per poll) on standard output; by default "
                       "they are dropped, so a service log holds only the server's own lines."));
    const QCommandLineOption httpOption(
        QStringLiteral("http-listen"),
        QStringLiteral("Serve the web dashboard, the JSON API and the Prometheus metrics on this address "
                       "instead of the configured ones (ADDR, ADDR:PORT or [IPV6]:PORT, default port 8493; "
                       "\"off\" for none); may be repeated."),
        QStringLiteral("address"));
    const QCommandLineOption checkOption(
        QStringLiteral("check-config"),
        QStringLiteral("Read the server settings (FILE, else --config's or the default) and the users file, print "
                       "every fault as FILE:LINE: reason, and exit with status 1 if there is any, else 0."));
    parser.addPositionalArgument(QStringLiteral("FILE"), QStringLiteral("The settings --check-config reads."),
                                 QStringLiteral("[FILE]"));
    parser.addOptions({configOption, listenOption, portOption, httpOption, hashOption, traceOption, checkOption});
    parser.process(app);

    if (parser.isSet(checkOption)) {
        const QStringList files = parser.positionalArguments();
        if (files.size() > 1) {
            std::fprintf(stderr, "vesperod: --check-config takes one settings file\n");
            return 2;
        }
        const bool named = !files.isEmpty() || parser.isSet(configOption);
        const QString path = !files.isEmpty() ? files[0] : named ? parser.value(configOption) : nut::DefaultConfigPath();
        const QStringList faults = nut::CheckSettings(path, named);
        for (const QString& fault : faults) std::fprintf(stderr, "%s\n", fault.toLocal8Bit().constData());
        if (faults.isEmpty()) std::printf("%s: no faults\n", path.toLocal8Bit().constData());
        return faults.isEmpty() ? 0 : 1;
    }
    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "vesperod: a settings file goes with --config or --check-config\n");
        return 2;
    }

    if (parser.isSet(hashOption)) {
        std::string password;
        std::getline(std::cin, password);
        if (!password.empty() && password.back() == '\r') password.pop_back();
        if (password.empty()) {
            std::fprintf(stderr, "vesperod: no password given on standard input\n");
            return 2;
        }
        std::printf("%s\n", nut::HashPassword(password).c_str());
        return 0;
    }

    if (!parser.isSet(traceOption)) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0) {
            std::fflush(stdout);
            dup2(null, STDOUT_FILENO);
            close(null);
        }
    }

    nut::DaemonConfig config;
    QString error;
    const bool explicitConfig = parser.isSet(configOption);
    const QString configPath = explicitConfig ? parser.value(configOption) : nut::DefaultConfigPath();
    if (!nut::LoadDaemonConfig(configPath, explicitConfig, &config, &error)) {
        nut::LogLine(error);
        return 2;
    }
    if (parser.isSet(portOption) || parser.isSet(listenOption)) {
        bool ok = true;
        uint port = 3493;
        if (parser.isSet(portOption)) port = parser.value(portOption).toUInt(&ok);
        if (!ok || port == 0 || port > 65535) {
            nut::LogLine(QStringLiteral("--port: %1 is not a port number").arg(parser.value(portOption)));
            return 2;
        }
        QStringList addresses = parser.values(listenOption);
        if (addresses.isEmpty()) {
            for (const nut::ListenAddress& a : config.listen) addresses << (a.address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(a.address.toString()) : a.address.toString());
        }
        config.listen.clear();
        for (const QString& text : addresses) {
            nut::ListenAddress a;
            if (!nut::ParseListenAddress(text, quint16(port), &a, &error)) {
                nut::LogLine(error);
                return 2;
            }
            config.listen.push_back(a);
        }
    }
    if (parser.isSet(httpOption)) {
        config.httpListen.clear();
        for (const QString& text : parser.values(httpOption)) {
            std::vector<nut::ListenAddress> some;
            if (!nut::ParseHttpListen(text, &some, &error)) {
                nut::LogLine(QStringLiteral("--http-listen: %1").arg(error));
                return 2;
            }
            config.httpListen.insert(config.httpListen.end(), some.begin(), some.end());
        }
    }
    nut::BatteryConfig battery;
    if (!nut::LoadBatteryConfig(config.path, &battery, &error)) {
        nut::LogLine(QStringLiteral("%1: %2").arg(config.path, error));
        return 2;
    }
    nut::LogLine(QStringLiteral("version %1; link settings %2; server settings %3")
                     .arg(QStringLiteral(VESPERO_VERSION), LinkSettingsLocation(),
                          config.path.isEmpty() ? QStringLiteral("(defaults)") : config.path));
    if (config.tls) nut::LogLine(nut::DescribeTls(config));
    nut::UsersFile users;
    nut::LoadUsers(config.usersPath, false, &users);

    if (pipe(signalPipe) != 0) {
        nut::LogLine(QStringLiteral("cannot create the signal pipe"));
        return 1;
    }
    // Set once the server exists; a SIGHUP before then is dropped, one before the port opens
    // waits for it.
    std::function<void()> reload;
    bool serving = false;
    bool reloadPending = false;
    QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [&] {
        char c = 's';
        [[maybe_unused]] const ssize_t n = read(signalPipe[0], &c, 1);
        if (c == 'h') {
            if (reload && serving) reload();
            else if (reload) reloadPending = true;
            return;
        }
        nut::LogLine(QStringLiteral("stopping"));
        app.quit();
    });
    struct sigaction sa {};
    sa.sa_handler = &OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    steadyClock.start();
    RaiseDescriptorLimit();
    nut::UnitBoard board(config);
    board.SetBattery(battery);
    nut::Server server(config, &board, &users, &SteadyMs);
    if (!server.Bind(&error)) {
        nut::LogLine(error);
        return 1;
    }
    // History in the state folder; without it the service still serves. Opened before the web side
    // listens, so that its first readers see the history, not an empty one.
    history::Store history({}, [](const QString& line) { nut::LogLine(line); });
    const bool historyOpen = history.Open(battery.stateDir);
    // The web side, on a thread of its own.
    web::WebBridge bridge(&board, &SteadyMs, &WallMs);
    std::unique_ptr<web::HttpServer> web;
    std::unique_ptr<web::RemoteNut> remote;
    if (!config.httpListen.empty()) {
        web::HttpOptions options = WebOptions(config);
        options.passwordChecker = server.SharedChecker();
        web = std::make_unique<web::HttpServer>(std::move(options), &bridge);
        if (historyOpen) web->SetHistoryPath(history.Path().toStdString());
        std::string webError;
        if (!web->Start(&webError)) {
            nut::LogLine(QString::fromStdString(webError));
            return 1;
        }
        for (const std::string& where : web->Bound())
            nut::LogLine(QStringLiteral("web: listening on %1%2")
                             .arg(QString::fromStdString(where),
                                  config.httpCertificate.isEmpty() ? QString() : QStringLiteral(" (HTTPS)")));
        web->SetUsers(std::make_shared<const nut::UsersFile>(users));
        bridge.Attach(web.get());
        if (!config.httpRemote.empty()) {
            remote = std::make_unique<web::RemoteNut>(config.httpRemote, &WallMs, [&bridge] { bridge.Sync(false); });
            remote->SetLog([](const std::string& line) { nut::LogLine(QString::fromStdString(line)); });
            bridge.SetRemote(remote.get());
        }
    }
    // MQTT, on a thread of its own; a broker that is missing never holds up the rest.
    mqtt::Bridge mqttBridge(&board, &users, &SteadyMs);
    mqttBridge.Configure(config.mqtt);
    // The UPS-MIB through snmpd, on a thread of its own; an snmpd that is missing holds up nothing.
    snmp::Bridge snmpBridge(&board, &SteadyMs);
    snmpBridge.Configure(config.snmp);
    reload = [&] {
        const nut::ReloadNotice notice;  // tells systemd the reload has begun, and when it is done
        const bool listenGiven = parser.isSet(portOption) || parser.isSet(listenOption);
        nut::ReloadSettings(configPath, explicitConfig, listenGiven, &config, &users, &board, &server);
        if (web) web->SetUsers(std::make_shared<const nut::UsersFile>(users));
        mqttBridge.Configure(config.mqtt);
        snmpBridge.Configure(config.snmp);
    };
    nut::LinkFeed feed(&board, &SteadyMs);
    // A client let in before the units have answered is told DATA-STALE, which a upsmon takes for
    // a lost unit (COMMBAD). The port opens once every unit has answered, or after a while
    // whatever they do: a unit that never answers must not keep the others from being served.
    QTimer startLimit;
    const auto startServing = [&] {
        if (serving) return;
        serving = true;
        startLimit.stop();
        QString listenError;
        if (!server.Listen(&listenError)) {
            nut::LogLine(listenError);
            app.exit(1);
            return;
        }
        nut::NotifyReady();
        if (std::exchange(reloadPending, false)) reload();
    };
    const auto allAnswered = [&board] {
        if (!LinkHasStarted()) return false;
        const qint64 now = SteadyMs();
        for (int i = 0; i < 4; ++i) {
            {
                auto lock = LockDevice(i);
                if (!MainUps[i].present) continue;
            }
            if (board.IsStale(board.UnitAt(i), now)) return false;
        }
        return true;
    };
    feed.SetSyncObserver([&](bool refreshed) {
        bridge.Sync(refreshed);
        mqttBridge.Sync();
        snmpBridge.Sync();
        if (!serving && allAnswered()) startServing();
    });
    startLimit.setSingleShot(true);
    QObject::connect(&startLimit, &QTimer::timeout, &app, startServing);

    QTimer historyFlush, historyFold;
    board.SetEventSink([&history](const std::string& unit, const char* kind, const std::string& text,
                                  const std::string& user, const std::string& peer) {
        history.AddEvent(unit, kind, text, user, peer);
    });
    if (web) history.SetEventObserver([&web](const history::Event& e) { web->PublishEvent(e); });
    if (historyOpen) {
        nut::LogLine(QStringLiteral("history in %1").arg(history.Path()));
        feed.SetHistory(&history);
        // Each minute's rows go to disk just after the minute ends, so that a crash or a
        // kill -9 loses at most the minute still running.
        historyFlush.setSingleShot(true);
        historyFlush.setTimerType(Qt::PreciseTimer);
        const auto nextMinute = [&historyFlush] { historyFlush.start(int(60'000 - WallMs() % 60'000 + 100)); };
        QObject::connect(&historyFlush, &QTimer::timeout, &app, [&history, nextMinute] {
            history.Flush();
            nextMinute();
        });
        nextMinute();
        // Folding goes half a day at a time; a long backlog (a service stopped for weeks)
        // is worked off a step a second rather than in one long stall.
        historyFold.setSingleShot(true);
        QObject::connect(&historyFold, &QTimer::timeout, &app, [&history, &historyFold] {
            historyFold.start(history.Maintain() ? 1000 : 3'600'000);
        });
        historyFold.start(0);
    }
    // A port missing at start is no reason to stop: a USB adapter may appear after the service
    // at boot. The unit is served as stale meanwhile and the link keeps trying.
    SetPortErrorReporter(&nut::LogPortOpenFailure);
    SetPortStatusReporter(&nut::LogPortStatus);
    SetOpenFailurePolicy(OPEN_FAILURE_RETRIES);
    SendHwnd(&feed);
    StartLinkThread();
    const nut::Watchdog watchdog;
    startLimit.start(kStartWaitMs);
    const int status = app.exec();
    nut::NotifyStopping();

    server.Close();
    mqttBridge.Stop();
    snmpBridge.Stop();
    if (web) web->Stop();
    bridge.Attach(nullptr);
    bridge.SetRemote(nullptr);
    remote.reset();
    SendHwnd(nullptr);
    StopLinkThread();
    feed.SetHistory(nullptr);
    history.Close();
    nut::LogLine(QStringLiteral("stopped"));
    return status;
}
