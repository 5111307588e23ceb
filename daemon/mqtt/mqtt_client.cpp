#include "daemon/mqtt/mqtt_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "daemon/ups_variables.h"

namespace mqtt {
namespace {

qint64 NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string Text(const QString& s) { return s.toStdString(); }

}  // namespace

Client::Client(const nut::MqttConfig& config, std::string node, CommandFn command, LogFn log, QObject* parent)
    : QObject(parent), config_(config), command_(std::move(command)), log_(std::move(log)) {
    topics_.prefix = Text(config.topicPrefix);
    topics_.discoveryPrefix = Text(config.discoveryPrefix);
    topics_.node = std::move(node);
    where_ = Text(config.host) + ":" + std::to_string(config.port);
    wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wakeFd_ >= 0) {
        wakeNotifier_ = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, this);
        connect(wakeNotifier_, &QSocketNotifier::activated, this, [this] {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = read(wakeFd_, &count, sizeof count);
            RunTasks();
        });
    }
    mosquitto_lib_init();
    const std::string id = "vesperod-" + topics_.node + "-" + std::to_string(getpid());
    mosq_ = mosquitto_new(id.c_str(), true, this);
    if (!mosq_) {
        log_("mqtt: cannot create the client: " + std::string(std::strerror(errno)));
        return;
    }
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(mosq_, &Client::OnConnect);
    mosquitto_disconnect_v5_callback_set(mosq_, &Client::OnDisconnect);
    mosquitto_message_v5_callback_set(mosq_, &Client::OnMessage);
    if (!config.user.isEmpty())
        mosquitto_username_pw_set(mosq_, Text(config.user).c_str(),
                                  config.password.isEmpty() ? nullptr : Text(config.password).c_str());
    if (config.tls) {
        const std::string ca = Text(config.caFile);
        const int rc = mosquitto_tls_set(mosq_, ca.empty() ? nullptr : ca.c_str(), ca.empty() ? "/etc/ssl/certs" : nullptr,
                                         nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) log_("mqtt: TLS settings refused: " + std::string(mosquitto_strerror(rc)));
    }
    // The broker says offline for us when the connection drops without a goodbye (a kill -9).
    static const char offline[] = "offline";
    mosquitto_will_set_v5(mosq_, topics_.Bridge().c_str(), int(sizeof offline - 1), offline, 1, true, nullptr);
    thread_ = std::thread([this] { Run(); });
}

Client::~Client() {
    stop_ = true;
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (mosq_) mosquitto_destroy(mosq_);
    RunTasks();  // the thread's last log lines
    delete wakeNotifier_;
    if (wakeFd_ >= 0) close(wakeFd_);
}

void Client::Offer(std::vector<UnitState> units) {
    std::lock_guard<std::mutex> lock(offerMutex_);
    offered_ = std::move(units);
    fresh_ = true;
}

void Client::ToMain(std::function<void()> task) {
    bool first = false;
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        first = tasks_.empty();
        tasks_.push_back(std::move(task));
    }
    if (first && wakeFd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
    }
}

void Client::RunTasks() {
    std::vector<std::function<void()>> tasks;
    {
        std::lock_guard<std::mutex> lock(tasksMutex_);
        tasks.swap(tasks_);
    }
    for (auto& t : tasks) t();
}

void Client::Log(std::string line) {
    ToMain([this, line = std::move(line)] { log_(line); });
}

void Client::Run() {
    if (!mosq_) return;
    while (!stop_) {
        if (!socket_) {
            ConnectOnce();
            continue;
        }
        const int rc = mosquitto_loop(mosq_, 100, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            socket_ = connected_ = false;
            std::unique_lock<std::mutex> lock(offerMutex_);
            wake_.wait_for(lock, std::chrono::seconds(backoffSeconds_), [this] { return stop_.load(); });
            backoffSeconds_ = std::min(backoffSeconds_ * 2, kMaxBackoffSeconds);
            continue;
        }
        if (connected_) Send();
    }
    SayOffline();
}

void Client::ConnectOnce() {
    mosquitto_property* properties = nullptr;
    // Anything bigger than a command is no business of ours: the broker is asked not to send it.
    mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, kMaxPacketBytes);
    const int rc = mosquitto_connect_bind_v5(mosq_, Text(config_.host).c_str(), config_.port, kKeepAliveSeconds,
                                             nullptr, properties);
    const int error = errno;
    mosquitto_property_free_all(&properties);
    if (rc == MOSQ_ERR_SUCCESS) {
        socket_ = true;
        return;
    }
    const std::string reason = rc == MOSQ_ERR_ERRNO ? std::strerror(error) : mosquitto_strerror(rc);
    if (reason != lastFailure_) {
        lastFailure_ = reason;
        Log("mqtt: cannot reach the broker " + where_ + ": " + reason + "; retrying, at longest every " +
            std::to_string(kMaxBackoffSeconds) + " s");
    }
    std::unique_lock<std::mutex> lock(offerMutex_);
    wake_.wait_for(lock, std::chrono::seconds(backoffSeconds_), [this] { return stop_.load(); });
    backoffSeconds_ = std::min(backoffSeconds_ * 2, kMaxBackoffSeconds);
}

