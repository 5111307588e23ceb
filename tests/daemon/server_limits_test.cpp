// The server over real loopback sockets: requests in one packet, the connection caps, long
// lines, idle clients, clients that never read, password floods, running out of descriptors and
// reloads. None of them may hurt another client.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSemaphore>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <mutex>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/nut/nut_server.h"
#include "daemon/settings_reload.h"
#include "server_fixture.h"

using namespace daemontest;

namespace {

TEST_F(ServerTest, AnswersRequestsSentTogetherInOrderAndAcrossPacketBoundaries) {
    Start();
    auto c = Connect();
    c->write("NETVER\r\nGET VAR vespero0 ups.status\nFROB\nGET VAR vespero0 ups.lo");
    EXPECT_EQ(Receive(*c, 3), "1.3\nVAR vespero0 ups.status \"OL CHRG\"\nERR UNKNOWN-COMMAND\n");
    c->write("ad\n");
    EXPECT_EQ(Receive(*c, 1), "VAR vespero0 ups.load \"20\"\n");
    c->write("LOGOUT\n");
    EXPECT_EQ(Receive(*c, 1), "OK Goodbye\n");
    EXPECT_TRUE(Pump([&] { return c->state() == QAbstractSocket::UnconnectedState; }));
}

TEST_F(ServerTest, AHalfClosedClientStillGetsItsAnswers) {
    Start();
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    const char requests[] = "NETVER\nGET VAR vespero0 ups.status\n";
    ASSERT_EQ(send(fd, requests, sizeof requests - 1, MSG_NOSIGNAL), ssize_t(sizeof requests - 1));
    shutdown(fd, SHUT_WR);
    std::string got;
    ASSERT_TRUE(Pump([&] {
        char buffer[256];
        const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) got.append(buffer, size_t(n));
        return n == 0;  // the server closed its side once it had answered
    }));
    EXPECT_EQ(got, "1.3\nVAR vespero0 ups.status \"OL CHRG\"\n");
    ::close(fd);
    EXPECT_TRUE(Pump([&] { return server_->ClientCount() == 0; }));
}

TEST_F(ServerTest, RefusesConnectionsOverTheCapWithoutHarmingTheOthers) {
    Start([](nut::DaemonConfig* c) { c->maxConnections = 2; });
    auto a = Connect();
    auto b = Connect();
    ASSERT_TRUE(Pump([&] { return server_->ClientCount() == 2; }));
    auto extra = Connect(false);  // it may be closed before it is seen connected
    extra->write("NETVER\n");
    EXPECT_EQ(Receive(*extra, 1), "ERR ACCESS-DENIED too-many-connections\n");
    EXPECT_TRUE(Pump([&] { return extra->state() == QAbstractSocket::UnconnectedState; }));
    a->write("NETVER\n");
    b->write("NETVER\n");
    EXPECT_EQ(Receive(*a, 1), "1.3\n");
    EXPECT_EQ(Receive(*b, 1), "1.3\n");
    a->disconnectFromHost();
    ASSERT_TRUE(Pump([&] { return server_->ClientCount() == 1; }));
    auto again = Connect();  // a freed place is taken again
    again->write("NETVER\n");
    EXPECT_EQ(Receive(*again, 1), "1.3\n");
}

