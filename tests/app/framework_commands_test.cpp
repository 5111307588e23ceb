// Ctrl+N, Ctrl+O and printer set-up on the real CAlderaDoc, frame and panel. The CAlderaDoc starts
// the real link thread, with every unit absent so it opens no port.
#include <QDir>
#include <QFile>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/aldera_doc.h"
#include "app/framework_commands.h"
#include "app/service_menu.h"
#include "link/link_core.h"
#include "support.h"

namespace {

struct NoUnitsPresent {
    QString ini = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/Tralvane/Ups.ini");
    NoUnitsPresent() {
        QDir().mkpath(QFileInfo(ini).path());
        QFile f(ini);
        f.open(QIODevice::WriteOnly);
        f.write("[Orbo]\nAlderaPresent0=0\nAlderaPresent1=0\nAlderaPresent2=0\nAlderaPresent3=0\n");
    }
    ~NoUnitsPresent() { QFile::remove(ini); }
};

struct DocumentFixture : NoUnitsPresent {
    CAlderaDoc doc;
    PanelFixture panel;
    FrameworkCommands commands{&doc, &panel.frame, panel.view};
    QString chosen;

    DocumentFixture() {
        doc.OnNewDocument();
        SetFileDialogAnswerer([this](bool save) { return save ? QString() : chosen; });
        panel.frame.show();
        panel.frame.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&panel.frame));
    }
    ~DocumentFixture() { SetFileDialogAnswerer(nullptr); }
    QString Caption() const { return panel.frame.windowTitle(); }
};

QStringList MenuTitles(QMenuBar* bar) {
    QStringList titles;
    for (QAction* a : bar->actions()) titles << a->text();
    return titles;
}

TEST(FrameworkCommands, NewDocumentRestoresTheTitleAndKeepsPanelAndMenus) {
    DocumentFixture f;
    f.panel.view->serviceMenu()->ApplyAccessCode(QStringLiteral("lanterno"));
    f.panel.frame.setWindowTitle(QStringLiteral("On_Line"));
    QTest::keyClick(&f.panel.frame, Qt::Key_N, Qt::ControlModifier);
    EXPECT_EQ(f.Caption(), "Monitor - " + QCoreApplication::applicationName());
    EXPECT_EQ(f.doc.Title(), "Monitor");
    // A second "new" neither drops the service popup nor unregisters the panel.
    EXPECT_EQ(MenuTitles(f.panel.frame.menuBar()), (QStringList{"&File", "&User", "&Help"}));
    EXPECT_EQ(f.panel.view->serviceMenu()->accessLevel(), 3);
    EXPECT_EQ(RegisteredWindow(), static_cast<QObject*>(f.panel.view));
    // The framework's file commands live in the frame only; no menu shows them.
    for (QMenu* menu : f.panel.frame.menuBar()->findChildren<QMenu*>())
        for (QAction* a : menu->actions())
            for (int id : {57600, 57601, 57606}) EXPECT_NE(a->objectName(), CommandName(id));
}

TEST(FrameworkCommands, OpenAcceptsOnlyReadableRegularFiles) {
    DocumentFixture f;
    const QString file = f.panel.dir.filePath("notes.txt");
    QFile(file).open(QIODevice::WriteOnly);
    f.chosen = file;
    QTest::keyClick(&f.panel.frame, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(f.Caption(), "notes.txt - " + QCoreApplication::applicationName());
    EXPECT_TRUE(f.panel.boxes.boxes.empty());

    // A named pipe would block a reader until a writer comes: refused at once.
    const QString pipe = f.panel.dir.filePath("pipe");
    ASSERT_EQ(::mkfifo(pipe.toLocal8Bit().constData(), 0600), 0);
    f.chosen = pipe;
    f.panel.frame.setWindowTitle(QStringLiteral("On_Line"));
    QTest::keyClick(&f.panel.frame, Qt::Key_O, Qt::ControlModifier);
    ASSERT_EQ(f.panel.boxes.boxes.size(), 1u);
    EXPECT_TRUE(f.panel.boxes.boxes[0].text.startsWith("Failed to open document."));
    EXPECT_EQ(f.Caption(), "On_Line");
    EXPECT_EQ(f.doc.Title(), "notes.txt");

    // Cancel: nothing.
    f.chosen.clear();
    QTest::keyClick(&f.panel.frame, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(f.panel.boxes.boxes.size(), 1u);
    EXPECT_EQ(f.Caption(), "On_Line");
}

TEST(FrameworkCommands, PrinterSetUpOpensThePageSetupDialog) {
    DocumentFixture f;
    QString opened;
    QTimer::singleShot(0, [&opened] {
        if (QWidget* w = QApplication::activeModalWidget()) {
            opened = w->metaObject()->className();
            w->close();
        }
    });
    FindCommand(&f.panel.frame, 57606)->trigger();
    EXPECT_EQ(opened, "QPageSetupDialog");
}

}  // namespace
