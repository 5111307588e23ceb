#include <QAction>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QMainWindow>
#include <cstring>

#include "app/service_menu.h"
#include "dialogs/choice_combo.h"
#include "widgets/control_ids.h"
#include "support.h"

namespace {

// The frame's bar as it stands before any code: File and Help.
struct Frame {
    QMainWindow window;
    QMenuBar* bar = window.menuBar();
    ServiceMenu menu{bar, &window};
    Frame() {
        QMenu* file = bar->addMenu("File");
        file->addSeparator();
        file->addAction("Config ComPort")->setObjectName("cmd_32782");
        file->addAction("Insert Password")->setObjectName("cmd_32784");
        file->addSeparator();
        file->addAction("Exit");
        QMenu* help = bar->addMenu("Help");
        help->addAction("Firmware Version")->setObjectName("cmd_32795");
        help->addSeparator();
        help->addAction("About ...");
        ClearDevice0();
    }
    QStringList Titles() const {
        QStringList out;
        for (QAction* a : bar->actions()) out << a->text();
        return out;
    }
    QStringList UserItems() const {
        QStringList out;
        QMenu* user = menu.userMenu();
        if (!user) return out;
        for (QAction* a : user->actions()) out << (a->isSeparator() ? QString("-") : a->text());
        return out;
    }
    // Answers the password dialog with code (or Cancel when code is null).
    void EnterCode(const char* code) {
        OnNextModal([code](QDialog* d) {
            EXPECT_EQ(d->windowTitle(), "Change Password");
            auto* edit = Edit(d, "edit_Password");
            EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
            if (!code) return Press(d, QDialogButtonBox::Cancel);
            edit->setText(QString::fromUtf8(code));
            Press(d, QDialogButtonBox::Ok);
        });
        menu.OnInsertPassword();
    }
};

const QStringList kBase = {"Parameters", "VesperoSet", "Corr AD", "Stop && Save"};
const QStringList kFull = kBase + QStringList{"-", "Manage Values", "Reset EEPROM"};

TEST(AccessCodes, ExactWholeCaseSensitiveText) {
    EXPECT_EQ(AccessLevelForCode("kappa"), 1);
    EXPECT_EQ(AccessLevelForCode("rime"), 2);
    EXPECT_EQ(AccessLevelForCode("lanterno"), 3);
    for (const char* wrong : {"", "KAPPA", "Kappa", " kappa", "kappa ", "kapp", "lanternoo", "rime\n"})
        EXPECT_EQ(AccessLevelForCode(wrong), 0) << wrong;
}

TEST(ServiceMenuLevels, LevelThreeTwiceKeepsSevenItems) {
    Frame f;
    EXPECT_EQ(f.Titles(), (QStringList{"File", "Help"}));
    f.EnterCode("lanterno");
    EXPECT_EQ(f.menu.accessLevel(), 3);
    EXPECT_EQ(f.Titles(), (QStringList{"File", "&User", "Help"}));
    EXPECT_EQ(f.UserItems(), kFull);
    f.EnterCode("lanterno");
    EXPECT_EQ(f.UserItems(), kFull);
    for (int id : {32772, 32792, 32793, 32794, 32790, 32791})
        EXPECT_EQ(f.bar->findChildren<QAction*>(CommandName(id)).size(), 1) << id;
}

TEST(ServiceMenuLevels, ThreeThenOneTrimsToTheBase) {
    Frame f;
    f.EnterCode("lanterno");
    f.EnterCode("kappa");
    EXPECT_EQ(f.menu.accessLevel(), 1);
    EXPECT_EQ(f.UserItems(), kBase);
    f.EnterCode("lanterno");  // and back up again
    EXPECT_EQ(f.UserItems(), kFull);
}

TEST(ServiceMenuLevels, WrongCodeRemovesThePopup) {
    Frame f;
    f.EnterCode("rime");
    EXPECT_EQ(f.UserItems(), kBase);
    f.EnterCode("nope");
    EXPECT_EQ(f.menu.accessLevel(), 0);
    EXPECT_EQ(f.Titles(), (QStringList{"File", "Help"}));
    EXPECT_EQ(f.menu.userMenu(), nullptr);
    f.EnterCode("KAPPA");
    EXPECT_EQ(f.Titles(), (QStringList{"File", "Help"}));
    f.EnterCode("");
    EXPECT_EQ(f.menu.accessLevel(), 0);
    f.EnterCode("kappa ");  // the dialog trims nothing
    EXPECT_EQ(f.menu.accessLevel(), 0);
    f.EnterCode("kappa");
    EXPECT_EQ(f.menu.accessLevel(), 1);
}

TEST(ServiceMenuLevels, CancelKeepsLevelAndMenu) {
    Frame f;
    f.EnterCode("lanterno");
    f.EnterCode(nullptr);
    EXPECT_EQ(f.menu.accessLevel(), 3);
    EXPECT_EQ(f.UserItems(), kFull);
}

TEST(ServiceMenuLevels, DisabledItemsKeepTheirStateUntilThePopupIsRebuilt) {
    Frame f;
    f.EnterCode("kappa");
    ServiceMenu::SetCommandEnabledInPopup1(f.bar, 32792, false);
    f.EnterCode("lanterno");
    EXPECT_FALSE(FindCommand(f.bar, 32792)->isEnabled());
    // Drawn like an enabled item.
    QMenu* user = f.menu.userMenu();
    EXPECT_EQ(user->palette().color(QPalette::Disabled, QPalette::Text),
              user->palette().color(QPalette::Active, QPalette::Text));
    ServiceMenu::SetCommandEnabledInPopup1(f.bar, 32792, true);
    EXPECT_TRUE(FindCommand(f.bar, 32792)->isEnabled());
    ServiceMenu::SetCommandEnabledInPopup1(f.bar, 32792, false);
    f.EnterCode("wrong");
    f.EnterCode("kappa");
    EXPECT_TRUE(FindCommand(f.bar, 32792)->isEnabled());
    // Without the User popup, position 1 is Help, which has neither command.
    f.EnterCode("wrong");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ServiceMenu::SetCommandEnabledInPopup1(f.bar, 32792, true);
    EXPECT_EQ(FindCommand(f.bar, 32792), nullptr);
    EXPECT_TRUE(FindCommand(f.bar, 32795)->isEnabled());
}

TEST(ServiceMenuLevels, DisabledItemLooksLikeAnEnabledOne) {
    Frame f;
    f.EnterCode("kappa");
    QMenu* user = f.menu.userMenu();
    auto rowImage = [user](QAction* a) {
        const QRect r = user->actionGeometry(a);
        return user->grab(r).toImage();
    };
    user->adjustSize();
    QAction* set = FindCommand(f.bar, 32792);
    const QImage enabled = rowImage(set);
    set->setEnabled(false);
    const QImage disabled = rowImage(set);
    ASSERT_FALSE(enabled.isNull());
    EXPECT_EQ(enabled, disabled);

    // A plain menu of the same style does grey its disabled items.
    QMenu plain;
    QAction* item = plain.addAction("VesperoSet");
    plain.adjustSize();
    const QImage plainEnabled = plain.grab(plain.actionGeometry(item)).toImage();
    item->setEnabled(false);
    EXPECT_NE(plainEnabled, plain.grab(plain.actionGeometry(item)).toImage());
}

TEST(ServiceMenuCommands, ImmediateCommandsQueue) {
    Frame f;
    f.EnterCode("lanterno");
    FindCommand(f.bar, 32794)->trigger();
    FindCommand(f.bar, 32791)->trigger();
    EXPECT_EQ(Queued(), (std::vector<int>{CMD_STOP_SAVE, CMD_RESET_EEPROM}));
}

TEST(ServiceMenuCommands, FirmwareVersionBox) {
    Frame f;
    Seams seams;
    f.menu.OnFirmwareVersion();
    {
        auto lock = LockDevice(0);
        std::strcpy(MainUps[0].firmwareVersion, "1.07");
    }
    f.menu.OnFirmwareVersion();
    ASSERT_EQ(seams.boxes.size(), 2u);
    EXPECT_EQ(seams.boxes[0].text, "Firmware version: N/A");
    EXPECT_EQ(seams.boxes[0].caption, "Vespero");
    EXPECT_EQ(seams.boxes[0].icon, BoxIcon::Exclamation);
    EXPECT_EQ(seams.boxes[1].text, "Firmware version: 1.07");
}

TEST(ServiceMenuCommands, VesperoSetWritesAndDisablesItsEntry) {
    Frame f;
    f.EnterCode("kappa");
    {
        auto lock = LockDevice(0);
        UpsSetup& s = MainUps[0].setupRead;
        s.sizeCode = 1;
        s.numBatt = 4;
        s.extra5 = 1234;
        const int periods[8] = {1000, 800, 625, 500, 400, 320, 250, 200};
        for (int k = 0; k < 8; ++k) s.period[k] = periods[k], s.pow[k] = 100 * k;
        MainUps[0].setupValid = 1;
    }
    OnNextModal([](QDialog* d) {
        EXPECT_EQ(d->windowTitle(), "Vespero Set");
        // Level 1 locks the size list.
        EXPECT_FALSE(d->findChild<ChoiceCombo*>("combo_num_board")->isEnabled());
        auto* input = d->findChild<ChoiceCombo*>("combo_input_mode");
        emit input->activated(4);  // DC/AC3
        Edit(d, "edit_Ampereh")->setText("25");
        Press(d, QDialogButtonBox::Ok);
    });
    FindCommand(f.bar, 32792)->trigger();
    EXPECT_EQ(Queued(), std::vector<int>{CMD_WRITE_SETUP});
    const _ZozeUps snap = SnapshotDevice(0);
    EXPECT_EQ(snap.setupValid, 0);
    EXPECT_EQ(snap.setupWrite.inputMode, 131);
    EXPECT_EQ(snap.setupWrite.ampereh, 25);
    EXPECT_EQ(snap.setupWrite.extra5, 1234);
    EXPECT_EQ(snap.setupWrite.period[3], 500);  // untouched: back as read, not 499
    EXPECT_FALSE(FindCommand(f.bar, 32792)->isEnabled());

    // Cancel writes and queues nothing.
    ClearDevice0();
    OnNextModal([](QDialog* d) { Press(d, QDialogButtonBox::Cancel); });
    f.menu.OnVesperoSet();
    EXPECT_TRUE(Queued().empty());
}

TEST(ServiceMenuCommands, ParametersWriteTheWholeBlock) {
    Frame f;
    // The hidden levels as the unit reports them; OK must send back the very words it read.
    const int raw[5] = {20664, 1, 65535, 12345, 0};
    // The levels those words stand for: the square root of 1024 times the word, over 20.
    const double volts[5] = {229.99965217365002, 1.6, 409.596874988079, 177.77288882166482, 0.0};
    {
        auto lock = LockDevice(0);
        UserParameters& p = MainUps[0].userParamsRead;
        p.upsAddress = 7;
        for (int i = 0; i < 5; ++i) p.rmsLevel[i] = volts[i];
        p.auxValue1 = -3;
        p.auxValue2 = 1999;
        p.sleepDelay = 60;
        p.option = 2;
    }
    OnNextModal([](QDialog* d) {
        EXPECT_EQ(d->windowTitle(), "User Parameters");
        Edit(d, "edit_UpsAddress")->setText("65535");
        Edit(d, "edit_Option")->setText("5 options");
        Press(d, QDialogButtonBox::Ok);
    });
    f.menu.OnParameters();
    EXPECT_EQ(Queued(), (std::vector<int>{CMD_WRITE_USER_PARAMS, CMD_READ_USER_PARAMS}));
    const UserParameters w = SnapshotDevice(0).userParamsWrite;
    EXPECT_EQ(w.upsAddress, 65535u);
    EXPECT_EQ(w.option, 5);
    EXPECT_EQ(w.sleepDelay, 60);
    for (int i = 0; i < 5; ++i) {
        EXPECT_NEAR(w.rmsLevel[i], volts[i], 1e-9) << i;
        EXPECT_NEAR(RmsFromRaw(raw[i]), volts[i], 1e-9) << i;
        EXPECT_EQ(RawFromRms(w.rmsLevel[i]), raw[i]) << i;
    }
    EXPECT_EQ(w.auxValue1, -3);
    EXPECT_EQ(w.auxValue2, 1999);
}

TEST(ServiceMenuCommands, WordFieldsRefuseWhatSixteenBitsCannotHold) {
    Frame f;
    Seams seams;
    OnNextModal([&seams](QDialog* d) {
        Edit(d, "edit_UpsAddress")->setText("-1");  // 4294967295 as an unsigned field
        Press(d, QDialogButtonBox::Ok);
        ASSERT_EQ(seams.boxes.size(), 1u);
        EXPECT_TRUE(seams.boxes[0].text.contains("UpsAddress")) << seams.boxes[0].text.toStdString();
        EXPECT_TRUE(seams.boxes[0].text.contains("0 and 65535"));
        EXPECT_EQ(d->focusWidget(), Edit(d, "edit_UpsAddress"));
        Press(d, QDialogButtonBox::Cancel);
    });
    f.menu.OnParameters();
    OnNextModal([&seams](QDialog* d) {
        Edit(d, "edit_amplitude_VIN")->setText("32768");
        Press(d, QDialogButtonBox::Ok);
        ASSERT_EQ(seams.boxes.size(), 2u);
        EXPECT_TRUE(seams.boxes[1].text.contains("AMPLITUDE VIN")) << seams.boxes[1].text.toStdString();
        EXPECT_TRUE(seams.boxes[1].text.contains("-32768 and 32767"));
        EXPECT_EQ(d->focusWidget(), Edit(d, "edit_amplitude_VIN"));
        Press(d, QDialogButtonBox::Cancel);
    });
    f.menu.OnCorrAd();
    EXPECT_TRUE(Queued().empty());
}

TEST(ServiceMenuCommands, ParametersRefuseAnEmptyFieldAndCancelLeavesAllAlone) {
    Frame f;
    Seams seams;
    OnNextModal([&seams](QDialog* d) {
        Edit(d, "edit_UpsAddress")->setText("");
        Edit(d, "edit_SleepDelay")->setText("x");
        Press(d, QDialogButtonBox::Ok);
        // Read order Option, PowerOnRestart, RestartDelay, SleepDelay, UpsAddress.
        EXPECT_EQ(seams.texts(), QStringList{"Immettere un valore integer."});
        EXPECT_TRUE(d->isVisible());
        Edit(d, "edit_SleepDelay")->setText("1");
        Press(d, QDialogButtonBox::Ok);
        EXPECT_EQ(seams.boxes.back().text, "Digitare un valore integer positivo.");
        Press(d, QDialogButtonBox::Cancel);
    });
    f.menu.OnParameters();
    EXPECT_TRUE(Queued().empty());
    EXPECT_EQ(SnapshotDevice(0).userParamsWrite.sleepDelay, 0);
}

TEST(ServiceMenuCommands, CorrAdFollowsItsReadOrderAndDisablesItsEntry) {
    Frame f;
    f.EnterCode("rime");
    {
        auto lock = LockDevice(0);
        for (int k = 0; k < 16; ++k) {
            MainUps[0].adOffsetRead[k] = -k;
            MainUps[0].adAmplitudeRead[k] = 1000 + k;
        }
        MainUps[0].adReadFlags = 3;
    }
    Seams seams;
    OnNextModal([&seams](QDialog* d) {
        EXPECT_EQ(d->windowTitle(), "Dialog");
        EXPECT_EQ(Edit(d, "edit_offset_VHP")->text(), "-5");
        EXPECT_EQ(Edit(d, "edit_amplitude_IIN_C")->text(), "1015");
        // VIN is read late, RFM amplitude before its offset.
        Edit(d, "edit_offset_VIN")->setText("?");
        Edit(d, "edit_offset_RFM")->setText("?");
        Edit(d, "edit_amplitude_RFM")->setText("?");
        Press(d, QDialogButtonBox::Ok);
        EXPECT_EQ(d->focusWidget(), Edit(d, "edit_amplitude_RFM"));
        Edit(d, "edit_amplitude_RFM")->setText("-77");
        Press(d, QDialogButtonBox::Ok);
        EXPECT_EQ(d->focusWidget(), Edit(d, "edit_offset_RFM"));
        Edit(d, "edit_offset_RFM")->setText("12");
        Press(d, QDialogButtonBox::Ok);
        EXPECT_EQ(d->focusWidget(), Edit(d, "edit_offset_VIN"));
        Edit(d, "edit_offset_VIN")->setText("  +9");
        Press(d, QDialogButtonBox::Ok);
    });
    FindCommand(f.bar, 32793)->trigger();
    EXPECT_EQ(seams.boxes.size(), 3u);
    EXPECT_EQ(Queued(), (std::vector<int>{CMD_WRITE_AD_AMPLITUDES, CMD_WRITE_AD_OFFSETS,
                                          CMD_READ_AD_AMPLITUDES, CMD_READ_AD_OFFSETS}));
    const _ZozeUps s = SnapshotDevice(0);
    EXPECT_EQ(s.adReadFlags, 0);
    EXPECT_EQ(s.adOffsetWrite[0], 9);
    EXPECT_EQ(s.adOffsetWrite[12], 12);
    EXPECT_EQ(s.adAmplitudeWrite[12], -77);
    EXPECT_EQ(s.adOffsetWrite[5], -5);
    EXPECT_EQ(s.adAmplitudeWrite[15], 1015);
    EXPECT_FALSE(FindCommand(f.bar, 32793)->isEnabled());
    EXPECT_TRUE(FindCommand(f.bar, 32792)->isEnabled());
}

TEST(ServiceMenuCommands, ManageValuesCopiesAndQueues) {
    Frame f;
    f.EnterCode("lanterno");
    {
        auto lock = LockDevice(0);
        for (int i = 0; i < 12; ++i) MainUps[0].debugRead[i] = i * 10 - 30;
    }
    OnNextModal([](QDialog* d) {
        EXPECT_EQ(d->windowTitle(), "Manage Debug");
        EXPECT_EQ(Edit(d, "edit_Value1")->text(), "-30");
        Edit(d, "edit_Value12")->setText("-32768 raw");
        Press(d, QDialogButtonBox::Ok);
    });
    FindCommand(f.bar, 32790)->trigger();
    EXPECT_EQ(Queued(), std::vector<int>{CMD_WRITE_DEBUG});
    const _ZozeUps s = SnapshotDevice(0);
    EXPECT_EQ(s.debugWrite[0], -30);
    EXPECT_EQ(s.debugWrite[10], 70);
    EXPECT_EQ(s.debugWrite[11], -32768);
}

TEST(ServiceMenuBinary, AccessCodesAreNotInTheCompiledMenu) {
    const QStringList objects = QString::fromUtf8(SERVICE_MENU_OBJECTS).split('|');
    ASSERT_FALSE(objects.isEmpty());
    QByteArray image;
    for (const QString& path : objects) {
        QFile object(path);
        ASSERT_TRUE(object.open(QIODevice::ReadOnly)) << qPrintable(path);
        image += object.readAll();
    }
    auto utf16 = [](const char* text) {
        const QString s = QString::fromLatin1(text);
        return QByteArray(reinterpret_cast<const char*>(s.utf16()), s.size() * 2);
    };
    ASSERT_TRUE(image.contains("20de6f3d0957daa3"));  // sanity: the digests are there
    ASSERT_TRUE(image.contains(utf16("Manage Values")));
    for (const char* code : {"lanterno", "kappa"}) {
        EXPECT_FALSE(image.contains(code)) << code;
        EXPECT_FALSE(image.contains(utf16(code))) << code;
    }
}

}  // namespace
