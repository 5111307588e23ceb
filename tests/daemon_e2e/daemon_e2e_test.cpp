// vesperod as NUT clients meet it: the simulated unit on a pseudo-terminal, the real link, and
// Debian's upsc, upscmd and upsmon talking to the server over loopback.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include <atomic>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/certificates.h"
#include "tests/support/child_process.h"
#include "tests/support/files_and_waits.h"
#include "tests/support/nut_client.h"

using testsupport::Spawn;
using testsupport::Terminate;
using testsupport::WaitExit;
using testsupport::WaitFor;
using testsupport::ReadAll;
using testsupport::WriteFile;

namespace {

const char kUpsc[] = "/usr/bin/upsc";
const char kUpscmd[] = "/usr/bin/upscmd";
const char kUpsrw[] = "/usr/bin/upsrw";
const char kUpsmon[] = "/lib/nut/upsmon";  // the binary itself: /usr/sbin/upsmon only checks /etc/nut/nut.conf

quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress(QHostAddress::LocalHost), 0);
    return probe.serverPort();
}

// Runs a client to its end. *output: what it printed on standard output, then on standard
// error (libupsclient says "Init SSL without certificate database" there on every start).
int RunClient(const QString& program, const QStringList& args, const QString& workDir, QString* output) {
    const QString outPath = workDir + QStringLiteral("/client.out");
    const QString errPath = workDir + QStringLiteral("/client.err");
    const pid_t pid = Spawn(program, args, errPath, outPath);
    if (pid <= 0) return -100;
    const int status = WaitExit(pid, 20000);
    if (status == -1) Terminate(pid);
    *output = ReadAll(outPath) + ReadAll(errPath);
    return status;
}

// upsmon splits into a privileged parent and a child that polls; the child outlives a SIGTERM to
// the parent (and polls on, a stray), so it is ended too.
void TerminateUpsmon(pid_t pid) {
    std::vector<pid_t> children;
    QFile list(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    if (list.open(QIODevice::ReadOnly))
        for (const QByteArray& child : list.readAll().split(' '))
            if (child.trimmed().toInt() > 0) children.push_back(child.trimmed().toInt());
    Terminate(pid);
    const auto gone = [](pid_t child) {  // or a zombie its new parent has yet to reap
        const QString stat = ReadAll(QStringLiteral("/proc/%1/stat").arg(child));
        return stat.isEmpty() || stat.section(QLatin1Char(')'), -1).trimmed().startsWith(QLatin1Char('Z'));
    };
    for (pid_t child : children) {
        kill(child, SIGTERM);
        if (!WaitFor([&] { return gone(child); }, 3000)) kill(child, SIGKILL);
    }
}

// One simulated unit on COM1 and one vesperod for the whole suite; each test sets the unit's
// state through the simulator's control file and waits for the server to show it.
class DaemonE2e : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(QFile::exists(kUpsc) && QFile::exists(kUpscmd) && QFile::exists(kUpsmon))
            << "Debian's nut-client is needed (scripts/deps installs it)";
        dir_ = new QTemporaryDir();
        ASSERT_TRUE(dir_->isValid());
        qputenv("XDG_CONFIG_HOME", dir_->path().toLocal8Bit());
        qputenv("XDG_STATE_HOME", dir_->path().toLocal8Bit());  // the learned battery model
        QDir().mkpath(Path("Tralvane"));
        WriteFile(Path("Tralvane/vesperod.users"),
                  "[admin]\n  password = s3cret\n  instcmds = test.battery.start\n  actions = SET\n"
                  "[mon]\n  password = monpass\n  upsmon primary\n");
        // The modelled discharge below runs at 120 battery seconds a second; the server counts alike.
        WriteFile(Path("Tralvane/vesperod.conf"), "[battery]\ntime_scale = 120\n");
        WriteFile(Path("ctl"), "state=2\nbattery=0\nsilent=0\n");
        sim_ = new testsupport::SimProcess(QStringLiteral(VESPERO_SIM_PATH), 1, dir_->path(),
                                           {QStringLiteral("--control"), Path("ctl"), QStringLiteral("--log"), Path("frames")});
        ASSERT_TRUE(sim_->ready());
        port_ = FreePort();
        daemon_ = Spawn(QStringLiteral(VESPEROD_PATH),
                        {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port_)}, Path("vesperod.err"));
        ASSERT_GT(daemon_, 0);
        ups_ = QStringLiteral("vespero0@127.0.0.1:%1").arg(port_);
    }

    static void TearDownTestSuite() {
        Terminate(daemon_);
        delete sim_;
        delete dir_;
    }

    static QString Path(const char* name) { return dir_->filePath(QLatin1String(name)); }

    static QString Upsc(const QStringList& args, int* status = nullptr) {
        QString out;
        const int rc = RunClient(kUpsc, args, dir_->path(), &out);
        if (status) *status = rc;
        return out;
    }

    // The unit's state as upsc prints it, once it has become `want` (or what it was at the end).
    static QString AwaitStatus(const QString& want, int limitMs = 15000) {
        QString status;
        WaitFor([&] {
            status = Upsc({ups_, QStringLiteral("ups.status")}).section(QLatin1Char('\n'), 0, 0).trimmed();
            return status == want;
        }, limitMs);
        return status;
    }

    void SetUp() override {
        WriteFile(Path("ctl"), "state=2\nbattery=0\nsilent=0\nmodel=0\n");
        ASSERT_EQ(AwaitStatus(QStringLiteral("OL CHRG")), QStringLiteral("OL CHRG")) << ReadAll(Path("vesperod.err")).toStdString();
    }

    static QTemporaryDir* dir_;
    static testsupport::SimProcess* sim_;
    static pid_t daemon_;
    static quint16 port_;
    static QString ups_;
};

QTemporaryDir* DaemonE2e::dir_ = nullptr;
testsupport::SimProcess* DaemonE2e::sim_ = nullptr;
pid_t DaemonE2e::daemon_ = -1;
quint16 DaemonE2e::port_ = 0;
QString DaemonE2e::ups_;

TEST_F(DaemonE2e, UpscListsTheUnitAndReadsItsVariables) {
    EXPECT_TRUE(Upsc({QStringLiteral("-l"), QStringLiteral("127.0.0.1:%1").arg(port_)}).startsWith(QLatin1String("vespero0\n")));
    const QString all = Upsc({ups_});
    for (const char* line : {"driver.name: vesperod", "ups.status: OL CHRG", "battery.voltage.nominal: 48.0",
                             "ups.firmware: 1.04", "device.type: ups", "ups.realpower.nominal: 5000"})
        EXPECT_TRUE(all.contains(QLatin1String(line))) << line << "\n" << all.toStdString();
    bool ok = false;
    const double volts = Upsc({ups_, QStringLiteral("battery.voltage")}).section(QLatin1Char('\n'), 0, 0).toDouble(&ok);
    EXPECT_TRUE(ok);
    EXPECT_NEAR(volts, 54.0, 1.0);
    int status = 0;
    EXPECT_TRUE(Upsc({ups_, QStringLiteral("no.such.var")}, &status).contains(QLatin1String("not supported")));
    EXPECT_NE(status, 0);
    EXPECT_TRUE(Upsc({QStringLiteral("vespero3@127.0.0.1:%1").arg(port_)}, &status).contains(QLatin1String("Unknown UPS")));
}

