// Shared pieces of the link tests: a temporary configuration home, simulated units, a receiver
// of the link's messages, and an encoder of request frames written from the wire rules.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QObject>
#include <QStringList>
#include <QTemporaryDir>
#include <QThread>

#include <sys/types.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/device_lock.h"
#include "link/port/ups_event.h"
#include "link/ups_link.h"
#include "tests/support/child_process.h"

namespace e2e {

using Frame = std::vector<uint8_t>;

// Waits, delivering posted events meanwhile, until done() holds; false after limitMs.
inline bool WaitUntil(const std::function<bool()>& done, int limitMs = 15000) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(2);
    }
    return true;
}

using testsupport::Spawn;
using testsupport::Terminate;
using testsupport::WaitExit;

// Frames of a sim log: one line per request, hex bytes, optionally a tag before them and a note
// after. Lines with a note (damaged or truncated frames) are skipped unless asked for.
struct LogLine {
    std::string tag;
    Frame frame;
};
std::vector<LogLine> ReadLog(const QString& path);
std::vector<Frame> ReadFrames(const QString& path);

// Set-request frame: 0x80, the character, the data as uppercase hex pairs, the unsigned
// 16-bit sum of everything before it as four hex characters.
Frame SetFrame(char c, const std::vector<uint8_t>& data);
std::vector<uint8_t> Words(const std::vector<int>& values);  // low 16 bits, high byte first
Frame Query(char c);
std::string Hex(const Frame& f);

class Receiver : public QObject {
public:
    std::atomic<int> refreshes{0};
    std::atomic<int> events{0};
    std::function<void()> onRefresh;

protected:
    bool event(QEvent* e) override;
};

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QString Path(const QString& name) const { return dir_.path() + "/" + name; }
    void WriteSettings(const std::map<std::string, std::string>& values);
    // Starts vespero-sim on COM n with its log in sim<n>.log (or logName); waits until published.
    void StartSim(int com, const QStringList& extra = {}, const QString& logName = {});
    QString LogOf(int com) const { return Path(QStringLiteral("sim%1.log").arg(com)); }
    void StartLink();
    void StopLink();
    bool WaitForFrames(const QString& log, size_t count, int limitMs = 15000);
    bool WaitForRefreshes(int count, int limitMs = 15000);

    QTemporaryDir dir_;
    QByteArray oldConfigHome_;
    QString oldCwd_;
    std::vector<pid_t> sims_;
    Receiver receiver_;
    bool linkRunning_ = false;
};

}  // namespace e2e
