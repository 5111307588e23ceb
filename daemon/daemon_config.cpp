#include "daemon/daemon_config.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace nut {
namespace {

constexpr quint16 kDefaultPort = 3493;

bool ReadInt(QSettings& s, const char* key, int low, int high, int* out, QString* error) {
    if (!s.contains(QLatin1String(key))) return true;
    bool ok = false;
    const int v = s.value(QLatin1String(key)).toString().trimmed().toInt(&ok);
    if (!ok || v < low || v > high) {
        *error = QStringLiteral("%1: %2 must be a whole number from %3 to %4")
                     .arg(s.group(), QLatin1String(key)).arg(low).arg(high);
        return false;
    }
    *out = v;
    return true;
}

QStringList ReadList(QSettings& s, const char* key) {
    // "a, b" comes back from the INI reader as a list; blanks separate items as well.
    const QVariant v = s.value(QLatin1String(key));
    const QStringList items = v.typeId() == QMetaType::QStringList ? v.toStringList() : QStringList{v.toString()};
    QStringList out;
    for (const QString& item : items) out += item.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    return out;
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

bool LoadDaemonConfig(const QString& path, bool required, DaemonConfig* config, QString* error) {
    for (int i = 0; i < 4; ++i) {
        config->unitName[i] = QStringLiteral("vespero%1").arg(i);
        config->unitDescription[i] = QStringLiteral("Vespero UPS unit %1").arg(i);
    }
    const QFileInfo info(path);
    config->usersPath = info.absoluteDir().filePath(QStringLiteral("vesperod.users"));
    config->listen.clear();

    QStringList listen{QStringLiteral("127.0.0.1")};
    int port = kDefaultPort;
    if (!info.exists()) {
        if (required) {
            *error = QStringLiteral("%1: no such file").arg(path);
            return false;
        }
    } else {
        if (!info.isFile() || !info.isReadable()) {
            *error = QStringLiteral("%1: not a readable file").arg(path);
            return false;
        }
        QSettings s(path, QSettings::IniFormat);
        if (s.status() != QSettings::NoError) {
            *error = QStringLiteral("%1: not a valid settings file").arg(path);
            return false;
        }
        config->path = info.absoluteFilePath();
        s.beginGroup(QStringLiteral("server"));
        if (s.contains(QStringLiteral("listen"))) listen = ReadList(s, "listen");
        if (!ReadInt(s, "port", 1, 65535, &port, error) ||
            !ReadInt(s, "max_connections", 1, 100000, &config->maxConnections, error) ||
            !ReadInt(s, "idle_timeout", 1, 86400, &config->idleTimeoutSeconds, error) ||
            !ReadInt(s, "stale_after", 2, 3600, &config->staleAfterSeconds, error))
            return false;
        if (s.contains(QStringLiteral("users"))) {
            const QString users = s.value(QStringLiteral("users")).toString().trimmed();
            config->usersPath = info.absoluteDir().absoluteFilePath(users);
        }
        s.endGroup();
        for (int i = 0; i < 4; ++i) {
            s.beginGroup(QStringLiteral("unit%1").arg(i));
            const QString name = s.value(QStringLiteral("name")).toString().trimmed();
            if (!name.isEmpty()) {
                for (QChar c : name) {
                    if (!(c.isLetterOrNumber() || c == QLatin1Char('-') || c == QLatin1Char('_') || c == QLatin1Char('.'))) {
                        *error = QStringLiteral("unit%1: name %2 may hold only letters, digits, - _ .").arg(i).arg(name);
                        return false;
                    }
                }
                config->unitName[i] = name;
            }
            const QVariant desc = s.value(QStringLiteral("description"));
            if (desc.isValid())
                config->unitDescription[i] = desc.typeId() == QMetaType::QStringList
                                                 ? desc.toStringList().join(QStringLiteral(", "))
                                                 : desc.toString();
            s.endGroup();
        }
    }
    for (int i = 0; i < 4; ++i)
        for (int j = i + 1; j < 4; ++j)
            if (config->unitName[i] == config->unitName[j]) {
                *error = QStringLiteral("unit%1 and unit%2 are both named %3").arg(i).arg(j).arg(config->unitName[i]);
                return false;
            }
    if (listen.isEmpty()) {
        *error = QStringLiteral("listen: no address given");
        return false;
    }
    for (const QString& item : listen) {
        ListenAddress a;
        if (!ParseListenAddress(item, quint16(port), &a, error)) return false;
        config->listen.push_back(a);
    }
    return true;
}

}  // namespace nut
