#include "daemon/daemon_config.h"

#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <map>

#include "daemon/nut/nut_words.h"
#include "daemon/nut/starttls.h"

namespace nut {
namespace {

constexpr quint16 kDefaultPort = 3493;

struct Entry {
    QString value;
    int line = 0;
};
using Section = std::map<QString, Entry>;

// One line of the INI file into its section; the fault, if any. Comments start with ';' or '#'
// outside double quotes; a quoted value may hold \" and \\.
QString ReadIniLine(const QString& line, int number, QString* section, std::map<QString, Section>* out) {
    QString content, value;
    bool quoted = false, wasQuoted = false, afterQuote = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted) {
            if (c == QLatin1Char('\\') && i + 1 < line.size()) {
                value += line[++i];
            } else if (c == QLatin1Char('"')) {
                quoted = false;
                afterQuote = true;
            } else {
                value += c;
            }
            continue;
        }
        if (c == QLatin1Char(';') || c == QLatin1Char('#')) break;
        if (afterQuote) {
            if (!c.isSpace()) return QStringLiteral("text after the closing quote");
            continue;
        }
        if (c == QLatin1Char('"') && content.contains(QLatin1Char('=')) &&
            content.section(QLatin1Char('='), 1).trimmed().isEmpty() && !wasQuoted) {
            quoted = wasQuoted = true;
            continue;
        }
        content += c;
    }
    if (quoted) return QStringLiteral("a quote is left open");
    content = content.trimmed();
    if (content.isEmpty()) return {};
    if (content.startsWith(QLatin1Char('['))) {
        if (!content.endsWith(QLatin1Char(']')) || content.size() < 3)
            return QStringLiteral("a section name must stand in [brackets]");
        *section = content.mid(1, content.size() - 2).trimmed();
        (*out)[*section];
        return {};
    }
    const qsizetype eq = content.indexOf(QLatin1Char('='));
    if (eq <= 0) return QStringLiteral("expected key = value, found \"%1\"").arg(content);
    if (section->isEmpty()) return QStringLiteral("setting outside a [section]");
    const QString key = content.left(eq).trimmed();
    (*out)[*section][key] = Entry{wasQuoted ? value : content.mid(eq + 1).trimmed(), number};
    return {};
}

// The file as sections of key = value, each remembering its line. A line with a fault is left out, and reading goes on to find the others.
void ReadIni(const QString& path, const QByteArray& text, std::map<QString, Section>* out, QStringList* faults) {
    QString section;
    int number = 0;
    for (const QByteArray& raw : text.split('\n')) {
        ++number;
        const QString why = ReadIniLine(QString::fromUtf8(raw), number, &section, out);
        if (!why.isEmpty()) *faults << QStringLiteral("%1:%2: %3").arg(path).arg(number).arg(why);
    }
}

class Reader {
public:
    Reader(const QString& path, const Section* section) : path_(path), section_(section) {}

    const Entry* Find(const char* key) const {
        if (!section_) return nullptr;
        const auto it = section_->find(QLatin1String(key));
        return it == section_->end() ? nullptr : &it->second;
    }

    void Int(const char* key, int low, int high, int* out, QStringList* faults) const {
        const Entry* e = Find(key);
        if (!e) return;
        bool ok = false;
        const int v = e->value.toInt(&ok);
        if (!ok || v < low || v > high) {
            *faults << QStringLiteral("%1:%2: %3 must be a whole number from %4 to %5")
                           .arg(path_).arg(e->line).arg(QLatin1String(key)).arg(low).arg(high);
            return;
        }
        *out = v;
    }

    // Every key must be one of `known`.
    void OnlyKnown(std::initializer_list<const char*> known, QStringList* faults) const {
        if (!section_) return;
        for (const auto& item : *section_) {
            const QString& key = item.first;  // a plain name: clang's lambdas cannot capture bindings
            if (std::none_of(known.begin(), known.end(), [&](const char* k) { return key == QLatin1String(k); }))
                *faults << QStringLiteral("%1:%2: unknown setting %3").arg(path_).arg(item.second.line).arg(key);
        }
    }

private:
    QString path_;
    const Section* section_;
};

bool YesNo(const QString& value, bool* out) {
    const QString v = value.toLower();
    if (v == QLatin1String("yes") || v == QLatin1String("true") || v == QLatin1String("on") || v == QLatin1String("1"))
        return *out = true, true;
    if (v == QLatin1String("no") || v == QLatin1String("false") || v == QLatin1String("off") || v == QLatin1String("0"))
        return *out = false, true;
    return false;
}

