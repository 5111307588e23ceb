#include <QMenu>
#include <QStatusBar>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/about_dlg.h"
#include "app/picture_button.h"
#include "app/state_presentation.h"
#include "link/link_core.h"
#include "support.h"

namespace {

QStringList MenuTitles(QMenuBar* bar) {
    QStringList titles;
    for (QAction* a : bar->actions()) titles << a->text();
    return titles;
}

TEST(StateLines, TextsForStateChargeAndCaption) {
    EXPECT_EQ(StatusLineText(2), "Status 2 - ACTIVE");
    EXPECT_EQ(StatusLineText(3), "Status 3 - STAND-BY");
    EXPECT_EQ(StatusLineText(0), "Status 0");
    EXPECT_EQ(StatusLineText(26), "Status 1a");
    EXPECT_EQ(StatusLineText(0xFFFF), "Status ffff");
    EXPECT_EQ(ChargeLineText(1), "Charge I const");
    EXPECT_EQ(ChargeLineText(2), "Charge V const");
    EXPECT_EQ(ChargeLineText(3), "Charge Mant");
    for (uint32_t other : {0u, 4u, 65535u}) EXPECT_EQ(ChargeLineText(other), "Discharge");

    char state[40] = "On_Line";
    EXPECT_EQ(CaptionText(state, 0x4000), "On_Line ECO MODE ");
    EXPECT_EQ(CaptionText(state, 0xBFFF), "On_Line");
}

TEST(StateLines, RefreshSetsCaptionAndLines) {
    PanelFixture p;
    EditDevice0([](_ZozeUps& u) {
        u.status.powerUnits = 1;
        std::strcpy(u.stateText, "On_Line");
        u.status.flags12 = 0x4000;
        u.status.stateCode = 2;
        u.status.ccbStatus = 2;
    });
    p.view->OnUpsRefresh();
    EXPECT_EQ(p.frame.windowTitle(), "On_Line ECO MODE ");
    EXPECT_EQ(p.Text(1162), "Status 2 - ACTIVE");
    EXPECT_EQ(p.Text(1163), "Charge V const");

    EditDevice0([](_ZozeUps& u) {
        std::strcpy(u.stateText, "Timeout");
        u.status.flags12 = 0;
        u.status.stateCode = 0x1a;
        u.status.ccbStatus = 0;
    });
    p.view->OnUpsRefresh();
    EXPECT_EQ(p.frame.windowTitle(), "Timeout");
    EXPECT_EQ(p.Text(1162), "Status 1a");
    EXPECT_EQ(p.Text(1163), "Discharge");
}

TEST(StateLines, ConfirmationsEnableCommandsInThePopupAtPositionOne) {
    PanelFixture p;
    QMenuBar* bar = p.frame.menuBar();
    EXPECT_EQ(MenuTitles(bar), (QStringList{"&File", "&Help"}));
    // Each title has an access key of its own (Alt+F, Alt+H; Alt+U once "User" is there).
    const QKeySequence altF = QKeySequence::mnemonic(bar->actions()[0]->text());
    EXPECT_EQ(altF, QKeySequence(Qt::ALT | Qt::Key_F));
    EXPECT_EQ(QKeySequence::mnemonic(bar->actions()[1]->text()), QKeySequence(Qt::ALT | Qt::Key_H));

    // Without the "User" popup, "Help" stands at position 1: nothing changes there.
    EditDevice0([](_ZozeUps& u) {
        u.status.powerUnits = 1;
        u.adReadFlags = 3;
        u.setupValid = 1;
    });
    p.view->OnUpsRefresh();
    EXPECT_EQ(MenuTitles(bar), (QStringList{"&File", "&Help"}));

    auto* user = new QMenu(QStringLiteral("User"), bar);
    bar->insertMenu(bar->actions()[1], user);
    QAction* corrAd = user->addAction(QStringLiteral("Corr AD"));
    corrAd->setObjectName(CommandName(32793));
    QAction* setup = user->addAction(QStringLiteral("VesperoSet"));
    setup->setObjectName(CommandName(32792));
    corrAd->setEnabled(false);
    setup->setEnabled(false);

    EditDevice0([](_ZozeUps& u) { u.adReadFlags = 1; u.setupValid = 0; });
    p.view->OnUpsRefresh();
    EXPECT_FALSE(corrAd->isEnabled());
    EXPECT_FALSE(setup->isEnabled());

    EditDevice0([](_ZozeUps& u) { u.adReadFlags = 3; });
    p.view->OnUpsRefresh();
    EXPECT_TRUE(corrAd->isEnabled());
    EXPECT_FALSE(setup->isEnabled());

    EditDevice0([](_ZozeUps& u) { u.setupValid = 1; });
    p.view->OnUpsRefresh();
    EXPECT_TRUE(setup->isEnabled());
}

TEST(Frame, MenusStatusBarAndFit) {
    PanelFixture p;
    // The "User" popup of the resource is gone, with its commands.
    for (int id : {32772, 32792, 32793, 32794, 32790, 32791})
        EXPECT_EQ(FindCommand(&p.frame, id), nullptr) << id;
    QMenu* file = p.frame.menuBar()->actions()[0]->menu();
    QStringList fileItems;
    for (QAction* a : file->actions()) fileItems << (a->isSeparator() ? "-" : a->objectName());
    EXPECT_EQ(fileItems, (QStringList{"-", "cmd_32782", "cmd_32784", "-", "cmd_57665"}));
    EXPECT_EQ(FindCommand(&p.frame, 57665)->statusTip(), "Exit From Application");
    // The leading separator is drawn, not folded away, and not lost in the menu's frame.
    file->popup(QPoint(0, 0));
    const QRect leading = file->actionGeometry(file->actions()[0]);
    EXPECT_GT(leading.height(), 0);
    EXPECT_GT(leading.top(), 1);
    file->hide();
    QMenu* help = p.frame.menuBar()->actions()[1]->menu();
    QStringList helpItems;
    for (QAction* a : help->actions()) helpItems << (a->isSeparator() ? "-" : a->text());
    EXPECT_EQ(helpItems, (QStringList{"Firmware Version", "-", "About Vespero Monitor ..."}));
    EXPECT_NE(p.view->serviceMenu(), nullptr);

    EXPECT_EQ(p.frame.MessagePane()->text(), "Pronto");
    for (int id : {59137, 59138, 59139}) ASSERT_NE(p.frame.Indicator(id), nullptr);

    // The frame is fitted around the fixed-size form.
    EXPECT_EQ(p.frame.centralWidget(), p.view);
    EXPECT_EQ(p.view->size(), p.view->minimumSize());
    EXPECT_GE(p.frame.height(), p.view->height() + p.frame.statusBar()->sizeHint().height());
    EXPECT_EQ(p.frame.width(), p.view->width());
}

TEST(Frame, PanelControlsAndPicture) {
    PanelFixture p;
    for (int id : {1000, 1006, 1005, 1042, 1009, 1038, 1017, 1001, 1012, 1016, 1150, 1151, 1178,
                   1152, 1043, 1215, 1041, 1146, 1163, 1162})
        EXPECT_NE(FindControl<QLabel>(p.view, id), nullptr) << id;
    for (int id : {1028, 1024, 1025, 1044, 1027, 1039, 1032, 1034, 1030, 1031}) {
        ASSERT_NE(p.Bar(id), nullptr) << id;
        EXPECT_TRUE(p.Bar(id)->HasBorder()) << id;
    }
    // Before any refresh every gauge is empty; its frame stands out from the group behind it.
    p.frame.show();
    const QImage panel = p.view->grab().toImage();
    CMacProgressCtrl* bar = p.Bar(1028);
    const QPoint corner = bar->mapTo(p.view, QPoint(0, 0));
    EXPECT_NE(panel.pixel(corner), panel.pixel(corner - QPoint(2, 2)));
    EXPECT_NE(panel.pixel(corner + QPoint(bar->width() / 2, 0)), panel.pixel(corner + QPoint(bar->width() / 2, -2)));
    const std::pair<int, const char*> buttons[] = {
        {1018, "Recharge"}, {1014, "History"}, {1015, "Failure - System"}};
    for (auto [id, text] : buttons) {
        auto* b = FindControl<QPushButton>(p.view, id);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(b->text(), text);
        EXPECT_TRUE(b->isEnabled());
    }
    auto* picture = FindControl<CPictureButton>(p.view, 1033);
    ASSERT_NE(picture, nullptr);
    EXPECT_FALSE(picture->isEnabled());
    EXPECT_FALSE(picture->Picture().isNull());
    EXPECT_EQ(picture->size(), picture->Picture().size());
}

TEST(Frame, RechargeQueuesTheCommandForDeviceZero) {
    PanelFixture p;
    const int before = MainUps[0].ringWrite;
    FindControl<QPushButton>(p.view, 1018)->click();
    auto lock = LockDevice(0);
    EXPECT_EQ(MainUps[0].ringWrite, (before + 1) % 100);
    EXPECT_EQ(MainUps[0].ring[before], CMD_RECHARGE);
}

// Each button opens its dialog modally; a timer closes it from inside its loop.
TEST(Frame, DiagnosticButtonsOpenTheirDialogs) {
    PanelFixture p;
    for (auto [id, cls] : {std::pair{1015, "CFailure"}, std::pair{1014, "CHistory"}}) {
        QString opened;
        QTimer::singleShot(0, [&opened] {
            if (QWidget* w = QApplication::activeModalWidget()) {
                opened = w->metaObject()->className();
                w->close();
            }
        });
        FindControl<QPushButton>(p.view, id)->click();
        EXPECT_EQ(opened, cls);
    }
}

TEST(Frame, AboutBox) {
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), "Vespero Monitor");
    EXPECT_NE(about.findChild<QLabel*>("versionLine"), nullptr);
    EXPECT_EQ(about.findChild<QLabel*>("versionLine")->text(), "Vespero Monitor Version 1.4");
    EXPECT_EQ(FindControl<QPushButton>(&about, 1)->text(), "OK");
}

