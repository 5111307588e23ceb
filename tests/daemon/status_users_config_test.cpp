// The status words a NUT client acts on, the users file and the server settings.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <unistd.h>

#include "daemon/daemon_config.h"
#include "daemon/nut/starttls.h"
#include "daemon/ups_variables.h"
#include "daemon/nut/users_file.h"
#include "daemon_fixture.h"
#include "tests/support/certificates.h"
#include "tests/support/files_and_waits.h"

using namespace daemontest;

namespace {

struct StatusCase {
    const char* what;
    void (*change)(_ZozeUps*);
    const char* status;
    const char* alarm;
};

TEST(StatusWords, FollowTheStateCodeFlagsAndRedGauges) {
    const StatusCase cases[] = {
        {"on line, charging", [](_ZozeUps*) {}, "OL CHRG", ""},
        {"on line, charged", [](_ZozeUps* u) { u->status.flags12 = 0; }, "OL", ""},
        {"bypass or eco", [](_ZozeUps* u) { u->status.stateCode = 4; }, "OL BYPASS", ""},
        {"on battery", [](_ZozeUps* u) { u->status.stateCode = 18; }, "OB DISCHRG", ""},
        {"battery starting", [](_ZozeUps* u) { u->status.stateCode = 16; }, "OB DISCHRG", ""},
        {"on battery, 41.9 V on 4 blocks", [](_ZozeUps* u) { u->status.stateCode = 18; u->status.batteryVoltage = 41.9; },
         "OB DISCHRG LB", ""},
        {"on battery, exactly 42 V", [](_ZozeUps* u) { u->status.stateCode = 18; u->status.batteryVoltage = 42.0; },
         "OB DISCHRG", ""},
        {"stand-by", [](_ZozeUps* u) { u->status.stateCode = 3; }, "OFF", ""},
        {"stand-by, low battery voltage", [](_ZozeUps* u) { u->status.stateCode = 3; u->status.standbyReason = 8; },
         "OFF LB", ""},
        {"stand-by, overload", [](_ZozeUps* u) { u->status.stateCode = 3; u->status.standbyReason = 13; },
         "OFF OVER", ""},
        {"stand-by, over temperature",
         [](_ZozeUps* u) { u->status.stateCode = 3; u->status.standbyReason = 14; std::strcpy(u->stateText, "Over Temperature"); },
         "OFF ALARM", "Over Temperature"},
        {"stand-by, reason out of table", [](_ZozeUps* u) { u->status.stateCode = 3; u->status.standbyReason = -1; },
         "OFF", ""},
        {"starting", [](_ZozeUps* u) { u->status.stateCode = 1; }, "OFF", ""},
        {"load at its rating", [](_ZozeUps* u) { u->status.powerPercent = 100; }, "OL CHRG", ""},
        {"load over its rating", [](_ZozeUps* u) { u->status.powerPercent = 101; }, "OL CHRG OVER", ""},
        {"heat sink at 70 C", [](_ZozeUps* u) { u->status.inverterTemperature = 70; }, "OL CHRG ALARM", "THeat [C] high"},
        {"battery temperature unknown", [](_ZozeUps* u) { u->status.batteryTemperature = NAN; },
         "OL CHRG ALARM", "T Batt [C] high"},
        {"two red gauges", [](_ZozeUps* u) { u->status.caseTemperature = 80; u->status.internalVoltage1 = 160.5; },
         "OL CHRG ALARM", "T Case [C] high; VHP [V] high"},
        {"unknown state", [](_ZozeUps* u) { u->status.stateCode = 7; }, "ALARM", "Unknown state code 7"},
    };
    for (const StatusCase& c : cases) {
        auto u = OnLineUnit();
        c.change(u.get());
        const nut::StatusWords w = nut::DeriveStatus(*u, false);
        EXPECT_EQ(w.status, c.status) << c.what;
        EXPECT_EQ(w.alarm, c.alarm) << c.what;
    }
    auto u = OnLineUnit();
    u->status.stateCode = 18;
    u->status.batteryVoltage = 40;
    EXPECT_EQ(nut::DeriveStatus(*u, true).status, "FSD OB DISCHRG LB");
}

TEST(Variables, AreSortedDotDecimalAndLeaveOutWhatIsNotANumber) {
    auto u = OnLineUnit();
    u->status.batteryVoltage = 53.96;
    u->status.outputPower = NAN;
    u->status.powerUnits = 2;
    const std::vector<nut::Variable> vars = nut::BuildVariables(*u, false, 5);
    ASSERT_FALSE(vars.empty());
    for (size_t i = 1; i < vars.size(); ++i) EXPECT_LT(vars[i - 1].name, vars[i].name);
    auto value = [&](const char* name) -> std::string {
        for (const auto& v : vars)
            if (v.name == name) return v.value;
        return "(absent)";
    };
    EXPECT_EQ(value("battery.voltage"), "54.0");
    EXPECT_EQ(value("ups.realpower"), "(absent)");
    EXPECT_EQ(value("ups.realpower.nominal"), "10000");
    EXPECT_EQ(value("device.model"), "Vespero 10 kW");
    EXPECT_EQ(value("driver.parameter.port"), "COM5");
    EXPECT_EQ(value("ups.test.result"), "No test initiated");
    EXPECT_EQ(value("ups.alarm"), "(absent)");
    EXPECT_EQ(value("battery.charger.status"), "charging");
    for (const auto& v : vars) EXPECT_FALSE(nut::VariableDescription(v.name).empty()) << v.name;

    u->batteryTestStatus = 0x12;
    u->batteryTestTime[0] = 30;
    EXPECT_EQ(nut::BuildVariables(*u, false, 5).back().value, "Done, status 0x0012");  // ups.test.result sorts last
}

TEST(UsersFile, ReadsUpsdUsersConventionsAndReportsWhatItSkips) {
    const nut::UsersFile f = nut::ParseUsersFile(
        "# operators\n"
        "[admin]\n"
        "  password = \"two words\"   # trailing comment\n"
        "  actions = SET\n"
        "  actions = fsd\n"
        "  instcmds = test.battery.start, Battery.Charge.Start\n"
        "[old]\n"
        "  password=x\n"
        "  upsmon master\n"
        "[older]\n"
        "  upsmon slave\n"
        "  colour = blue\n"
        "orphan\n"
        "[broken\n");
    ASSERT_EQ(f.users.size(), 3u);
    const nut::User& admin = f.users.at("admin");
    EXPECT_EQ(admin.password, "two words");
    EXPECT_EQ(admin.actions, (std::set<std::string>{"FSD", "SET"}));
    EXPECT_EQ(admin.instcmds, (std::set<std::string>{"battery.charge.start", "test.battery.start"}));
    EXPECT_EQ(f.users.at("old").upsmon, nut::UpsmonRole::Primary);
    EXPECT_EQ(f.users.at("older").upsmon, nut::UpsmonRole::Secondary);
    EXPECT_EQ(f.warnings.size(), 3);  // "colour", "orphan" and "[broken"
    EXPECT_TRUE(f.warnings[0].startsWith("line 12:"));
}

TEST(UsersFile, QuotesKeepHashSignsAndAnOpenQuoteRefusesItsUser) {
    const nut::UsersFile f = nut::ParseUsersFile(
        "[a]\n password = \"ab#cd\" # comment\n"
        "[b]\n password = \"say \\\"hi\\\"\"\n"
        "[c]\n password = ab # comment\n"
        "[d]\n password = \"ab#cd\n upsmon primary\n"
        "[e]\n password = \"x\" y\n",
        "/etc/vespero/vesperod.users");
    EXPECT_EQ(f.users.at("a").password, "ab#cd");
    EXPECT_EQ(f.users.at("b").password, "say \"hi\"");
    EXPECT_EQ(f.users.at("c").password, "ab");
    EXPECT_EQ(f.users.count("d"), 0u);  // never stored with a cut password
    EXPECT_EQ(f.users.count("e"), 0u);
    ASSERT_EQ(f.errors.size(), 2);
    EXPECT_EQ(f.errors[0], "/etc/vespero/vesperod.users:8: a quote is left open; user \"d\" is refused");
    EXPECT_TRUE(f.errors[1].startsWith("/etc/vespero/vesperod.users:11: ")) << f.errors[1].toStdString();
}

TEST(UsersFile, ACheckCostsTheSameForUnknownPlainAndHashedUsers) {
    const nut::UsersFile f = nut::ParseUsersFile(
        "[hashed]\n password = " + QByteArray::fromStdString(nut::HashPassword("h", 1500)) +
        "\n[cheap]\n password = " + QByteArray::fromStdString(nut::HashPassword("c", 10)) + "\n[plain]\n password = p\n");
    EXPECT_EQ(f.hashIterations, 1500);
    for (const char* user : {"hashed", "plain", "nobody"}) {
        EXPECT_EQ(nut::MakePasswordCheck(f, user, "x").Iterations(), 1500) << user;
        EXPECT_FALSE(nut::MakePasswordCheck(f, user, "x").Run()) << user;
    }
    EXPECT_TRUE(nut::MakePasswordCheck(f, "hashed", "h").Run());
    EXPECT_TRUE(nut::MakePasswordCheck(f, "plain", "p").Run());
    EXPECT_FALSE(nut::MakePasswordCheck(f, "nobody", "").Run());
}

TEST(UsersFile, PasswordsMatchPlainOrSaltedHashButNeverEmptyOrMalformed) {
    EXPECT_TRUE(nut::PasswordMatches("plain", "plain"));
    EXPECT_FALSE(nut::PasswordMatches("plain", "plain "));
    EXPECT_FALSE(nut::PasswordMatches("", ""));
    const std::string hash = nut::HashPassword("secret", 1000);
    EXPECT_EQ(hash.rfind("$pbkdf2-sha256$1000$", 0), 0u);
    EXPECT_NE(hash, nut::HashPassword("secret", 1000));  // salted
    EXPECT_TRUE(nut::PasswordMatches(hash, "secret"));
    EXPECT_FALSE(nut::PasswordMatches(hash, "Secret"));
    EXPECT_FALSE(nut::PasswordMatches(hash, hash));
    // The published PBKDF2-HMAC-SHA256 vector (RFC 7914, "passwd" salted "salt", one round): any
    // hash made before, by whatever implementation, still matches.
    const std::string vector = "$pbkdf2-sha256$1$c2FsdA==$VawEblbjCJ/sFpHCJUS2BflBhSFt3gRl5oudV8INrLxJypzM8Xm2RZkWZLOdd+8xfHG4RbHjC9UJESBB06GXgw==";
    EXPECT_TRUE(nut::PasswordMatches(vector, "passwd"));
    EXPECT_FALSE(nut::PasswordMatches(vector, "passwe"));
    for (const char* bad : {"$pbkdf2-sha256$", "$pbkdf2-sha256$0$AAAA$AAAA", "$pbkdf2-sha256$x$AAAA$AAAA",
                            "$pbkdf2-sha256$99999999$AAAA$AAAA", "$pbkdf2-sha256$10$$"})
        EXPECT_FALSE(nut::PasswordMatches(bad, "")) << bad;
}

TEST(DaemonConfig, ListenAddressesTakeIpv4Ipv6AndPorts) {
    nut::ListenAddress a;
    QString error;
    ASSERT_TRUE(nut::ParseListenAddress("::1", 3493, &a, &error));
    EXPECT_EQ(a.address, QHostAddress(QHostAddress::LocalHostIPv6));
    EXPECT_EQ(a.port, 3493);
    ASSERT_TRUE(nut::ParseListenAddress("[::1]:4000", 3493, &a, &error));
    EXPECT_EQ(a.port, 4000);
    ASSERT_TRUE(nut::ParseListenAddress("127.0.0.1:99", 3493, &a, &error));
    EXPECT_EQ(a.address, QHostAddress(QHostAddress::LocalHost));
    EXPECT_EQ(a.port, 99);
    for (const char* bad : {"example.org", "1.2.3.4:0", "1.2.3.4:70000", "[::1", "[::1]x"}) {
        EXPECT_FALSE(nut::ParseListenAddress(bad, 3493, &a, &error)) << bad;
        EXPECT_TRUE(error.contains(QLatin1String(bad).left(4))) << error.toStdString();
    }
}

TEST(DaemonConfig, ReadsTheFileAndRefusesWhatItCannotUse) {
    QTemporaryDir dir;
    const QString path = dir.filePath("vesperod.conf");
    auto write = [&](const char* text) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    };
    nut::DaemonConfig c;
    QString error;
    EXPECT_FALSE(nut::LoadDaemonConfig(path, true, &c, &error));
    EXPECT_TRUE(error.contains(path));
    ASSERT_TRUE(nut::LoadDaemonConfig(path, false, &c, &error));  // defaults
    ASSERT_EQ(c.listen.size(), 1u);
    EXPECT_EQ(c.listen[0].port, 3493);
    EXPECT_EQ(c.unitName[2], "vespero2");
    EXPECT_EQ(c.usersPath, QDir(dir.path()).filePath("vesperod.users"));