// A topic level that MQTT wildcards or separators would break.
bool PlainTopic(const QString& topic) {
    return !topic.isEmpty() && !topic.contains(QLatin1Char('+')) && !topic.contains(QLatin1Char('#')) &&
           !topic.startsWith(QLatin1Char('/')) && !topic.endsWith(QLatin1Char('/')) &&
           std::none_of(topic.begin(), topic.end(), [](QChar c) { return c.unicode() < 0x20 || c.isSpace(); });
}

void ReadMqtt(const QString& path, const QDir& folder, const Reader& mqtt, MqttConfig* out, QStringList* faults) {
    mqtt.OnlyKnown({"broker", "user", "password", "tls", "ca_file", "topic_prefix", "discovery_prefix", "retain",
                    "command_user"},
                   faults);
    const auto fault = [&](const Entry* e, const QString& why) {
        *faults << QStringLiteral("%1:%2: ").arg(path).arg(e->line) + why;
    };
    if (const Entry* e = mqtt.Find("tls"); e && !YesNo(e->value, &out->tls)) fault(e, QStringLiteral("tls must be yes or no"));
    if (const Entry* e = mqtt.Find("retain"); e && !YesNo(e->value, &out->retain))
        fault(e, QStringLiteral("retain must be yes or no"));
    if (const Entry* e = mqtt.Find("broker")) {
        static const QRegularExpression form(QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([A-Za-z0-9._-]+))(?::(\\d{1,5}))?$"));
        const QRegularExpressionMatch m = form.match(e->value.trimmed());
        const uint port = m.hasMatch() && !m.captured(3).isEmpty() ? m.captured(3).toUInt() : (out->tls ? 8883 : 1883);
        if (!m.hasMatch() || port == 0 || port > 65535)
            fault(e, QStringLiteral("broker: %1 is not HOST, HOST:PORT or [IPV6]:PORT").arg(e->value));
        else
            out->host = m.captured(1).isEmpty() ? m.captured(2) : m.captured(1), out->port = quint16(port);
    }
    if (const Entry* e = mqtt.Find("user")) out->user = e->value;
    if (const Entry* e = mqtt.Find("password")) out->password = e->value;
    if (const Entry* e = mqtt.Find("ca_file")) out->caFile = folder.absoluteFilePath(e->value);
    if (const Entry* e = mqtt.Find("command_user")) out->commandUser = e->value;
    for (auto [key, target] : {std::pair{"topic_prefix", &out->topicPrefix}, std::pair{"discovery_prefix", &out->discoveryPrefix}}) {
        if (const Entry* e = mqtt.Find(key)) {
            if (PlainTopic(e->value))
                *target = e->value;
            else
                fault(e, QStringLiteral("%1: %2 is not a topic without wildcards, spaces or a leading or trailing /")
                             .arg(QLatin1String(key), e->value));
        }
    }
    if (out->host.isEmpty() && mqtt.Find("broker") == nullptr && (mqtt.Find("user") || mqtt.Find("command_user")))
        *faults << QStringLiteral("%1: [mqtt] has settings but no broker").arg(path);
}

void ReadSnmp(const QString& path, const QDir& folder, const Reader& snmp, SnmpConfig* out, QStringList* faults) {
    snmp.OnlyKnown({"agentx_socket", "unit"}, faults);
    snmp.Int("unit", 0, 3, &out->unit, faults);
    const Entry* e = snmp.Find("agentx_socket");
    if (!e) {
        if (snmp.Find("unit")) *faults << QStringLiteral("%1: [snmp] has settings but no agentx_socket").arg(path);
        return;
    }
    const QString value = e->value.trimmed();
    if (value.isEmpty() || value.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0) return;
    // net-snmp takes a bare path as a Unix socket and tcp:HOST:PORT as TCP (IPv4); anything
    // else it would read as UDP, which AgentX does not run over.
    static const QRegularExpression tcp(QStringLiteral("^tcp:([A-Za-z0-9._-]+):(\\d{1,5})$"));
    if (value.startsWith(QLatin1String("tcp:"))) {
        const QRegularExpressionMatch m = tcp.match(value);
        const uint port = m.hasMatch() ? m.captured(2).toUInt() : 0;
        if (port == 0 || port > 65535)
            *faults << QStringLiteral("%1:%2: agentx_socket: %3 is not tcp:HOST:PORT").arg(path).arg(e->line).arg(value);
        else
            out->agentxSocket = value;
        return;
    }
    const QString socket = folder.absoluteFilePath(value);
    if (value.contains(QLatin1Char(':')) || value.contains(QLatin1Char(' ')))
        *faults << QStringLiteral("%1:%2: agentx_socket: %3 is neither a socket path nor tcp:HOST:PORT")
                       .arg(path).arg(e->line).arg(value);
    else if (socket.toLocal8Bit().size() > 107)  // sun_path holds 108 bytes with the terminating zero
        *faults << QStringLiteral("%1:%2: agentx_socket: %3 is too long for a Unix socket path").arg(path).arg(e->line).arg(socket);
    else
        out->agentxSocket = socket;
}

