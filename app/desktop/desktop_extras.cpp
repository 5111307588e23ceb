#include "app/desktop/desktop_extras.h"

#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>

#include "app/aldera_view.h"
#include "app/desktop/tray_notifier.h"
#include "app/trend/trend_window.h"
#include "widgets/control_ids.h"

DesktopExtras InstallDesktopExtras(QMainWindow* frame, CAlderaView* view) {
    DesktopExtras extras;
    extras.tray = new TrayNotifier(frame, frame);
    extras.trend = new CTrendWindow(frame);
    QObject::connect(view, &CAlderaView::Refreshed, extras.tray, &TrayNotifier::Update);
    QObject::connect(view, &CAlderaView::Refreshed, extras.trend, &CTrendWindow::OnUpsRefresh);

    // In the File menu: a popup of its own would shift the "User" popup's position.
    QMenu* file = nullptr;
    const QList<QAction*> popups = frame->menuBar()->actions();
    if (!popups.isEmpty()) file = popups.first()->menu();
    if (file) {
        auto* trend = new QAction(QStringLiteral("Trend..."), file);
        trend->setObjectName(QStringLiteral("trendCommand"));
        trend->setStatusTip(QStringLiteral("Battery, load, temperatures and frequency over time"));
        // Above the separator that sets "Exit" apart.
        const QList<QAction*> items = file->actions();
        QAction* before = nullptr;
        for (int i = 0; i < items.size(); ++i) {
            if (items[i]->objectName() != CommandName(57665)) continue;
            before = i > 0 && items[i - 1]->isSeparator() ? items[i - 1] : items[i];
        }
        file->insertAction(before, trend);
        CTrendWindow* window = extras.trend;
        QObject::connect(trend, &QAction::triggered, window, [window] {
            window->show();
            window->raise();
            window->activateWindow();
        });
    }
    return extras;
}
