// The MQTT side: libmosquitto on a thread of its own, so the NUT side never waits on a broker.
// The server's thread hands over the units' latest state (Offer) and takes back log lines and
// commands through a queue it drains on its own event loop, as the web bridge does.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "daemon/daemon_config.h"
#include "daemon/mqtt/mqtt_messages.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace mqtt {

class Client : public QObject {
public:
    // Runs on the server's thread, for a command message that named a known command.
    using CommandFn = std::function<void(const std::string& unit, const std::string& command, std::optional<int> parameter)>;
    using LogFn = std::function<void(const std::string& line)>;

    Client(const nut::MqttConfig& config, std::string node, CommandFn command, LogFn log, QObject* parent = nullptr);
    ~Client() override;  // says offline, disconnects and joins the thread

    void Offer(std::vector<UnitState> units);  // never blocks on the broker

    static constexpr int kMinStateGapMs = 1000;  // per unit
    static constexpr int kMaxCommandBytes = 64;  // a command name and its argument
    static constexpr int kMaxPacketBytes = 4096; // asked of the broker for what it sends us
    static constexpr int kKeepAliveSeconds = 30;
    static constexpr int kMaxBackoffSeconds = 60;

private:
    void Run();
    void ConnectOnce();
    void Send();
    void SayOffline();
    void Publish(const std::string& topic, const std::string& payload, bool retain);
    void ToMain(std::function<void()> task);
    void RunTasks();
    void Log(std::string line);

    static void OnConnect(mosquitto*, void* self, int rc, int flags, const mosquitto_property*);
    static void OnDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*);
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*);

    const nut::MqttConfig config_;
    Topics topics_;
    std::string where_;  // host:port, for log lines
    CommandFn command_;
    LogFn log_;
    mosquitto* mosq_ = nullptr;

    // Handed over from the server's thread.
    std::mutex offerMutex_;
    std::condition_variable wake_;
    std::vector<UnitState> offered_;
    bool fresh_ = false;
    std::atomic<bool> stop_{false};

    // The client thread's own.
    bool socket_ = false;     // a connection is open or being set up
    bool connected_ = false;  // the broker accepted us
    bool announce_ = false;   // (re)send everything on the next round
    int backoffSeconds_ = 1;
    std::string lastFailure_;
    std::vector<UnitState> units_;
    struct Sent {
        std::string state;
        std::optional<bool> available;
        qint64 stateMs = -kMinStateGapMs;
        std::vector<std::pair<std::string, std::string>> discovery;
    };
    std::map<std::string, Sent> sent_;

    std::mutex tasksMutex_;
    std::vector<std::function<void()>> tasks_;
    int wakeFd_ = -1;
    QSocketNotifier* wakeNotifier_ = nullptr;
    std::thread thread_;
};

}  // namespace mqtt