TEST_F(DaemonE2e, OnBatteryLowBatteryAndASilentUnitReachTheClients) {
    WriteFile(Path("ctl"), "state=18\n");
    EXPECT_EQ(AwaitStatus(QStringLiteral("OB DISCHRG")), QStringLiteral("OB DISCHRG"));
    WriteFile(Path("ctl"), "state=18\nbattery=40\n");
    EXPECT_EQ(AwaitStatus(QStringLiteral("OB DISCHRG LB")), QStringLiteral("OB DISCHRG LB"));
    WriteFile(Path("ctl"), "silent=1\n");
    int status = 0;
    EXPECT_TRUE(WaitFor([&] { return Upsc({ups_, QStringLiteral("ups.status")}, &status).contains(QLatin1String("Data stale")); }, 20000));
    EXPECT_NE(status, 0);
}

TEST_F(DaemonE2e, ChargeAndRuntimeFallThroughASimulatedDischargeToLowBattery) {
    auto number = [&](const char* name) {
        bool ok = false;
        const double v = Upsc({ups_, QLatin1String(name)}).section(QLatin1Char('\n'), 0, 0).toDouble(&ok);
        return ok ? v : -1.0;
    };
    // On line at float: full, with the runtime the present load would get.
    WriteFile(Path("ctl"), "model=1\nstate=2\nload=50\ntimescale=120\n");
    EXPECT_TRUE(WaitFor([&] { return number("battery.charge") == 100; }, 10000));
    EXPECT_GT(number("battery.runtime"), 600);
    EXPECT_EQ(number("battery.charge.low"), 20);
    EXPECT_EQ(number("battery.runtime.low"), 300);

    // Two battery minutes a real second: from full to low battery in about ten seconds. The
    // charge is what the battery has given, so it starts full and falls with the time on battery.
    WriteFile(Path("ctl"), "model=1\nstate=18\nload=50\ntimescale=120\n");
    ASSERT_EQ(AwaitStatus(QStringLiteral("OB DISCHRG")), QStringLiteral("OB DISCHRG"));
    const double charge = number("battery.charge"), runtime = number("battery.runtime"), volts = number("battery.voltage");
    EXPECT_GT(charge, 90);
    EXPECT_GT(runtime, 600);
    EXPECT_TRUE(WaitFor([&] {
        return number("battery.charge") < charge - 10 && number("battery.runtime") < runtime - 120 &&
               number("battery.voltage") < volts;
    }, 10000));
    // LB comes from the conservative figure, well before the end voltage here: nothing has been
    // learned yet.
    EXPECT_EQ(AwaitStatus(QStringLiteral("OB DISCHRG LB"), 30000), QStringLiteral("OB DISCHRG LB"));
    EXPECT_GT(number("battery.voltage"), 42);
}

TEST_F(DaemonE2e, UpscmdPutsTheBatteryTestFrameOnTheWireOnlyForTheRightPassword) {
    auto testFrames = [&] { return ReadAll(Path("frames")).count(QLatin1String("80 62 30 30 30 30 30 31 41 32")); };
    const int before = testFrames();
    QString out;
    EXPECT_NE(RunClient(kUpscmd, {QStringLiteral("-u"), QStringLiteral("admin"), QStringLiteral("-p"), QStringLiteral("wrong"),
                            ups_, QStringLiteral("test.battery.start")}, dir_->path(), &out), 0);
    EXPECT_TRUE(out.contains(QLatin1String("ACCESS-DENIED"))) << out.toStdString();
    EXPECT_EQ(RunClient(kUpscmd, {QStringLiteral("-u"), QStringLiteral("admin"), QStringLiteral("-p"), QStringLiteral("s3cret"),
                            ups_, QStringLiteral("test.battery.start")}, dir_->path(), &out), 0) << out.toStdString();
    EXPECT_TRUE(WaitFor([&] { return testFrames() == before + 1; }, 10000));  // 0x80 'b' "0000" "01A2"
    QThread::msleep(500);
    EXPECT_EQ(testFrames(), before + 1);
}

// -w: the clients ask for tracking and wait for the command's outcome.
TEST_F(DaemonE2e, UpscmdAndUpsrwWaitForTheOutcomeOfWhatTheySend) {
    auto testFrames = [&] { return ReadAll(Path("frames")).count(QLatin1String("80 62 30 30 30 30 30 31 41 32")); };
    const int before = testFrames();
    QString out;
    EXPECT_EQ(RunClient(kUpscmd, {QStringLiteral("-w"), QStringLiteral("-u"), QStringLiteral("admin"), QStringLiteral("-p"),
                            QStringLiteral("s3cret"), ups_, QStringLiteral("test.battery.start")}, dir_->path(), &out), 0)
        << out.toStdString();
    EXPECT_TRUE(out.contains(QLatin1String("SUCCESS")) || out.contains(QLatin1String("OK"))) << out.toStdString();
    EXPECT_EQ(testFrames(), before + 1) << "the unit had the command before the client was told";

    EXPECT_NE(RunClient(kUpsrw, {QStringLiteral("-w"), QStringLiteral("-s"), QStringLiteral("ups.load=3"), QStringLiteral("-u"),
                           QStringLiteral("admin"), QStringLiteral("-p"), QStringLiteral("s3cret"), ups_}, dir_->path(), &out), 0);
    EXPECT_FALSE(out.contains(QLatin1String("FEATURE-NOT-SUPPORTED"))) << out.toStdString();
    EXPECT_TRUE(out.contains(QLatin1String("READONLY"))) << out.toStdString();
}