    write("[server]\nlisten = 127.0.0.1, [::1]:4001\nport = 4000\nmax_connections = 8\nusers = /etc/other.users\n"
          "[unit1]\nname = rack-b\ndescription = \"Rack B, upper\"\n");
    ASSERT_TRUE(nut::LoadDaemonConfig(path, true, &c, &error)) << error.toStdString();
    ASSERT_EQ(c.listen.size(), 2u);
    EXPECT_EQ(c.listen[0].port, 4000);
    EXPECT_EQ(c.listen[1].port, 4001);
    EXPECT_EQ(c.maxConnections, 8);
    EXPECT_EQ(c.unitName[1], "rack-b");
    EXPECT_EQ(c.unitDescription[1], "Rack B, upper");
    EXPECT_EQ(c.usersPath, "/etc/other.users");

    write("[server]\nport = 0\n");
    EXPECT_FALSE(nut::LoadDaemonConfig(path, true, &c, &error));
    EXPECT_TRUE(error.contains("port"));
    write("[unit0]\nname = two words\n");
    EXPECT_FALSE(nut::LoadDaemonConfig(path, true, &c, &error));
    write("[unit0]\nname = same\n[unit3]\nname = same\n");
    EXPECT_FALSE(nut::LoadDaemonConfig(path, true, &c, &error));
    EXPECT_TRUE(error.contains("same"));
    write("[unit0]\nname = Rack\n[unit1]\nname = rack\n");  // clients could not tell them apart
    EXPECT_FALSE(nut::LoadDaemonConfig(path, true, &c, &error));
    write("[server]\nlisten = nowhere\n");
    EXPECT_FALSE(nut::LoadDaemonConfig(path, true, &c, &error));

