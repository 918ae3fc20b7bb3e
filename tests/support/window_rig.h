#pragma once

// The window tests' rig: a window with recording services, a loopback device, the operator's hands.

#include "app/services.h"
#include "app/up_config.h"
#include "loopback_peer.h"
#include "run_until.h"
#include "table.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

template <typename T = QWidget> T* control(UP_config& w, const char* name) {
    return w.findChild<T*>(QLatin1String(name));
}
inline void press(UP_config& w, const char* button) {
    QTest::mouseClick(control<QPushButton>(w, button), Qt::LeftButton);
}

// A window in a folder of its own, with services that record what it asked and answer from a script.
struct Rig {
    QTemporaryDir dir;
    QString previous = QDir::currentPath();
    QStringList launched; // "program arg arg..."
    QList<int> sleeps;
    QStringList boxes;               // "title: text", "!" before it for the critical icon
    std::optional<QString> nextFile; // nothing: the operator cancels
    // Name look-ups: the system's, or, with `holdLookups`, held until answerLookups().
    bool holdLookups = false;
    QList<HostLookup::Answer> heldLookups;
    std::unique_ptr<UP_config> w;

    // `book` is written as the address book first, unless it is null.
    explicit Rig(bool shown = false, const QByteArray& book = {}) {
        QDir::setCurrent(dir.path());
        if (!book.isNull())
            write(QStringLiteral("VELTA_BOOTLOADER.ini"), book);
        w = std::make_unique<UP_config>(services());
        if (shown) {
            w->show();
            QVERIFY(QTest::qWaitForWindowActive(w.get()));
        }
    }
    ~Rig() {
        w.reset();
        QDir::setCurrent(previous);
    }
    PlatformServices services() {
        return {[this](QWidget*, const QString&) { return nextFile; },
                [this](QWidget*, const QString& text, const QString& title, MessageIcon icon) {
                    boxes << (icon == MessageIcon::Critical ? "!" : "") + title + ": " + text;
                },
                [this](const QString& program, const QStringList& args) {
                    launched << (QStringList{program} + args).join(QLatin1Char(' '));
                },
                [this](int ms) { sleeps << ms; },
                {[this](const QString& host, QObject* context, HostLookup::Answer answer) {
                     if (!holdLookups)
                         return HostLookup::system().start(host, context, std::move(answer));
                     heldLookups << std::move(answer);
                     return int(heldLookups.size());
                 },
                 [this](int id) {
                     if (holdLookups && id > 0 && id <= heldLookups.size())
                         heldLookups[id - 1] = nullptr;
                     else if (!holdLookups)
                         HostLookup::system().abandon(id);
                 }}};
    }
    // The held look-ups answer now, with `addresses` (none: not found).
    void answerLookups(const QList<QHostAddress>& addresses) {
        for (const HostLookup::Answer& answer : std::exchange(heldLookups, {}))
            if (answer)
                answer(addresses, addresses.isEmpty() ? QStringLiteral("Host not found") : QString());
    }
    [[nodiscard]] QString file(const QString& name) const { return dir.filePath(name); }
    QString write(const QString& name, const QByteArray& content) {
        QFile f(file(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
            qFatal("cannot write %s", qPrintable(f.fileName()));
        return f.fileName();
    }
    // Points the window at `port` of `host`, the gateway switch as asked, and connects. The port
    // boxes are set as automation sets them: the connect reads them.
    void connectTo(const QString& host, const QString& port, bool gateway = true,
                   const QString& local = "0") {
        control<QComboBox>(*w, "ComboRemoteIP")->setEditText(host);
        control<QCheckBox>(*w, "Check1")->setChecked(gateway);
        control<QLineEdit>(*w, "tbRemotePort")->setText(port);
        control<QLineEdit>(*w, "tbLocalPort")->setText(local);
        press(*w, "cbBind");
    }
};

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
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                      view->visualRect(view->model()->index(index, 0)).center());
    QTRY_VERIFY(!view->isVisible());
}

// A window connected to a loopback peer, the boot-information request taken.
struct Session : Rig {
    LoopbackPeer peer;
    quint64 taken = 0; // datagrams of the window's already taken from the peer

    explicit Session(bool gateway = true) {
        w->watchdog().stop(); // the tests tick it; a real tick on a slow machine would miscount
        connectTo(QStringLiteral("127.0.0.1"), QString::number(peer.port()), gateway);
        sent(); // the boot-information request
    }
    // What the window has sent since the last call; it counts them, so nothing waits for silence.
    QList<QByteArray> sent() {
        const quint64 count = w->udpSocket().sentCount();
        QList<QByteArray> out = peer.take(int(count - taken));
        taken = count;
        return out;
    }
    // Hands the window `replies` from the device and waits until it has taken them all.
    void reply(const QList<QByteArray>& replies) {
        QSignalSpy spy(&w->udpSocket(), &UdpSocketControl::dataArrival);
        for (const QByteArray& r : replies)
            peer.sendTo(w->udpSocket().localPort(), r);
        QVERIFY(runUntil([&] { return spy.count() >= replies.size(); }));
    }
};