TEST_F(DaemonE2e, UpsmonShutsDownOnBatteryAndLowBatteryButNotOnLine) {
    // Debian's upsmon writes its pid file to /run/nut whatever NUT_ALTPIDPATH says, and a file
    // left there stops the next upsmon. It runs in a mount namespace of its own with an empty
    // /run/nut that goes away with it: that takes root.
    if (getuid() != 0) GTEST_SKIP() << "upsmon needs root here: it runs with a private /run/nut in its own mount namespace";
    const QString conf = Path("nut");
    QDir().mkpath(conf);
    const QString flag = Path("shutdown-ran");
    QFile::remove(flag);
    WriteFile(conf + QStringLiteral("/upsmon.conf"),
              QStringLiteral("MONITOR %1 1 mon monpass primary\nMINSUPPLIES 1\nSHUTDOWNCMD \"/usr/bin/touch %2\"\n"
                             "POLLFREQ 1\nPOLLFREQALERT 1\nHOSTSYNC 2\nDEADTIME 5\nFINALDELAY 0\n"
                             "POWERDOWNFLAG %3/killpower\nRUN_AS_USER root\n")
                  .arg(ups_, flag, conf)
                  .toUtf8());
    qputenv("NUT_CONFPATH", conf.toLocal8Bit());
    qputenv("NUT_STATEPATH", conf.toLocal8Bit());
    qputenv("NUT_ALTPIDPATH", conf.toLocal8Bit());
    // unshare execs the shell and the shell execs upsmon, so the pid is upsmon's own.
    const pid_t upsmon = Spawn(QStringLiteral("/usr/bin/unshare"),
                               {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                                QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                QStringLiteral("if [ -d /run/nut ]; then mount -t tmpfs -o mode=0770 upsmon-run /run/nut || exit 1; fi; "
                                               "exec %1 -D -u root")
                                    .arg(QLatin1String(kUpsmon))},
                               Path("upsmon.err"), Path("upsmon.out"));
    ASSERT_GT(upsmon, 0);

    // On line: upsmon logs in and polls, and nothing happens.
    EXPECT_TRUE(WaitFor([&] { return ReadAll(Path("vesperod.err")).contains(QLatin1String("\"mon\" from 127.0.0.1 logged in")); }, 10000));
    QThread::msleep(3000);
    EXPECT_FALSE(QFile::exists(flag)) << ReadAll(Path("upsmon.err")).toStdString();

    WriteFile(Path("ctl"), "state=18\nbattery=40\n");
    EXPECT_TRUE(WaitFor([&] { return QFile::exists(flag); }, 20000)) << ReadAll(Path("upsmon.err")).toStdString();
    TerminateUpsmon(upsmon);
    EXPECT_TRUE(ReadAll(Path("vesperod.err")).contains(QLatin1String("forced shutdown set on vespero0")));
}

TEST(DaemonProcess, StopsCleanlyOnSigtermAndRefusesAPortInUse) {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_STATE_HOME", dir.path().toLocal8Bit());  // the history file
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress(QHostAddress::LocalHost), 0));
    const QString address = QStringLiteral("127.0.0.1:%1").arg(taken.serverPort());
    const pid_t refused = Spawn(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--listen"), address}, dir.filePath("err1"));
    EXPECT_EQ(WaitExit(refused, 10000), 1);
    EXPECT_TRUE(ReadAll(dir.filePath("err1")).contains(QStringLiteral("cannot listen on ") + address));

    // No unit answers here (COM1 is nobody's), and the stop must still come within 2 s.
    QDir().mkpath(dir.filePath("Tralvane"));
    WriteFile(dir.filePath("Tralvane/Ups.ini"), "[Orbo]\nAlderaPresent0=0\n");
    const pid_t daemon = Spawn(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(FreePort())},
                               dir.filePath("err2"));
    ASSERT_TRUE(WaitFor([&] { return ReadAll(dir.filePath("err2")).contains(QLatin1String("listening on")); }, 10000));
    kill(daemon, SIGTERM);
    EXPECT_EQ(WaitExit(daemon, 2000), 0) << ReadAll(dir.filePath("err2")).toStdString();
    Terminate(daemon);
}

// A USB adapter that is not there yet at boot, then pulled and plugged back: the service stays up
// and serves the unit again each time, with a log line for every change.
TEST(DaemonProcess, ServesAUnitWhosePortComesLateGoesAndComesBack) {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_STATE_HOME", dir.path().toLocal8Bit());  // the history file
    QDir().mkpath(dir.filePath("Tralvane"));
    WriteFile(dir.filePath("Tralvane/Ups.ini"), "[Orbo]\nAlderaPresent0=1\nCom0=3\n");
    QDir().mkpath(dir.filePath("Tralvane/ports"));
    ASSERT_TRUE(QFile::link(dir.filePath("not-plugged-in"), dir.filePath("Tralvane/ports/COM3")));
    const quint16 port = FreePort();
    const QString ups = QStringLiteral("vespero0@127.0.0.1:%1").arg(port);
    const QString log = dir.filePath("err");
    const pid_t daemon = Spawn(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port)}, log);
    ASSERT_GT(daemon, 0);
    auto status = [&] {  // the status, or the client's complaint
        QString out;
        RunClient(kUpsc, {ups, QStringLiteral("ups.status")}, dir.path(), &out);
        return out.contains(QLatin1String("Data stale")) ? QStringLiteral("Data stale")
                                                           : out.section(QLatin1Char('\n'), 0, 0).trimmed();
    };
    auto logHas = [&](const char* text) { return ReadAll(log).contains(QLatin1String(text)); };

    ASSERT_TRUE(WaitFor([&] { return logHas("listening on"); }, 10000)) << ReadAll(log).toStdString();
    EXPECT_TRUE(WaitFor([&] { return status() == QLatin1String("Data stale"); }, 10000));
    EXPECT_TRUE(logHas("cannot open COM3")) << ReadAll(log).toStdString();

    auto sim = std::make_unique<testsupport::SimProcess>(QStringLiteral(VESPERO_SIM_PATH), 3, dir.path());
    ASSERT_TRUE(sim->ready());
    EXPECT_TRUE(WaitFor([&] { return status() == QLatin1String("OL CHRG"); }, 15000)) << ReadAll(log).toStdString();

    // Pulled without warning: the simulator dies and its entry dangles (into our own folder: a
    // pseudo-terminal's number is soon another test's).
    kill(sim->pid(), SIGKILL);
    sim.reset();
    QFile::remove(dir.filePath("Tralvane/ports/COM3"));
    ASSERT_TRUE(QFile::link(dir.filePath("not-plugged-in"), dir.filePath("Tralvane/ports/COM3")));
    EXPECT_TRUE(WaitFor([&] { return status() == QLatin1String("Data stale"); }, 20000));
    sim = std::make_unique<testsupport::SimProcess>(QStringLiteral(VESPERO_SIM_PATH), 3, dir.path());
    ASSERT_TRUE(sim->ready());
    EXPECT_TRUE(WaitFor([&] { return status() == QLatin1String("OL CHRG"); }, 15000)) << ReadAll(log).toStdString();
    EXPECT_EQ(WaitExit(daemon, 0), -1) << "still running";
    Terminate(daemon);

    const QString text = ReadAll(log);
    for (const char* line : {"port reopened", "port lost", "Data for UPS [vespero0] is stale",
                             "UPS [vespero0] data is no longer stale", "UPS [vespero0]: first data from the unit"})
        EXPECT_TRUE(text.contains(QLatin1String(line))) << line << "\n" << text.toStdString();
    EXPECT_EQ(text.count(QLatin1String("port reopened")), 2) << text.toStdString();
    // Reopening the port is not the unit answering: that line comes after, and claims nothing.
    EXPECT_TRUE(text.contains(QLatin1String("port reopened, waiting for the unit to answer")));
    EXPECT_LT(text.lastIndexOf(QLatin1String("port reopened")), text.lastIndexOf(QLatin1String("data is no longer stale")))
        << text.toStdString();
}