    // Every fault names its line; the settings passed in stay as they were.
    const std::pair<const char*, const char*> faults[] = {
        {"[server]\nmax_connections = 8\n\nidle_timeout = soon\n", ":4: idle_timeout must be"},
        {"[server]\nmax_conections = 8\n", ":2: unknown setting max_conections"},
        {"# settings\n[unit0]\ndescription = \"open\n", ":3: a quote is left open"},
        {"[server]\njust words\n", ":2: expected key = value"},
        {"[srever]\nport = 1\n", ":2: unknown section [srever]"},
        {"[server]\nport = 4000\nlisten = 127.0.0.1:x\n", ":3: listen address"},
        {"[unit2]\ninput_voltage_nominal = 23\n", ":2: input_voltage_nominal must be"},
    };
    for (const auto& [text, message] : faults) {
        write(text);
        EXPECT_FALSE(nut::LoadDaemonConfig(path, true, &c, &error)) << text;
        EXPECT_TRUE(error.startsWith(path + message)) << error.toStdString();
        EXPECT_EQ(c.maxConnections, 8);
        EXPECT_EQ(c.unitName[1], "rack-b");
    }
    write("[server] ; comment\nmax_connections_per_address = 3 # comment\n[unit0]\ndescription = \"Rack #1; left\"\n");
    ASSERT_TRUE(nut::LoadDaemonConfig(path, true, &c, &error)) << error.toStdString();
    EXPECT_EQ(c.maxConnectionsPerAddress, 3);
    EXPECT_EQ(c.unitDescription[0], "Rack #1; left");
    write("[server]\nhttp_allowed_hosts = ups.example.org, NAS\nhttp_max_streams_per_address = 4\n"
          "http_write_timeout = 5\n");
    ASSERT_TRUE(nut::LoadDaemonConfig(path, true, &c, &error)) << error.toStdString();
    EXPECT_EQ(c.httpAllowedHosts, QStringList({"ups.example.org", "NAS"}));
    EXPECT_EQ(c.httpMaxStreamsPerAddress, 4);
    EXPECT_EQ(c.httpWriteTimeoutSeconds, 5);
    write("[server]\nhttp_allowed_hosts = ups.example.org:8493\n");
    EXPECT_FALSE(nut::LoadDaemonConfig(path, true, &c, &error));
    EXPECT_TRUE(error.contains("http_allowed_hosts")) << error.toStdString();