// Every line of the About box fits, at the default font and with fonts a quarter larger.
TEST(Frame, AboutBoxFitsItsTextsAtLargerFonts) {
    const QFont normal = QApplication::font();
    for (double scale : {1.0, 1.25}) {
        QFont font = normal;
        font.setPointSizeF(normal.pointSizeF() * scale);
        QApplication::setFont(font);
        {
            CAboutDlg about;
            about.show();
            for (const char* name : {"versionLine", "secondLine"}) {
                const QLabel* line = about.findChild<QLabel*>(name);
                EXPECT_GE(line->contentsRect().width(), line->fontMetrics().horizontalAdvance(line->text()))
                    << name << " at scale " << scale;
                EXPECT_GE(line->height(), line->fontMetrics().height()) << name;
                EXPECT_TRUE(about.rect().contains(line->geometry())) << name;
                EXPECT_LE(line->geometry().right(), FindControl<QPushButton>(&about, 1)->x()) << name;
            }
        }
        QApplication::setFont(normal);
    }
}

TEST(Frame, DestroyedPanelIsUnregisteredFromTheLink) {
    {
        PanelFixture p;
        EXPECT_EQ(RegisteredWindow(), static_cast<QObject*>(p.view));
    }
    EXPECT_EQ(RegisteredWindow(), nullptr);
}

}  // namespace