// A upsmon started the moment the service's port opens must find the unit answering: told
// DATA-STALE, it would raise COMMBAD for a unit that is fine. Looked at from both sides: the
// first question on the first connection, and upsmon's own account of its first polls.
TEST(DaemonProcess, AUpsmonStartedAsThePortOpensRaisesNoAlarm) {
    if (getuid() != 0) GTEST_SKIP() << "upsmon needs root here: it runs with a private /run/nut in its own mount namespace";
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_STATE_HOME", dir.path().toLocal8Bit());
    QDir().mkpath(dir.filePath("Tralvane"));
    QDir().mkpath(dir.filePath("nut"));
    WriteFile(dir.filePath("Tralvane/vesperod.users"), "[mon]\n  password = monpass\n  upsmon primary\n");
    testsupport::SimProcess sim(QStringLiteral(VESPERO_SIM_PATH), 1, dir.path());
    ASSERT_TRUE(sim.ready());
    const quint16 port = FreePort();
    const QString ups = QStringLiteral("vespero0@127.0.0.1:%1").arg(port);
    WriteFile(dir.filePath("nut/upsmon.conf"),
              QStringLiteral("MONITOR %1 1 mon monpass primary\nMINSUPPLIES 1\nSHUTDOWNCMD \"/bin/true\"\n"
                             "POLLFREQ 1\nPOLLFREQALERT 1\nDEADTIME 5\nFINALDELAY 0\n"
                             "POWERDOWNFLAG %2/killpower\nRUN_AS_USER root\n")
                  .arg(ups, dir.filePath("nut"))
                  .toUtf8());
    qputenv("NUT_CONFPATH", dir.filePath("nut").toLocal8Bit());
    qputenv("NUT_STATEPATH", dir.filePath("nut").toLocal8Bit());
    qputenv("NUT_ALTPIDPATH", dir.filePath("nut").toLocal8Bit());
    const QString log = dir.filePath("err");
    const pid_t daemon = Spawn(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port)}, log);
    ASSERT_GT(daemon, 0);

    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int first = -1;
    ASSERT_TRUE(WaitFor([&] {
        first = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (connect(first, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return true;
        close(first);
        return false;
    }, 15000)) << ReadAll(log).toStdString();
    const pid_t upsmon = Spawn(QStringLiteral("/usr/bin/unshare"),
                               {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"),
                                QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                                QStringLiteral("if [ -d /run/nut ]; then mount -t tmpfs -o mode=0770 upsmon-run /run/nut || exit 1; fi; "
                                               "exec %1 -DD -u root")
                                    .arg(QLatin1String(kUpsmon))},
                               dir.filePath("upsmon.err"), dir.filePath("upsmon.out"));
    ASSERT_GT(upsmon, 0);
    static const char kAsk[] = "GET VAR vespero0 ups.status\n";
    ASSERT_EQ(send(first, kAsk, sizeof kAsk - 1, MSG_NOSIGNAL), ssize_t(sizeof kAsk - 1));
    timeval limit{10, 0};
    setsockopt(first, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string answer;
    char c = 0;
    while (recv(first, &c, 1, 0) == 1 && c != '\n') answer += c;
    close(first);
    EXPECT_EQ(answer, "VAR vespero0 ups.status \"OL CHRG\"");

    // Three polls of upsmon's, each of them answered with the status.
    const QString said = dir.filePath("upsmon.err");
    EXPECT_TRUE(WaitFor([&] { return ReadAll(said).count(QLatin1String("parse_status:")) >= 3; }, 20000))
        << ReadAll(said).toStdString();
    TerminateUpsmon(upsmon);
    Terminate(daemon);
    const QString text = ReadAll(said);
    for (const char* alarm : {"COMMBAD", "Communications with UPS", "failed", "stale", "Data stale"})
        EXPECT_FALSE(text.contains(QLatin1String(alarm), Qt::CaseInsensitive)) << alarm << "\n" << text.toStdString();
    EXPECT_EQ(text.count(QLatin1String("parse_status: [OL CHRG]")), text.count(QLatin1String("parse_status:")))
        << text.toStdString();
    const QString served = ReadAll(log);
    EXPECT_LT(served.indexOf(QLatin1String("first data from the unit")), served.indexOf(QLatin1String("listening on")))
        << served.toStdString();
}

// A salted hash from vesperod itself, as an administrator makes one.
QByteArray HashOf(const QByteArray& password) {
    QProcess hash;
    hash.start(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--hash-password")});
    hash.write(password + "\n");
    hash.closeWriteChannel();
    hash.waitForFinished(20000);
    return hash.readAllStandardOutput().trimmed();
}

// NUT requests on a connection of their own: the answer line number `line` (from 1).
std::string AskNut(quint16 port, const std::string& request, int line = 1) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
        timeval limit{20, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        char c = 0;
        for (int n = 1; n <= line && recv(fd, &c, 1, 0) == 1;) {
            if (c == '\n') {
                if (n++ < line) answer.clear();
            } else {
                answer += c;
            }
        }
    }
    close(fd);
    return answer;
}

// Debian's upsmon, in a mount namespace of its own with a private /run/nut.
pid_t StartUpsmon(const QString& confDir, const QString& errPath) {
    qputenv("NUT_CONFPATH", confDir.toLocal8Bit());
    qputenv("NUT_STATEPATH", confDir.toLocal8Bit());
    qputenv("NUT_ALTPIDPATH", confDir.toLocal8Bit());
    return Spawn(QStringLiteral("/usr/bin/unshare"),
                 {QStringLiteral("--mount"), QStringLiteral("--propagation"), QStringLiteral("private"), QStringLiteral("/bin/sh"),
                  QStringLiteral("-c"),
                  QStringLiteral("if [ -d /run/nut ]; then mount -t tmpfs -o mode=0770 upsmon-run /run/nut || exit 1; fi; "
                                 "exec %1 -D -u root")
                      .arg(QLatin1String(kUpsmon))},
                 errPath, errPath + QStringLiteral(".out"));
}

// From the victim's side: a primary upsmon started while its own address sends wrong passwords as
// fast as it can still logs in, is counted among the logins, and in a power failure waits for its
// secondary to shut down first. The owner's web login, in turn with the same flood, gets in too.
TEST(DaemonProcess, AUpsmonStartedDuringAPasswordFloodLogsInAndWaitsForItsSecondary) {
    if (getuid() != 0) GTEST_SKIP() << "upsmon needs root here: it runs with a private /run/nut in its own mount namespace";
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_STATE_HOME", dir.path().toLocal8Bit());
    for (const char* sub : {"Tralvane", "primary", "secondary"}) QDir().mkpath(dir.filePath(QLatin1String(sub)));
    WriteFile(dir.filePath("Tralvane/vesperod.users"),
              "[mon]\n  password = " + HashOf("monpass") + "\n  upsmon primary\n"
              "[sec]\n  password = " + HashOf("secpass") + "\n  upsmon secondary\n"
              "[owner]\n  password = " + HashOf("ownerpass") + "\n  instcmds = ALL\n");
    const QString ctl = dir.filePath("ctl"), order = dir.filePath("order");
    WriteFile(ctl, "state=2\nbattery=0\nsilent=0\n");
    testsupport::SimProcess sim(QStringLiteral(VESPERO_SIM_PATH), 1, dir.path(), {QStringLiteral("--control"), ctl});
    ASSERT_TRUE(sim.ready());
    const quint16 port = FreePort(), httpPort = FreePort();
    const QString ups = QStringLiteral("vespero0@127.0.0.1:%1").arg(port);
    for (const char* role : {"primary", "secondary"}) {
        const bool primary = role == std::string_view("primary");
        WriteFile(dir.filePath(QLatin1String(role)) + QStringLiteral("/upsmon.conf"),
                  QStringLiteral("MONITOR %1 1 %2 %3\nMINSUPPLIES 1\nSHUTDOWNCMD \"echo %3 >> %4\"\n"
                                 "POLLFREQ 1\nPOLLFREQALERT 1\nHOSTSYNC 30\nDEADTIME 15\nFINALDELAY 0\n"
                                 "POWERDOWNFLAG %5/killpower\nRUN_AS_USER root\n")
                      .arg(ups, primary ? QStringLiteral("mon monpass") : QStringLiteral("sec secpass"),
                           QLatin1String(role), order, dir.filePath(QLatin1String(role)))
                      .toUtf8());
    }
    const QString log = dir.filePath("err");
    const pid_t daemon = Spawn(QStringLiteral(VESPEROD_PATH),
                               {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port),
                                QStringLiteral("--http-listen"), QStringLiteral("127.0.0.1:%1").arg(httpPort)}, log);
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(WaitFor([&] { return AskNut(port, "GET VAR vespero0 ups.status\n") == "VAR vespero0 ups.status \"OL CHRG\""; }, 20000))
        << ReadAll(log).toStdString();
    const pid_t secondary = StartUpsmon(dir.filePath("secondary"), dir.filePath("secondary.err"));
    ASSERT_TRUE(WaitFor([&] { return ReadAll(log).contains(QLatin1String("\"sec\" from 127.0.0.1 logged in")); }, 20000))
        << ReadAll(log).toStdString();

    // The flood: eight connections at a time from the same address, each a wrong password.
    std::atomic<bool> stop{false};
    std::atomic<int> denied{0};
    std::vector<std::thread> flood;
    for (int i = 0; i < 8; ++i)
        flood.emplace_back([&, i] {
            for (int n = 0; !stop; ++n)
                denied += AskNut(port, "USERNAME mon\nPASSWORD wrong-" + std::to_string(i) + "-" + std::to_string(n) +
                                           "\nLOGIN vespero0\n", 3) == "ERR ACCESS-DENIED";
        });
    int floodSeen = 0;
    const auto floodSince = [&] {
        const int now = denied;
        return std::exchange(floodSeen, now) < now;
    };
    ASSERT_TRUE(WaitFor([&] { return ReadAll(log).count(QLatin1String("authentication failed")) >= 20; }, 20000));
    floodSince();

    const pid_t primary = StartUpsmon(dir.filePath("primary"), dir.filePath("primary.err"));
    EXPECT_TRUE(WaitFor([&] { return ReadAll(log).contains(QLatin1String("\"mon\" from 127.0.0.1 logged in")); }, 20000))
        << ReadAll(dir.filePath("primary.err")).toStdString();
    EXPECT_EQ(AskNut(port, "GET NUMLOGINS vespero0\n"), "NUMLOGINS vespero0 2");

    // The owner's web login waits its turn on the same checker, and is let in.
    const int web = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(httpPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(web, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const std::string body = R"({"user":"owner","password":"ownerpass"})";
    const std::string request = "POST /api/v1/login HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n"
                                "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    ASSERT_EQ(send(web, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    timeval limit{20, 0};
    setsockopt(web, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string status;
    char c = 0;
    while (recv(web, &c, 1, 0) == 1 && c != '\n') status += c;
    close(web);
    EXPECT_EQ(status.substr(0, 12), "HTTP/1.1 200") << status;
    EXPECT_TRUE(floodSince());  // the flood went on all the while

    // Power fails: the primary sets FSD and waits for the secondary to shut down before it does.
    WriteFile(ctl, "state=18\nbattery=40\n");
    EXPECT_TRUE(WaitFor([&] { return ReadAll(order).count(QLatin1Char('\n')) >= 2; }, 45000))
        << ReadAll(dir.filePath("primary.err")).toStdString();
    EXPECT_TRUE(floodSince());
    stop = true;
    for (std::thread& t : flood) t.join();
    TerminateUpsmon(primary);
    TerminateUpsmon(secondary);
    Terminate(daemon);
    EXPECT_EQ(ReadAll(order), QStringLiteral("secondary\nprimary\n"));
    const QString said = ReadAll(dir.filePath("primary.err"));
    EXPECT_FALSE(said.contains(QLatin1String("failed - got"))) << said.toStdString();
    EXPECT_TRUE(ReadAll(log).contains(QLatin1String("forced shutdown set on vespero0")));
}

// Debian's clients refused over the cap: each says why and ends with a status of its own, not by
// a signal and without a broken pipe; the client inside the cap is served on.
TEST(DaemonProcess, ClientsOverTheCapSayWhyAndEndNormally) {
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_STATE_HOME", dir.path().toLocal8Bit());
    QDir().mkpath(dir.filePath("Tralvane"));
    WriteFile(dir.filePath("Tralvane/Ups.ini"), "[Orbo]\nAlderaPresent0=1\nCom0=3\n");
    QDir().mkpath(dir.filePath("Tralvane/ports"));
    ASSERT_TRUE(QFile::link(dir.filePath("not-plugged-in"), dir.filePath("Tralvane/ports/COM3")));
    WriteFile(dir.filePath("Tralvane/vesperod.conf"), "[server]\nmax_connections = 1\n");
    const quint16 port = FreePort();
    const QString log = dir.filePath("err");
    const pid_t daemon = Spawn(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port)}, log);
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(WaitFor([&] { return ReadAll(log).contains(QLatin1String("listening on")); }, 10000)) << ReadAll(log).toStdString();

    QTcpSocket held;
    held.connectToHost(QHostAddress(QHostAddress::LocalHost), port);
    ASSERT_TRUE(held.waitForConnected(5000));
    held.write("NETVER\n");
    ASSERT_TRUE(held.waitForReadyRead(5000));
    EXPECT_EQ(held.readAll(), "1.3\n");

    const QString ups = QStringLiteral("vespero0@127.0.0.1:%1").arg(port);
    const QStringList login = {QStringLiteral("-u"), QStringLiteral("admin"), QStringLiteral("-p"), QStringLiteral("x")};
    const std::pair<const char*, QStringList> clients[] = {
        {kUpsc, {ups, QStringLiteral("ups.status")}},
        {kUpsc, {QStringLiteral("-l"), QStringLiteral("127.0.0.1:%1").arg(port)}},
        {kUpscmd, login + QStringList{ups, QStringLiteral("test.battery.start")}},
        {kUpscmd, QStringList{QStringLiteral("-w")} + login + QStringList{ups, QStringLiteral("test.battery.start")}},
    };
    for (const auto& [program, args] : clients) {
        QString out;
        const int status = RunClient(program, args, dir.path(), &out);
        const std::string what = std::string(program) + " " + args.join(' ').toStdString() + ":\n" + out.toStdString();
        EXPECT_GT(status, 0) << what;  // neither success, nor a signal (-2), nor a hang (-1)
        EXPECT_TRUE(out.contains(QLatin1String("Access denied")) || out.contains(QLatin1String("too-many-connections")))
            << what;
        EXPECT_FALSE(out.contains(QLatin1String("disconnected"), Qt::CaseInsensitive)) << what;
        EXPECT_FALSE(out.contains(QLatin1String("Broken pipe")) || out.contains(QLatin1String("reset"))) << what;
    }

    held.write("NETVER\n");
    ASSERT_TRUE(held.waitForReadyRead(5000));
    EXPECT_EQ(held.readAll(), "1.3\n");
    EXPECT_TRUE(ReadAll(log).contains(QLatin1String("refused a connection from 127.0.0.1"))) << ReadAll(log).toStdString();
    Terminate(daemon);
}

// --check-config names every fault of both files with its line, and its status says whether
// there was any; the unit's reload runs it first.
TEST(DaemonProcess, CheckConfigListsEveryFaultOfBothFiles) {
    QTemporaryDir dir;
    const QString conf = dir.filePath("vesperod.conf");
    const QString users = dir.filePath("vesperod.users");
    WriteFile(conf, "[server]\nmax_conections = 8\nidle_timeout = soon\njust words\n[unit0]\nname = two words\n"
                    "[battery]\nempty_voltage = lots\n");
    WriteFile(users, "[admin]\n password = \"open\n");
    QString out;
    EXPECT_EQ(RunClient(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--check-config"), conf}, dir.path(), &out), 1);
    for (const QString& fault : {conf + ":2: unknown setting max_conections", conf + ":3: idle_timeout must be",
                                 conf + ":4: expected key = value", conf + ":6: unit0: name two words",
                                 conf + ": ", users + ":2: a quote is left open"})
        EXPECT_TRUE(out.contains(fault)) << fault.toStdString() << "\n" << out.toStdString();
    EXPECT_TRUE(out.contains(QLatin1String("empty_voltage"))) << out.toStdString();

    WriteFile(conf, "[server]\nport = 4000\n");
    WriteFile(users, "[admin]\n password = s3cret\n");
    EXPECT_EQ(RunClient(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--check-config"), conf}, dir.path(), &out), 0) << out.toStdString();
    EXPECT_EQ(RunClient(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--check-config"), dir.filePath("none.conf")}, dir.path(), &out), 1);
    EXPECT_TRUE(out.contains(QLatin1String("none.conf: no such file"))) << out.toStdString();

    QFile unit(QStringLiteral(VESPEROD_SERVICE_PATH));
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    const QByteArray text = unit.readAll();
    EXPECT_LT(text.indexOf("ExecReload=/usr/bin/vesperod --check-config"), text.indexOf("ExecReload=/bin/kill -HUP"));
    EXPECT_GE(text.indexOf("ExecReload=/usr/bin/vesperod --check-config"), 0);
}

// Runs a program to its end; its exit status (see WaitExit), what it said in *output.
int RunQuiet(const QString& program, const QStringList& args, const QString& workDir, QString* output = nullptr) {
    QString out;
    const int status = RunClient(program, args, workDir, &out);
    if (output) *output = out;
    return status;
}

// An NSS database as upsmon reads it (CERTPATH), trusting the one certificate given as the
// server's own, as certutil makes it.
bool MakeNssDatabase(const QString& dir, const QString& trusted) {
    QDir().mkpath(dir);
    const QString db = QStringLiteral("sql:") + dir;
    if (RunQuiet(QStringLiteral("/usr/bin/certutil"), {QStringLiteral("-N"), QStringLiteral("-d"), db, QStringLiteral("--empty-password")}, dir) != 0)
        return false;
    return trusted.isEmpty() ||
           RunQuiet(QStringLiteral("/usr/bin/certutil"), {QStringLiteral("-A"), QStringLiteral("-d"), db, QStringLiteral("-n"), QStringLiteral("vesperod"),
                                                          QStringLiteral("-t"), QStringLiteral("P,,"), QStringLiteral("-i"), trusted}, dir) == 0;
}

// Debian's upsmon (NSS) with CERTVERIFY 1 and FORCESSL 1 logs in over TLS and follows the unit
// to battery and to its shutdown, while from the same address a plain login is refused with its
// reason, a handshake that stalls is dropped at its deadline without holding anyone up, and a
// upsmon that does not trust the certificate never gets in.
TEST(DaemonProcess, UpsmonOverTlsFollowsTheUnitWhilePlainLoginsAndStalledHandshakesAreTurnedAway) {
    if (getuid() != 0) GTEST_SKIP() << "upsmon needs root here: it runs with a private /run/nut in its own mount namespace";
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_STATE_HOME", dir.path().toLocal8Bit());
    for (const char* sub : {"Tralvane", "trusting", "doubting"}) QDir().mkpath(dir.filePath(QLatin1String(sub)));
    ASSERT_TRUE(testsupport::MakeCertificate(dir.filePath("Tralvane"), QStringLiteral("vesperod"), QStringLiteral("localhost")));
    ASSERT_TRUE(MakeNssDatabase(dir.filePath("trusting/nssdb"), dir.filePath("Tralvane/vesperod.crt")));
    ASSERT_TRUE(MakeNssDatabase(dir.filePath("doubting/nssdb"), {}));
    WriteFile(dir.filePath("Tralvane/vesperod.users"), "[mon]\n  password = monpass\n  upsmon primary\n");
    WriteFile(dir.filePath("Tralvane/vesperod.conf"), "[server]\ncertfile = vesperod.pem\nforce_tls = yes\ntls_handshake_timeout = 2\n");
    const QString ctl = dir.filePath("ctl"), flag = dir.filePath("shutdown-ran");
    WriteFile(ctl, "state=2\nbattery=0\nsilent=0\n");
    testsupport::SimProcess sim(QStringLiteral(VESPERO_SIM_PATH), 1, dir.path(), {QStringLiteral("--control"), ctl});
    ASSERT_TRUE(sim.ready());
    const quint16 port = FreePort();
    const QString log = dir.filePath("err");
    const pid_t daemon = Spawn(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(port)}, log);
    ASSERT_GT(daemon, 0);
    ASSERT_TRUE(WaitFor([&] { return AskNut(port, "GET VAR vespero0 ups.status\n") == "VAR vespero0 ups.status \"OL CHRG\""; }, 20000))
        << ReadAll(log).toStdString();
    for (const char* who : {"trusting", "doubting"}) {
        const QString conf = dir.filePath(QLatin1String(who));
        WriteFile(conf + QStringLiteral("/upsmon.conf"),
                  QStringLiteral("MONITOR vespero0@127.0.0.1:%1 1 mon monpass primary\nMINSUPPLIES 1\nSHUTDOWNCMD \"/usr/bin/touch %2\"\n"
                                 "POLLFREQ 1\nPOLLFREQALERT 1\nHOSTSYNC 2\nDEADTIME 5\nFINALDELAY 0\nPOWERDOWNFLAG %3/killpower\n"
                                 "RUN_AS_USER root\nCERTPATH %3/nssdb\nCERTVERIFY 1\nFORCESSL 1\n")
                      .arg(port)
                      .arg(who == std::string_view("trusting") ? flag : conf + QStringLiteral("/not-me"), conf)
                      .toUtf8());
    }
    const pid_t trusting = StartUpsmon(dir.filePath("trusting"), dir.filePath("trusting.err"));
    const pid_t doubting = StartUpsmon(dir.filePath("doubting"), dir.filePath("doubting.err"));
    ASSERT_GT(trusting, 0);
    ASSERT_GT(doubting, 0);
    EXPECT_TRUE(WaitFor([&] { return ReadAll(log).contains(QLatin1String("\"mon\" from 127.0.0.1 logged in to vespero0 over TLS")); }, 20000))
        << ReadAll(log).toStdString() << ReadAll(dir.filePath("trusting.err")).toStdString();

    // Meanwhile, from the same address: a plain login is told why, and may still read.
    EXPECT_EQ(AskNut(port, "USERNAME mon\n"), "ERR ACCESS-DENIED tls-required");
    EXPECT_EQ(AskNut(port, "USERNAME mon\nPASSWORD monpass\nLOGIN vespero0\n", 3), "ERR ACCESS-DENIED tls-required");
    EXPECT_EQ(AskNut(port, "GET VAR vespero0 ups.status\n"), "VAR vespero0 ups.status \"OL CHRG\"");
    // A handshake that never comes: everyone else is answered, and it goes after its 2 s.
    testsupport::NutClient stalled(port);
    ASSERT_EQ(stalled.Ask("STARTTLS\n"), "OK STARTTLS");
    QElapsedTimer since;
    since.start();
    for (int i = 0; i < 5; ++i) {
        QElapsedTimer answered;
        answered.start();
        EXPECT_EQ(AskNut(port, "NETVER\n"), "1.3");
        EXPECT_LT(answered.elapsed(), 1500);
        QThread::msleep(100);
    }
    EXPECT_TRUE(stalled.Closed());  // at the deadline
    EXPECT_GE(since.elapsed(), 1900);
    EXPECT_LT(since.elapsed(), 5000);
    EXPECT_TRUE(ReadAll(log).contains(QLatin1String("dropped 127.0.0.1: no TLS handshake within 2 s")));

    // The unit goes to battery, then low: upsmon sees both through TLS and shuts down.
    WriteFile(ctl, "state=18\n");
    EXPECT_TRUE(WaitFor([&] { return ReadAll(dir.filePath("trusting.err")).contains(QLatin1String("on battery")); }, 15000))
        << ReadAll(dir.filePath("trusting.err")).toStdString();
    WriteFile(ctl, "state=18\nbattery=40\n");
    EXPECT_TRUE(WaitFor([&] { return QFile::exists(flag); }, 20000)) << ReadAll(dir.filePath("trusting.err")).toStdString();
    TerminateUpsmon(trusting);
    TerminateUpsmon(doubting);
    Terminate(daemon);
    const QString said = ReadAll(log), trustingSaid = ReadAll(dir.filePath("trusting.err")), doubtingSaid = ReadAll(dir.filePath("doubting.err"));
    EXPECT_TRUE(said.contains(QLatin1String("forced shutdown set on vespero0"))) << said.toStdString();
    EXPECT_TRUE(trustingSaid.contains(QLatin1String("Connected to NUT server 127.0.0.1 in SSL"))) << trustingSaid.toStdString();
    EXPECT_EQ(said.count(QLatin1String("logged in to vespero0")), said.count(QLatin1String("logged in to vespero0 over TLS")));
    // The one that does not trust the certificate ends every handshake itself, and never logs in.
    EXPECT_EQ(said.count(QLatin1String("logged in to vespero0")), 1) << said.toStdString();
    EXPECT_TRUE(said.contains(QLatin1String("TLS handshake failed"))) << said.toStdString();
    EXPECT_FALSE(doubtingSaid.contains(QLatin1String("Logged into UPS"))) << doubtingSaid.toStdString();
}

// The STARTTLS answers, side by side with Debian's upsd (NSS) given the same certificate and
// without one: the same bytes.
TEST(DaemonProcess, StartTlsAnswersAsTheReferenceServerDoes) {
    if (getuid() != 0) GTEST_SKIP() << "the reference upsd runs with -u root here";
    QTemporaryDir dir;
    qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
    qputenv("XDG_STATE_HOME", dir.path().toLocal8Bit());
    QDir().mkpath(dir.filePath("Tralvane"));
    ASSERT_TRUE(testsupport::MakeCertificate(dir.filePath("Tralvane"), QStringLiteral("server"), QStringLiteral("localhost")));
    WriteFile(dir.filePath("Tralvane/Ups.ini"), "[Orbo]\nAlderaPresent0=0\n");
    // upsd takes its certificate and key from an NSS database.
    const QString p12 = dir.filePath("server.p12"), db = QStringLiteral("sql:") + dir.filePath("refdb");
    ASSERT_EQ(RunQuiet(QStringLiteral("/usr/bin/openssl"), {QStringLiteral("pkcs12"), QStringLiteral("-export"), QStringLiteral("-in"), dir.filePath("Tralvane/server.crt"),
                                                          QStringLiteral("-inkey"), dir.filePath("Tralvane/server.key"), QStringLiteral("-name"), QStringLiteral("server"),
                                                          QStringLiteral("-passout"), QStringLiteral("pass:p"), QStringLiteral("-out"), p12}, dir.path()), 0);
    ASSERT_TRUE(MakeNssDatabase(dir.filePath("refdb"), {}));
    ASSERT_EQ(RunQuiet(QStringLiteral("/usr/bin/pk12util"), {QStringLiteral("-i"), p12, QStringLiteral("-d"), db, QStringLiteral("-W"), QStringLiteral("p"),
                                                           QStringLiteral("-K"), QString()}, dir.path()), 0);
    std::vector<pid_t> servers;
    std::vector<quint16> ports;  // upsd without and with, vesperod without and with
    for (int i = 0; i < 2; ++i) {
        const QString conf = dir.filePath(QStringLiteral("upsd%1").arg(i));
        QDir().mkpath(conf);
        ports.push_back(FreePort());
        WriteFile(conf + QStringLiteral("/ups.conf"), "[dummy]\n  driver = dummy-ups\n  port = dummy.dev\n");
        WriteFile(conf + QStringLiteral("/upsd.users"), "");
        WriteFile(conf + QStringLiteral("/upsd.conf"),
                  QStringLiteral("LISTEN 127.0.0.1 %1\n").arg(ports.back()).toUtf8() +
                      (i ? QStringLiteral("CERTPATH %1\nCERTIDENT \"server\" \"\"\n").arg(dir.filePath("refdb")).toUtf8() : QByteArray()));
        for (const char* name : {"NUT_CONFPATH", "NUT_STATEPATH", "NUT_ALTPIDPATH"}) qputenv(name, conf.toLocal8Bit());
        servers.push_back(Spawn(QStringLiteral("/lib/nut/upsd"), {QStringLiteral("-u"), QStringLiteral("root"), QStringLiteral("-D")}, conf + QStringLiteral("/err")));
    }
    for (int i = 0; i < 2; ++i) {
        const QString conf = dir.filePath(QStringLiteral("vesperod%1.conf").arg(i));
        ports.push_back(FreePort());
        WriteFile(conf, i ? QByteArray("[server]\ncertfile = Tralvane/server.pem\n") : QByteArray("[server]\n"));
        servers.push_back(Spawn(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--config"), conf, QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(ports.back())},
                                dir.filePath(QStringLiteral("vesperod%1.err").arg(i))));
    }
    for (size_t i = 0; i < ports.size(); ++i)
        ASSERT_TRUE(WaitFor([&] { return AskNut(ports[i], "NETVER\n") == "1.3"; }, 10000)) << "server " << i;

    // One request after the other (the operands of + have no order of their own).
    const auto conversation = [](quint16 port, bool tls) {
        testsupport::NutClient c(port);
        std::string said;
        if (tls) {
            said = c.StartTls() ? "OK STARTTLS|" : "no TLS|";
            said += c.Version();
        }
        for (const char* request : tls ? std::vector<const char*>{"STARTTLS\n", "NETVER\n", "USERNAME a\n", "USERNAME b\n", "LOGOUT\n"}
                                       : std::vector<const char*>{"STARTTLS\n", "STARTTLS now\n", "NETVER\n"})
            said += (said.empty() ? "" : "|") + c.Ask(request);
        return said;
    };
    const std::string plain = conversation(ports[2], false), tls = conversation(ports[3], true);
    EXPECT_EQ(plain, "ERR FEATURE-NOT-CONFIGURED|ERR FEATURE-NOT-CONFIGURED|1.3");
    EXPECT_EQ(tls, "OK STARTTLS|TLSv1.3|ERR ALREADY-SSL-MODE|1.3|OK|ERR ALREADY-SET-USERNAME|OK Goodbye");
    EXPECT_EQ(conversation(ports[0], false), plain);
    EXPECT_EQ(conversation(ports[1], true), tls);
    for (pid_t pid : servers) Terminate(pid);
}

// A certificate that cannot serve is named with its reason by --check-config, and keeps the
// service from starting rather than failing each client.
TEST(DaemonProcess, CheckConfigAndTheStartNameACertificateThatCannotServe) {
    QTemporaryDir dir;
    ASSERT_TRUE(testsupport::MakeCertificate(dir.path(), QStringLiteral("a"), QStringLiteral("localhost")));
    ASSERT_TRUE(testsupport::MakeCertificate(dir.path(), QStringLiteral("b"), QStringLiteral("localhost")));
    WriteFile(dir.filePath("crossed.pem"), ReadAll(dir.filePath("a.crt")).toUtf8() + ReadAll(dir.filePath("b.key")).toUtf8());
    const QString conf = dir.filePath("vesperod.conf");
    QString out;
    const std::pair<const char*, QString> cases[] = {
        {"[server]\ncertfile = none.pem\n", conf + ":2: certfile " + dir.filePath("none.pem") + ": no such file"},
        {"[server]\ncertfile = a.crt\n", conf + ":2: certfile " + dir.filePath("a.crt") + ": holds no private key"},
        {"[server]\n\ncertfile = crossed.pem\n", conf + ":3: certfile " + dir.filePath("crossed.pem") + ": its private key does not match its certificate"},
    };
    for (const auto& [text, fault] : cases) {
        WriteFile(conf, text);
        EXPECT_EQ(RunQuiet(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--check-config"), conf}, dir.path(), &out), 1) << text;
        EXPECT_TRUE(out.contains(fault)) << fault.toStdString() << "\n" << out.toStdString();
    }
    EXPECT_EQ(RunQuiet(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--config"), conf, QStringLiteral("--listen"), QStringLiteral("127.0.0.1:%1").arg(FreePort())},
                       dir.path(), &out), 2);
    EXPECT_TRUE(out.contains(QLatin1String("its private key does not match its certificate"))) << out.toStdString();
    WriteFile(conf, "[server]\ncertfile = a.pem\nforce_tls = yes\n");
    EXPECT_EQ(RunQuiet(QStringLiteral(VESPEROD_PATH), {QStringLiteral("--check-config"), conf}, dir.path(), &out), 0) << out.toStdString();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
