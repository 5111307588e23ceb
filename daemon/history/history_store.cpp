#include "daemon/history/history_store.h"

#include <QDateTime>
#include <QDir>
#include <QFile>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

namespace history {

const std::array<const char*, kQuantities> kQuantityNames = {
    "battery.voltage", "battery.charge", "battery.runtime", "ups.load",
    "ups.realpower",   "input.voltage",  "input.frequency", "battery.temperature"};

std::string Bounded(std::string text, size_t max) {
    if (text.size() <= max) return text;
    size_t cut = max;
    // Back to the start of a UTF-8 sequence: continuation bytes are 10xxxxxx.
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
    return text;
}

namespace {

constexpr qint64 kMinute = 60;

// The history names who logged in from where: readable by the service's group, not by all.
// SQLite gives its journal files the mode of the database, so the database is made (or
// narrowed) first.
void RestrictMode(const QString& path) {
    const QByteArray name = path.toLocal8Bit();
    const int fd = ::open(name.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0640);
    if (fd >= 0) {
        struct stat st {};
        if (fstat(fd, &st) == 0 && (st.st_mode & 0137)) fchmod(fd, st.st_mode & 0640);
        ::close(fd);
    }
    for (const char* suffix : {"-wal", "-shm"}) {
        const QByteArray journal = name + suffix;
        struct stat st {};
        if (stat(journal.constData(), &st) == 0 && (st.st_mode & 0137)) chmod(journal.constData(), st.st_mode & 0640);
    }
}
constexpr qint64 kHour = 3600;

std::string Column(int q) {
    std::string c = kQuantityNames[q];
    std::replace(c.begin(), c.end(), '.', '_');
    return c;
}

// Prepared statement that finalises itself.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &s_, nullptr); }
    ~Statement() { sqlite3_finalize(s_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    explicit operator bool() const { return s_ != nullptr; }
    sqlite3_stmt* operator*() const { return s_; }

private:
    sqlite3_stmt* s_ = nullptr;
};

void BindText(sqlite3_stmt* s, int i, const std::string& text) {
    sqlite3_bind_text(s, i, text.data(), int(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* s, int i) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(s, i));
    return p ? std::string(p, size_t(sqlite3_column_bytes(s, i))) : std::string();
}

// Adds rows into existing ones of the same unit, span and start: counts add, avg is weighted by
// them, min and max cover both. A quantity with no readings keeps NULL figures.
std::string UpsertClause() {
    std::string sql = " ON CONFLICT(unit, t, span) DO UPDATE SET ";
    for (int q = 0; q < kQuantities; ++q) {
        const std::string c = Column(q);
        const std::string n = c + "_n", en = "excluded." + n;
        if (q) sql += ", ";
        sql += c + "_min = CASE WHEN " + n + " = 0 THEN excluded." + c + "_min WHEN " + en + " = 0 THEN " + c +
               "_min ELSE min(" + c + "_min, excluded." + c + "_min) END, ";
        sql += c + "_max = CASE WHEN " + n + " = 0 THEN excluded." + c + "_max WHEN " + en + " = 0 THEN " + c +
               "_max ELSE max(" + c + "_max, excluded." + c + "_max) END, ";
        sql += c + "_avg = CASE WHEN " + n + " + " + en + " > 0 THEN (coalesce(" + c + "_avg, 0) * " + n +
               " + coalesce(excluded." + c + "_avg, 0) * " + en + ") / (" + n + " + " + en + ") END, ";
        sql += n + " = " + n + " + " + en;
    }
    return sql;
}

std::string ColumnList() {
    std::string sql = "unit, span, t";
    for (int q = 0; q < kQuantities; ++q) {
        const std::string c = Column(q);
        sql += ", " + c + "_n, " + c + "_min, " + c + "_avg, " + c + "_max";
    }
    return sql;
}

// min of mins, max of maxes and the average weighted by the readings behind each row.
std::string AggregateList(int only = -1) {
    std::string sql;
    for (int q = 0; q < kQuantities; ++q) {
        if (only >= 0 && q != only) {
            sql += ", 0, NULL, NULL, NULL";
            continue;
        }
        const std::string c = Column(q);
        sql += ", sum(" + c + "_n), min(" + c + "_min), sum(" + c + "_avg * " + c + "_n) / nullif(sum(" + c +
               "_n), 0), max(" + c + "_max)";
    }
    return sql;
}

bool IsDamage(int code) { return code == SQLITE_NOTADB || code == SQLITE_CORRUPT; }

}  // namespace

Store::Store(Clock clock, Log log) : clock_(std::move(clock)), log_(std::move(log)) {
    if (!clock_) clock_ = [] { return QDateTime::currentMSecsSinceEpoch(); };
}

Store::~Store() { Close(); }

bool Store::Open(const QString& dir) {
    Close();
    if (!QDir().mkpath(dir)) {
        if (log_) log_(QStringLiteral("history: cannot create %1; going on without history").arg(dir));
        return false;
    }
    path_ = QDir(dir).filePath(QStringLiteral("history.sqlite"));
    QString why;
    bool damaged = false;
    if (OpenFile(&why, &damaged)) return true;
    if (damaged) {
        const QString aside =
            path_ + QStringLiteral(".damaged-") + QDateTime::fromMSecsSinceEpoch(clock_()).toUTC().toString(QStringLiteral("yyyyMMddTHHmmssZ"));
        QFile::remove(aside);
        const bool moved = QFile::rename(path_, aside);
        // The journal belongs to the damaged file and would be replayed into the fresh one.
        for (const char* suffix : {"-wal", "-shm"})
            if (QFile::exists(path_ + QLatin1String(suffix)))
                QFile::rename(path_ + QLatin1String(suffix), aside + QLatin1String(suffix));
        if (log_)
            log_(moved ? QStringLiteral("history: %1 is damaged (%2); set aside as %3, starting a fresh one")
                             .arg(path_, why, aside)
                       : QStringLiteral("history: %1 is damaged (%2) and cannot be set aside").arg(path_, why));
        if (moved && OpenFile(&why, &damaged)) return true;
    }
    if (log_) log_(QStringLiteral("history: cannot use %1 (%2); going on without history").arg(path_, why));
    return false;
}

bool Store::OpenForReading(const QString& path) {
    Close();
    path_ = path;
    const int rc = sqlite3_open_v2(path.toUtf8().constData(), &db_, SQLITE_OPEN_READONLY, nullptr);
    if (rc != SQLITE_OK) {
        sqlite3_close(db_);
        db_ = nullptr;
        return false;
    }
    // The writer commits at most a minute's rows at a time; a reader waits that out.
    sqlite3_busy_timeout(db_, 2000);
    readOnly_ = true;
    return true;
}

bool Store::OpenFile(QString* why, bool* damaged) {
    *damaged = false;
    RestrictMode(path_);
    int rc = sqlite3_open_v2(path_.toUtf8().constData(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    auto fail = [&](int code) {
        *why = QString::fromUtf8(sqlite3_errstr(code));
        *damaged = IsDamage(code);
        sqlite3_close_v2(db_);  // a statement still open finalises it later
        db_ = nullptr;
        return false;
    };
    if (rc != SQLITE_OK) return fail(rc);
    sqlite3_busy_timeout(db_, 1000);
    static const char* const setup[] = {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL"};
    for (const char* sql : setup)
        if ((rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr)) != SQLITE_OK) return fail(sqlite3_errcode(db_));
    std::string verdict;
    {
        Statement check(db_, "PRAGMA quick_check");
        if (!check || sqlite3_step(*check) != SQLITE_ROW) return fail(sqlite3_errcode(db_));
        verdict = ColumnText(*check, 0);
    }
    if (verdict != "ok") {
        fail(SQLITE_CORRUPT);
        *why = QString::fromStdString(verdict);
        return false;
    }
    std::string schema = "CREATE TABLE IF NOT EXISTS samples(unit TEXT NOT NULL, span INTEGER NOT NULL, t INTEGER NOT NULL";
    for (int q = 0; q < kQuantities; ++q) {
        const std::string c = Column(q);
        schema += ", " + c + "_n INTEGER NOT NULL DEFAULT 0, " + c + "_min REAL, " + c + "_avg REAL, " + c + "_max REAL";
    }
    schema += ", PRIMARY KEY(unit, t, span)) WITHOUT ROWID;"
              "CREATE INDEX IF NOT EXISTS samples_by_span ON samples(span, t);"
              "CREATE TABLE IF NOT EXISTS events(id INTEGER PRIMARY KEY AUTOINCREMENT, t INTEGER NOT NULL,"
              " unit TEXT NOT NULL, kind TEXT NOT NULL, text TEXT NOT NULL, user TEXT NOT NULL, peer TEXT NOT NULL);"
              "CREATE INDEX IF NOT EXISTS events_by_time ON events(t);";
    if ((rc = sqlite3_exec(db_, schema.c_str(), nullptr, nullptr, nullptr)) != SQLITE_OK) return fail(sqlite3_errcode(db_));
    failedLogged_ = false;
    return true;
}

void Store::Close() {
    if (!db_) return;
    if (!readOnly_) Flush(true);
    sqlite3_close(db_);
    db_ = nullptr;
    readOnly_ = false;
    current_.clear();
}

bool Store::Exec(const char* sql) {
    if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    Fail(QString::fromUtf8(sql));
    return false;
}

void Store::Fail(const QString& what) {
    // Once per opening: a full disk would otherwise fill the log every minute.
    if (failedLogged_ || !log_) return;
    failedLogged_ = true;
    log_(QStringLiteral("history: %1 failed: %2").arg(what, QString::fromUtf8(sqlite3_errmsg(db_))));
}

void Store::Record(const std::string& unit, const Reading& reading) {
    if (!db_) return;
    const qint64 minute = clock_() / 1000 / kMinute * kMinute;
    Minute& m = current_[unit];
    if (m.start != minute) {
        if (m.start >= 0) pending_.emplace_back(unit, m);
        m = Minute{};
        m.start = minute;
    }
    for (int q = 0; q < kQuantities; ++q) {
        if (!reading[q] || !std::isfinite(*reading[q])) continue;
        const double v = *reading[q];
        Stat& s = m.stats[q];
        if (s.count == 0) s.min = s.max = v;
        s.min = std::min(s.min, v);
        s.max = std::max(s.max, v);
        s.avg += v;
        ++s.count;
    }
}

void Store::Flush(bool flushAll) {
    if (!db_) return;
    const qint64 minute = clock_() / 1000 / kMinute * kMinute;
    for (auto& [unit, m] : current_) {
        if (m.start < 0 || (!flushAll && m.start >= minute)) continue;
        pending_.emplace_back(unit, m);
        m = Minute{};
    }
    if (pending_.empty()) return;
    for (auto& [unit, m] : pending_)
        for (Stat& s : m.stats)
            if (s.count) s.avg /= double(s.count);
    WriteRows(pending_, int(kMinute));
    pending_.clear();  // dropped on failure too: memory stays bounded while the disk is full
}

bool Store::WriteRows(const std::vector<std::pair<std::string, Minute>>& rows, int span) {
    std::string sql = "INSERT INTO samples(" + ColumnList() + ") VALUES(?, ?, ?";
    for (int i = 0; i < kQuantities * 4; ++i) sql += ", ?";
    sql += ")" + UpsertClause();
    if (!Exec("BEGIN")) return false;
    Statement insert(db_, sql);
    bool ok = bool(insert);
    for (const auto& [unit, m] : rows) {
        if (!ok) break;
        sqlite3_stmt* s = *insert;
        sqlite3_reset(s);
        BindText(s, 1, unit);
        sqlite3_bind_int(s, 2, span);
        sqlite3_bind_int64(s, 3, m.start);
        for (int q = 0; q < kQuantities; ++q) {
            const Stat& st = m.stats[q];
            sqlite3_bind_int64(s, 4 + q * 4, st.count);
            for (int k = 0; k < 3; ++k) {
                if (st.count == 0) sqlite3_bind_null(s, 5 + q * 4 + k);
                else sqlite3_bind_double(s, 5 + q * 4 + k, k == 0 ? st.min : k == 1 ? st.avg : st.max);
            }
        }
        ok = sqlite3_step(s) == SQLITE_DONE;
    }
    if (!ok) {
        Fail(QStringLiteral("writing the minutes"));
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return Exec("COMMIT");
}

bool Store::Maintain(int maxHours) {
    if (!db_) return false;
    const qint64 now = clock_() / 1000;
    const qint64 cutoff = (now - kFoldAfterSeconds) / kHour * kHour;  // whole hours only
    // What has passed a year goes first, so no time is spent folding it.
    if (!Exec("BEGIN")) return false;
    bool ok = true;
    {
        Statement expire(db_, "DELETE FROM samples WHERE span IN (60, 3600) AND t < ?1");
        Statement forget(db_, "DELETE FROM events WHERE t < ?1");
        ok = expire && forget;
        if (ok) {
            sqlite3_bind_int64(*expire, 1, now - kKeepSeconds);
            sqlite3_bind_int64(*forget, 1, (now - kKeepSeconds) * 1000);
            ok = sqlite3_step(*expire) == SQLITE_DONE && sqlite3_step(*forget) == SQLITE_DONE;
        }
    }
    qint64 oldest = 0;
    {
        Statement first(db_, "SELECT min(t) FROM samples WHERE span = 60");
        if (!first || sqlite3_step(*first) != SQLITE_ROW) {
            Fail(QStringLiteral("looking for old minutes"));
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            return false;
        }
        if (sqlite3_column_type(*first, 0) == SQLITE_NULL) oldest = cutoff;
        else oldest = sqlite3_column_int64(*first, 0);
    }
    bool more = false;
    if (ok && oldest < cutoff) {
        const qint64 from = oldest / kHour * kHour;
        const qint64 to = std::min(cutoff, from + qint64(std::max(1, maxHours)) * kHour);
        Statement fold(db_, "INSERT INTO samples(" + ColumnList() + ") SELECT unit, 3600, t / 3600 * 3600" +
                                AggregateList() + " FROM samples WHERE span = 60 AND t >= ?1 AND t < ?2" +
                                " GROUP BY unit, t / 3600" + UpsertClause());
        Statement drop(db_, "DELETE FROM samples WHERE span = 60 AND t >= ?1 AND t < ?2");
        ok = fold && drop;
        for (sqlite3_stmt* s : {*fold, *drop}) {
            if (!ok) break;
            sqlite3_bind_int64(s, 1, from);
            sqlite3_bind_int64(s, 2, to);
            ok = sqlite3_step(s) == SQLITE_DONE;
        }
        Statement left(db_, "SELECT 1 FROM samples WHERE span = 60 AND t < ?1 LIMIT 1");
        ok = ok && left;
        if (ok) {
            sqlite3_bind_int64(*left, 1, cutoff);
            const int rc = sqlite3_step(*left);
            ok = rc == SQLITE_ROW || rc == SQLITE_DONE;
            more = rc == SQLITE_ROW;
        }
    }
    if (!ok) {
        Fail(QStringLiteral("folding old minutes"));
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return Exec("COMMIT") && more;
}

void Store::AddEvent(const std::string& unit, const std::string& kind, const std::string& text,
                     const std::string& user, const std::string& peer) {
    Event event{0, clock_(), Bounded(unit, kMaxEventName), Bounded(kind, kMaxEventName), Bounded(text, kMaxEventText),
                Bounded(user, kMaxEventName), Bounded(peer, kMaxEventName)};
    if (db_) {
        // An event must outlive a power cut: this one commit is synced through.
        sqlite3_exec(db_, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr);
        Statement insert(db_, "INSERT INTO events(t, unit, kind, text, user, peer) VALUES(?, ?, ?, ?, ?, ?)");
        bool ok = bool(insert);
        if (ok) {
            sqlite3_bind_int64(*insert, 1, event.timeMs);
            BindText(*insert, 2, event.unit);
            BindText(*insert, 3, event.kind);
            BindText(*insert, 4, event.text);
            BindText(*insert, 5, event.user);
            BindText(*insert, 6, event.peer);
            ok = sqlite3_step(*insert) == SQLITE_DONE;
        }
        if (ok)
            event.id = sqlite3_last_insert_rowid(db_);
        else
            Fail(QStringLiteral("writing an event"));
        sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    }
    if (observer_) observer_(event);
}

std::vector<SampleRow> Store::Samples(const std::string& unit, qint64 from, qint64 to, qint64 stepSeconds,
                                      int quantity) {
    std::vector<SampleRow> rows;
    if (!db_ || to <= from || quantity >= kQuantities) return rows;
    const qint64 step = std::max<qint64>(1, (stepSeconds + kMinute - 1) / kMinute) * kMinute;
    Statement select(db_, "SELECT t / ?4 * ?4 AS b" + AggregateList(quantity) +
                              " FROM samples WHERE unit = ?1 AND t >= ?2 AND t < ?3 GROUP BY b ORDER BY b");
    if (!select) {
        Fail(QStringLiteral("reading the history"));
        return rows;
    }
    BindText(*select, 1, unit);
    sqlite3_bind_int64(*select, 2, from);
    sqlite3_bind_int64(*select, 3, to);
    sqlite3_bind_int64(*select, 4, step);
    sqlite3_stmt* s = *select;
    while (sqlite3_step(s) == SQLITE_ROW) {
        SampleRow r;
        r.start = sqlite3_column_int64(s, 0);
        for (int q = 0; q < kQuantities; ++q) {
            Stat& st = r.stats[q];
            st.count = sqlite3_column_int64(s, 1 + q * 4);
            if (!st.count) continue;
            st.min = sqlite3_column_double(s, 2 + q * 4);
            st.avg = sqlite3_column_double(s, 3 + q * 4);
            st.max = sqlite3_column_double(s, 4 + q * 4);
        }
        rows.push_back(r);
    }
    return rows;
}

std::vector<Event> Store::Events(qint64 sinceMs, int limit, bool newest) {
    std::vector<Event> events;
    if (!db_ || limit <= 0) return events;
    Statement select(db_, newest ? "SELECT id, t, unit, kind, text, user, peer FROM events WHERE t >= ? ORDER BY id DESC LIMIT ?"
                                 : "SELECT id, t, unit, kind, text, user, peer FROM events WHERE t >= ? ORDER BY id LIMIT ?");
    if (!select) {
        Fail(QStringLiteral("reading the events"));
        return events;
    }
    sqlite3_bind_int64(*select, 1, sinceMs);
    sqlite3_bind_int(*select, 2, limit);
    while (sqlite3_step(*select) == SQLITE_ROW) {
        sqlite3_stmt* s = *select;
        events.push_back({sqlite3_column_int64(s, 0), sqlite3_column_int64(s, 1), ColumnText(s, 2), ColumnText(s, 3),
                          ColumnText(s, 4), ColumnText(s, 5), ColumnText(s, 6)});
    }
    if (newest) std::reverse(events.begin(), events.end());
    return events;
}

}  // namespace history
