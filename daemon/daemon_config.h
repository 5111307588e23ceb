// vesperod's own settings: where it listens, what it calls the units, its limits. An INI file
// (default $XDG_CONFIG_HOME/Tralvane/vesperod.conf; a missing default file means defaults):
//
//   [server]
//   listen = 127.0.0.1, ::1      ; addresses, each optionally as ADDR:PORT or [ADDR]:PORT
//   port = 3493
//   max_connections = 256        ; at most; fewer when the descriptor limit is lower
//   max_connections_per_address = 32
//   idle_timeout = 300           ; seconds without a request before a client is dropped
//   stale_after = 15             ; seconds without news from the link: data stale
//   users = vesperod.users       ; relative to this file's folder
//   http_listen = 127.0.0.1:8493 ; the web dashboard, API and metrics; off (the default): none
//   http_certificate = cert.pem  ; with http_key: HTTPS only; relative to this file's folder
//   http_key = key.pem
//   http_request_timeout = 10    ; seconds for a whole request to arrive
//   http_idle_timeout = 60       ; seconds a kept-alive connection may wait for its next request
//   http_write_timeout = 30      ; seconds a reader may take nothing before it is dropped
//   http_max_streams = 1500      ; open event streams (dashboards) at most
//   http_max_connections_per_address = 64
//   http_max_streams_per_address = 16
//   http_allowed_hosts = ups.example.org  ; names the Host header may carry besides addresses
//                                          ; and localhost (a guard against DNS rebinding)
//   http_remote = nas, 10.0.0.5:3493  ; other NUT servers whose units the dashboard shows
//   certfile = vesperod.pem      ; certificate, chain and private key in one PEM: STARTTLS offered
//   force_tls = no               ; yes: USERNAME and PASSWORD only after STARTTLS
//   tls_handshake_timeout = 10   ; seconds from OK STARTTLS to a finished handshake
//   [mqtt]                       ; off unless broker is set
//   broker = 127.0.0.1:1883      ; HOST or HOST:PORT (1883, 8883 with tls = yes)
//   user = vesperod
//   password = secret
//   tls = no                     ; yes: TLS, checked against ca_file (default: the system's CAs)
//   ca_file = ca.pem             ; relative to this file's folder
//   topic_prefix = vespero
//   discovery_prefix = homeassistant
//   retain = yes
//   command_user = admin         ; a user of vesperod.users: command topics with its instcmds
//   [snmp]                       ; off unless agentx_socket is set
//   agentx_socket = /var/agentx/master  ; snmpd's AgentX socket: PATH or tcp:HOST:PORT
//   unit = 0                     ; the unit the UPS-MIB shows (default: the first present one)
//   [unit0]
//   name = vespero0
//   description = "Server room"
//
// ';' or '#' starts a comment outside double quotes. A line that is not understood, an unknown
// setting or a value out of range makes the whole file unusable, named as FILE:LINE.
// On SIGHUP the file is read again; listen and port keep their values until a restart.
//
// The link itself (which units, which ports) comes from the window's settings, Ups.ini.
#pragma once

#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

namespace nut {

class TlsContext;

struct ListenAddress {
    QHostAddress address;
    quint16 port = 0;
};

// Another NUT server whose units the web dashboard shows too.
struct RemoteServer {
    QString host;  // a name or an address
    quint16 port = 3493;
};

// The MQTT publisher's settings; host empty: no MQTT.
struct MqttConfig {
    QString host;
    quint16 port = 1883;
    QString user, password;
    bool tls = false;
    QString caFile;
    QString topicPrefix = QStringLiteral("vespero");
    QString discoveryPrefix = QStringLiteral("homeassistant");
    bool retain = true;
    QString commandUser;
    bool operator==(const MqttConfig&) const = default;
};

// The UPS-MIB subagent's settings; agentxSocket empty: no SNMP.
struct SnmpConfig {
    QString agentxSocket;  // an absolute path or tcp:HOST:PORT, as net-snmp's agentXSocket
    int unit = -1;         // 0 to 3; -1: the first present unit
    bool operator==(const SnmpConfig&) const = default;
};

struct DaemonConfig {
    std::vector<ListenAddress> listen;
    QString unitName[4];
    QString unitDescription[4];
    int unitInputVoltageNominal[4] = {};  // 0: not known (the unit does not report it)
    int maxConnections = 256;
    int maxConnectionsPerAddress = 32;
    int idleTimeoutSeconds = 300;
    int maxLineLength = 512;
    int maxPendingOutput = 1 << 20;  // bytes a client may leave unread before it is dropped
    int staleAfterSeconds = 15;      // no refresh from the link for this long: data stale
    QString usersPath;
    std::vector<ListenAddress> httpListen;  // empty: no web side
    QString httpCertificate, httpKey;
    int httpRequestTimeoutSeconds = 10;
    int httpMaxStreams = 1500;
    int httpIdleTimeoutSeconds = 60;
    int httpWriteTimeoutSeconds = 30;
    int httpMaxConnectionsPerAddress = 64;
    int httpMaxStreamsPerAddress = 16;
    QStringList httpAllowedHosts;
    std::vector<RemoteServer> httpRemote;
    QString certFile;                        // empty: STARTTLS is answered FEATURE-NOT-CONFIGURED
    std::shared_ptr<const TlsContext> tls;   // certFile, loaded and checked
    bool forceTls = false;
    int tlsHandshakeTimeoutSeconds = 10;
    MqttConfig mqtt;
    SnmpConfig snmp;
    QString path;  // the file read, empty when none
};

QString DefaultConfigPath();

// Reads the file at path. required: a missing file is an error (an explicit --config);
// otherwise it means defaults. Returns false with *error set when the file is unusable.
bool LoadDaemonConfig(const QString& path, bool required, DaemonConfig* config, QString* error);
// The same, with every fault of the file (each "FILE:LINE: reason", or "FILE: reason" where no
// one line is at fault), in the order of the file's checks.
bool LoadDaemonConfig(const QString& path, bool required, DaemonConfig* config, QStringList* faults);

// "ADDR", "ADDR:PORT", "[V6ADDR]:PORT", "localhost"; defaultPort when no port is given.
constexpr quint16 kDefaultHttpPort = 8493;
// "off" or a list of web addresses (port kDefaultHttpPort when none is given).
// "host", "host:port", "[v6]:port", comma or space separated; "off" or empty for none.
bool ParseRemoteServers(const QString& text, std::vector<RemoteServer>* out, QString* error);
bool ParseHttpListen(const QString& text, std::vector<ListenAddress>* out, QString* error);

bool ParseListenAddress(const QString& text, quint16 defaultPort, ListenAddress* out, QString* error);

}  // namespace nut
