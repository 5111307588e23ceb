// Desktop notifications through the freedesktop notification service on the session bus: they
// reach the person with or without a tray, keep to the desktop's history and do-not-disturb, and
// a critical one stays until it is dismissed or replaced.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <deque>
#include <functional>

struct DesktopNote {
    QString title;
    QString body;
    bool critical = false;  // urgency critical, no expiry; otherwise normal, the server's expiry
};

class DesktopNotifications : public QObject {
    Q_OBJECT
public:
    explicit DesktopNotifications(const QDBusConnection& bus = QDBusConnection::sessionBus(),
                                  QObject* parent = nullptr);

    // Shows the note in place of the one this program has standing, so the desktop always holds
    // at most one: the unit's state as last told. Notes go out one at a time, in order; a note
    // no service answers goes to the fallback.
    void Show(const DesktopNote& note);
    using Fallback = std::function<void(const DesktopNote&)>;
    void SetFallback(Fallback fallback) { fallback_ = std::move(fallback); }

    // The server's id of the note standing; 0 when none is known.
    uint standingId() const { return standing_; }
    // Notes given to Show and not yet answered (or failed).
    int unanswered() const { return int(queue_.size()); }
    const QString& iconPath() const { return icon_; }

signals:
    // Once per note: true when the service took it, false when it went to the fallback.
    void Answered(bool delivered);
    // The user clicked the note.
    void Activated();

private slots:
    void OnClosed(uint id, uint reason);
    void OnAction(uint id, const QString& key);

private:
    void SendFront();
    void Finish(bool delivered, uint id);

    QDBusConnection bus_;
    std::deque<DesktopNote> queue_;  // the front one is on its way
    uint standing_ = 0;
    Fallback fallback_;
    QString icon_;
};

// A picture of the program's icon as a file the notification server can read: the installed
// one where it exists, else the window icon written once into the cache directory.
QString NotificationIconPath();
