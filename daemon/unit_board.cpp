#include "daemon/unit_board.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "daemon/nut/nut_server.h"
#include "daemon/nut/nut_words.h"

namespace nut {

UnitBoard::UnitBoard(const DaemonConfig& config, QueueFn queue) : queue_(queue ? queue : &KeybCommand) {
    for (int i = 0; i < 4; ++i) units_[i].device = i;
    Configure(config);
}

void UnitBoard::Configure(const DaemonConfig& config) {
    staleAfterMs_ = qint64(config.staleAfterSeconds) * 1000;
    for (int i = 0; i < 4; ++i) {
        Unit& u = units_[i];
        u.name = config.unitName[i].toStdString();
        u.description = config.unitDescription[i].toStdString();
        u.inputVoltageNominal = config.unitInputVoltageNominal[i];
        if (u.last) Rebuild(&u);  // the ready-made LIST VAR reply names the unit
    }
}

void UnitBoard::SetBattery(const BatteryConfig& config) {
    battery_ = config;
    haveBattery_ = true;
}

QString UnitBoard::BatteryStatePath(const Unit& unit) const {
    return QDir(battery_.stateDir).filePath(QStringLiteral("battery-%1.state").arg(QString::fromStdString(unit.name)));
}

void UnitBoard::TrackBattery(Unit* u, qint64 nowMs) {
    if (!u->batteryLoaded) {
        u->batteryLoaded = true;
        const QString path = BatteryStatePath(*u);
        if (QFile::exists(path)) {
            if (LoadBatteryModel(path.toStdString(), &u->battery.model))
                LogLine(QStringLiteral("%1: battery model from %2 (%3 discharge(s) learned)")
                            .arg(QString::fromStdString(u->name), path).arg(u->battery.model.discharges));
            else
                LogLine(QStringLiteral("%1: %2 is not a battery model; starting from the defaults")
                            .arg(QString::fromStdString(u->name), path));
        }
    }
    BatteryEstimate e;
    const int learnedBefore = u->battery.model.discharges;
    if (::TrackBattery(&u->battery, BatteryInputsFrom(*u->last), battery_.settings,
                       double(nowMs) / 1000 * battery_.timeScale, &e)) {
        const BatteryModel& m = u->battery.model;
        const QString name = QString::fromStdString(u->name);
        const QString path = BatteryStatePath(*u);
        if (m.discharges != learnedBefore) {
            QStringList rates;
            for (const LearnedRate& r : m.rates)
                rates << QStringLiteral("%1 x the table at %2 A per Ah").arg(r.factor, 0, 'f', 3).arg(r.ampsPerAh, 0, 'f', 3);
            LogLine(QStringLiteral("%1: learned from a discharge to the end voltage: %2").arg(name, rates.join(QStringLiteral(", "))));
        }
        if (ResistanceFactor(m) < 1)
            LogLine(QStringLiteral("%1: battery resistance %2 mOhm a block, up from %3: runtime taken as %4 %")
                        .arg(name)
                        .arg(m.ohms * 1000, 0, 'f', 1)
                        .arg((m.learnedOhms > 0 ? m.learnedOhms : m.referenceOhms) * 1000, 0, 'f', 1)
                        .arg(std::lround(ResistanceFactor(m) * 100)));
        std::string error;
        QDir().mkpath(battery_.stateDir);
        if (!SaveBatteryModel(path.toStdString(), m, &error))
            LogLine(QStringLiteral("%1: cannot save the battery model: %2").arg(name, QString::fromStdString(error)));
    }
    u->batteryView.estimate = e;
    u->batteryView.settings = &battery_.settings;
}

void UnitBoard::SetPresent(int device, bool present, int comPort) {
    if (device < 0 || device > 3) return;
    units_[device].present = present;
    units_[device].comPort = comPort;
    presentUnits_.clear();
    for (Unit& u : units_)
        if (u.present) presentUnits_.push_back(&u);
}

void UnitBoard::Update(int device, const _ZozeUps& snapshot, qint64 nowMs) {
    if (device < 0 || device > 3) return;
    Unit& u = units_[device];
    if (!u.last) u.last = std::make_unique<_ZozeUps>();
    *u.last = snapshot;
    u.lastRefreshMs = nowMs;
    u.linkLost = std::strncmp(snapshot.stateText, "Timeout", sizeof snapshot.stateText) == 0;
    if (!u.linkLost) u.haveStatus = true;
    // Readings of a lost link are old ones: they neither move the estimate nor teach it.
    if (haveBattery_ && !u.linkLost && u.haveStatus) TrackBattery(&u, nowMs);
    Rebuild(&u);
}

void UnitBoard::SetFsd(Unit* unit) {
    unit->fsd = true;
    if (unit->last) Rebuild(unit);
}

void UnitBoard::Rebuild(Unit* u) {
    u->variables = BuildVariables(*u->last, u->fsd, u->comPort, u->batteryView.settings ? &u->batteryView : nullptr);
    // The unit does not report the mains it was set up for; the settings may.
    if (u->inputVoltageNominal > 0) {
        Variable nominal{"input.voltage.nominal", std::to_string(u->inputVoltageNominal)};
        const auto at = std::lower_bound(u->variables.begin(), u->variables.end(), nominal,
                                         [](const Variable& a, const Variable& b) { return a.name < b.name; });
        u->variables.insert(at, std::move(nominal));
    }
    u->index.clear();
    for (size_t i = 0; i < u->variables.size(); ++i) u->index.emplace(u->variables[i].name, i);
    std::string& r = u->listVarReply;
    r.clear();
    r += "BEGIN LIST VAR " + u->name + "\n";
    for (const Variable& v : u->variables) r += "VAR " + u->name + " " + v.name + " " + Quote(v.value) + "\n";
    r += "END LIST VAR " + u->name + "\n";
}

UnitBoard::Unit* UnitBoard::Find(std::string_view name) {
    for (Unit* u : presentUnits_)
        if (EqualNoCase(u->name, name)) return u;
    return nullptr;
}

bool UnitBoard::IsStale(const Unit& unit, qint64 nowMs) const {
    return !unit.last || !unit.haveStatus || unit.linkLost || nowMs - unit.lastRefreshMs > staleAfterMs_;
}

const Variable* UnitBoard::FindVariable(const Unit& unit, std::string_view name) const {
    auto it = unit.index.find(name);
    if (it == unit.index.end()) it = unit.index.find(LowerAscii(name));  // names are lower case
    return it == unit.index.end() ? nullptr : &unit.variables[it->second];
}

int UnitBoard::Queue(int type, int device, int value) const { return queue_(type, device, value, 0); }

}  // namespace nut
