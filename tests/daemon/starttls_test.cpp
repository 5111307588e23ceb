// STARTTLS on the NUT port over real loopback sockets, against OpenSSL's own client: the answers
// upsd gives, the protocol under TLS, force_tls from both sides, handshakes that stall or are
// garbage, and a certificate changed by a reload. The certificate file's faults are in
// status_users_config_test.cpp; Debian's upsmon over TLS in the end-to-end suite.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <openssl/ssl.h>

#include "daemon/nut/starttls.h"
#include "daemon/settings_reload.h"
#include "server_fixture.h"
#include "tests/support/certificates.h"
#include "tests/support/files_and_waits.h"
#include "tests/support/nut_client.h"

using namespace daemontest;
using testsupport::NutClient;

namespace {

class StartTlsTest : public ServerTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir_.isValid());
        ASSERT_TRUE(testsupport::MakeCertificate(dir_.path(), QStringLiteral("a"), QStringLiteral("first.example")));
        users_ = nut::ParseUsersFile("[mon]\n password = monpass\n upsmon primary\n", QStringLiteral("users"));
    }

    // The server with the certificate named, loaded as the settings file would load it.
    void StartWithCertificate(const char* name = "a") {
        Start();
        QString error;
        config_.certFile = dir_.filePath(QLatin1String(name) + QStringLiteral(".pem"));
        config_.tls = nut::TlsContext::Load(config_.certFile, &error);
        ASSERT_TRUE(config_.tls) << error.toStdString();
    }

    // Runs the client's side of a conversation on a thread of its own while the server serves.
    template <typename F>
    auto Aside(F conversation) {
        auto result = std::async(std::launch::async, conversation);
        EXPECT_TRUE(Pump([&] { return result.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 20000));
        return result.get();
    }

    QTemporaryDir dir_;
};

TEST_F(StartTlsTest, AnswersAsUpsdDoesAndCarriesTheWholeProtocolUnderTls) {
    Start();
    Aside([&] {
        NutClient c(port_);
        EXPECT_EQ(c.Ask("STARTTLS\n"), "ERR FEATURE-NOT-CONFIGURED");  // no certfile
        EXPECT_EQ(c.Ask("NETVER\n"), "1.3");
        return 0;
    });

    QString error;
    config_.tls = nut::TlsContext::Load(dir_.filePath(QStringLiteral("a.pem")), &error);
    ASSERT_TRUE(config_.tls) << error.toStdString();
    Aside([&] {
        NutClient c(port_);
        EXPECT_EQ(c.Ask("GET VAR vespero0 ups.status\n"), "VAR vespero0 ups.status \"OL CHRG\"");
        EXPECT_TRUE(c.StartTls());
        EXPECT_EQ(c.PeerName(), "first.example");
        EXPECT_EQ(c.Version(), "TLSv1.3");
        EXPECT_EQ(c.Ask("STARTTLS\n"), "ERR ALREADY-SSL-MODE");
        EXPECT_EQ(c.Ask("GET VAR vespero0 ups.status\n"), "VAR vespero0 ups.status \"OL CHRG\"");
        EXPECT_EQ(c.Ask("USERNAME mon\n"), "OK");
        EXPECT_EQ(c.Ask("PASSWORD monpass\n"), "OK");
        EXPECT_EQ(c.Ask("LOGIN vespero0\n"), "OK");
        EXPECT_EQ(c.Ask("GET NUMLOGINS vespero0\n"), "NUMLOGINS vespero0 1");
        EXPECT_EQ(c.Ask("LOGOUT\n"), "OK Goodbye");
        EXPECT_TRUE(c.ClosedInOrder());
        return 0;
    });
    EXPECT_EQ(LogCount(QStringLiteral("user \"mon\" from 127.0.0.1 logged in to vespero0 over TLS")), 1);

    // Below TLS 1.2 there is no handshake, and the server says so once.
    Aside([&] {
        NutClient old(port_);
        EXPECT_FALSE(old.StartTls(TLS1_1_VERSION));
        EXPECT_TRUE(old.Closed());
        return 0;
    });
    EXPECT_TRUE(Pump([&] { return LogCount(QStringLiteral("dropped 127.0.0.1: TLS handshake failed: unsupported protocol")) == 1; }));
    EXPECT_TRUE(Pump([&] { return server_->ClientCount() == 0; }));
}