// The certificate is loaded here, so that a file that cannot serve stops the start, fails
// --check-config and leaves a reload undone, rather than failing each client's handshake.
void ReadTls(const QString& path, const QDir& folder, const Reader& server, DaemonConfig* out, QStringList* faults) {
    const Entry* force = server.Find("force_tls");
    if (force && !YesNo(force->value, &out->forceTls))
        *faults << QStringLiteral("%1:%2: force_tls must be yes or no").arg(path).arg(force->line);
    if (const Entry* e = server.Find("certfile")) {
        out->certFile = folder.absoluteFilePath(e->value);
        QString why;
        out->tls = TlsContext::Load(out->certFile, &why);
        if (!out->tls) *faults << QStringLiteral("%1:%2: certfile %3: %4").arg(path).arg(e->line).arg(out->certFile, why);
    } else if (out->forceTls) {
        *faults << QStringLiteral("%1:%2: force_tls needs a certfile, or nobody could log in").arg(path).arg(force->line);
    }
}

}  // namespace

QString DefaultConfigPath() {
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/Tralvane/vesperod.conf");
}

bool ParseListenAddress(const QString& text, quint16 defaultPort, ListenAddress* out, QString* error) {
    QString host = text.trimmed();
    quint16 port = defaultPort;
    auto parsePort = [&](const QString& p) {
        bool ok = false;
        const uint v = p.toUInt(&ok);
        if (!ok || v == 0 || v > 65535) return false;
        port = quint16(v);
        return true;
    };
    if (host.startsWith(QLatin1Char('['))) {
        const qsizetype close = host.indexOf(QLatin1Char(']'));
        if (close < 0) {
            *error = QStringLiteral("listen address %1: missing ]").arg(text);
            return false;
        }
        const QString rest = host.mid(close + 1);
        if (!rest.isEmpty() && (!rest.startsWith(QLatin1Char(':')) || !parsePort(rest.mid(1)))) {
            *error = QStringLiteral("listen address %1: bad port").arg(text);
            return false;
        }
        host = host.mid(1, close - 1);
    } else if (host.count(QLatin1Char(':')) == 1) {
        const qsizetype colon = host.indexOf(QLatin1Char(':'));
        if (!parsePort(host.mid(colon + 1))) {
            *error = QStringLiteral("listen address %1: bad port").arg(text);
            return false;
        }
        host = host.left(colon);
    }
    QHostAddress address;
    if (host == QLatin1String("localhost")) {
        address = QHostAddress(QHostAddress::LocalHost);
    } else if (host == QLatin1String("*") || host == QLatin1String("any")) {
        address = QHostAddress(QHostAddress::Any);
    } else if (!address.setAddress(host)) {
        *error = QStringLiteral("listen address %1: not an IPv4 or IPv6 address").arg(text);
        return false;
    }
    out->address = address;
    out->port = port;
    return true;
}

