// The server on a loopback port of its own, with one unit on line, for tests that talk to it
// over real sockets; the event loop runs while a test waits (Pump).
#pragma once

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSemaphore>
#include <QTcpSocket>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <memory>

#include <gtest/gtest.h>

#include "daemon/nut/nut_server.h"
#include "daemon_fixture.h"

namespace daemontest {

template <typename Done>
bool Pump(Done done, int limitMs = 5000) {
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > limitMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

class ServerTest : public ::testing::Test {
protected:
    ServerTest() {
        nut::SetLogSink([this](const QString& line) { log_ << line; });
    }
    ~ServerTest() override {
        gate_.release(1000);  // a check still held back must not hang the server's end
        server_.reset();
        nut::SetLogSink({});
    }

    // Password checks that wait for the test's word and are counted.
    void HoldChecks() {
        server_->SetChecker([this](const nut::PasswordCheck& check) {
            ++checks_;
            gate_.acquire();
            return check.Run();
        });
    }

    int LogCount(const QString& part) const {
        return int(std::count_if(log_.begin(), log_.end(), [&](const QString& l) { return l.contains(part); }));
    }

    void Start(void (*tune)(nut::DaemonConfig*) = nullptr) {
        Now() = 1000;
        Queued().clear();  // commands an earlier test left
        config_ = TestConfig();
        config_.listen = {{QHostAddress(QHostAddress::LocalHost), 0}};
        if (tune) tune(&config_);
        board_ = std::make_unique<nut::UnitBoard>(config_, &RecordCommand);
        board_->SetPresent(0, true, 1);
        board_->Update(0, *OnLineUnit(), Now());
        server_ = std::make_unique<nut::Server>(config_, board_.get(), &users_, &TestClock);
        QString error;
        ASSERT_TRUE(server_->Listen(&error)) << error.toStdString();
        port_ = server_->Ports().at(0);
    }

    std::unique_ptr<QTcpSocket> Connect(bool waitConnected = true) {
        auto s = std::make_unique<QTcpSocket>();
        s->connectToHost(QHostAddress(QHostAddress::LocalHost), port_);
        if (waitConnected) {
            EXPECT_TRUE(Pump([&] { return s->state() == QAbstractSocket::ConnectedState; }));
        }
        return s;
    }

    // Everything that arrives until `lines` lines are in or the peer closes.
    QByteArray Receive(QTcpSocket& s, int lines) {
        QByteArray got;
        Pump([&] {
            got += s.readAll();
            return got.count('\n') >= lines || s.state() == QAbstractSocket::UnconnectedState;
        });
        return got + s.readAll();
    }

    nut::DaemonConfig config_;
    nut::UsersFile users_;
    std::unique_ptr<nut::UnitBoard> board_;
    std::unique_ptr<nut::Server> server_;
    quint16 port_ = 0;
    QStringList log_;
    QSemaphore gate_;
    std::atomic<int> checks_{0};
};

}  // namespace daemontest
