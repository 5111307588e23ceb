// Controls are addressed by the numeric ids of their forms: a control with id N has the object
// name "id_N", a menu command with id N is a QAction named "cmd_N".
#pragma once

#include <QAction>
#include <QString>
#include <QWidget>

inline QString ControlName(int id) { return QStringLiteral("id_%1").arg(id); }
inline QString CommandName(int id) { return QStringLiteral("cmd_%1").arg(id); }

template <typename T = QWidget>
T* FindControl(const QObject* root, int id) {
    return root->findChild<T*>(ControlName(id));
}

inline QAction* FindCommand(const QObject* root, int id) {
    return root->findChild<QAction*>(CommandName(id));
}
