// The units' history in one SQLite file: per unit and minute the min/avg/max of the main
// measurements (folded into hours after 30 days, kept a year) and a log of events. Lives on the
// server's thread. Refreshes are summed in memory and written once a minute in one transaction;
// an event is one INSERT, synced before it returns. Without a usable file the store logs once and
// does nothing, so the service goes on without history.
#pragma once

#include <QString>
#include <QtGlobal>

#include <array>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;

namespace history {

// The measurements kept, in this order everywhere (the NUT variable each one is read from).
constexpr int kQuantities = 8;
extern const std::array<const char*, kQuantities> kQuantityNames;

using Reading = std::array<std::optional<double>, kQuantities>;

struct Stat {
    qint64 count = 0;  // readings behind the row; 0 when the quantity was never read
    double min = 0, avg = 0, max = 0;
};

struct SampleRow {
    qint64 start = 0;  // seconds since the epoch, the start of the step
    std::array<Stat, kQuantities> stats;
};

// Bounds of an event's words: a client's (a user name tried at a login) must fill neither the
// file nor the page.
constexpr size_t kMaxEventText = 256;
constexpr size_t kMaxEventName = 64;  // unit, kind, user and address
// text cut to at most max bytes, never inside a UTF-8 sequence.
std::string Bounded(std::string text, size_t max);

struct Event {
    qint64 id = 0;
    qint64 timeMs = 0;  // milliseconds since the epoch
    std::string unit, kind, text, user, peer;
};

class Store {
public:
    using Clock = std::function<qint64()>;  // milliseconds since the epoch
    using Log = std::function<void(const QString&)>;

    static constexpr qint64 kFoldAfterSeconds = 30 * 86400;
    static constexpr qint64 kKeepSeconds = 365 * 86400;

    Store(Clock clock, Log log);
    ~Store();
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Opens (or creates) dir/history.sqlite. A file that is not a sound database is renamed
    // aside and a fresh one made. False (logged) when the folder cannot hold a database.
    bool Open(const QString& dir);
    // A second connection to a store's file for another thread's queries (Samples, Events):
    // never writes, never sets the file aside.
    bool OpenForReading(const QString& path);
    void Close();  // writes what is pending first
    bool IsOpen() const { return db_ != nullptr; }
    QString Path() const { return path_; }

    // One refresh's readings of a unit, summed into the minute in memory.
    void Record(const std::string& unit, const Reading& reading);
    // Writes every finished minute (all of them with flushAll) in one transaction.
    void Flush(bool flushAll = false);
    // Folds old minutes into hours and drops what is older than a year; at most maxHours hour
    // rows per call so that a long backlog does not hold up the caller. True when more is left.
    bool Maintain(int maxHours = 12);

    void AddEvent(const std::string& unit, const std::string& kind, const std::string& text,
                  const std::string& user = {}, const std::string& peer = {});

    // Rows from from (inclusive) to to (exclusive), seconds since the epoch, re-aggregated to
    // steps of stepSeconds (rounded up to whole minutes), oldest first. With quantity (an index
    // into kQuantityNames) only that one is read, which is several times faster over a year.
    std::vector<SampleRow> Samples(const std::string& unit, qint64 from, qint64 to, qint64 stepSeconds,
                                   int quantity = -1);
    // Told of every event as it is added (its id is 0 when the file is not open), so that it can
    // also be pushed to whoever watches live.
    void SetEventObserver(std::function<void(const Event&)> observer) { observer_ = std::move(observer); }
    // Events at or after sinceMs, oldest first, at most limit of them: the first ones with
    // newest false, the last ones with newest true.
    std::vector<Event> Events(qint64 sinceMs, int limit, bool newest = false);

private:
    struct Minute {
        qint64 start = -1;
        std::array<Stat, kQuantities> stats;  // avg holds the running sum until written
    };
    bool OpenFile(QString* why, bool* damaged);
    bool Exec(const char* sql);
    void Fail(const QString& what);
    bool WriteRows(const std::vector<std::pair<std::string, Minute>>& rows, int span);

    Clock clock_;
    Log log_;
    QString path_;
    sqlite3* db_ = nullptr;
    std::map<std::string, Minute> current_;
    std::vector<std::pair<std::string, Minute>> pending_;
    bool failedLogged_ = false;
    bool readOnly_ = false;
    std::function<void(const Event&)> observer_;
};

}  // namespace history
