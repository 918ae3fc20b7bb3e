#pragma once

// Shared pieces of the window tests: recording platform services and a loopback peer.

#include "services.h"
#include "up_config.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

// Runs the real event loop until `done` holds or `timeoutMs` passes. Unlike QTest::qWait, it
// never sleeps between events, so datagram round trips run at full speed.
template <typename Pred> bool runUntil(Pred done, int timeoutMs) {
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start();
    loop.exec();
    return done();
}

struct RecordedBox {
    QString text;
    QString title;
    MessageIcon icon;
};

// Services that record what the window asked for and answer from a script.
struct FakeServices {
    QStringList launched; // "program arg arg..."
    QList<int> sleeps;
    QList<RecordedBox> boxes;
    QStringList dialogFilters;
    std::optional<QString> nextFile; // nothing: the operator cancels

    PlatformServices services() {
        PlatformServices s;
        s.openFile = [this](QWidget*, const QString& filter) {
            dialogFilters << filter;
            return nextFile;
        };
        s.messageBox = [this](QWidget*, const QString& text, const QString& title, MessageIcon icon) {
            boxes << RecordedBox{text, title, icon};
        };
        s.launchDetached = [this](const QString& program, const QStringList& args) {
            launched << (QStringList{program} + args).join(QLatin1Char(' '));
        };
        s.sleep = [this](int ms) { sleeps << ms; };
        return s;
    }
};

// A device stand-in on 127.0.0.1 at a port of the system's choosing.
class LoopbackPeer {
public:
    LoopbackPeer() {
        QVERIFY2(m_socket.bind(QHostAddress(QHostAddress::LocalHost), 0), qPrintable(m_socket.errorString()));
    }
    [[nodiscard]] quint16 port() const { return m_socket.localPort(); }

    // Every datagram that has arrived within `waitMs`, in order.
    QList<QByteArray> take(int waitMs = 200) {
        QList<QByteArray> out;
        QTest::qWait(0);
        m_socket.waitForReadyRead(waitMs);
        while (m_socket.hasPendingDatagrams()) {
            const QNetworkDatagram d = m_socket.receiveDatagram();
            m_lastSender = d.senderPort();
            out << d.data();
            if (!m_socket.hasPendingDatagrams())
                m_socket.waitForReadyRead(20);
        }
        return out;
    }
    // Exactly one datagram is expected.
    QByteArray takeOne(int waitMs = 1000) {
        const QList<QByteArray> got = take(waitMs);
        return got.size() == 1 ? got.first()
                               : QByteArray("<" + QByteArray::number(got.size()) + " datagrams>");
    }
    void sendTo(quint16 port, const QByteArray& bytes) {
        m_socket.writeDatagram(bytes, QHostAddress(QHostAddress::LocalHost), port);
    }

private:
    QUdpSocket m_socket;
    quint16 m_lastSender = 0;
};

// Each test's window lives in a fresh folder, so address book files never leak between tests.
class ScratchFolder {
public:
    ScratchFolder() : m_previous(QDir::currentPath()) { QDir::setCurrent(m_dir.path()); }
    ~ScratchFolder() { QDir::setCurrent(m_previous); }
    [[nodiscard]] QString path() const { return m_dir.path(); }
    [[nodiscard]] QString file(const QString& name) const { return m_dir.filePath(name); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

// A window pointed at a loopback peer, connected, with the boot-information request consumed.
struct Session {
    ScratchFolder folder;
    FakeServices fake;
    LoopbackPeer peer;
    std::unique_ptr<UP_config> w;

    explicit Session(bool gateway = true) {
        w = std::make_unique<UP_config>(fake.services());
        w->findChild<QComboBox*>(QStringLiteral("ComboRemoteIP"))->setEditText(QStringLiteral("127.0.0.1"));
        w->tbRemotePort = QString::number(peer.port());
        w->tbLocalPort = QStringLiteral("0");
        w->findChild<QCheckBox*>(QStringLiteral("Check1"))->setChecked(gateway);
        w->cbBind_Click();
        bootInfo = peer.takeOne();
    }
    void deliver(const QByteArray& bytes) { peer.sendTo(w->winsock().localPort(), bytes); }
    // Waits until the window has taken `n` more datagrams.
    bool waitArrivals(const QSignalSpy& spy, int n) {
        return QTest::qWaitFor([&] { return spy.count() >= n; }, 2000);
    }
    QByteArray bootInfo;
};

template <typename T> T* control(UP_config& w, const char* name) {
    T* c = w.findChild<T*>(QLatin1String(name));
    if (!c)
        qFatal("no control %s", name);
    return c;
}