// A refused client is told why in answer to what it asks, and the server's close reaches it as
// an end of data, never a reset, also while it is still writing.
TEST_F(ServerTest, ARefusedClientReadsTheRefusalAndMeetsAnOrderlyClose) {
    Start([](nut::DaemonConfig* c) { c->maxConnections = 1; });
    auto held = Connect();
    ASSERT_TRUE(Pump([&] { return server_->ClientCount() == 1; }));
    auto open = [this] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port_);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        return fd;
    };
    auto say = [](int fd, const std::string& text) {
        return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
    };
    // Everything until the server's close; *reset: the close came as a reset.
    auto readToEnd = [](int fd, bool* reset) {
        std::string got;
        *reset = false;
        Pump([&] {
            char buffer[512];
            const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) got.append(buffer, size_t(n));
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) *reset = true;
            return n == 0 || *reset;
        }, 3 * nut::Server::kRefusalWaitMs + 2000);
        return got;
    };
    const std::string refusal = "ERR ACCESS-DENIED too-many-connections\n";

    // upscmd's order: it looks only at the answer to INSTCMD, the third request.
    const int asking = open();
    ASSERT_TRUE(say(asking, "USERNAME admin\nPASSWORD x\n"));
    ASSERT_TRUE(Pump([&] { return server_->RefusingCount() == 1; }));
    ASSERT_TRUE(say(asking, "INSTCMD vespero0 test.battery.start\nLOGOUT\nNETVER\nNETVER\n"));
    bool reset = true;
    std::string got = readToEnd(asking, &reset);
    EXPECT_EQ(got, refusal + refusal + refusal + refusal);  // four answers at most, then the close
    EXPECT_FALSE(reset);
    EXPECT_TRUE(say(asking, "NETVER\n"));  // still no broken pipe: the server reads what follows
    ::close(asking);
    EXPECT_TRUE(Pump([&] { return server_->RefusingCount() == 0; }));

    // A client that asks nothing is told all the same, once.
    const int silent = open();
    got = readToEnd(silent, &reset);
    EXPECT_EQ(got, refusal);
    EXPECT_FALSE(reset);
    ::close(silent);
    ASSERT_TRUE(Pump([&] { return server_->RefusingCount() == 0; }));

    // Refused clients beyond what the server holds at once are still told.
    std::vector<int> crowd;
    for (int i = 0; i < nut::Server::kMaxRefusing + 3; ++i) crowd.push_back(open());
    ASSERT_TRUE(Pump([&] { return server_->RefusingCount() == nut::Server::kMaxRefusing; }));
    for (int fd : crowd) {
        EXPECT_EQ(readToEnd(fd, &reset), refusal);
        ::close(fd);
    }
    EXPECT_TRUE(Pump([&] { return server_->RefusingCount() == 0; }, 3 * nut::Server::kRefusalWaitMs + 2000));

    // The client inside the cap was served throughout.
    held->write("NETVER\n");
    EXPECT_EQ(Receive(*held, 1), "1.3\n");
    EXPECT_EQ(server_->ClientCount(), 1);
}

TEST_F(ServerTest, ATooLongLineIsRefusedAndClosedWhetherItEndsOrNot) {
    Start([](nut::DaemonConfig* c) { c->maxLineLength = 64; });
    auto ended = Connect();
    ended->write("GET VAR vespero0 " + QByteArray(100, 'x') + "\nNETVER\n");
    EXPECT_EQ(Receive(*ended, 2), "ERR INVALID-ARGUMENT line-too-long\n");
    auto endless = Connect();
    endless->write(QByteArray(1000, 'y'));
    EXPECT_EQ(Receive(*endless, 2), "ERR INVALID-ARGUMENT line-too-long\n");
    EXPECT_TRUE(Pump([&] { return endless->state() == QAbstractSocket::UnconnectedState; }));
}

TEST_F(ServerTest, DropsIdleClientsOnlyAndBlankLinesDoNotCountAsRequests) {
    Start([](nut::DaemonConfig* c) { c->idleTimeoutSeconds = 5; });
    auto idle = Connect();
    auto blank = Connect();
    auto busy = Connect();
    ASSERT_TRUE(Pump([&] { return server_->ClientCount() == 3; }));
    Now() += 4000;
    busy->write("NETVER\n");
    EXPECT_EQ(Receive(*busy, 1), "1.3\n");
    blank->write("\n \r\n");
    EXPECT_EQ(Receive(*blank, 2), "ERR UNKNOWN-COMMAND\nERR UNKNOWN-COMMAND\n");
    Now() += 2000;  // idle and blank: 6 s without a request; busy: 2 s
    EXPECT_TRUE(Pump([&] { return idle->state() == QAbstractSocket::UnconnectedState; }, 3000));
    EXPECT_TRUE(Pump([&] { return blank->state() == QAbstractSocket::UnconnectedState; }, 3000));
    EXPECT_EQ(server_->ClientCount(), 1);
    busy->write("NETVER\n");
    EXPECT_EQ(Receive(*busy, 1), "1.3\n");
}