bool LoadDaemonConfig(const QString& path, bool required, DaemonConfig* result, QStringList* faults) {
    faults->clear();
    QString error;
    // Filled aside, so a file that cannot be used leaves the caller's settings as they were.
    DaemonConfig fresh;
    DaemonConfig* config = &fresh;
    for (int i = 0; i < 4; ++i) {
        config->unitName[i] = QStringLiteral("vespero%1").arg(i);
        config->unitDescription[i] = QStringLiteral("Vespero UPS unit %1").arg(i);
    }
    const QFileInfo info(path);
    config->usersPath = info.absoluteDir().filePath(QStringLiteral("vesperod.users"));

    QStringList listen{QStringLiteral("127.0.0.1")};
    int port = kDefaultPort;
    int portLine = 0;
    if (!info.exists()) {
        if (required) {
            *faults << QStringLiteral("%1: no such file").arg(path);
            return false;
        }
    } else {
        QFile file(path);
        if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
            *faults << QStringLiteral("%1: not a readable file").arg(path);
            return false;
        }
        std::map<QString, Section> ini;
        ReadIni(path, file.readAll(), &ini, faults);
        config->path = info.absoluteFilePath();
        for (const auto& [name, section] : ini) {
            static const QRegularExpression unitSection(QStringLiteral("^unit[0-3]$"));
            // [battery] belongs to the estimator, which reads it itself (battery_settings.h).
            if (name != QLatin1String("server") && name != QLatin1String("battery") && name != QLatin1String("mqtt") &&
                name != QLatin1String("snmp") &&
                !unitSection.match(name).hasMatch()) {
                const int line = section.empty() ? 0 : section.begin()->second.line;
                *faults << QStringLiteral("%1:%2: unknown section [%3]").arg(path).arg(line).arg(name);
            }
        }
        const auto find = [&](const QString& name) -> const Section* {
            const auto it = ini.find(name);
            return it == ini.end() ? nullptr : &it->second;
        };
        const Reader server(path, find(QStringLiteral("server")));
        server.OnlyKnown({"listen", "port", "max_connections", "max_connections_per_address", "idle_timeout",
                          "stale_after", "users", "http_listen", "http_certificate", "http_key", "http_request_timeout",
                          "http_max_streams", "http_remote", "http_idle_timeout", "http_write_timeout",
                          "http_max_connections_per_address", "http_max_streams_per_address", "http_allowed_hosts",
                          "certfile", "force_tls", "tls_handshake_timeout"},
                         faults);
        server.Int("port", 1, 65535, &port, faults);
        server.Int("max_connections", 1, 100000, &config->maxConnections, faults);
        server.Int("max_connections_per_address", 1, 100000, &config->maxConnectionsPerAddress, faults);
        server.Int("idle_timeout", 1, 86400, &config->idleTimeoutSeconds, faults);
        server.Int("stale_after", 2, 3600, &config->staleAfterSeconds, faults);
        server.Int("http_request_timeout", 1, 300, &config->httpRequestTimeoutSeconds, faults);
        server.Int("http_max_streams", 1, 100000, &config->httpMaxStreams, faults);
        server.Int("http_idle_timeout", 1, 3600, &config->httpIdleTimeoutSeconds, faults);
        server.Int("http_write_timeout", 1, 3600, &config->httpWriteTimeoutSeconds, faults);
        server.Int("http_max_connections_per_address", 1, 100000, &config->httpMaxConnectionsPerAddress, faults);
        server.Int("http_max_streams_per_address", 1, 100000, &config->httpMaxStreamsPerAddress, faults);
        server.Int("tls_handshake_timeout", 1, 300, &config->tlsHandshakeTimeoutSeconds, faults);
        ReadTls(path, info.absoluteDir(), server, config, faults);
        if (const Entry* e = server.Find("http_allowed_hosts")) {
            config->httpAllowedHosts = e->value.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts);
            for (const QString& host : config->httpAllowedHosts)
                if (host.contains(QLatin1Char(':')) || host.contains(QLatin1Char('/')))
                    *faults << QStringLiteral("%1:%2: http_allowed_hosts: %3 is not a host name (no port, no path)")
                                   .arg(path).arg(e->line).arg(host);
        }
        if (const Entry* e = server.Find("port")) portLine = e->line;
        if (const Entry* e = server.Find("listen")) {
            listen = e->value.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts);
            portLine = e->line;
        }
        if (const Entry* e = server.Find("users")) config->usersPath = info.absoluteDir().absoluteFilePath(e->value);
        if (const Entry* e = server.Find("http_listen")) {
            if (!ParseHttpListen(e->value, &config->httpListen, &error))
                *faults << QStringLiteral("%1:%2: http_listen: ").arg(path).arg(e->line) + error;
        }
        if (const Entry* e = server.Find("http_remote")) {
            if (!ParseRemoteServers(e->value, &config->httpRemote, &error))
                *faults << QStringLiteral("%1:%2: http_remote: ").arg(path).arg(e->line) + error;
        }
        if (const Entry* e = server.Find("http_certificate")) config->httpCertificate = info.absoluteDir().absoluteFilePath(e->value);
        if (const Entry* e = server.Find("http_key")) config->httpKey = info.absoluteDir().absoluteFilePath(e->value);
        if (config->httpCertificate.isEmpty() != config->httpKey.isEmpty())
            *faults << QStringLiteral("%1: http_certificate and http_key go together").arg(path);
        ReadMqtt(path, info.absoluteDir(), Reader(path, find(QStringLiteral("mqtt"))), &config->mqtt, faults);
        ReadSnmp(path, info.absoluteDir(), Reader(path, find(QStringLiteral("snmp"))), &config->snmp, faults);
        for (int i = 0; i < 4; ++i) {
            const Reader unit(path, find(QStringLiteral("unit%1").arg(i)));
            unit.OnlyKnown({"name", "description", "input_voltage_nominal"}, faults);
            unit.Int("input_voltage_nominal", 100, 480, &config->unitInputVoltageNominal[i], faults);
            if (const Entry* e = unit.Find("name")) {
                const bool plain = std::all_of(e->value.begin(), e->value.end(), [](QChar c) {
                    return c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_') || c == QLatin1Char('.');
                });
                if (!plain)
                    *faults << QStringLiteral("%1:%2: unit%3: name %4 may hold only letters, digits, - _ .")
                                   .arg(path).arg(e->line).arg(i).arg(e->value);
                else if (!e->value.isEmpty())
                    config->unitName[i] = e->value;
            }
            if (const Entry* e = unit.Find("description")) config->unitDescription[i] = e->value;
        }
    }
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j)
            if (nut::EqualNoCase(config->unitName[i].toStdString(), config->unitName[j].toStdString())) {
                *faults << QStringLiteral("%1unit%2 and unit%3 are both named %4")
                               .arg(config->path.isEmpty() ? QString() : config->path + QStringLiteral(": "))
                               .arg(i).arg(j).arg(config->unitName[i]);
            }
    const QString where = portLine ? QStringLiteral("%1:%2: ").arg(path).arg(portLine) : QString();
    if (listen.isEmpty()) *faults << where + QStringLiteral("listen: no address given");
    for (const QString& item : listen) {
        ListenAddress a;
        if (ParseListenAddress(item, quint16(port), &a, &error))
            config->listen.push_back(a);
        else
            *faults << where + error;
    }
    if (!faults->isEmpty()) return false;
    *result = std::move(fresh);
    return true;
}

