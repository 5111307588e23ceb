#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMenuBar>
#include <QTemporaryDir>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>
#include <vector>

#include <QSettings>

#include "app/port_chooser_start.h"
#include "app/service_menu.h"
#include "dialogs/chose_com.h"
#include "link/link_core.h"
#include "link/port/port_directory.h"
#include "link/port/settings_store.h"
#include "support.h"

namespace {

// A port directory of its own under a temporary XDG_CONFIG_HOME.
class PortChooser : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(config.isValid());
        oldConfig = qgetenv("XDG_CONFIG_HOME");
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        ASSERT_TRUE(QDir().mkpath(PortDirectory()));
        ASSERT_TRUE(PortDirectory().startsWith(config.path()));
        for (int n : {4, 1, 3}) Publish(n, config.filePath(QStringLiteral("tty%1").arg(n)));
        ClearDevice0();
    }
    void TearDown() override {
        qputenv("XDG_CONFIG_HOME", oldConfig);
        for (int fd : masters) ::close(fd);
    }
    // A pseudo-terminal published as COM n: a port that really opens.
    void PublishPty(int n) {
        const int master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        masters.push_back(master);
        ASSERT_EQ(grantpt(master), 0);
        ASSERT_EQ(unlockpt(master), 0);
        QFile::remove(PortDirectory() + QStringLiteral("/COM%1").arg(n));
        ASSERT_TRUE(QFile::link(QString::fromLocal8Bit(ptsname(master)),
                                PortDirectory() + QStringLiteral("/COM%1").arg(n)));
    }
    void Publish(int n, const QString& target) {
        QFile(target).open(QIODevice::WriteOnly);
        ASSERT_TRUE(QFile::link(target, PortDirectory() + QStringLiteral("/COM%1").arg(n)));
    }
    static QComboBox* Combo(QWidget* d) { return d->findChild<QComboBox*>("combo_ComPort"); }
    static QStringList Items(QWidget* d) {
        QStringList out;
        for (int i = 0; i < Combo(d)->count(); ++i) out << Combo(d)->itemText(i);
        return out;
    }
    QTemporaryDir config;
    QByteArray oldConfig;
    std::vector<int> masters;
};

TEST_F(PortChooser, ListsTheDirectoryInOrderAndSelectsTheCurrentPort) {
    CChoseCom d(3);
    EXPECT_EQ(d.windowTitle(), "Com Port");
    // Ports the system itself reports may follow the directory's.
    ASSERT_GE(Items(&d).size(), 3);
    EXPECT_EQ(Items(&d).mid(0, 3), (QStringList{"COM1", "COM3", "COM4"}));
    EXPECT_EQ(Combo(&d)->currentText(), "COM3");
    EXPECT_EQ(d.findChild<QLabel*>("label_DevicePath")->text(), config.filePath("tty3"));
    EXPECT_EQ(Combo(&d)->model()->index(0, 1).data().toString(), config.filePath("tty1"));
    EXPECT_EQ(d.portNumber(), 3);

    emit Combo(&d)->activated(2);
    EXPECT_EQ(d.portNumber(), 4);
}

TEST_F(PortChooser, UnlistedPortSelectsNothingAndKeepsItsNumber) {
    CChoseCom d(90);
    EXPECT_EQ(Combo(&d)->currentIndex(), -1);
    EXPECT_EQ(d.portNumber(), 90);
}

TEST_F(PortChooser, NumbersAfterTheFirstThreeCharacters) {
    Publish(10, config.filePath("tty10"));
    CChoseCom d(1);
    const int i = Combo(&d)->findText("COM10");
    ASSERT_GE(i, 0);
    emit Combo(&d)->activated(i);
    EXPECT_EQ(d.portNumber(), 10);
    Combo(&d)->setItemText(0, "COM");  // too short: nothing changes
    emit Combo(&d)->activated(0);
    EXPECT_EQ(d.portNumber(), 10);
    Combo(&d)->setItemText(0, "COMx");
    emit Combo(&d)->activated(0);
    EXPECT_EQ(d.portNumber(), 10);
}

TEST_F(PortChooser, MenuStoresThePortAndAsksForAReload) {
    PublishPty(4);
    QWidget parent;
    QMenuBar bar;
    ServiceMenu menu(&bar, &parent);
    {
        auto lock = LockDevice(0);
        MainUps[0].comPort = 3;
    }
    OnNextModal([](QDialog* d) {
        emit Combo(d)->activated(2);
        Press(d, QDialogButtonBox::Ok);
    });
    menu.OnConfigComPort();
    const _ZozeUps s = SnapshotDevice(0);
    EXPECT_EQ(s.comPort, 4);
    EXPECT_EQ(s.comPortChosen, 4);

    OnNextModal([](QDialog* d) {
        emit Combo(d)->activated(0);
        Press(d, QDialogButtonBox::Cancel);
    });
    menu.OnConfigComPort();
    EXPECT_EQ(SnapshotDevice(0).comPort, 4);
}

TEST_F(PortChooser, APortThatDoesNotOpenIsRefusedAndTheOldOneKept) {
    ASSERT_TRUE(QFile::link("/dev/null", PortDirectory() + "/COM7"));
    QWidget parent;
    QMenuBar bar;
    ServiceMenu menu(&bar, &parent);
    {
        auto lock = LockDevice(0);
        MainUps[0].comPort = 3;
        MainUps[0].baudRate = 9600;
    }
    TakeReloadRequest();
    Seams seams;
    OnNextModal([&seams](QDialog* d) {
        emit Combo(d)->activated(Combo(d)->findText("COM7"));
        Press(d, QDialogButtonBox::Ok);
        EXPECT_TRUE(d->isVisible());
        ASSERT_EQ(seams.boxes.size(), 1u);
        EXPECT_TRUE(seams.boxes[0].text.contains("COM7")) << seams.boxes[0].text.toStdString();
        EXPECT_TRUE(seams.boxes[0].text.contains("/dev/null"));
        Press(d, QDialogButtonBox::Cancel);
    });
    menu.OnConfigComPort();
    EXPECT_EQ(SnapshotDevice(0).comPort, 3);
    EXPECT_EQ(TakeReloadRequest(), 0);
}

// vespero --port-chooser: settings naming a dead port are mended only with a port that opens.
TEST_F(PortChooser, AtStartTheSavedDeadPortIsTriedToo) {
    ASSERT_TRUE(QFile::link("/dev/null", PortDirectory() + "/COM7"));
    PublishPty(5);
    QSettings(LinkSettingsLocation(), QSettings::IniFormat).setValue("Orbo/Com0", "7");
    auto saved = [] { return QSettings(LinkSettingsLocation(), QSettings::IniFormat).value("Orbo/Com0"); };
    Seams seams;
    OnNextModal([&seams](QDialog* d) {
        Press(d, QDialogButtonBox::Ok);
        EXPECT_EQ(seams.boxes.size(), 1u);
        Press(d, QDialogButtonBox::Cancel);
    });
    EXPECT_FALSE(ChoosePortBeforeStart());
    EXPECT_EQ(saved(), "7");
    OnNextModal([](QDialog* d) {
        emit Combo(d)->activated(Combo(d)->findText("COM5"));
        Press(d, QDialogButtonBox::Ok);
    });
    EXPECT_TRUE(ChoosePortBeforeStart());
    EXPECT_EQ(saved(), "5");
}

}  // namespace
