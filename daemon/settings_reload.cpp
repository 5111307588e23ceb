#include "daemon/settings_reload.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "daemon/battery_settings.h"

#include "daemon/nut/nut_server.h"
#include "daemon/nut/starttls.h"
#include "daemon/unit_board.h"

namespace nut {

void LoadUsers(const QString& path, bool keep, UsersFile* users) {
    const QString keeping = QStringLiteral("; keeping the %1 user(s) read before").arg(users->users.size());
    QFile file(path);
    if (!file.exists()) {
        LogLine(QStringLiteral("no users file %1: nobody can log in or run commands").arg(path));
        *users = {};
        return;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        LogLine(QStringLiteral("cannot read %1 (%2)").arg(path, file.errorString()) +
                (keep ? keeping : QStringLiteral(": nobody can log in or run commands")));
        if (!keep) *users = {};
        return;
    }
    if (file.permissions() & (QFileDevice::ReadOther | QFileDevice::WriteOther))
        LogLine(QStringLiteral("warning: %1 can be read by every user of this machine").arg(path));
    UsersFile fresh = ParseUsersFile(file.readAll(), path);
    for (const QString& w : fresh.warnings) LogLine(w);
    for (const QString& e : fresh.errors) LogLine(e + (keep ? keeping : QString()));
    if (keep && !fresh.errors.isEmpty()) return;
    *users = std::move(fresh);
    LogLine(QStringLiteral("%1 user(s) from %2").arg(users->users.size()).arg(path));
}

QStringList CheckSettings(const QString& configPath, bool required) {
    QStringList faults;
    DaemonConfig config;
    const bool usable = LoadDaemonConfig(configPath, required, &config, &faults);
    const QFileInfo info(configPath);
    if (info.isFile()) {
        // The battery group's own reader stops at its first fault and names no line.
        BatteryConfig battery;
        QString error;
        if (!LoadBatteryConfig(info.absoluteFilePath(), &battery, &error))
            faults << QStringLiteral("%1: %2").arg(configPath, error);
    }
    // Where the settings cannot be used, the users file is looked for where it would be by default.
    const QString usersPath = usable ? config.usersPath : info.absoluteDir().filePath(QStringLiteral("vesperod.users"));
    QFile file(usersPath);
    if (!file.exists()) return faults;
    if (!file.open(QIODevice::ReadOnly)) {
        faults << QStringLiteral("%1: %2").arg(usersPath, file.errorString());
        return faults;
    }
    const UsersFile users = ParseUsersFile(file.readAll(), usersPath);
    return faults + users.errors + users.warnings;
}

QString DescribeTls(const DaemonConfig& config) {
    if (!config.tls) return QStringLiteral("STARTTLS not offered (no certfile)");
    return QStringLiteral("STARTTLS with %1 (%2)%3")
        .arg(config.tls->Path(), config.tls->Summary(),
             config.forceTls ? QStringLiteral("; logins only under TLS") : QString());
}

void ReloadSettings(const QString& configPath, bool required, bool listenFromCommandLine, DaemonConfig* config,
                    UsersFile* users, UnitBoard* board, Server* server) {
    DaemonConfig fresh;
    QStringList faults;
    if (!LoadDaemonConfig(configPath, required, &fresh, &faults)) {
        for (const QString& fault : faults) LogLine(QStringLiteral("reload: %1").arg(fault));
        LogLine(QStringLiteral("reload: %1 fault(s); keeping the settings in use").arg(faults.size()));
        return;
    }
    bool sameListen = fresh.listen.size() == config->listen.size();
    for (size_t i = 0; sameListen && i < fresh.listen.size(); ++i)
        sameListen = fresh.listen[i].address == config->listen[i].address && fresh.listen[i].port == config->listen[i].port;
    if (!sameListen && !listenFromCommandLine)
        LogLine(QStringLiteral("reload: listen and port changes take effect at the next start"));
    fresh.listen = config->listen;
    fresh.httpListen = config->httpListen;
    fresh.httpCertificate = config->httpCertificate;
    fresh.httpKey = config->httpKey;
    fresh.httpRemote = config->httpRemote;
    // A changed certificate serves the handshakes from now on; sessions under way keep theirs.
    const QString tlsBefore = DescribeTls(*config);
    *config = std::move(fresh);
    if (DescribeTls(*config) != tlsBefore || config->tls) LogLine(QStringLiteral("reload: ") + DescribeTls(*config));
    board->Configure(*config);
    server->Reconfigure();
    LoadUsers(config->usersPath, true, users);
    server->Checker().Forget();
    LogLine(QStringLiteral("reloaded %1").arg(config->path.isEmpty() ? QStringLiteral("(defaults)") : config->path));
}

}  // namespace nut
