// The single document: holds no data; its construction starts the link thread.
#pragma once

#include <QObject>
#include <QString>

class CAlderaDoc : public QObject {
    Q_OBJECT
public:
    explicit CAlderaDoc(QObject* parent = nullptr);
    ~CAlderaDoc() override;

    // A new document (also a second "new" on the same object): the title "Monitor" again; the
    // link thread is not started twice.
    bool OnNewDocument();
    // A file opened through the framework: it must be a readable regular file (a pipe or device
    // is refused, so opening can never block); its content is not read, and this CAlderaDoc stays
    // empty under the file's name. False with the reason otherwise.
    bool OnOpenDocument(const QString& path, QString* reason);
    const QString& Title() const { return title_; }

    // Ends the link in order: its loop stops, the ports are closed, the thread is joined.
    // Called once the window has gone; safe to call more than once.
    void StopLink();

private:
    QString title_;
    bool linkRunning_ = false;
};
