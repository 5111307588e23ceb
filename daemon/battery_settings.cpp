#include "daemon/battery_settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <cmath>

namespace nut {
namespace {

bool ReadNumber(QSettings& s, const char* key, double low, double high, double* out, QString* error) {
    if (!s.contains(QLatin1String(key))) return true;
    bool ok = false;
    const double v = s.value(QLatin1String(key)).toString().trimmed().toDouble(&ok);
    if (!ok || !(v >= low && v <= high)) {
        *error = QStringLiteral("battery: %1 must be a number from %2 to %3").arg(QLatin1String(key)).arg(low).arg(high);
        return false;
    }
    *out = v;
    return true;
}

bool ReadSwitch(QSettings& s, const char* key, bool* out, QString* error) {
    if (!s.contains(QLatin1String(key))) return true;
    const QString v = s.value(QLatin1String(key)).toString().trimmed().toLower();
    if (v == QLatin1String("yes") || v == QLatin1String("true") || v == QLatin1String("on") || v == QLatin1String("1")) {
        *out = true;
    } else if (v == QLatin1String("no") || v == QLatin1String("false") || v == QLatin1String("off") || v == QLatin1String("0")) {
        *out = false;
    } else {
        *error = QStringLiteral("battery: %1 must be yes or no").arg(QLatin1String(key));
        return false;
    }
    return true;
}

}  // namespace

QString DefaultBatteryStateDir() {
    // systemd's StateDirectory= names its folders here, separated by colons.
    const QString systemd = qEnvironmentVariable("STATE_DIRECTORY");
    if (!systemd.isEmpty()) return systemd.section(QLatin1Char(':'), 0, 0);
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(base)) base = QDir::homePath() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/Tralvane");
}

bool LoadBatteryConfig(const QString& path, BatteryConfig* config, QString* error) {
    *config = BatteryConfig{};
    config->stateDir = DefaultBatteryStateDir();
    if (path.isEmpty() || !QFileInfo(path).isFile()) return true;
    QSettings s(path, QSettings::IniFormat);
    s.beginGroup(QStringLiteral("battery"));
    BatterySettings& b = config->settings;
    if (!ReadNumber(s, "empty_voltage", 5, 20, &b.emptyVolts, error) ||
        !ReadNumber(s, "full_voltage", 5, 20, &b.fullVolts, error) ||
        !ReadNumber(s, "low_voltage", 5, 20, &b.lowVolts, error) ||
        !ReadNumber(s, "internal_resistance", 0, 10, &b.resistanceOhms, error) ||
        !ReadNumber(s, "capacity_ah", 0, 100000, &b.capacityAh, error) ||
        !ReadNumber(s, "efficiency", 0.3, 1, &b.efficiency, error) ||
        !ReadNumber(s, "charge_low", 0, 100, &b.chargeLow, error) ||
        !ReadNumber(s, "runtime_low", 0, 86400, &b.runtimeLow, error) ||
        !ReadSwitch(s, "low_from_estimate", &b.lowFromEstimate, error) ||
        !ReadNumber(s, "time_scale", 0.001, 1e6, &config->timeScale, error))
        return false;
    if (!(b.fullVolts > b.emptyVolts)) {
        *error = QStringLiteral("battery: full_voltage must be above empty_voltage");
        return false;
    }
    double blocks = 0;
    if (!ReadNumber(s, "blocks", 0, 1000, &blocks, error)) return false;
    if (blocks != std::floor(blocks)) {
        *error = QStringLiteral("battery: blocks must be a whole number");
        return false;
    }
    b.blocks = int(blocks);
    const QString table = s.value(QStringLiteral("table")).toString().trimmed();
    if (!table.isEmpty()) {
        const QString file = QFileInfo(path).absoluteDir().absoluteFilePath(table);
        auto loaded = std::make_shared<DischargeTable>();
        std::string why;
        if (!LoadDischargeTable(QFile::encodeName(file).toStdString(), loaded.get(), &why)) {
            *error = QStringLiteral("battery: table %1 %2").arg(file, QString::fromStdString(why));
            return false;
        }
        config->table = std::move(loaded);
        b.table = config->table.get();
    }
    const QString dir = s.value(QStringLiteral("state_dir")).toString().trimmed();
    if (!dir.isEmpty()) config->stateDir = QFileInfo(path).absoluteDir().absoluteFilePath(dir);
    return true;
}

}  // namespace nut
