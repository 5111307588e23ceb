#include "link/port/settings_store.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>

#include <cstring>
#include <memory>

namespace {

const QString kGroup = QStringLiteral("Orbo");

// Built on every call: the location follows XDG_CONFIG_HOME as it is now (QSettings' own
// default paths are fixed at first use).
std::unique_ptr<QSettings> OpenSettings() {
#ifdef Q_OS_WIN
    return std::make_unique<QSettings>(QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Tralvane\\Ups"),
                                       QSettings::Registry64Format);
#else
    return std::make_unique<QSettings>(LinkSettingsLocation(), QSettings::IniFormat);
#endif
}

int ReadText(const char* name, char* buffer, int size) {
    if (!buffer || size <= 0) return 0;
    buffer[0] = '\0';
    auto settings = OpenSettings();
    if (settings->status() != QSettings::NoError) return 0;
    settings->beginGroup(kGroup);
    const QString key = QString::fromLatin1(name);
    if (!settings->contains(key)) return 0;
    const QVariant value = settings->value(key);
    // A hand-edited "Com0 = 3, 4" comes back as a list; keep the text as it was written.
    const QString text = value.typeId() == QMetaType::QStringList
                             ? value.toStringList().join(QStringLiteral(", "))
                             : value.toString();
    const QByteArray bytes = text.toUtf8();
    const int n = qMin(int(bytes.size()), size - 1);
    std::memcpy(buffer, bytes.constData(), size_t(n));
    buffer[n] = '\0';
    return 1;
}

int WriteText(const char* name, const char* text) {
    auto settings = OpenSettings();
    if (!settings->isWritable() || settings->status() != QSettings::NoError) return 0;
    settings->beginGroup(kGroup);
    settings->setValue(QString::fromLatin1(name), QString::fromUtf8(text ? text : ""));
    settings->endGroup();
    settings->sync();
    return settings->status() == QSettings::NoError ? 1 : 0;
}

const LinkSettingsStore kStore = {&ReadText, &WriteText};

}  // namespace

const LinkSettingsStore* QtSettingsStore() { return &kStore; }

QString LinkSettingsLocation() {
#ifdef Q_OS_WIN
    return QStringLiteral("HKEY_LOCAL_MACHINE\\SOFTWARE\\Tralvane\\Ups\\Orbo");
#else
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty()) base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/Tralvane/Ups.ini");
#endif
}