    // The example the package installs.
    ASSERT_TRUE(nut::LoadDaemonConfig(VESPERO_SOURCE_DIR "/daemon/vesperod.conf", true, &c, &error))
        << error.toStdString();
    EXPECT_EQ(c.unitDescription[0], "Vespero UPS on COM1");
    EXPECT_EQ(c.maxConnectionsPerAddress, 32);
    EXPECT_EQ(c.httpMaxConnectionsPerAddress, 64);
    EXPECT_EQ(c.httpMaxStreamsPerAddress, 16);
    const nut::UsersFile example = nut::ParseUsersFile([] {
        QFile f(VESPERO_SOURCE_DIR "/daemon/vesperod.users");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("unreadable");
    }());
    EXPECT_TRUE(example.errors.isEmpty() && example.warnings.isEmpty());
}

// Writes text to path and reads it as the settings; nullopt when they are refused.
std::optional<nut::DaemonConfig> LoadText(const QString& path, const std::string& text, QStringList* faults) {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text.c_str());
    f.close();
    nut::DaemonConfig c;
    if (!nut::LoadDaemonConfig(path, true, &c, faults)) return std::nullopt;
    return c;
}

// The certificate file is loaded with the settings: each way it can fail is named with the file
// and the reason, and the settings stay as they were.
TEST(DaemonConfig, ACertfileThatCannotServeIsNamedWithItsReason) {
    QTemporaryDir dir;
    const QDir d(dir.path());
    ASSERT_TRUE(testsupport::MakeCertificate(dir.path(), QStringLiteral("a"), QStringLiteral("first.example")));
    ASSERT_TRUE(testsupport::MakeCertificate(dir.path(), QStringLiteral("b"), QStringLiteral("second.example")));
    const auto text = [&](const char* name) { return testsupport::ReadAll(d.filePath(QLatin1String(name))).toUtf8(); };
    testsupport::WriteFile(d.filePath("chain.pem"), text("a.crt") + text("b.crt") + text("a.key"));
    testsupport::WriteFile(d.filePath("crossed.pem"), text("a.crt") + text("b.key"));
    testsupport::WriteFile(d.filePath("key-first.pem"), text("a.key") + text("a.crt"));
    {  // the key under a passphrase, as an administrator might leave it
        const QByteArray pem = text("a.key");  // the buffer must outlive the BIO reading it
        BIO* in = BIO_new_mem_buf(pem.constData(), int(pem.size()));
        EVP_PKEY* key = PEM_read_bio_PrivateKey(in, nullptr, nullptr, nullptr);
        BIO* out = BIO_new(BIO_s_mem());
        char secret[] = "secret";
        ASSERT_EQ(PEM_write_bio_PKCS8PrivateKey(out, key, EVP_aes_256_cbc(), secret, 6, nullptr, nullptr), 1);
        char* data = nullptr;
        const long n = BIO_get_mem_data(out, &data);
        testsupport::WriteFile(d.filePath("locked.pem"), text("a.crt") + QByteArray(data, int(n)));
        BIO_free(out);
        EVP_PKEY_free(key);
        BIO_free(in);
    }
    const QString path = d.filePath("vesperod.conf");
    nut::DaemonConfig c;
    QString error;
    testsupport::WriteFile(path, "[server]\ncertfile = chain.pem\nforce_tls = yes\ntls_handshake_timeout = 4\n");
    ASSERT_TRUE(nut::LoadDaemonConfig(path, true, &c, &error)) << error.toStdString();
    ASSERT_TRUE(c.tls);
    EXPECT_TRUE(c.forceTls);
    EXPECT_EQ(c.tlsHandshakeTimeoutSeconds, 4);
    EXPECT_TRUE(c.tls->Summary().startsWith("CN=first.example, valid until ")) << c.tls->Summary().toStdString();

    const std::pair<const char*, QString> faults[] = {
        {"certfile = none.pem", ":3: certfile " + d.filePath("none.pem") + ": no such file"},
        {"certfile = .", ":3: certfile " + d.filePath(".") + ": not a file"},
        {"certfile = a.crt", ":3: certfile " + d.filePath("a.crt") + ": holds no private key"},
        {"certfile = a.key", ":3: certfile " + d.filePath("a.key") + ": holds no certificate"},
        {"certfile = crossed.pem", ":3: certfile " + d.filePath("crossed.pem") + ": its private key does not match its certificate"},
        {"certfile = locked.pem", ":3: certfile " + d.filePath("locked.pem") + ": its private key is encrypted; vesperod needs it without a passphrase"},
        {"force_tls = yes", ":3: force_tls needs a certfile"},
        {"force_tls = maybe\ncertfile = a.pem", ":3: force_tls must be yes or no"},
        {"tls_handshake_timeout = 0\ncertfile = a.pem", ":3: tls_handshake_timeout must be a whole number from 1 to 300"},
        {"certfile = key-first.pem", ""},  // the order of the blocks does not matter
    };
    for (const auto& [setting, fault] : faults) {
        testsupport::WriteFile(path, "[server]\nmax_connections = 9\n" + QByteArray(setting) + "\n");
        if (fault.isEmpty()) {
            EXPECT_TRUE(nut::LoadDaemonConfig(path, true, &c, &error)) << error.toStdString();
            continue;
        }
        EXPECT_FALSE(nut::LoadDaemonConfig(path, true, &c, &error)) << setting;
        EXPECT_TRUE(error.startsWith(path + fault)) << error.toStdString();
        EXPECT_EQ(c.maxConnections, 256);
    }
    if (getuid() != 0) {  // root reads whatever the mode says
        QFile::setPermissions(d.filePath("a.pem"), QFileDevice::WriteOwner);
        testsupport::WriteFile(path, "[server]\ncertfile = a.pem\n");
        EXPECT_FALSE(nut::LoadDaemonConfig(path, true, &c, &error));
        EXPECT_TRUE(error.contains(": cannot be read (")) << error.toStdString();
    }
}

