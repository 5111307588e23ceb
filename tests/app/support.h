// A panel in its frame, offscreen, with every box answered and a scratch working directory.
#pragma once

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMenuBar>
#include <QTemporaryDir>
#include <cstring>
#include <vector>

#include "app/aldera_view.h"
#include "app/main_frame.h"
#include "link/device_lock.h"
#include "widgets/control_ids.h"
#include "widgets/mac_progress_ctrl.h"
#include "widgets/message_box.h"

struct BoxLog {
    std::vector<ShownBox> boxes;
    BoxLog() {
        SetMessageBoxAnswerer([this](const ShownBox& box) { boxes.push_back(box); });
    }
    ~BoxLog() { SetMessageBoxAnswerer(nullptr); }
};

// Writes device 0 the way the link does: under its lock.
template <typename F>
void EditDevice0(F&& edit) {
    auto lock = LockDevice(0);
    edit(MainUps[0]);
}

inline void ClearDevice0() {
    EditDevice0([](_ZozeUps& u) {
        std::memset(&u, 0, sizeof u);
        std::strcpy(u.stateText, "Timeout");
    });
}

struct PanelFixture {
    QTemporaryDir dir;
    QString oldCwd = QDir::currentPath();
    BoxLog boxes;
    CMainFrame frame;
    CAlderaView* view;

    PanelFixture() {
        QDir::setCurrent(dir.path());
        ClearDevice0();
        view = new CAlderaView(&frame);
        frame.setCentralWidget(view);
        view->OnInitialUpdate();
    }
    ~PanelFixture() { QDir::setCurrent(oldCwd); }

    QString Text(int id) const { return FindControl<QLabel>(view, id)->text(); }
    QLabel* Label(int id) const { return FindControl<QLabel>(view, id); }
    CMacProgressCtrl* Bar(int id) const { return FindControl<CMacProgressCtrl>(view, id); }
    std::pair<int, int> Range(int id) const {
        int lo = 0, hi = 0;
        Bar(id)->GetRange(lo, hi);
        return {lo, hi};
    }
    QColor Colour(int id) const { return Bar(id)->BarColor(); }
};

inline const QColor kGreen(0, 255, 0);
inline const QColor kYellow(255, 255, 0);
inline const QColor kRed(255, 0, 0);