TEST_F(ServerTest, AClientThatNeverReadsIsDroppedAndOthersAreStillServed) {
    Start([](nut::DaemonConfig* c) { c->maxPendingOutput = 64 * 1024; });
    // A plain socket with a tiny receive window, so the answers pile up on the server's side.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    const int small = 4096;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    ASSERT_TRUE(Pump([&] { return server_->ClientCount() == 1; }));
    std::string requests;
    for (int i = 0; i < 200; ++i) requests += "LIST VAR vespero0\n";
    for (int round = 0; round < 20 && server_->ClientCount() == 1; ++round) {
        [[maybe_unused]] const ssize_t n = send(fd, requests.data(), requests.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        Pump([] { return false; }, 50);
    }
    EXPECT_EQ(server_->ClientCount(), 0);
    ::close(fd);

    auto other = Connect();
    other->write("NETVER\n");
    EXPECT_EQ(Receive(*other, 1), "1.3\n");
}

TEST_F(ServerTest, CapsConnectionsPerAddress) {
    Start([](nut::DaemonConfig* c) {
        c->maxConnectionsPerAddress = 2;
        c->listen.push_back({QHostAddress(QHostAddress::LocalHostIPv6), 0});
    });
    const quint16 port6 = server_->Ports().at(1);
    auto a = Connect();
    auto b = Connect();
    ASSERT_TRUE(Pump([&] { return server_->ClientCount() == 2; }));
    auto third = Connect(false);
    third->write("NETVER\n");
    EXPECT_EQ(Receive(*third, 1), "ERR ACCESS-DENIED too-many-connections\n");
    QTcpSocket other;  // another address is not held back by the first one's connections
    other.connectToHost(QHostAddress(QHostAddress::LocalHostIPv6), port6);
    other.write("NETVER\n");
    EXPECT_EQ(Receive(other, 1), "1.3\n");
    b->disconnectFromHost();
    ASSERT_TRUE(Pump([&] { return server_->ClientCount() == 2; }));
    auto again = Connect();
    again->write("NETVER\n");
    EXPECT_EQ(Receive(*again, 1), "1.3\n");
}

TEST_F(ServerTest, AWrongPasswordFloodNeitherBlocksOthersNorChecksMoreThanOnce) {
    users_ = nut::ParseUsersFile("[admin]\n password = " + QByteArray::fromStdString(nut::HashPassword("s3cret", 100)) +
                                 "\n instcmds = ALL\n");
    Start();
    HoldChecks();
    auto flooder = Connect();
    QByteArray flood = "USERNAME admin\nPASSWORD wrong\n";
    for (int i = 0; i < 1000; ++i) flood += "INSTCMD vespero0 test.battery.start\n";
    flooder->write(flood);
    ASSERT_TRUE(Pump([&] { return checks_ == 1; }));
    QByteArray flooded = Receive(*flooder, 2);

    // While the check is out, another client connects and is answered...
    auto other = Connect();
    other->write("GET VAR vespero0 ups.status\n");
    EXPECT_EQ(Receive(*other, 1), "VAR vespero0 ups.status \"OL CHRG\"\n");
    flooded += flooder->readAll();
    EXPECT_EQ(flooded, "OK\nOK\n");  // ...before any of the flood

    gate_.release(1000);
    flooded += Receive(*flooder, 1002 - int(flooded.count('\n')));
    EXPECT_EQ(flooded.count("ERR ACCESS-DENIED\n"), 1000);
    EXPECT_EQ(checks_, 1);
    EXPECT_EQ(LogCount("authentication failed"), 1);
    EXPECT_TRUE(Queued().empty());
}

// From the victim's side: wrong passwords from its own address and from others, under any user
// name, only make its check wait its turn. Its address's earlier attempts go first, then it; an
// address that comes later is taken in turn with the flooding one, not after all of its attempts.
TEST_F(ServerTest, WrongPasswordsNeverLockTheRightOneOutAndAddressesTakeTurns) {
    users_ = nut::ParseUsersFile("[admin]\n password = " + QByteArray::fromStdString(nut::HashPassword("s3cret", 100)) +
                                 "\n instcmds = ALL\n");
    Start();
    std::mutex orderLock;
    std::vector<std::string> order;  // the passwords, as checked
    server_->SetChecker([&](const nut::PasswordCheck& check) {
        {
            const std::lock_guard lock(orderLock);
            order.push_back(check.given);
        }
        ++checks_;
        gate_.acquire();
        return check.Run();
    });
    auto attempt = [&](const char* from, const std::string& user, const std::string& password) {
        auto c = std::make_unique<QTcpSocket>();
        c->bind(QHostAddress(QString::fromLatin1(from)));
        c->connectToHost(QHostAddress(QHostAddress::LocalHost), port_);
        c->write(QByteArray::fromStdString("USERNAME " + user + "\nPASSWORD " + password +
                                           "\nINSTCMD vespero0 test.battery.start\n"));
        return c;
    };
    constexpr int kFlood = 20;  // well past the five a lock-out once allowed, within the connection cap
    std::vector<std::unique_ptr<QTcpSocket>> flood;
    for (int i = 0; i < kFlood; ++i)
        flood.push_back(attempt("127.0.0.1", i % 2 ? "admin" : "nobody-" + std::to_string(i), "wrong" + std::to_string(i)));
    ASSERT_TRUE(Pump([&] { return checks_ == 1 && server_->Checker().Waiting() == kFlood - 1; }));
    auto victim = attempt("127.0.0.1", "admin", "s3cret");
    ASSERT_TRUE(Pump([&] { return server_->Checker().Waiting() == kFlood; }));
    auto other = attempt("127.0.0.2", "admin", "from-two");
    ASSERT_TRUE(Pump([&] { return server_->Checker().Waiting() == kFlood + 1; }));

    gate_.release(1000);
    EXPECT_EQ(Receive(*victim, 3), "OK\nOK\nOK\n");
    EXPECT_EQ(Receive(*other, 3), "OK\nOK\nERR ACCESS-DENIED\n");
    for (auto& c : flood) EXPECT_EQ(Receive(*c, 3), "OK\nOK\nERR ACCESS-DENIED\n");
    ASSERT_EQ(order.size(), size_t(kFlood + 2));
    EXPECT_EQ(order[0], "wrong0");
    EXPECT_EQ(order[1], "wrong1");    // the first address was in line already
    EXPECT_EQ(order[2], "from-two");  // then the second's turn, not after the whole flood
    for (int i = 2; i < kFlood; ++i) EXPECT_EQ(order[i + 1], "wrong" + std::to_string(i));
    EXPECT_EQ(order[kFlood + 1], "s3cret");  // after its own address's earlier attempts
    EXPECT_EQ(Queued().size(), 1u);
    EXPECT_EQ(LogCount("refusing"), 0);
    EXPECT_EQ(LogCount("authentication failed"), kFlood + 1);
}

// A credential that matched is let in at once for an hour, without a check: however long the
// queue, a client that has logged in before is not held up. A reload, a changed password and the
// hour passing each make it checked again; a wrong password is never taken on trust.
TEST_F(ServerTest, ARecentlyVerifiedCredentialIsLetInWithoutACheckUntilReloadChangeOrAnHour) {
    QTemporaryDir dir;
    const QString conf = dir.filePath("vesperod.conf"), users = dir.filePath("vesperod.users");
    auto write = [](const QString& path, const QByteArray& text) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    };
    write(conf, "[server]\n");
    write(users, "[admin]\n password = " + QByteArray::fromStdString(nut::HashPassword("s3cret", 100)) + "\n instcmds = ALL\n");
    nut::LoadUsers(users, false, &users_);
    Start();
    HoldChecks();
    gate_.release(1);
    auto login = [&](const char* password) {
        auto c = Connect();
        c->write(QByteArray("USERNAME admin\nPASSWORD ") + password + "\nINSTCMD vespero0 test.battery.start\n");
        return Receive(*c, 3);
    };
    EXPECT_EQ(login("s3cret"), "OK\nOK\nOK\n");
    EXPECT_EQ(checks_, 1);
    EXPECT_EQ(server_->Checker().RememberedCount(), 1u);
    // No check may run now (the gate is shut), yet the same credential is answered.
    EXPECT_EQ(login("s3cret"), "OK\nOK\nOK\n");
    EXPECT_EQ(checks_, 1);
    gate_.release(1);
    EXPECT_EQ(login("S3cret"), "OK\nOK\nERR ACCESS-DENIED\n");
    EXPECT_EQ(checks_, 2);

    Now() += nut::PasswordChecker::kRememberMs;
    board_->Update(0, *OnLineUnit(), Now());
    gate_.release(1);
    EXPECT_EQ(login("s3cret"), "OK\nOK\nOK\n");  // an hour on: checked again, and remembered anew
    EXPECT_EQ(checks_, 3);
    EXPECT_EQ(login("s3cret"), "OK\nOK\nOK\n");
    EXPECT_EQ(checks_, 3);

    nut::ReloadSettings(conf, true, false, &config_, &users_, board_.get(), server_.get());
    EXPECT_EQ(server_->Checker().RememberedCount(), 0u);
    gate_.release(1);
    EXPECT_EQ(login("s3cret"), "OK\nOK\nOK\n");
    EXPECT_EQ(checks_, 4);

    // A new password: the old one's record cannot match the new entry, even before a reload clears it.
    users_ = nut::ParseUsersFile("[admin]\n password = " + QByteArray::fromStdString(nut::HashPassword("s3cret", 100)) +
                                 "\n instcmds = ALL\n");
    gate_.release(1);
    EXPECT_EQ(login("s3cret"), "OK\nOK\nOK\n");
    EXPECT_EQ(checks_, 5);
}