TEST(DaemonConfig, MqttIsOffByDefaultAndItsSettingsAreChecked) {
    QTemporaryDir dir;
    const QString path = dir.filePath("vesperod.conf");
    auto load = [&](const char* text, QStringList* faults) {
        const auto c = LoadText(path, text, faults);
        return c ? c->mqtt : nut::MqttConfig{QStringLiteral("(refused)")};
    };
    QStringList faults;
    EXPECT_TRUE(load("[server]\n", &faults).host.isEmpty());
    const nut::MqttConfig tls = load("[mqtt]\ntls = yes\nbroker = mqtt.example.org\nca_file = ca.pem\nretain = no\n", &faults);
    EXPECT_EQ(tls.host, "mqtt.example.org");
    EXPECT_EQ(tls.port, 8883);  // TLS's port when none is given
    EXPECT_EQ(tls.caFile, QDir(dir.path()).filePath("ca.pem"));
    EXPECT_FALSE(tls.retain);
    EXPECT_EQ(tls.discoveryPrefix, "homeassistant");
    const nut::MqttConfig v6 = load("[mqtt]\nbroker = [::1]:1884\ntopic_prefix = home/ups\n", &faults);
    EXPECT_EQ(v6.host, "::1");
    EXPECT_EQ(v6.port, 1884);
    EXPECT_EQ(v6.topicPrefix, "home/ups");
    // Each fault names its line; a wildcard in a prefix would subscribe to other clients' topics.
    for (const char* bad : {"[mqtt]\nbroker = host:0\n", "[mqtt]\nbroker = a b\n", "[mqtt]\nbroker = h\ntls = maybe\n",
                            "[mqtt]\nbroker = h\ntopic_prefix = ups/#\n", "[mqtt]\nbroker = h\ndiscovery_prefix = /ha\n",
                            "[mqtt]\nbroker = h\nqos = 2\n", "[mqtt]\nuser = someone\n"}) {
        EXPECT_EQ(load(bad, &faults).host, "(refused)") << bad;
        ASSERT_FALSE(faults.isEmpty()) << bad;
        EXPECT_TRUE(faults[0].startsWith(path)) << faults[0].toStdString();
    }
}

