// One monitor per user: a second start asks the running one to bring its window forward and
// ends. The two meet on a local socket in the user's runtime directory.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QLocalServer;

class SingleInstance : public QObject {
    Q_OBJECT
public:
    enum class Claim {
        First,      // no monitor runs: this one now listens for later starts
        Answered,   // a running monitor took the request
        NoAnswer,   // something holds the socket but does not answer
    };

    // directory: where the socket and its lock file live; empty: the user's runtime directory.
    explicit SingleInstance(const QString& directory = {}, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Sends request to the running monitor if there is one; otherwise takes its place. A socket
    // left by a monitor that crashed is removed. When the socket cannot be set up at all the
    // result is still First (the monitor runs, only unguarded) and error() says why.
    Claim ClaimOrAsk(const QByteArray& request);
    QString serverName() const { return name_; }
    QString error() const { return error_; }

signals:
    // A later start asked for something ("show" or "port-chooser"). Handled before the answer
    // goes back, so the later start ends only once the window has been brought forward.
    void Requested(const QByteArray& request);

private:
    void OnConnection();

    QString name_;
    QString lockPath_;
    QString error_;
    QLocalServer* server_ = nullptr;
};

// Shows the window (also from the tray or minimised), raises it and gives it the focus; a modal
// box open above it comes along.
class QWidget;
void BringForward(QWidget* window);
