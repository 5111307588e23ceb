// The runtime and LB that NUT clients are served, through whole discharges: vespero-sim's battery
// (fitted to a maker's datasheet) on a pseudo-terminal, the real link and vesperod, read over the
// NUT protocol. A new battery and one at 80 % of its nameplate, at 25, 50 and 100 % of 5 kW,
// before and after one learned discharge at 50 %. Each discharge runs in compressed time, scaled
// so that it takes about ten real seconds; the server is told the same scale.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "tests/support/child_process.h"
#include "tests/support/files_and_waits.h"

using testsupport::Spawn;
using testsupport::Terminate;
using testsupport::WriteFile;

namespace {

quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.serverPort();
}

// A bare NUT client on one connection: GET VAR, answered in a millisecond or two, so readings
// can be timed far more closely than by starting upsc each time.
class NutLine {
public:
    bool Connect(quint16 port, int limitMs) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < limitMs) {
            socket_.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
            if (socket_.waitForConnected(500)) return true;
            socket_.abort();
            QThread::msleep(100);
        }
        return false;
    }
    // The value, or NaN when there is none (stale data, no such variable).
    double Number(const char* name) {
        const QString v = Get(name);
        bool ok = false;
        const double d = v.toDouble(&ok);
        return ok ? d : NAN;
    }
    QString Get(const char* name) {
        socket_.write(QByteArray("GET VAR vespero0 ") + name + "\n");
        if (!socket_.waitForBytesWritten(2000)) return {};
        while (!socket_.canReadLine())
            if (!socket_.waitForReadyRead(2000)) return {};
        const QString line = QString::fromUtf8(socket_.readLine()).trimmed();
        const int quote = line.indexOf(QLatin1Char('"'));
        return line.startsWith(QLatin1String("VAR ")) && quote > 0 ? line.mid(quote + 1).chopped(1) : QString();
    }

private:
    QTcpSocket socket_;
};

struct Discharge {
    double seconds = 0;    // battery seconds from the mains failing to the end voltage
    double atStart = 0;    // the runtime served 10 s in, plus those seconds
    double atHalf = 0;     // the same half-way
    double lbLeft = -1;    // battery seconds still to come when LB was first served
};

double Percent(double estimate, double actual) { return 100 * (estimate - actual) / actual; }

class BatteryAcceptance : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        qputenv("XDG_CONFIG_HOME", dir_.path().toLocal8Bit());
        QDir().mkpath(dir_.filePath(QStringLiteral("Tralvane")));
        WriteFile(dir_.filePath(QStringLiteral("Tralvane/vesperod.users")), "");
        WriteFile(dir_.filePath(QStringLiteral("ctl")), "model=1\nstate=2\nload=25\n");
        sim_ = std::make_unique<testsupport::SimProcess>(
            QStringLiteral(VESPERO_SIM_PATH), 1, dir_.path(),
            QStringList{QStringLiteral("--control"), dir_.filePath(QStringLiteral("ctl")), QStringLiteral("--model")});
        ASSERT_TRUE(sim_->ready());
    }

    // One discharge from a full battery to the end voltage, with a server that has learned what
    // the state folder holds. `scale`: battery seconds a real second, the same for both.
    Discharge Run(const char* stateDir, double health, double load, double scale) {
        Discharge d;
        const QByteArray unit = QByteArray("model=1\ncapacity=40\nhealth=") + QByteArray::number(health) +
                                "\nload=" + QByteArray::number(load) + "\ntimescale=" + QByteArray::number(scale) + "\n";
        WriteFile(dir_.filePath(QStringLiteral("ctl")), unit + "state=2\ncharge=100\n");
        WriteFile(dir_.filePath(QStringLiteral("Tralvane/vesperod.conf")),
                  QByteArray("[battery]\ntime_scale = ") + QByteArray::number(scale) + "\nstate_dir = " +
                      dir_.filePath(QLatin1String(stateDir)).toUtf8() + "\n");
        const quint16 port = FreePort();
        const pid_t daemon = Spawn(QStringLiteral(VESPEROD_PATH),
                                   {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port)},
                                   dir_.filePath(QStringLiteral("vesperod.err")));
        NutLine nut;
        EXPECT_TRUE(nut.Connect(port, 10000));
        // Floating on line: full.
        QElapsedTimer wait;
        wait.start();
        while (!(nut.Number("battery.charge") == 100 && nut.Get("battery.charger.status") == QLatin1String("floating")) &&
               wait.elapsed() < 15000)
            QThread::msleep(50);
        EXPECT_LT(wait.elapsed(), 15000) << "never full on line";

        WriteFile(dir_.filePath(QStringLiteral("ctl")), unit + "state=18\n");
        QElapsedTimer clock;
        clock.start();
        std::vector<std::pair<double, double>> runtimes;  // battery seconds, runtime served
        double end = -1, lb = -1;
        while (clock.elapsed() < 60000) {
            const QString status = nut.Get("ups.status");
            const double runtime = nut.Number("battery.runtime");
            const double volts = nut.Number("battery.voltage");
            const double at = clock.elapsed() / 1000.0 * scale;
            if (!status.startsWith(QLatin1String("OB"))) {
                clock.restart();  // the flip has not reached the server yet
                continue;
            }
            if (lb < 0 && status.contains(QLatin1String("LB"))) lb = at;
            if (volts < 42.0) {
                end = at;
                break;
            }
            if (std::isfinite(runtime)) runtimes.push_back({at, runtime});
            QThread::msleep(10);
        }
        EXPECT_GT(end, 0) << "no end voltage within a minute";
        d.seconds = end;
        d.lbLeft = lb < 0 ? -1 : end - lb;
        for (const auto& [at, runtime] : runtimes) {
            if (d.atStart == 0 && at >= 10) d.atStart = at + runtime;
            if (d.atHalf == 0 && at >= end / 2) d.atHalf = at + runtime;
        }
        // The mains back, full at once; the learned model is in the state folder by now.
        WriteFile(dir_.filePath(QStringLiteral("ctl")), unit + "state=2\ncharge=100\n");
        Terminate(daemon);
        return d;
    }

    // About ten real seconds a discharge.
    static double ScaleFor(double load) { return load >= 100 ? 36 : load >= 50 ? 130 : 370; }

    QTemporaryDir dir_;
    std::unique_ptr<testsupport::SimProcess> sim_;
};