// The owner's side of force_tls: a plain client is told why at USERNAME, PASSWORD and whatever
// needs them, and may still read; the client under TLS logs in at the same time, its password
// checked as ever.
TEST_F(StartTlsTest, ForceTlsRefusesLoginsOnPlainConnectionsOnlyAndTheOwnerStillGetsIn) {
    StartWithCertificate();
    config_.forceTls = true;
    HoldChecks();
    gate_.release(10);
    Aside([&] {
        NutClient plain(port_), owner(port_);
        EXPECT_EQ(plain.Ask("USERNAME mon\n"), "ERR ACCESS-DENIED tls-required");
        EXPECT_TRUE(owner.StartTls());
        EXPECT_EQ(owner.Ask("USERNAME mon\n"), "OK");
        EXPECT_EQ(plain.Ask("PASSWORD monpass\n"), "ERR ACCESS-DENIED tls-required");
        EXPECT_EQ(owner.Ask("PASSWORD monpass\n"), "OK");
        for (const char* request : {"LOGIN vespero0\n", "PRIMARY vespero0\n", "FSD vespero0\n", "INSTCMD vespero0 test.battery.start\n",
                                    "SET VAR vespero0 ups.id x\n"})
            EXPECT_EQ(plain.Ask(request), "ERR ACCESS-DENIED tls-required") << request;
        EXPECT_EQ(plain.Ask("GET VAR vespero0 ups.status\n"), "VAR vespero0 ups.status \"OL CHRG\"");
        EXPECT_EQ(owner.Ask("LOGIN vespero0\n"), "OK");
        EXPECT_EQ(owner.Ask("PRIMARY vespero0\n"), "OK PRIMARY-GRANTED");
        // The refused one may still go over to TLS and log in.
        EXPECT_TRUE(plain.StartTls());
        EXPECT_EQ(plain.Ask("USERNAME mon\n"), "OK");
        EXPECT_EQ(plain.Ask("PASSWORD monpass\n"), "OK");
        EXPECT_EQ(plain.Ask("PRIMARY vespero0\n"), "OK PRIMARY-GRANTED");
        return 0;
    });
    EXPECT_EQ(checks_, 1);  // one check of mon's password, remembered for the second session
    EXPECT_TRUE(Queued().empty());
}

// Handshakes that never finish: one stalls after OK STARTTLS, one sends garbage, one stops half
// way. A plain client is answered at once all the while; the garbage goes at once and the others at
// their deadline, giving their address's share back.
TEST_F(StartTlsTest, StalledAndGarbageHandshakesBlockNobodyAndEndAtTheirDeadline) {
    StartWithCertificate();
    config_.tlsHandshakeTimeoutSeconds = 3;
    config_.maxConnectionsPerAddress = 4;
    server_->Reconfigure();
    NutClient stalled(port_), garbage(port_), halfway(port_);
    std::string answers = Aside([&] {
        std::string got = stalled.Ask("STARTTLS\n") + "|" + garbage.Ask("STARTTLS\n") + "|" + halfway.Ask("STARTTLS\n");
        const std::string junk(4096, '\x16');
        send(garbage.fd(), junk.data(), junk.size(), MSG_NOSIGNAL);
        // The first bytes of a TLS record header and no more.
        send(halfway.fd(), "\x16\x03\x01\x02", 4, MSG_NOSIGNAL);
        return got;
    });
    EXPECT_EQ(answers, "OK STARTTLS|OK STARTTLS|OK STARTTLS");
    EXPECT_TRUE(Pump([&] { return LogCount(QStringLiteral("TLS handshake failed")) == 1; }));
    EXPECT_TRUE(Aside([&] { return garbage.Closed(); }));

    QElapsedTimer answered;
    answered.start();
    EXPECT_EQ(Aside([&] { return NutClient(port_).Ask("NETVER\n"); }), "1.3");
    EXPECT_LT(answered.elapsed(), 2000);
    EXPECT_TRUE(Pump([&] { return server_->ClientCount() == 2; }));

    // Within the deadline both wait; past it, both go at the next round of the idle check.
    Now() += 3000;
    QThread::msleep(1100);
    QCoreApplication::processEvents();
    EXPECT_EQ(server_->ClientCount(), 2);
    Now() += 1;
    EXPECT_TRUE(Pump([&] { return server_->ClientCount() == 0; }, 3000));
    EXPECT_EQ(LogCount(QStringLiteral("no TLS handshake within 3 s")), 1);  // one line a second at most
    EXPECT_TRUE(Aside([&] { return stalled.Closed() && halfway.Closed(); }));

    // Their share of the address is free again.
    EXPECT_EQ(Aside([&] {
                  NutClient a(port_), b(port_), c(port_), d(port_);
                  return a.Ask("NETVER\n") + b.Ask("NETVER\n") + c.Ask("NETVER\n") + d.Ask("NETVER\n");
              }),
              "1.31.31.31.3");
}