// Over the cap of waiting checks (an address allowed more connections than that) the oldest
// waiting attempt is dropped: its client is refused that request, keeps its connection and is
// checked when it asks again (which in turn pushes out the oldest then waiting).
TEST_F(ServerTest, AnAddressOverItsWaitingCapLosesItsOldestAttempt) {
    users_ = nut::ParseUsersFile("[admin]\n password = s3cret\n instcmds = ALL\n");
    Start([](nut::DaemonConfig* c) { c->maxConnectionsPerAddress = 64; });
    HoldChecks();
    constexpr int kCap = int(nut::PasswordChecker::kMaxWaitingPerAddress);
    auto attempt = [&](const char* password) {
        auto c = Connect();
        c->write(QByteArray("USERNAME admin\nPASSWORD ") + password + "\nINSTCMD vespero0 test.battery.start\n");
        return c;
    };
    auto running = attempt("wrong");
    ASSERT_TRUE(Pump([&] { return checks_ == 1; }));
    auto oldest = attempt("s3cret");
    std::vector<std::unique_ptr<QTcpSocket>> later;
    for (int i = 1; i < kCap; ++i) later.push_back(attempt("wrong"));
    ASSERT_TRUE(Pump([&] { return server_->Checker().Waiting() == size_t(kCap); }));
    auto newest = attempt("wrong");
    EXPECT_EQ(Receive(*oldest, 3), "OK\nOK\nERR ACCESS-DENIED\n");
    EXPECT_EQ(LogCount("dropped a password check from 127.0.0.1"), 1);
    EXPECT_EQ(server_->Checker().Dropped(), 1u);

    oldest->write("INSTCMD vespero0 test.battery.start\n");
    EXPECT_EQ(Receive(*later[0], 3), "OK\nOK\nERR ACCESS-DENIED\n");
    EXPECT_EQ(server_->Checker().Dropped(), 2u);
    EXPECT_EQ(server_->Checker().Waiting(), size_t(kCap));
    gate_.release(1000);
    EXPECT_EQ(Receive(*oldest, 1), "OK\n");
    EXPECT_EQ(Receive(*newest, 3), "OK\nOK\nERR ACCESS-DENIED\n");
    EXPECT_EQ(Receive(*running, 3), "OK\nOK\nERR ACCESS-DENIED\n");
    EXPECT_EQ(checks_, 1 + kCap);
}