void Client::OnConnect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    auto* c = static_cast<Client*>(self);
    if (rc != 0) {
        const std::string reason = mosquitto_reason_string(rc);
        if (reason != c->lastFailure_) {
            c->lastFailure_ = reason;
            c->Log("mqtt: the broker " + c->where_ + " refused the connection: " + reason + "; retrying, at longest every " +
                   std::to_string(kMaxBackoffSeconds) + " s");
        }
        return;
    }
    c->connected_ = true;
    c->announce_ = true;
    c->backoffSeconds_ = 1;
    c->lastFailure_.clear();
    c->Log("mqtt: connected to " + c->where_ + " as " + (c->config_.user.isEmpty() ? "anonymous" : Text(c->config_.user)) +
           "; topics under " + c->topics_.prefix + "/, discovery under " + c->topics_.discoveryPrefix + "/");
    c->Publish(c->topics_.Bridge(), "online", true);
    if (!c->config_.commandUser.isEmpty())
        mosquitto_subscribe_v5(c->mosq_, nullptr, c->topics_.CommandFilter().c_str(), 1, 0, nullptr);
}

void Client::OnDisconnect(mosquitto*, void* self, int rc, const mosquitto_property*) {
    auto* c = static_cast<Client*>(self);
    // rc 0: our own goodbye at the stop.
    if (c->connected_ && rc != 0)
        c->Log("mqtt: lost the broker " + c->where_ + ": " + mosquitto_strerror(rc) + "; reconnecting");
    c->connected_ = false;
}

void Client::OnMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*) {
    auto* c = static_cast<Client*>(self);
    const std::string topic = message->topic ? message->topic : "";
    const std::string unit = CommandTopicUnit(c->topics_, topic);
    if (unit.empty() || message->retain) return;  // a stale retained command is not an order
    if (message->payloadlen > kMaxCommandBytes) {
        c->Log("mqtt: ignored a command message of " + std::to_string(message->payloadlen) + " bytes on " + topic +
               " (at most " + std::to_string(kMaxCommandBytes) + ")");
        return;
    }
    const std::string payload(static_cast<const char*>(message->payload), size_t(message->payloadlen));
    const size_t space = payload.find(' ');
    const std::string name = payload.substr(0, space);
    const nut::InstantCommand* known = nut::FindInstantCommand(name);
    std::optional<int> parameter;
    bool ok = known != nullptr;
    if (ok && space != std::string::npos) {
        const std::string word = payload.substr(space + 1);
        ok = known->takesParameter && !word.empty() && word.size() <= 5 &&
             word.find_first_not_of("0123456789") == std::string::npos && std::stoi(word) <= 65535;
        if (ok) parameter = std::stoi(word);
    }
    if (!ok) {
        c->Log("mqtt: ignored an unknown command on " + topic + ": \"" + payload + "\"");
        return;
    }
    c->ToMain([c, unit, name = std::string(known->name), parameter] { c->command_(unit, name, parameter); });
}

void Client::Publish(const std::string& topic, const std::string& payload, bool retain) {
    mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), int(payload.size()), payload.data(), 1, retain, nullptr);
}

void Client::Send() {
    {
        std::lock_guard<std::mutex> lock(offerMutex_);
        if (fresh_) {
            units_ = std::move(offered_);
            offered_.clear();
            fresh_ = false;
        }
    }
    if (announce_) {
        for (auto& [name, sent] : sent_) sent = Sent{};
        announce_ = false;
    }
    const qint64 now = NowMs();
    const bool commands = !config_.commandUser.isEmpty();
    for (const UnitState& u : units_) {
        Sent& s = sent_[u.name];
        auto discovery = DiscoveryConfigs(topics_, u, commands);
        if (discovery != s.discovery) {
            for (const auto& [topic, payload] : discovery) Publish(topic, payload, config_.retain);
            s.discovery = std::move(discovery);
        }
        if (!s.available || *s.available != u.available) {
            Publish(topics_.Availability(u.name), u.available ? "online" : "offline", config_.retain);
            s.available = u.available;
        }
        if (u.state != s.state && now - s.stateMs >= kMinStateGapMs) {
            Publish(topics_.State(u.name), u.state, config_.retain);
            s.state = u.state;
            s.stateMs = now;
        }
    }
}

void Client::SayOffline() {
    if (connected_) {
        Publish(topics_.Bridge(), "offline", true);
        mosquitto_disconnect_v5(mosq_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
        for (int i = 0; i < 20 && mosquitto_loop(mosq_, 50, 1) == MOSQ_ERR_SUCCESS; ++i) {
        }
    }
}

}  // namespace mqtt
