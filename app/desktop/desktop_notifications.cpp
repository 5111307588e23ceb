#include "app/desktop/desktop_notifications.h"

#include <QCoreApplication>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QUrl>
#include <QVariantMap>

#include "app/artwork.h"

namespace {
const char kService[] = "org.freedesktop.Notifications";
const char kPath[] = "/org/freedesktop/Notifications";
const char kInterface[] = "org.freedesktop.Notifications";
// A server that takes longer is as good as none: the note goes to the tray instead.
constexpr int kCallTimeoutMsecs = 5000;
}  // namespace

QString NotificationIconPath() {
    const QString relative = QStringLiteral("icons/hicolor/64x64/apps/vespero.png");
    QString path = QStandardPaths::locate(QStandardPaths::GenericDataLocation, relative);
    if (path.isEmpty()) {
        const QString beside = QCoreApplication::applicationDirPath() + QStringLiteral("/../share/") + relative;
        if (QFileInfo::exists(beside)) path = QFileInfo(beside).canonicalFilePath();
    }
    if (!path.isEmpty()) return path;
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    if (cache.isEmpty() || !QDir().mkpath(cache)) return {};
    path = cache + QStringLiteral("/vespero-64.png");
    if (!QFileInfo::exists(path) && !AppIcon().pixmap(64, 64).save(path, "PNG")) return {};
    return path;
}

DesktopNotifications::DesktopNotifications(const QDBusConnection& bus, QObject* parent)
    : QObject(parent), bus_(bus), icon_(NotificationIconPath()) {
    if (!bus_.isConnected()) return;
    bus_.connect(QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface),
                 QStringLiteral("NotificationClosed"), this, SLOT(OnClosed(uint, uint)));
    bus_.connect(QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface),
                 QStringLiteral("ActionInvoked"), this, SLOT(OnAction(uint, QString)));
}

void DesktopNotifications::Show(const DesktopNote& note) {
    queue_.push_back(note);
    if (queue_.size() == 1) SendFront();
}

void DesktopNotifications::SendFront() {
    if (queue_.empty()) return;
    if (!bus_.isConnected()) return Finish(false, 0);
    const DesktopNote& note = queue_.front();
    const QString icon = icon_.isEmpty() ? QString() : QUrl::fromLocalFile(icon_).toString();
    QVariantMap hints;
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue(uchar(note.critical ? 2 : 1)));
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("vespero"));
    if (!icon.isEmpty()) hints.insert(QStringLiteral("image-path"), icon);
    QDBusMessage call = QDBusMessage::createMethodCall(QLatin1String(kService), QLatin1String(kPath),
                                                       QLatin1String(kInterface), QStringLiteral("Notify"));
    call << QStringLiteral("Vespero Monitor") << standing_ << icon << note.title << note.body
         << QStringList{QStringLiteral("default"), QStringLiteral("Show Vespero Monitor")} << hints
         << int(note.critical ? 0 : -1);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call, kCallTimeoutMsecs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusPendingReply<uint> reply = *w;
        if (reply.isError())
            Finish(false, 0);
        else
            Finish(true, reply.value());
    });
}

void DesktopNotifications::Finish(bool delivered, uint id) {
    const DesktopNote note = queue_.front();
    queue_.pop_front();
    if (delivered) {
        standing_ = id;
    } else {
        // A later server gets a fresh note; the id of one that went away means nothing to it.
        standing_ = 0;
        if (fallback_) fallback_(note);
    }
    emit Answered(delivered);
    SendFront();
}

void DesktopNotifications::OnClosed(uint id, uint) {
    if (id == standing_) standing_ = 0;
}

void DesktopNotifications::OnAction(uint id, const QString& key) {
    if (id == standing_ && key == QLatin1String("default")) emit Activated();
}
