#include "app/aldera_doc.h"

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

void CAlderaDoc::StopLink() {
    if (!linkRunning_) return;
    linkRunning_ = false;
    StopLinkThread();
}
