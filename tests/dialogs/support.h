// Shared helpers: boxes and file dialogs answered in memory, modal dialogs driven from a timer,
// and a look at device 0's command ring.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <gtest/gtest.h>
#include <vector>

#include "link/device_lock.h"
#include "link/link_core.h"
#include "link/ups_link.h"
#include "widgets/message_box.h"

// Records every box; answers file dialogs from a queue of paths ("" = Cancel).
struct Seams {
    std::vector<ShownBox> boxes;
    std::vector<QString> fileAnswers;
    std::vector<bool> fileAsks;  // true for a save dialog
    Seams() {
        SetMessageBoxAnswerer([this](const ShownBox& b) { boxes.push_back(b); });
        SetFileDialogAnswerer([this](bool save) {
            fileAsks.push_back(save);
            if (fileAnswers.empty()) return QString();
            QString p = fileAnswers.front();
            fileAnswers.erase(fileAnswers.begin());
            return p;
        });
    }
    ~Seams() {
        SetMessageBoxAnswerer(nullptr);
        SetFileDialogAnswerer(nullptr);
    }
    QStringList texts() const {
        QStringList out;
        for (const auto& b : boxes) out << b.text;
        return out;
    }
};

// Runs action on the next modal dialog once it is up (the action must close it).
inline void OnNextModal(std::function<void(QDialog*)> action) {
    auto* timer = new QTimer(qApp);
    timer->setInterval(5);
    auto tries = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, action, tries] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        const bool up = dialog && dialog->isVisible();
        if (!up && ++*tries < 1000) return;
        timer->stop();
        timer->deleteLater();
        if (up) action(dialog);
        else ADD_FAILURE() << "no modal dialog appeared";
    });
    timer->start();
}

inline QLineEdit* Edit(QWidget* w, const char* name) {
    auto* e = w->findChild<QLineEdit*>(QString::fromLatin1(name));
    EXPECT_NE(e, nullptr) << name;
    return e;
}

inline void Press(QDialog* d, QDialogButtonBox::StandardButton which) {
    auto* box = d->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
    ASSERT_NE(box, nullptr);
    ASSERT_NE(box->button(which), nullptr);
    box->button(which)->click();
}

// Commands waiting in device 0's ring, oldest first; Clear empties it.
inline std::vector<int> Queued() {
    auto lock = LockDevice(0);
    std::vector<int> out;
    for (int i = MainUps[0].ringRead; i != MainUps[0].ringWrite; i = (i + 1) % 100)
        out.push_back(MainUps[0].ring[i]);
    return out;
}
inline void ClearDevice0() {
    auto lock = LockDevice(0);
    MainUps[0] = _ZozeUps{};
}

// The frame the link sends for a set-up block, taken from the real builder.
inline std::string SetupFrame(const UpsSetup& setup) {
    static std::string sent;
    static const UpsPortOps keep = {
        nullptr,
        [](const uint8_t* data, int len, _ZozeUps*) {
            sent.assign(reinterpret_cast<const char*>(data), size_t(len));
            return len;
        },
        nullptr, nullptr, nullptr};
    auto ups = std::make_unique<_ZozeUps>();
    ups->port = &keep;
    ups->setupWrite = setup;
    BuildWriteSetup('S', ups.get());
    return sent;
}
