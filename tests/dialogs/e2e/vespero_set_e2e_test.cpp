// "VesperoSet" end to end: the simulated unit on a pseudo-terminal, the real link thread and the
// window offscreen. OK in the dialog must put the set frame on the wire, and the menu entry must
// come back once the unit's set-up has been read again.
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <cstring>
#include <gtest/gtest.h>

#include "app/aldera_view.h"
#include "app/main_frame.h"
#include "app/service_menu.h"
#include "link/device_lock.h"
#include "link/port/settings_store.h"
#include "widgets/control_ids.h"
#include "tests/support/child_process.h"
#include "widgets/message_box.h"

namespace {

constexpr int kCom = 7;
constexpr int kWait = 30000;  // a safety net against hangs, not a speed requirement

// The set frame as the wire carries it, built here from the field table on its own: 0x80, 'U',
// 42 words in hex (high byte first), then the unsigned byte sum in four hex characters.
QByteArray ExpectedSetFrame(const UpsSetup& s) {
    auto t = [](double v) { return int64_t(v); };
    const int64_t words[42] = {
        s.ampereh, t(s.vCycle * 64), t(s.vStandby * 64), s.numBatt, s.sizeCode, s.functionMode,
        s.inputMode, t(s.vbattTh1 * 64), t(s.extra1 * 10), t(s.ibattTh1 * 8), t(s.extra2 * 10),
        t(s.ibattTh2 * 8), t(s.extra3 * 10), t(s.extra4 * 10), s.pwmLinMax, s.pwmLinMin,
        t(s.delay3 * 50), s.rl1, s.rl2, s.releMod,
        s.pow[0], s.pow[1], s.pow[2], s.pow[3], s.pow[4], s.pow[5], s.pow[6], s.pow[7],
        s.period[0], s.period[1], s.period[2], s.period[3], s.period[4], s.period[5], s.period[6],
        s.period[7], t(s.fattore * 1024), s.delay5, t(s.slope / 6.25 + 0.5),
        t(s.fStartPeriod / 0.00004), t(s.fStopPeriod / 0.00004), s.extra5};
    QByteArray frame;
    frame += char(0x80);
    frame += 'U';
    for (int64_t w : words) frame += QByteArray::number(uint(w & 0xffff), 16).toUpper().rightJustified(4, '0');
    unsigned sum = 0;
    for (char c : frame) sum += uint8_t(c);
    frame += QByteArray::number(sum & 0xffff, 16).toUpper().rightJustified(4, '0');
    return frame;
}

QByteArray HexLine(const QByteArray& frame) {
    QByteArrayList parts;
    for (char c : frame) parts << QByteArray::number(uint8_t(c), 16).toUpper().rightJustified(2, '0');
    return parts.join(' ');
}

bool SetupValid() {
    auto lock = LockDevice(0);
    return MainUps[0].setupValid == 1;
}

QAction* UserCommand(ServiceMenu* menu, int id) {
    QMenu* user = menu->userMenu();
    if (!user) return nullptr;
    for (QAction* a : user->actions())
        if (a->objectName() == CommandName(id)) return a;
    return nullptr;
}

TEST(VesperoSetEndToEnd, OkSendsTheSetFrameAndTheEntryReturns) {
    QTemporaryDir config;
    ASSERT_TRUE(config.isValid());
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    const QString oldCwd = QDir::currentPath();
    QDir::setCurrent(config.path());
    {
        QSettings settings(LinkSettingsLocation(), QSettings::IniFormat);
        settings.beginGroup("Orbo");
        settings.setValue("AlderaPresent0", "1");
        settings.setValue("Com0", QString::number(kCom));
        settings.setValue("speed0", "9600");
        for (int d = 1; d < 4; ++d) settings.setValue(QStringLiteral("AlderaPresent%1").arg(d), "0");
    }

    const QString log = config.filePath("wire.log");
    testsupport::SimProcess sim(QStringLiteral(VESPERO_SIM), kCom, config.path(), {"--log", log});
    ASSERT_TRUE(sim.ready());

    std::vector<ShownBox> boxes;
    SetMessageBoxAnswerer([&boxes](const ShownBox& b) { boxes.push_back(b); });
    {
        CMainFrame frame;
        auto* view = new CAlderaView(&frame);
        frame.setCentralWidget(view);
        view->OnInitialUpdate();
        StartLinkThread();

        ServiceMenu* menu = view->serviceMenu();
        ASSERT_NE(menu, nullptr);
        menu->ApplyAccessCode(QStringLiteral("rime"));
        ASSERT_TRUE(QTest::qWaitFor(SetupValid, kWait));

        QTimer::singleShot(0, [] {
            auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            ASSERT_NE(d, nullptr);
            d->findChild<QLineEdit*>("edit_Ampereh")->setText("30");
            d->findChild<QDialogButtonBox*>("buttonBox")->button(QDialogButtonBox::Ok)->click();
        });
        QAction* entry = UserCommand(menu, 32792);
        ASSERT_NE(entry, nullptr);
        entry->trigger();
        EXPECT_FALSE(entry->isEnabled());

        const UpsSetup sent = SnapshotDevice(0).setupWrite;
        EXPECT_EQ(sent.ampereh, 30);
        const QByteArray expected = ExpectedSetFrame(sent);
        ASSERT_EQ(expected.size(), 174);
        EXPECT_EQ(expected.mid(2, 4), "001E");
        const QByteArray line = HexLine(expected);
        auto logged = [&] {
            QFile f(log);
            return f.open(QIODevice::ReadOnly) && f.readAll().split('\n').contains(line);
        };
        EXPECT_TRUE(QTest::qWaitFor(logged, kWait)) << "set frame never reached the unit";
        EXPECT_TRUE(QTest::qWaitFor([&] { return entry->isEnabled(); }, kWait));
        // The unit keeps what it was sent: a later read of the set-up brings it back.
        EXPECT_TRUE(QTest::qWaitFor([] {
            auto lock = LockDevice(0);
            return MainUps[0].setupRead.ampereh == 30;
        }, kWait));
        StopLinkThread();
        SendHwnd(nullptr);
    }
    SetMessageBoxAnswerer(nullptr);
    EXPECT_TRUE(boxes.empty());
    QDir::setCurrent(oldCwd);
    qputenv("XDG_CONFIG_HOME", oldConfig);
}

}  // namespace
