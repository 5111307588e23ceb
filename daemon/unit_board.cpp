#include "daemon/unit_board.h"

#include <cstring>

#include "daemon/nut_words.h"

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
        if (u.last) Rebuild(&u);  // the ready-made LIST VAR reply names the unit
    }
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
    Rebuild(&u);
}

void UnitBoard::SetFsd(Unit* unit) {
    unit->fsd = true;
    if (unit->last) Rebuild(unit);
}

void UnitBoard::Rebuild(Unit* u) {
    u->variables = BuildVariables(*u->last, u->fsd, u->comPort);
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
        if (u->name == name) return u;
    return nullptr;
}

bool UnitBoard::IsStale(const Unit& unit, qint64 nowMs) const {
    return !unit.last || !unit.haveStatus || unit.linkLost || nowMs - unit.lastRefreshMs > staleAfterMs_;
}

const Variable* UnitBoard::FindVariable(const Unit& unit, std::string_view name) const {
    const auto it = unit.index.find(name);
    return it == unit.index.end() ? nullptr : &unit.variables[it->second];
}

int UnitBoard::Queue(int type, int device, int value) const { return queue_(type, device, value, 0); }

}  // namespace nut
