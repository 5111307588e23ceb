// The UPS-MIB as an AgentX subagent of the machine's snmpd, on a thread of its own: net-snmp's
// agent library is not thread-safe, so every call into it is made on that thread, from start to
// shutdown. The server's thread hands over the unit's values (Offer) and never waits on snmpd.
// net-snmp sets itself up once per process, so one Agent serves for the life of vesperod.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/snmp/ups_mib.h"

namespace snmp {

class Agent {
public:
    // Called on the agent's thread.
    using LogFn = std::function<void(const std::string& line)>;

    // socket: snmpd's AgentX socket, a path or tcp:HOST:PORT.
    Agent(std::string socket, LogFn log);
    ~Agent();  // closes the session with snmpd and joins the thread
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    void Offer(MibValues values);  // never blocks on snmpd

    // An agent has been made in this process; another would find net-snmp spent.
    static bool Used() { return used_; }

    // Seconds between pings of snmpd and between attempts to reach it again.
    static constexpr int kPingSeconds = 5;
    // Longest wait for snmpd's answer to what the subagent asks itself (open, ping, close).
    static constexpr int kAnswerSeconds = 1;

private:
    friend struct Callbacks;  // net-snmp's entry points into this agent
    void Run();
    void Wake();

    // On the agent's thread only.
    void Apply(std::vector<Notification> notifications);
    void SendDue();
    void Connected(bool connected);

    const std::string socket_;
    LogFn log_;

    std::mutex offerMutex_;
    std::optional<MibValues> offered_;
    std::atomic<bool> stop_{false};
    int wakeFd_ = -1;

    UpsState state_;
    TrapGate gate_;
    bool connected_ = false;
    size_t reportedDrops_ = 0;
    std::thread thread_;
    static std::atomic<bool> used_;
};

}  // namespace snmp
