#include "app/aldera_doc.h"

#include <QFile>
#include <QFileInfo>

#include "link/ups_link.h"

CAlderaDoc::CAlderaDoc(QObject* parent) : QObject(parent) {
    StartLinkThread();
    linkRunning_ = true;
}

CAlderaDoc::~CAlderaDoc() { StopLink(); }

bool CAlderaDoc::OnNewDocument() {
    title_ = QStringLiteral("Monitor");
    return true;
}

bool CAlderaDoc::OnOpenDocument(const QString& path, QString* reason) {
    const QFileInfo info(path);
    if (!info.exists()) {
        *reason = QStringLiteral("The file does not exist.");
        return false;
    }
    if (!info.isFile()) {
        *reason = QStringLiteral("Not a regular file.");
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *reason = file.errorString();
        return false;
    }
    title_ = info.fileName();
    return true;
}

void CAlderaDoc::StopLink() {
    if (!linkRunning_) return;
    linkRunning_ = false;
    StopLinkThread();
}
