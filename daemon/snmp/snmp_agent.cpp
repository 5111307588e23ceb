#include "daemon/snmp/snmp_agent.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>
#include <net-snmp/agent/agent_sysORTable.h>

#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace snmp {
namespace {

// The name net-snmp files its settings under; nothing is read or stored under it.
constexpr char kAppName[] = "vesperod";

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// The master agent's sysUpTime, which the library keeps in step with it once connected.
Ticks Uptime() { return Ticks(netsnmp_get_agent_uptime()); }

std::vector<oid> ToOid(const Oid& o) { return std::vector<oid>(o.begin(), o.end()); }

void SetValue(netsnmp_variable_list* vb, const MibEntry& e) {
    switch (e.type) {
    case MibEntry::kString:
        snmp_set_var_typed_value(vb, ASN_OCTET_STR, e.text.data(), e.text.size());
        return;
    case MibEntry::kObjectId: {
        const std::vector<oid> value = ToOid(e.objectId);
        snmp_set_var_typed_value(vb, ASN_OBJECT_ID, value.data(), value.size() * sizeof(oid));
        return;
    }
    case MibEntry::kInteger: {
        const long v = e.number;
        snmp_set_var_typed_value(vb, ASN_INTEGER, &v, sizeof v);
        return;
    }
    case MibEntry::kGauge:
    case MibEntry::kCounter:
    case MibEntry::kTimeTicks: {
        const u_long v = u_long(uint32_t(e.number));
        const u_char type = e.type == MibEntry::kGauge ? ASN_GAUGE : e.type == MibEntry::kCounter ? ASN_COUNTER : ASN_TIMETICKS;
        snmp_set_var_typed_value(vb, type, &v, sizeof v);
        return;
    }
    }
}

std::string Trimmed(const char* text) {
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) s.pop_back();
    return s;
}

// Why a Unix socket cannot be reached, as far as the file tells.
std::string SocketProblem(const std::string& socket) {
    if (socket.empty() || socket[0] != '/') return "no answer";
    struct stat st {};
    if (stat(socket.c_str(), &st) != 0) return std::strerror(errno);
    if (!S_ISSOCK(st.st_mode)) return "not a socket";
    if (access(socket.c_str(), R_OK | W_OK) != 0) return std::strerror(errno);
    return "nobody answers on it";
}

// The one agent of the process. net-snmp frees the client data of its callbacks and handlers
// at shutdown, so none of them is handed a pointer to it.
Agent* theAgent = nullptr;

}  // namespace

// net-snmp's entry points, each on the agent's thread.
struct Callbacks {
    static void Wake(int fd, void*) {
        uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = read(fd, &count, sizeof count);
        Agent* a = theAgent;
        if (!a) return;
        std::optional<MibValues> values;
        {
            std::lock_guard<std::mutex> lock(a->offerMutex_);
            values.swap(a->offered_);
        }
        if (values) a->Apply(a->state_.Update(*values, Uptime()));
    }

    static void Tick(unsigned int, void*) {
        if (Agent* a = theAgent) a->Apply(a->state_.Tick(Uptime()));
    }

    static int SessionStart(int, int, void*, void*) {
        if (theAgent) theAgent->Connected(true);
        return 0;
    }

    static int SessionStop(int, int, void*, void*) {
        if (theAgent) theAgent->Connected(false);
        return 0;
    }

    static int Log(int, int, void* server, void*) {
        const auto* m = static_cast<const snmp_log_message*>(server);
        // Connections come and go in our own words; the library's notes on them are left out.
        if (!m || m->priority > LOG_WARNING) return 0;
        const std::string text = Trimmed(m->msg);
        if (!text.empty() && theAgent) theAgent->log_("snmp: net-snmp: " + text);
        return 0;
    }

    static int Serve(netsnmp_mib_handler*, netsnmp_handler_registration*, netsnmp_agent_request_info* info,
                     netsnmp_request_info* requests) {
        if (!theAgent) return SNMP_ERR_NOERROR;
        const std::vector<MibEntry> table = BuildTable(theAgent->state_, Uptime());
        std::vector<std::vector<oid>> oids;
        oids.reserve(table.size());
        for (const MibEntry& e : table) oids.push_back(ToOid(e.oid));
        for (netsnmp_request_info* r = requests; r; r = r->next) {
            if (r->processed) continue;
            netsnmp_variable_list* vb = r->requestvb;
            const auto compare = [&](const std::vector<oid>& o) {
                return snmp_oid_compare(o.data(), o.size(), vb->name, vb->name_length);
            };
            if (info->mode == MODE_GET) {
                const auto it = std::find_if(oids.begin(), oids.end(), [&](const auto& o) { return compare(o) == 0; });
                if (it == oids.end())
                    netsnmp_set_request_error(info, r, SNMP_NOSUCHINSTANCE);
                else
                    SetValue(vb, table[size_t(it - oids.begin())]);
            } else if (info->mode == MODE_GETNEXT) {
                // Past the last object the request is left alone, and the master looks further on.
                const auto it = std::find_if(oids.begin(), oids.end(), [&](const auto& o) { return compare(o) > 0; });
                if (it != oids.end()) {
                    snmp_set_var_objid(vb, it->data(), it->size());
                    SetValue(vb, table[size_t(it - oids.begin())]);
                }
            }
        }
        return SNMP_ERR_NOERROR;
    }
};

