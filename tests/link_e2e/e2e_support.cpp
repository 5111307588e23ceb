#include "e2e_support.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace e2e {

std::vector<LogLine> ReadLog(const QString& path) {
    std::vector<LogLine> out;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return out;
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (const QByteArray& raw : lines) {
        const QList<QByteArray> parts = raw.trimmed().split(' ');
        LogLine line;
        bool damaged = false;
        for (const QByteArray& part : parts) {
            if (part.isEmpty()) continue;
            bool ok = false;
            const uint v = part.toUInt(&ok, 16);
            if (ok && part.size() == 2) {
                line.frame.push_back(uint8_t(v));
            } else if (line.frame.empty() && line.tag.empty()) {
                line.tag = part.toStdString();
            } else {
                damaged = true;
            }
        }
        if (!line.frame.empty() && !damaged) out.push_back(line);
    }
    return out;
}

std::vector<Frame> ReadFrames(const QString& path) {
    std::vector<Frame> out;
    for (const LogLine& l : ReadLog(path)) out.push_back(l.frame);
    return out;
}

Frame Query(char c) { return {0x80, uint8_t(c)}; }

std::vector<uint8_t> Words(const std::vector<int>& values) {
    std::vector<uint8_t> out;
    for (int v : values) {
        out.push_back(uint8_t((unsigned(v) >> 8) & 0xFF));
        out.push_back(uint8_t(unsigned(v) & 0xFF));
    }
    return out;
}

Frame SetFrame(char c, const std::vector<uint8_t>& data) {
    static const char hex[] = "0123456789ABCDEF";
    Frame f{0x80, uint8_t(c)};
    for (uint8_t b : data) {
        f.push_back(uint8_t(hex[b >> 4]));
        f.push_back(uint8_t(hex[b & 15]));
    }
    unsigned sum = 0;
    for (uint8_t b : f) sum += b;
    sum &= 0xFFFF;
    for (int shift = 12; shift >= 0; shift -= 4) f.push_back(uint8_t(hex[(sum >> shift) & 15]));
    return f;
}

std::string Hex(const Frame& f) {
    std::string s;
    char buf[4];
    for (size_t i = 0; i < f.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", f[i]);
        s += buf;
    }
    return s;
}

bool Receiver::event(QEvent* e) {
    if (int(e->type()) == WM_UPS_REFRESH) {
        ++refreshes;
        if (onRefresh) onRefresh();
        return true;
    }
    if (int(e->type()) == WM_UPS_EVENT) {
        ++events;
        return true;
    }
    return QObject::event(e);
}

void LinkTest::SetUp() {
    ASSERT_TRUE(dir_.isValid());
    oldConfigHome_ = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", dir_.path().toLocal8Bit());
    // The link appends "valori.txt" to the current directory.
    oldCwd_ = QDir::currentPath();
    QDir::setCurrent(dir_.path());
    QDir().mkpath(Path("Tralvane"));
}

void LinkTest::TearDown() {
    StopLink();
    SetUpsPostObserver(nullptr);
    for (pid_t sim : sims_) Terminate(sim);
    sims_.clear();
    QDir::setCurrent(oldCwd_);
    if (oldConfigHome_.isNull()) {
        qunsetenv("XDG_CONFIG_HOME");
    } else {
        qputenv("XDG_CONFIG_HOME", oldConfigHome_);
    }
}

void LinkTest::WriteSettings(const std::map<std::string, std::string>& values) {
    QFile f(Path("Tralvane/Ups.ini"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QByteArray text = "[Orbo]\n";
    for (const auto& [name, value] : values) text += QByteArray::fromStdString(name + "=" + value + "\n");
    f.write(text);
}

void LinkTest::StartSim(int com, const QStringList& extra, const QString& logName) {
    const QString ready = Path(QStringLiteral("sim%1.ready").arg(com));
    QFile::remove(ready);
    QStringList args{QStringLiteral("--com"), QString::number(com), QStringLiteral("--log"),
                     logName.isEmpty() ? LogOf(com) : Path(logName), QStringLiteral("--ready-file"), ready};
    args += extra;
    const pid_t pid = Spawn(QStringLiteral(VESPERO_SIM_PATH), args);
    ASSERT_GT(pid, 0) << "vespero-sim did not start";
    sims_.push_back(pid);
    bool ended = false;
    ASSERT_TRUE(WaitUntil([&] {
        if (QFile::exists(ready)) return true;
        int status = 0;
        ended = waitpid(pid, &status, WNOHANG) == pid;
        return ended;
    }, 10000));
    ASSERT_FALSE(ended) << "vespero-sim exited before publishing COM" << com;
}

void LinkTest::StartLink() {
    // The link clears the table itself, but only once its thread runs; until then a test must
    // not mistake the previous test's values for new ones.
    for (int i = 0; i < 4; ++i) {
        auto lock = LockDevice(i);
        std::memset(static_cast<void*>(&MainUps[i]), 0, sizeof MainUps[i]);
    }
    SendHwnd(&receiver_);
    StartLinkThread();
    linkRunning_ = true;
}

void LinkTest::StopLink() {
    if (!linkRunning_) return;
    SendHwnd(nullptr);
    StopLinkThread();
    linkRunning_ = false;
    QCoreApplication::removePostedEvents(&receiver_);
}

bool LinkTest::WaitForFrames(const QString& log, size_t count, int limitMs) {
    return WaitUntil([&] { return ReadFrames(log).size() >= count; }, limitMs);
}

bool LinkTest::WaitForRefreshes(int count, int limitMs) {
    return WaitUntil([&] { return receiver_.refreshes.load() >= count; }, limitMs);
}

}  // namespace e2e
