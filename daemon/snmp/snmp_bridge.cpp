#include "daemon/snmp/snmp_bridge.h"

#include "daemon/nut/nut_server.h"

namespace snmp {

Bridge::Bridge(nut::UnitBoard* board, Clock steadyMs, QObject* parent)
    : QObject(parent), board_(board), steady_(steadyMs), pacer_(kCoalesceMs, [this] { Offer(); }) {}

Bridge::~Bridge() { Stop(); }

void Bridge::Stop() {
    pacer_.Stop();
    agent_.reset();
}

void Bridge::Configure(const nut::SnmpConfig& config) {
    const nut::SnmpConfig before = config_;
    config_ = config;
    const QString& socket = config.agentxSocket;
    if (agent_ && socket.isEmpty()) {
        Stop();
        nut::LogLine(QStringLiteral("snmp: off; snmpd no longer serves the UPS-MIB from here"));
    } else if (agent_ && socket != runningSocket_) {
        nut::LogLine(QStringLiteral("reload: snmp agentx_socket %1 takes effect at the next start; still at %2")
                         .arg(socket, runningSocket_));
    } else if (!agent_ && !socket.isEmpty() && Agent::Used()) {
        nut::LogLine(QStringLiteral("reload: snmp agentx_socket %1 takes effect at the next start").arg(socket));
    } else if (!agent_ && !socket.isEmpty()) {
        runningSocket_ = socket;
        // Log lines come from the agent's thread and are written on this one. The agent is
        // joined before this object goes, so `this` outlives every call: no guarded pointer,
        // whose bookkeeping this thread may change while the agent's thread reads it.
        agent_ = std::make_unique<Agent>(socket.toStdString(), [this](const std::string& line) {
            QMetaObject::invokeMethod(this, [line] { nut::LogLine(QString::fromStdString(line)); }, Qt::QueuedConnection);
        });
        pacer_.Start(1000);
        everChosen_ = false;
        startedMs_ = steady_();
    }
    if (before.unit != config.unit) everChosen_ = false;  // say again which unit is shown
    Offer();
}

void Bridge::Sync() {
    if (agent_) pacer_.Sync();
}

const nut::UnitBoard::Unit* Bridge::Chosen(const nut::UnitBoard& board, int unit) {
    if (unit >= 0) {
        const nut::UnitBoard::Unit& u = board.UnitAt(unit);
        return u.present ? &u : nullptr;
    }
    const auto& present = board.PresentUnits();
    return present.empty() ? nullptr : present.front();
}

void Bridge::Offer() {
    if (!agent_) return;
    const nut::UnitBoard::Unit* unit = Chosen(*board_, config_.unit);
    // A unit not heard from yet since the start would flash communications lost (and its two
    // notifications) on every start of vesperod: it is given the start's grace first.
    if ((!unit || !unit->haveStatus) && steady_() - startedMs_ < kFirstDataWaitMs) return;
    if (!everChosen_ || unit != lastChosen_) {
        everChosen_ = true;
        lastChosen_ = unit;
        if (unit)
            nut::LogLine(QStringLiteral("snmp: the UPS-MIB shows unit %1 (%2)").arg(unit->device).arg(QString::fromStdString(unit->name)));
        else
            nut::LogLine(QStringLiteral("snmp: %1 is not present; the UPS-MIB shows communications lost")
                             .arg(config_.unit >= 0 ? QStringLiteral("unit %1").arg(config_.unit) : QStringLiteral("no unit")));
    }
    UnitFacts facts;
    std::vector<nut::Variable> none;
    if (unit) {
        facts.name = unit->name;
        facts.description = unit->description;
        facts.stale = board_->IsStale(*unit, steady_());
    }
    agent_->Offer(MapUnit(unit ? unit->variables : none, facts));
}

}  // namespace snmp