std::atomic<bool> Agent::used_{false};

Agent::Agent(std::string socket, LogFn log) : socket_(std::move(socket)), log_(std::move(log)) {
    if (used_.exchange(true)) {
        log_("snmp: the subagent has run in this process before; it starts again with vesperod");
        return;
    }
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ < 0) {
        log_("snmp: cannot create the agent's wake-up descriptor: " + std::string(std::strerror(errno)));
        return;
    }
    thread_ = std::thread([this] { Run(); });
}

Agent::~Agent() {
    stop_ = true;
    Wake();
    if (thread_.joinable()) thread_.join();
    if (wakeFd_ >= 0) close(wakeFd_);
}

void Agent::Wake() {
    if (wakeFd_ < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
}

void Agent::Offer(MibValues values) {
    {
        std::lock_guard<std::mutex> lock(offerMutex_);
        offered_ = std::move(values);
    }
    Wake();
}

void Agent::Apply(std::vector<Notification> notifications) {
    for (const Notification& n : notifications) gate_.Push(n);
    SendDue();
}

void Agent::SendDue() {
    if (gate_.Dropped() != reportedDrops_) {
        log_("snmp: " + std::to_string(gate_.Dropped() - reportedDrops_) +
             " notification(s) dropped: more came than may be sent, one of a kind each " +
             std::to_string(TrapGate::kGapMs / 1000) + " s");
        reportedDrops_ = gate_.Dropped();
    }
    if (!connected_) return;  // they wait for snmpd
    static const oid trapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};  // snmpTrapOID.0
    for (const Notification& n : gate_.Due(SteadyMs())) {
        netsnmp_variable_list* vars = nullptr;
        const std::vector<oid> kind = ToOid(TrapOid(n.kind));
        snmp_varlist_add_variable(&vars, trapOid, OID_LENGTH(trapOid), ASN_OBJECT_ID,
                                  reinterpret_cast<const u_char*>(kind.data()), kind.size() * sizeof(oid));
        for (const MibEntry& e : NotificationObjects(n, state_, Uptime())) {
            const std::vector<oid> name = ToOid(e.oid);
            netsnmp_variable_list* vb = snmp_varlist_add_variable(&vars, name.data(), name.size(), ASN_NULL, nullptr, 0);
            if (vb) SetValue(vb, e);
        }
        send_v2trap(vars);
        snmp_free_varbind(vars);
    }
}

void Agent::Connected(bool connected) {
    if (connected == connected_) return;
    connected_ = connected;
    if (connected) {
        log_("snmp: serving the UPS-MIB as an AgentX subagent of snmpd at " + socket_);
        SendDue();
    } else {
        log_("snmp: lost snmpd at " + socket_ + "; trying again every " + std::to_string(kPingSeconds) + " s");
    }
}

void Agent::Run() {
    // A subagent that reads no snmp.conf, loads no MIB files, keeps no state on disk and never
    // uses SIGALRM, which would reach whichever thread of vesperod the kernel picks.
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_NO_CONNECTION_WARNINGS, 1);
    netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, socket_.c_str());
    theAgent = this;
    snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, &Callbacks::Log, nullptr);
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_DEBUG);
    char noMibs[] = "mibs :";
    netsnmp_config_remember(noMibs);

    init_agent(kAppName);
    // These after init_agent, which sets the library's defaults. Pings find a master that hangs,
    // and the same period paces the attempts to reach one that is gone.
    netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, kPingSeconds);
    // The ping, the opening and the goodbye wait for snmpd's answer on this thread: a hung snmpd
    // may hold each for a second, not the library's six (five resends), so that a stop stays
    // prompt. Nor is a notification resent: a master that wakes late would pass on every copy.
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_TIMEOUT, kAnswerSeconds);
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_RETRIES, 0);

    const std::vector<oid> objects = ToOid(UpsObjects());
    netsnmp_handler_registration* registration = netsnmp_create_handler_registration(
        "upsMIB", &Callbacks::Serve, objects.data(), objects.size(), HANDLER_CAN_RONLY);
    if (!registration || netsnmp_register_handler(registration) != MIB_REGISTERED_OK)
        log_("snmp: cannot register the UPS-MIB");
    std::vector<oid> module = ToOid(UpsMib());
    register_sysORTable(module.data(), module.size(), "The UPS-MIB of a Vespero unit, served by vesperod");
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, &Callbacks::SessionStart, nullptr);
    snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, &Callbacks::SessionStop, nullptr);
    register_readfd(wakeFd_, &Callbacks::Wake, nullptr);
    snmp_alarm_register(1, SA_REPEAT, &Callbacks::Tick, nullptr);

    init_snmp(kAppName);  // reaches for the master agent
    if (!connected_)
        log_("snmp: cannot reach snmpd's AgentX socket " + socket_ + ": " + SocketProblem(socket_) +
             "; trying again every " + std::to_string(kPingSeconds) + " s");
    while (!stop_) agent_check_and_process(1);
    unregister_readfd(wakeFd_);
    snmp_shutdown(kAppName);  // says goodbye to the master, which drops our registrations
    theAgent = nullptr;
}

}  // namespace snmp