TEST(DaemonConfig, SnmpIsOffByDefaultAndItsSocketIsChecked) {
    QTemporaryDir dir;
    const QString path = dir.filePath("vesperod.conf");
    auto load = [&](const std::string& text, QStringList* faults) {
        const auto c = LoadText(path, text, faults);
        return c ? c->snmp : nut::SnmpConfig{QStringLiteral("(refused)")};
    };
    QStringList faults;
    EXPECT_TRUE(load("[server]\n", &faults).agentxSocket.isEmpty());
    EXPECT_TRUE(load("[snmp]\nagentx_socket = off\n", &faults).agentxSocket.isEmpty());
    const nut::SnmpConfig unixSocket = load("[snmp]\nagentx_socket = /var/agentx/master\nunit = 2\n", &faults);
    EXPECT_EQ(unixSocket.agentxSocket, "/var/agentx/master");
    EXPECT_EQ(unixSocket.unit, 2);
    EXPECT_EQ(load("[snmp]\nagentx_socket = agentx/master\n", &faults).agentxSocket, QDir(dir.path()).filePath("agentx/master"));
    const nut::SnmpConfig tcp = load("[snmp]\nagentx_socket = tcp:localhost:705\n", &faults);
    EXPECT_EQ(tcp.agentxSocket, "tcp:localhost:705");
    EXPECT_EQ(tcp.unit, -1);  // the first present unit
    // UDP, a port out of range, a unit that cannot be, a path past what a Unix socket holds, a
    // unit without a socket, an unknown key: each refused with its line.
    for (const std::string& bad : {std::string("[snmp]\nagentx_socket = udp:localhost:705\n"),
                                   std::string("[snmp]\nagentx_socket = tcp:localhost:70500\n"),
                                   std::string("[snmp]\nagentx_socket = tcp:localhost\n"),
                                   std::string("[snmp]\nagentx_socket = /s\nunit = 4\n"),
                                   "[snmp]\nagentx_socket = /" + std::string(120, 'a') + "\n",
                                   std::string("[snmp]\nunit = 1\n"),
                                   std::string("[snmp]\nagentx_socket = /s\ncommunity = public\n")}) {
        EXPECT_EQ(load(bad, &faults).agentxSocket, "(refused)") << bad;
        ASSERT_FALSE(faults.isEmpty()) << bad;
        EXPECT_TRUE(faults[0].startsWith(path)) << faults[0].toStdString();
    }
}

}  // namespace
