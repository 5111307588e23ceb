// What the web side answers: the dashboard's files, the JSON API, /healthz, /metrics and
// /ups_metrics, logins and commands. Everything here runs on the web thread, except reads of the
// history file, which go to a few threads of their own so that a year-long query never holds up
// the live answers; what belongs to the server's thread (queueing a command, the log, the
// events) goes through MainSide.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <map>
#include <vector>

#include "daemon/history/history_store.h"
#include "daemon/nut/password_checker.h"
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
    std::string_view ifNoneMatch;
    std::string_view acceptEncoding;
    std::string peer;  // the client's address
    bool tls = false;
};

struct Reply {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    bool stream = false;      // the server turns the connection into an event stream
    bool streamFull = false;  // ... whose events carry user names and addresses (a login's)
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

// Runs history reads on threads of their own, each with its own reading connection to the file.
// A bounded queue: when it is full the caller is told at once rather than made to wait.
class ReaderPool {
public:
    using Job = std::function<void(history::Store*)>;  // the store is null without a usable file
    ReaderPool(int threads, size_t maxQueued);
    ~ReaderPool();  // waits for the jobs running; those still queued are dropped
    bool Full();
    void Run(std::string path, Job job);

private:
    void Work();
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<std::string, Job>> jobs_;
    size_t maxQueued_;
    bool stop_ = false;
    std::vector<std::thread> threads_;
};

class Api {
public:
    using Post = std::function<void(std::function<void()>)>;  // runs a task on the web thread
    using Clock = std::function<int64_t()>;                   // wall clock, ms since the epoch

    Api(MainSide* main, Post post, Clock clock, std::shared_ptr<nut::PasswordChecker> checker = nullptr);
    ~Api();  // waits for its password check running

    void SetSnapshot(std::shared_ptr<const Snapshot> snapshot) { snapshot_ = std::move(snapshot); metrics_.clear(); }
    const std::shared_ptr<const Snapshot>& snapshot() const { return snapshot_; }
    void SetUsers(std::shared_ptr<const nut::UsersFile> users) { users_ = std::move(users); }
    // The history file, read on the reader threads through connections of their own.
    void SetHistoryPath(std::string path) { historyPath_ = std::move(path); }

    // How many event streams are open (for /healthz).
    void SetStreamCount(std::function<size_t()> count) { streamCount_ = std::move(count); }
    // Every few seconds: notes the failed logins gathered while their address's minute ran.
    void Tick();

    // Answers through done, at once or (logins, commands) later; never on another thread.
    void Handle(const Request& request, ReplyFn done);

    static constexpr int kReaderThreads = 2;
    static constexpr size_t kMaxQueuedReads = 16;
    static constexpr int64_t kFailureNoteGapMs = 60'000;  // failed logins: one event per address per minute
    static constexpr size_t kMaxFailureAddresses = 4096;

private:
    Reply Units() const;
    Reply OneUnit(std::string_view name) const;
    void History(std::string_view name, std::string_view query, ReplyFn done);
    void Events(const Request& request, std::string_view query, ReplyFn done);
    bool LoggedIn(const Request& request);
    Reply Health() const;
    Reply Metrics();
    Reply UpsMetrics(std::string_view query) const;
    Reply Session(const Request& request);
    void Login(const Request& request, ReplyFn done);
    Reply Logout(const Request& request);
    void Command(const Request& request, std::string_view unit, ReplyFn done);
    // The login behind the request's cookie when its CSRF header matches; otherwise the reply.
    const WebLogin* Authorise(const Request& request, Reply* refusal);
    std::string SessionCookie(const std::string& token, bool tls, bool clear) const;
    // Runs a history read on the pool and hands its reply back here; 503 when the pool is full.
    void Read(std::function<Reply(history::Store*)> read, ReplyFn done);
    // A failed login (or one dropped while too many from its address waited) from peer: noted at
    // once when the address has had no note for a minute, else counted into its next note.
    void LoginFailure(const std::string& peer, const std::string& user, bool refused);
    void NoteFailures(const std::string& peer, int64_t now);

    MainSide* main_;
    Post post_;
    Clock clock_;
    std::shared_ptr<const Snapshot> snapshot_;
    std::shared_ptr<const nut::UsersFile> users_;
    SessionTable sessions_;
    std::shared_ptr<nut::PasswordChecker> checker_;
    std::string metrics_;  // of the current snapshot, made on the first scrape
    std::string historyPath_;
    std::function<size_t()> streamCount_;
    struct Failures {
        int64_t lastNoteMs = 0;  // 0: none noted yet
        int64_t firstUnnotedMs = 0;
        int failed = 0, refused = 0;  // since the last note
        std::string lastUser;
    };
    std::map<std::string, Failures> failures_;
    std::unique_ptr<ReaderPool> readers_;  // last: its threads go before what their jobs post to
};

// One event as the API and the stream show it; without full, no user name or address.
void AppendEventJson(std::string* out, const history::Event& event, bool full = true);

// The history query's parameters, checked: from, to and step whole seconds, from not after to,
// step above 0, the range clipped to what is kept (the last year up to now) so that no
// arithmetic on it can overflow, and step widened so that at most maxPoints steps come back.
// nullopt with *error naming the parameter at fault.
struct HistoryRange {
    int64_t from = 0, to = 0, step = 60;
};
std::optional<HistoryRange> ParseHistoryRange(std::string_view query, int64_t nowSeconds, int64_t maxPoints,
                                              std::string* error);

// Whether an If-None-Match header names etag ("*", a list, weak tags compared weakly).
bool EtagMatches(std::string_view ifNoneMatch, std::string_view etag);
// Whether an Accept-Encoding header takes gzip (not with q=0).
bool AcceptsGzip(std::string_view acceptEncoding);

// "%2F" and "+" decoded; false for a malformed escape.
bool PercentDecode(std::string_view in, std::string* out, bool plusIsSpace);
// The decoded value of one parameter of a query string; nullopt when it is absent or malformed.
std::optional<std::string> QueryValue(std::string_view query, std::string_view name);

}  // namespace web