// A reload with another certificate serves it to the next handshake; a session under way keeps
// its own. A certificate that cannot serve leaves the reload undone.
TEST_F(StartTlsTest, AReloadedCertificateServesNewHandshakesAndABadOneChangesNothing) {
    ASSERT_TRUE(testsupport::MakeCertificate(dir_.path(), QStringLiteral("b"), QStringLiteral("second.example")));
    const QString conf = dir_.filePath(QStringLiteral("vesperod.conf"));
    testsupport::WriteFile(dir_.filePath(QStringLiteral("vesperod.users")), "[mon]\n password = monpass\n upsmon primary\n");
    testsupport::WriteFile(conf, "[server]\ncertfile = a.pem\n");
    QStringList faults;
    nut::DaemonConfig loaded;
    ASSERT_TRUE(nut::LoadDaemonConfig(conf, true, &loaded, &faults)) << faults.join('\n').toStdString();
    Start();
    config_.certFile = loaded.certFile;
    config_.tls = loaded.tls;
    auto reload = [&] { nut::ReloadSettings(conf, true, true, &config_, &users_, board_.get(), server_.get()); };

    NutClient before(port_);
    EXPECT_EQ(Aside([&] { return before.StartTls() ? before.PeerName() : "no TLS"; }), "first.example");

    testsupport::WriteFile(conf, "[server]\ncertfile = b.pem\n");
    reload();
    EXPECT_EQ(LogCount(QStringLiteral("reload: STARTTLS with ") + dir_.filePath(QStringLiteral("b.pem")) + QStringLiteral(" (CN=second.example, valid until")), 1);
    EXPECT_EQ(Aside([&] {
                  NutClient after(port_);
                  return after.StartTls() ? after.PeerName() : "no TLS";
              }),
              "second.example");
    EXPECT_EQ(Aside([&] { return before.Ask("GET VAR vespero0 ups.status\n"); }), "VAR vespero0 ups.status \"OL CHRG\"");

    testsupport::WriteFile(dir_.filePath(QStringLiteral("c.pem")), "-----BEGIN CERTIFICATE-----\nnonsense\n-----END CERTIFICATE-----\n");
    testsupport::WriteFile(conf, "[server]\ncertfile = c.pem\n");
    reload();
    EXPECT_EQ(LogCount(QStringLiteral("reload: ") + conf + QStringLiteral(":2: certfile ") + dir_.filePath(QStringLiteral("c.pem")) +
                       QStringLiteral(": holds no certificate")), 1);
    EXPECT_EQ(Aside([&] {
                  NutClient after(port_);
                  return after.StartTls() ? after.PeerName() : "no TLS";
              }),
              "second.example");

    testsupport::WriteFile(conf, "[server]\n");
    reload();
    EXPECT_EQ(LogCount(QStringLiteral("reload: STARTTLS not offered (no certfile)")), 1);
    EXPECT_EQ(Aside([&] { return NutClient(port_).Ask("STARTTLS\n"); }), "ERR FEATURE-NOT-CONFIGURED");
    EXPECT_EQ(Aside([&] { return before.Ask("STARTTLS\n"); }), "ERR ALREADY-SSL-MODE");
}

}  // namespace
