// The SNMP side as the server's thread sees it: picks the unit the UPS-MIB shows, maps its
// variables after the link's refreshes (and once a second, so that staleness shows without
// news) and hands them to the subagent's thread.
#pragma once

#include <QObject>

#include <memory>

#include "daemon/daemon_config.h"
#include "daemon/offer_pacer.h"
#include "daemon/snmp/snmp_agent.h"
#include "daemon/unit_board.h"

namespace snmp {

class Bridge : public QObject {
public:
    using Clock = qint64 (*)();
    Bridge(nut::UnitBoard* board, Clock steadyMs, QObject* parent = nullptr);
    ~Bridge() override;

    // At start and after a reload: starts the subagent, or stops it when the socket is taken
    // away. net-snmp cannot be set up twice in one process, so once it has run, another socket
    // waits for the next start of vesperod.
    void Configure(const nut::SnmpConfig& config);
    void Sync();  // after the link's sync; coalesced
    void Stop();

    // The unit the MIB shows: the configured one, else the first present one; null when none.
    static const nut::UnitBoard::Unit* Chosen(const nut::UnitBoard& board, int unit);

    static constexpr int kCoalesceMs = 200;
    static constexpr int kFirstDataWaitMs = 5000;  // as the NUT port waits for the units

private:
    void Offer();

    nut::UnitBoard* board_;
    Clock steady_;
    nut::SnmpConfig config_;
    QString runningSocket_;
    const nut::UnitBoard::Unit* lastChosen_ = nullptr;
    bool everChosen_ = false;
    qint64 startedMs_ = 0;
    std::unique_ptr<Agent> agent_;
    nut::OfferPacer pacer_;
};

}  // namespace snmp