bool LoadDaemonConfig(const QString& path, bool required, DaemonConfig* config, QString* error) {
    QStringList faults;
    if (LoadDaemonConfig(path, required, config, &faults)) return true;
    *error = faults.value(0);
    return false;
}

bool ParseRemoteServers(const QString& text, std::vector<RemoteServer>* out, QString* error) {
    out->clear();
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || trimmed.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0) return true;
    static const QRegularExpression form(QStringLiteral("^(?:\\[([0-9A-Fa-f:.]+)\\]|([A-Za-z0-9._-]+))(?::(\\d{1,5}))?$"));
    for (const QString& item : trimmed.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts)) {
        const QRegularExpressionMatch m = form.match(item);
        const uint port = m.hasMatch() && !m.captured(3).isEmpty() ? m.captured(3).toUInt() : 3493;
        if (!m.hasMatch() || port == 0 || port > 65535) {
            *error = QStringLiteral("%1 is not HOST, HOST:PORT or [IPV6]:PORT").arg(item);
            return false;
        }
        out->push_back({m.captured(1).isEmpty() ? m.captured(2) : m.captured(1), quint16(port)});
    }
    return true;
}

bool ParseHttpListen(const QString& text, std::vector<ListenAddress>* out, QString* error) {
    out->clear();
    const QString trimmed = text.trimmed();
    if (trimmed.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0 || trimmed.isEmpty()) return true;
    for (const QString& item : trimmed.split(QRegularExpression(QStringLiteral("[,\\s]+")), Qt::SkipEmptyParts)) {
        ListenAddress a;
        if (!ParseListenAddress(item, kDefaultHttpPort, &a, error)) return false;
        out->push_back(a);
    }
    return true;
}

}  // namespace nut
