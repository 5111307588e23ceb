// What the web side answers: the dashboard's files, the JSON API, /healthz and /metrics, logins
// and commands. Everything here runs on the web thread; what belongs to the server's thread
// (queueing a command, the log, the event history) goes through MainSide.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <map>
#include <vector>

#include "daemon/history/history_store.h"
#include "daemon/nut/users_file.h"
#include "daemon/ups_variables.h"
#include "daemon/web/web_sessions.h"

namespace web {

struct Request {
    std::string_view method;
    std::string_view target;  // path and query, as sent
    std::string_view body;
    std::string_view cookie;  // the Cookie header
    std::string_view csrf;    // the X-CSRF-Token header
    std::string_view contentType;
    std::string peer;  // the client's address
    bool tls = false;
};

struct Reply {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    bool stream = false;  // the server turns the connection into an event stream
    // Pre-made bodies (assets) are served without a copy.
    const char* staticBody = nullptr;
    size_t staticSize = 0;
};
using ReplyFn = std::function<void(Reply)>;

Reply JsonError(int status, std::string_view message);

// One unit as of the newest refresh, made on the server's thread.
struct UnitSnapshot {
    std::string name;
    std::string json;
    std::vector<nut::Variable> variables;
    bool stale = false;
    bool linkLost = false;
    bool remote = false;  // another NUT server's: shown, not counted in /metrics or /healthz
};
struct Snapshot {
    std::vector<UnitSnapshot> units;
};

// A command asked for over the web, checked for its user's rights, carried out on the server's
// thread.
struct CommandOrder {
    std::string unit;
    std::string command;
    std::optional<int> parameter;
    std::string user;
    std::string peer;
};

class MainSide {
public:
    virtual ~MainSide() = default;
    // Each calls done on the web thread once the server's thread has answered.
    virtual void RunCommand(CommandOrder order, ReplyFn done) = 0;
    virtual void CommandStatus(std::string id, ReplyFn done) = 0;
    virtual void Log(std::string line) = 0;
    virtual void Note(std::string unit, std::string kind, std::string text, std::string user, std::string peer) = 0;
};

class Api {
public:
    using Post = std::function<void(std::function<void()>)>;  // runs a task on the web thread
    using Clock = std::function<int64_t()>;                   // wall clock, ms since the epoch

    Api(MainSide* main, Post post, Clock clock);
    ~Api();  // waits for password checks still running

    void SetSnapshot(std::shared_ptr<const Snapshot> snapshot) { snapshot_ = std::move(snapshot); metrics_.clear(); }
    const std::shared_ptr<const Snapshot>& snapshot() const { return snapshot_; }
    void SetUsers(std::shared_ptr<const nut::UsersFile> users) { users_ = std::move(users); }
    // The history file, opened again for reading on this thread.
    void SetHistoryPath(std::string path) { historyPath_ = std::move(path); history_.reset(); }

    // How many event streams are open (for /healthz).
    void SetStreamCount(std::function<size_t()> count) { streamCount_ = std::move(count); }

    // Answers through done, at once or (logins, commands) later; never on another thread.
    void Handle(const Request& request, ReplyFn done);

    static constexpr int kMaxChecksRunning = 4;

private:
    Reply Units() const;
    Reply OneUnit(std::string_view name) const;
    Reply History(std::string_view name, std::string_view query);
    Reply Events(std::string_view query);
    Reply Health() const;
    Reply Metrics();
    Reply Session(const Request& request);
    void Login(const Request& request, ReplyFn done);
    Reply Logout(const Request& request);
    void Command(const Request& request, std::string_view unit, ReplyFn done);
    // The login behind the request's cookie when its CSRF header matches; otherwise the reply.
    const WebLogin* Authorise(const Request& request, Reply* refusal);
    std::string SessionCookie(const std::string& token, bool tls, bool clear) const;
    history::Store* HistoryReader();

    MainSide* main_;
    Post post_;
    Clock clock_;
    std::shared_ptr<const Snapshot> snapshot_;
    std::shared_ptr<const nut::UsersFile> users_;
    SessionTable sessions_;
    LoginLimiter limiter_;
    std::string metrics_;  // of the current snapshot, made on the first scrape
    std::string historyPath_;
    std::unique_ptr<history::Store> history_;
    std::function<size_t()> streamCount_;
    std::map<int, std::thread> checks_;  // password checks running, by number
    int nextCheck_ = 0;
};

// One event as the API and the stream show it.
void AppendEventJson(std::string* out, const history::Event& event);

// "%2F" and "+" decoded; false for a malformed escape.
bool PercentDecode(std::string_view in, std::string* out, bool plusIsSpace);
// The decoded value of one parameter of a query string; nullopt when it is absent or malformed.
std::optional<std::string> QueryValue(std::string_view query, std::string_view name);

}  // namespace web