TEST_F(ServerTest, OutOfDescriptorsPausesAcceptingAndResumes) {
    Start();
    server_->SetAcceptPauseMs(300);
    // The client's socket exists before the limit drops: connecting needs no new descriptor.
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    const int lowestFree = dup(0);
    ASSERT_GE(lowestFree, 0);
    ::close(lowestFree);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = rlim_t(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    const bool paused = Pump([&] { return server_->AcceptPauses() >= 2; });  // tried again after a pause
    const int pauses = server_->AcceptPauses();
    setrlimit(RLIMIT_NOFILE, &saved);
    ASSERT_TRUE(connected);
    EXPECT_TRUE(paused);
    EXPECT_EQ(pauses, 2);  // one failed accept per pause, not a spin
    EXPECT_EQ(LogCount("cannot accept connections"), 1);

    const char request[] = "NETVER\n";
    ASSERT_EQ(send(fd, request, sizeof request - 1, MSG_NOSIGNAL), ssize_t(sizeof request - 1));
    std::string got;
    EXPECT_TRUE(Pump([&] {
        char buffer[64];
        const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) got.append(buffer, size_t(n));
        return got == "1.3\n";
    }));
    ::close(fd);
}

TEST_F(ServerTest, ClampsMaxConnectionsToTheDescriptorLimit) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    Start([](nut::DaemonConfig* c) { c->maxConnections = 100000; });
    EXPECT_LT(server_->MaxConnections(), int(limit.rlim_cur));
    EXPECT_EQ(LogCount("max_connections 100000 is more than the descriptor limit"), 1);
}