// What a user deciding when to shut down sees, and whether LB keeps its promise (runtime_low is
// 300 s by default: LB must leave at least 240 s, or come at once when the whole is shorter).
void ExpectLowBatteryInTime(const Discharge& d, const char* what) {
    ASSERT_GE(d.lbLeft, 0) << what << ": LB never came";
    if (d.seconds <= 300)
        EXPECT_GE(d.lbLeft, 0.9 * d.seconds) << what;
    else
        EXPECT_GE(d.lbLeft, 240) << what;
}

TEST_F(BatteryAcceptance, RuntimeWithinItsBoundsBeforeAndAfterLearningAndLowBatteryInTime) {
    const double loads[] = {25, 50, 100};
    for (const double health : {1.0, 0.8}) {
        const char* state = health == 1.0 ? "state-new" : "state-worn";
        for (const double load : loads) {
            // Before learning: a state folder of its own, empty.
            const std::string before = std::string(state) + "-fresh-" + std::to_string(int(load));
            const Discharge d = Run(before.c_str(), health, load, ScaleFor(load));
            std::printf("health %.1f load %3.0f before learning: end after %5.0f s, 10 s in %5.0f s (%+5.1f %%), "
                        "half-way %+5.1f %%, LB with %4.0f s left\n",
                        health, load, d.seconds, d.atStart, Percent(d.atStart, d.seconds), Percent(d.atHalf, d.seconds),
                        d.lbLeft);
            if (health == 1.0) EXPECT_NEAR(Percent(d.atStart, d.seconds), 0, 25) << "new battery, load " << load;
            ExpectLowBatteryInTime(d, "before learning");
        }
        const Discharge learned = Run(state, health, 50, ScaleFor(50));
        std::printf("health %.1f learned from one discharge at 50 %%: end after %.0f s\n", health, learned.seconds);
        for (const double load : loads) {
            const Discharge d = Run(state, health, load, ScaleFor(load));
            std::printf("health %.1f load %3.0f after learning:  end after %5.0f s, 10 s in %5.0f s (%+5.1f %%), "
                        "half-way %+5.1f %%, LB with %4.0f s left\n",
                        health, load, d.seconds, d.atStart, Percent(d.atStart, d.seconds), Percent(d.atHalf, d.seconds),
                        d.lbLeft);
            EXPECT_NEAR(Percent(d.atStart, d.seconds), 0, 10) << "health " << health << ", load " << load;
            ExpectLowBatteryInTime(d, "after learning");
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
