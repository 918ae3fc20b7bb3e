#pragma once

// What the window tests share: recording platform services, a loopback device stand-in, a
// private folder per window, and the operator's hands (typing, picking, pressing).

#include "services.h"
#include "up_config.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>

#include <memory>

// Runs the real event loop until `done` holds or `timeoutMs` passes. Unlike QTest::qWait it never
// sleeps between events, so datagram round trips run at full speed.
template <typename Pred> bool runUntil(Pred done, int timeoutMs = 5000) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start(2);
    if (!done())
        loop.exec();
    return done();
}

struct RecordedBox {
    QString text, title;
    MessageIcon icon;
};

// Services that record what the window asked for and answer from a script.
struct FakeServices {
    QStringList launched; // "program arg arg..."
    QList<int> sleeps;
    QList<RecordedBox> boxes;
    std::optional<QString> nextFile; // nothing: the operator cancels

    PlatformServices services() {
        return {[this](QWidget*, const QString&) { return nextFile; },
                [this](QWidget*, const QString& text, const QString& title, MessageIcon icon) {
                    boxes << RecordedBox{text, title, icon};
                },
                [this](const QString& program, const QStringList& args) {
                    launched << (QStringList{program} + args).join(QLatin1Char(' '));
                },
                [this](int ms) { sleeps << ms; }};
    }
};

// A device stand-in on a loopback address at a port of the system's choosing.
struct LoopbackPeer {
    QUdpSocket socket;
    explicit LoopbackPeer(const QString& address = QStringLiteral("127.0.0.1")) {
        if (!socket.bind(QHostAddress(address), 0))
            qFatal("cannot bind %s: %s", qPrintable(address), qPrintable(socket.errorString()));
    }
    [[nodiscard]] quint16 port() const { return socket.localPort(); }
    // Every datagram that arrives within `waitMs` of the last one, in order.
    QList<QByteArray> take(int waitMs = 150) {
        QList<QByteArray> out;
        while (socket.hasPendingDatagrams() || socket.waitForReadyRead(out.isEmpty() ? waitMs : 20))
            out << socket.receiveDatagram().data();
        return out;
    }
    void sendTo(quint16 port, const QByteArray& bytes) { socket.writeDatagram(bytes, QHostAddress::LocalHost, port); }
};

// Each window lives in a folder of its own, so address book files never leak between tests.
class ScratchFolder {
public:
    ScratchFolder() : m_previous(QDir::currentPath()) { QDir::setCurrent(m_dir.path()); }
    ~ScratchFolder() { QDir::setCurrent(m_previous); }
    [[nodiscard]] QString file(const QString& name) const { return m_dir.filePath(name); }
    [[nodiscard]] QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

template <typename T = QWidget> T* control(UP_config& w, const char* name) {
    T* c = w.findChild<T*>(QLatin1String(name));
    if (!c)
        qFatal("no control %s", name);
    return c;
}

// The operator's hands: a click into the box, then keys; a pick from the drop-down list; a press.
inline void type(QComboBox* box, const QString& text) {
    QTest::mouseClick(box->lineEdit(), Qt::LeftButton);
    box->lineEdit()->selectAll();
    QTest::keyClick(box->lineEdit(), Qt::Key_Backspace);
    QTest::keyClicks(box->lineEdit(), text);
}
inline void pick(QComboBox* box, int index) {
    box->showPopup();
    QAbstractItemView* view = box->view();
    QVERIFY(QTest::qWaitForWindowExposed(view->window()));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(view->model()->index(index, 0)).center());
    QTRY_VERIFY(!view->isVisible());
}
inline void press(UP_config& w, const char* button) {
    QTest::mouseClick(control<QPushButton>(w, button), Qt::LeftButton);
}

// A window in a folder of its own, pointed at a loopback peer and connected (the boot-information
// request taken), with the gateway switch as asked.
struct Session {
    ScratchFolder folder;
    FakeServices fake;
    LoopbackPeer peer;
    std::unique_ptr<UP_config> w = std::make_unique<UP_config>(fake.services());
    QByteArray bootInfo;

    explicit Session(bool gateway = true) {
        control<QComboBox>(*w, "ComboRemoteIP")->setEditText(QStringLiteral("127.0.0.1"));
        w->remotePort = QString::number(peer.port());
        w->localPort = QStringLiteral("0");
        control<QCheckBox>(*w, "Check1")->setChecked(gateway);
        w->connectOrDisconnect();
        bootInfo = peer.take(1000).value(0);
    }
    // Hands the window `replies` from the device and waits until it has taken them all.
    void reply(const QList<QByteArray>& replies) {
        QSignalSpy spy(&w->udpSocket(), &UdpSocketControl::dataArrival);
        for (const QByteArray& r : replies)
            peer.sendTo(w->udpSocket().localPort(), r);
        QVERIFY(runUntil([&] { return spy.count() >= replies.size(); }));
    }
};