TEST_F(ServerTest, AReloadKeepsClientsAndAppliesNamesLimitsAndUsersButABadFileChangesNothing) {
    QTemporaryDir dir;
    const QString conf = dir.filePath("vesperod.conf"), users = dir.filePath("vesperod.users");
    auto write = [](const QString& path, const QByteArray& text) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    };
    write(users, "[old]\n password = o\n instcmds = ALL\n");
    nut::LoadUsers(users, false, &users_);
    Start();
    auto kept = Connect();
    kept->write("USERNAME old\nPASSWORD o\nINSTCMD vespero0 test.battery.start\n");
    ASSERT_EQ(Receive(*kept, 3), "OK\nOK\nOK\n");
    auto reload = [&] { nut::ReloadSettings(conf, true, false, &config_, &users_, board_.get(), server_.get()); };

    write(conf, "[server]\nmax_connections_per_address = 2\nidle_timeout = 1000\n[unit0]\nname = rack\n");
    write(users, "[new]\n password = \"n#1\"\n instcmds = ALL\n");
    reload();
    EXPECT_EQ(config_.maxConnectionsPerAddress, 2);
    kept->write("GET VAR rack ups.status\nINSTCMD rack test.battery.start\n");
    EXPECT_EQ(Receive(*kept, 2), "VAR rack ups.status \"OL CHRG\"\nERR ACCESS-DENIED\n");  // "old" is gone
    auto second = Connect();
    second->write("USERNAME new\nPASSWORD n#1\nINSTCMD rack test.battery.start\n");
    EXPECT_EQ(Receive(*second, 3), "OK\nOK\nOK\n");
    auto third = Connect(false);
    third->write("NETVER\n");
    EXPECT_EQ(Receive(*third, 1), "ERR ACCESS-DENIED too-many-connections\n");

    write(conf, "[server]\nmax_connections_per_address = 9\nidle_timeout = never\n");
    write(users, "[new]\n password = \"n#2\n");
    reload();
    EXPECT_EQ(LogCount(conf + ":3: idle_timeout must be"), 1);
    EXPECT_EQ(config_.maxConnectionsPerAddress, 2);
    EXPECT_EQ(config_.unitName[0], "rack");
    EXPECT_EQ(users_.users.at("new").password, "n#1");  // the users file is only read with good settings

    write(conf, "[server]\nmax_connections_per_address = 2\n[unit0]\nname = rack\n");
    reload();
    EXPECT_EQ(LogCount(users + ":2: a quote is left open; user \"new\" is refused; keeping the 1 user(s)"), 1);
    EXPECT_EQ(users_.users.at("new").password, "n#1");
    kept->write("NETVER\n");
    EXPECT_EQ(Receive(*kept, 1), "1.3\n");
}

TEST_F(ServerTest, ControlCharactersFromClientsAreEscapedInTheLog) {
    users_ = nut::ParseUsersFile("[admin]\n password = p\n");
    Start();
    auto c = Connect();
    c->write("USERNAME \"x\rvesperod: forged\x1b[2J\x7f\"\nPASSWORD p\nLOGIN vespero0\n");
    EXPECT_EQ(Receive(*c, 3), "OK\nOK\nERR ACCESS-DENIED\n");
    EXPECT_EQ(LogCount("authentication failed for user \"x\\rvesperod: forged\\x1b[2J\\x7f\" from 127.0.0.1"), 1);
    EXPECT_EQ(nut::EscapeForLog(QString::fromUtf8("a\nb\tc\u0085d é")), QString::fromUtf8("a\\nb\\tc\\x85d é"));
}

TEST_F(ServerTest, BindFailureNamesTheAddress) {
    Start();
    nut::DaemonConfig taken = TestConfig();
    taken.listen = {{QHostAddress(QHostAddress::LocalHost), port_}};
    nut::Server second(taken, board_.get(), &users_, &TestClock);
    QString error;
    EXPECT_FALSE(second.Listen(&error));
    EXPECT_TRUE(error.contains(QStringLiteral("127.0.0.1:%1").arg(port_))) << error.toStdString();
}

}  // namespace
