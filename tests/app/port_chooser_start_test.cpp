// vespero --port-chooser: settings that name a dead port are mended from the chooser, and only
// with a port that really opens.
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "app/port_chooser_start.h"
#include "link/port/port_directory.h"
#include "link/port/settings_store.h"
#include "support.h"

namespace {

// Runs action on the chooser once it is up.
void WhenModalUp(std::function<void(QDialog*)> action) {
    QTimer::singleShot(5, [action] {
        if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) return action(d);
        WhenModalUp(action);
    });
}

void Pick(QDialog* d, const QString& name, QDialogButtonBox::StandardButton button) {
    auto* combo = d->findChild<QComboBox*>("combo_ComPort");
    emit combo->activated(combo->findText(name));
    d->findChild<QDialogButtonBox*>("buttonBox")->button(button)->click();
}

QString SavedPort() {
    QSettings s(LinkSettingsLocation(), QSettings::IniFormat);
    return s.value("Orbo/Com0").toString();
}

TEST(PortChooserAtStart, SavesOnlyAPortThatOpens) {
    QTemporaryDir config;
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    ASSERT_TRUE(QDir().mkpath(PortDirectory()));
    {
        QSettings s(LinkSettingsLocation(), QSettings::IniFormat);
        s.setValue("Orbo/Com0", "7");
    }
    ASSERT_TRUE(QFile::link("/dev/null", PortDirectory() + "/COM7"));  // the dead port saved
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    ASSERT_TRUE(QFile::link(QString::fromLocal8Bit(ptsname(master)), PortDirectory() + "/COM5"));
    BoxLog boxes;

    // Keeping the dead port is refused, even though it is the saved one; Cancel changes nothing.
    WhenModalUp([&boxes](QDialog* d) {
        Pick(d, "COM7", QDialogButtonBox::Ok);
        EXPECT_TRUE(d->isVisible());
        EXPECT_EQ(boxes.boxes.size(), 1u);
        d->reject();
    });
    EXPECT_FALSE(ChoosePortBeforeStart());
    EXPECT_EQ(SavedPort(), "7");

    WhenModalUp([](QDialog* d) { Pick(d, "COM5", QDialogButtonBox::Ok); });
    EXPECT_TRUE(ChoosePortBeforeStart());
    EXPECT_EQ(SavedPort(), "5");

    ::close(master);
    qputenv("XDG_CONFIG_HOME", oldConfig);
}

}  // namespace
