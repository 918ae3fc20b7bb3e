// Connect and disconnect, who the window hears, the bytes every button puts on the wire, the
// receive path and the watchdog, with a device stand-in on loopback.
#include "window_rig.h"

#include "net/addresses.h"

#include <QLabel>
#include <QNetworkInterface>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextDocument>

namespace {
bool linkShownLost(UP_config& w) {
    return control(w, "NoConnect")->isVisibleTo(&w) && !control(w, "YesConnect")->isVisibleTo(&w);
}

// What a press puts on the wire, with the gateway device address (Text9) and the console entry
// (Text11) or the new address (Text10) as given.
// clang-format off
const struct ButtonRow { const char *name, *button; bool gateway; const char *address, *entry, *wire; } ButtonRows[] = {
    {"Boot Info", "Command7", true, "16", "", "MDB 16,OOTi\r\n"}, {"Boot Info, direct", "Command7", false, "16", "", "OOTi\r\n"},
    {"Boot Info, address with blanks", "Command7", true, " 1 x", "", "MDB  1 x,OOTi\r\n"},
    {"Install", "Command5", true, "16", "", "MDB 16,OOTg\r\n"}, {"Set Addr", "Command1", true, "16", "10", "MDB 16,OOT$0A\r\n"},
    {"Set Addr, direct", "Command1", false, "16", "-1", "OOT$FF\r\n"}, {"Set Addr 256: nothing", "Command1", false, "16", "256", ""},
    {"Set Addr beyond 32 bits: nothing", "Command1", false, "16", "&H100000000", ""},
    {"?", "Command2", true, "16", "", "MDC 16,\"STATUS\"\r\n"}, {"VER, empty address", "Command9", true, "", "", "MDC ,\"VER\"\r\n"},
    {"Send Device, quotes", "Command10", true, "16", "say \"hi\"", "MDC 16,\"say \"hi\"\"\r\n"},
    {"Send Device, outside Latin-1", "Command10", false, "16", "\xC3\xA9\xE2\x82\xAC!", "\xE9?!\r\n"},
    {"Send: never wrapped", "Command6", true, "16", "say \"hi\"", "say \"hi\"\r\n"},
    {"UART On: never wrapped", "Command8", true, "16", "", "UART 2,7\r\n"}};
// clang-format on
} // namespace

class TestWindowLink : public QObject {
    Q_OBJECT

private slots:
    void connectAndDisconnect() {
        Session s;
        UP_config& w = *s.w;
        // What the window shows: the button's caption, the open button, bar text, value, colour.
        const auto looks = [&] {
            return joined(control<QPushButton>(w, "cbBind")->text(), control(w, "Command3")->isEnabled(),
                          w.bar()->text(), w.bar()->value(), w.bar()->barColor() == BarColor::Navy,
                          linkShownLost(w));
        };
        QCOMPARE(s.bootInfo, QByteArray("MDB 16,OOTi\r\n"));
        QCOMPARE(s.launched,
                 QStringList{arpFlushCommand().program + ' ' + arpFlushCommand().arguments.join(' ')});
        QCOMPARE(s.sleeps, QList<int>{100});
        w.watchdogTick(); // a silent device still shows alive at the next tick: the count restarted
        QVERIFY(w.isConnected());
        QCOMPARE(looks(), QStringLiteral("Disconnect 1 NO FILE 0 1 0"));

        // In the middle of the verify pass, with a datagram shown: a disconnect returns all to idle.
        s.nextFile = s.write("fw.hex", ":020000040000FA\r\n:0100000000FF\r\n:00000001FF\r\n");
        press(w, "Command3");
        s.reply({"OK", "OK", "DOWNLOAD", "OK"});
        QCOMPARE(s.sent().size(), 5);
        QVERIFY(w.conversation().verifying() && w.conversation().linePos() == 2 && w.bar()->value() == 2);
        press(w, "cbBind");
        QCOMPARE(looks(), QStringLiteral("Connect 0 NO FILE 0 1 1"));
        QCOMPARE(joined(w.isConnected(), w.linkSilence(), w.conversation().armed(),
                        w.conversation().verifying(), w.conversation().linePos(), w.receivedDatagram()),
                 "0 51 0 0 0 ");
        w.requestBootInfo(); // nothing goes out while closed
        QVERIFY(s.sent().isEmpty() && s.launched.size() == 1);
        // A connect resets the bar's value and colour and the transfer; a failed one too.
        press(w, "cbBind");
        press(w, "Command3");
        s.reply({"ERROR"});
        QVERIFY(w.conversation().armed() && w.bar()->barColor() == BarColor::Red && w.bar()->value() == 1);
        press(w, "cbBind");
        press(w, "cbBind");
        QVERIFY(!w.conversation().armed() && looks().startsWith(QStringLiteral("Disconnect 1 NO FILE 0 1")));
        QCOMPARE(s.sent(),
                 (QList<QByteArray>{"MDB 16,OOTi\r\n", "MDB 16,OOT:020000040000FA\r\n", "MDB 16,OOTi\r\n"}));
    }

    void connectFailures_data() {
        QTest::addColumn<QString>("remotePort"); // empty: the peer's, with the local port taken
        for (const char* port : {"", "abc", "70000", "99999999999"})
            QTest::newRow(*port ? port : "local port taken") << QString(port);
    }

    void connectFailures() {
        QFETCH(QString, remotePort);
        Rig r;
        UP_config& w = *r.w;
        LoopbackPeer peer;
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::Any, 0));
        control<QComboBox>(w, "ComboRemoteIP")->setEditText(QStringLiteral("127.0.0.1"));
        r.setPorts(remotePort.isEmpty() ? QString::number(peer.port()) : remotePort,
                   remotePort.isEmpty() ? QString::number(holder.localPort()) : QStringLiteral("0"));
        press(w, "cbBind");
        QVERIFY(!w.isConnected() && linkShownLost(w) &&
                w.udpSocket().state() == UdpSocketControl::StateClosed);
        QCOMPARE(control<QPushButton>(w, "cbBind")->text(), QStringLiteral("Connect"));
        QVERIFY(r.boxes.isEmpty() && w.udpSocket().sentCount() == 0);
        QCOMPARE(w.bar()->barColor(), BarColor::Navy); // what the attempt did is not undone
        // The next press tries again from the start, the cache flush included.
        r.setPorts(QString::number(peer.port()), QStringLiteral("0"));
        press(w, "cbBind");
        QVERIFY(w.isConnected());
        QCOMPARE(r.launched.size(), 2);
        QCOMPARE(peer.take(1), QList<QByteArray>{"MDB 16,OOTi\r\n"});
    }

    // A literal is known at once; a name only once looked up. Until then nothing of a transfer
    // can be sent or armed: the open button waits for the answer, as does the connect's request.
    void remoteHosts_data() {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("answer"); // "-": the system looks it up; "": not found
        // clang-format off
        const char* const rows[][3] = {
            {"IPv4 address", "127.0.0.1", "-"}, {"IPv6 address", "::1", "-"}, {"name, by the system", "localhost", "-"},
            {"name answered late", "device.example", "127.0.0.1"}, {"name not found", "device.example", ""},
            {"disconnected while looking up", "device.example", "127.0.0.1 after disconnect"}};
        // clang-format on
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]);
    }

    void remoteHosts() {
        QFETCH(QString, host);
        QFETCH(QString, answer);
        QUdpSocket peer;
        if (!peer.bind(QHostAddress(host == "::1" ? host : QStringLiteral("127.0.0.1")), 0))
            QSKIP("no such loopback address here");
        Rig r;
        UP_config& w = *r.w;
        r.holdLookups = answer != "-";
        int dialogs = 0;
        r.nextFile = r.write("fw.hex", ":020000040000FA\r\n:00000001FF\r\n");
        r.connectTo(host, peer.localPort(), true);
        QVERIFY(w.isConnected());
        QCOMPARE(control(w, "Command3")->isEnabled(), !QHostAddress(host).isNull());
        if (r.holdLookups) {
            // The operator is quick: the button does nothing yet, and nothing goes out.
            QObject::connect(control<QPushButton>(w, "Command3"), &QPushButton::clicked, [&] { ++dialogs; });
            press(w, "Command3");
            QVERIFY(dialogs == 0 && w.udpSocket().sentCount() == 0 && !w.sendCommand("OOTi\r\n"));
            if (answer.endsWith("after disconnect")) {
                press(w, "cbBind");
                r.answerLookups({QHostAddress(answer.section(' ', 0, 0))});
                QVERIFY(!control(w, "Command3")->isEnabled() && w.udpSocket().sentCount() == 0);
                return;
            }
            r.answerLookups(answer.isEmpty() ? QList<QHostAddress>{}
                                             : QList<QHostAddress>{QHostAddress(answer)});
        }
        QVERIFY(runUntil([&] { return control(w, "Command3")->isEnabled(); }, 10000));
        if (answer.isEmpty()) { // every send fails until the next connect; the session stays open
            QVERIFY(!w.sendCommand(QStringLiteral("OOTi\r\n")) && w.isConnected() &&
                    w.udpSocket().sentCount() == 0);
            return;
        }
        QVERIFY(runUntil([&] { return peer.hasPendingDatagrams(); }));
        const QNetworkDatagram request = peer.receiveDatagram();
        QCOMPARE(request.data(), QByteArray("MDB 16,OOTi\r\n"));
        // The device's answer reaches the window, whatever form its address takes, and meets no
        // armed transfer; the load then starts with its first line.
        QSignalSpy arrivals(&w.udpSocket(), &UdpSocketControl::dataArrival);
        peer.writeDatagram("VELTA BOOT VER=2.10\r\n", request.senderAddress(), quint16(request.senderPort()));
        QVERIFY(runUntil([&] { return arrivals.count() == 1; }));
        QCOMPARE(w.lastReply(), QStringLiteral("VELTA BOOT VER=2.10\r\n"));
        QCOMPARE(w.udpSocket().sentCount(), 1u);
        press(w, "Command3");
        QVERIFY(runUntil([&] { return peer.hasPendingDatagrams(); }));
        QCOMPARE(peer.receiveDatagram().data(), QByteArray("MDB 16,OOT:020000040000FA\r\n"));
    }

    void onlyTheDeviceIsHeard() {
        Session s;
        QSignalSpy spy(&s.w->udpSocket(), &UdpSocketControl::dataArrival);
        s.w->watchdogTick();
        // Outsiders on another address: not shown, not dispatched, no sign of life.
        LoopbackPeer outsider(QStringLiteral("127.0.0.2"));
        for (int i = 0; i < 2; ++i)
            outsider.sendTo(s.w->udpSocket().localPort(), "DOWNLOAD\r\n");
        // The device answering from another port (a gateway may) is heard.
        LoopbackPeer gatewayPort;
        gatewayPort.sendTo(s.w->udpSocket().localPort(), "from the gateway");
        // The outsiders' datagrams came first: once the device's is taken, theirs were read too.
        QVERIFY(runUntil([&] { return spy.count() >= 1; }));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(s.w->lastReply(), QStringLiteral("from the gateway"));
        QCOMPARE(s.w->bar()->text(), QStringLiteral("NO FILE"));
        QCOMPARE(s.w->linkSilence(), qint16(1));
        // Replies may come from anyone only where the device is a broadcast or multicast address.
        const QStringList groups{"255.255.255.255", "224.0.0.1", "239.255.0.7", "ff02::1"};
        for (const QString& a : groups + QStringList{"127.0.0.1", "192.168.1.25", "::1"})
            QCOMPARE(isGroupAddress(QHostAddress(a)), groups.contains(a));
        for (const QNetworkInterface& nic : QNetworkInterface::allInterfaces())
            for (const QNetworkAddressEntry& e : nic.addressEntries())
                QVERIFY(e.broadcast().isNull() || isGroupAddress(e.broadcast()));
    }

    void buttons_data() { addRows(ButtonRows); }
    void buttons() {
        const ButtonRow& r = ButtonRows[fetchRow()];
        const QString button = r.button, entry = QString::fromUtf8(r.entry);
        Session s(r.gateway);
        control<QLineEdit>(*s.w, "Text9")->setText(r.address);
        control<QLineEdit>(*s.w, button == "Command1" ? "Text10" : "Text11")->setText(entry);
        QTest::mouseClick(control<QPushButton>(*s.w, r.button), Qt::LeftButton);
        QCOMPARE(s.sent(), *r.wire ? QList<QByteArray>{r.wire} : QList<QByteArray>{});
        const bool sends = button == "Command10" || button == "Command6";
        QCOMPARE(control<QLineEdit>(*s.w, "Text11")->text().isEmpty(),
                 sends || entry.isEmpty() || button == "Command1");
        QCOMPARE(s.w->linkSilence(), qint16(button == "Command5" ? 50 : 0)); // the device restarts
        // Closed: the six that go through the send procedures send nothing, "Send Device" still
        // clears its entry; "Send" keeps it for a later try.
        press(*s.w, "cbBind");
        control<QLineEdit>(*s.w, "Text11")->setText(QStringLiteral("kept?"));
        QTest::mouseClick(control<QPushButton>(*s.w, r.button), Qt::LeftButton);
        QVERIFY(s.sent().isEmpty());
        QCOMPARE(control<QLineEdit>(*s.w, "Text11")->text().isEmpty(), button == "Command10");
    }

    void receivePath() {
        Session s;
        UP_config& w = *s.w;
        s.reply({"first   "});
        QCOMPARE(w.consoleText() + '|' + w.receivedDatagram() + '|' + w.lastReply(),
                 QStringLiteral("\r\n\r\n\r\n\r\n\r\nfirst|first   |first"));
        // The widget catches up within a frame, caret at the end.
        auto* console = control<QPlainTextEdit>(w, "Text3");
        QTRY_COMPARE(console->toPlainText(), QStringLiteral("\n\n\n\n\nfirst"));
        QCOMPARE(console->textCursor().position(), console->toPlainText().size());
        // A burst is taken datagram by datagram; only spaces are trimmed; any bytes will do.
        QByteArray binary;
        for (int i = 0; i < 256; ++i)
            binary += char(i);
        s.reply({"n1", "VER=1 \t \r\n", QByteArray(), QByteArray("\0\0OK\0", 5), binary,
                 QByteArray(65507, 'A'), "last"});
        QCOMPARE(w.consoleText(),
                 QStringLiteral("VER=1 \t \r\n\r\n\r\n") + QString::fromLatin1("\0\0OK\0", 5) + "\r\n" +
                     QString::fromLatin1(binary) + "\r\n" + QString(65507, 'A') + "\r\nlast");
        QCOMPARE(w.replyHistory().at(5), QStringLiteral("VER=1 \t \r\n"));
        w.flushScreen();
        // Still alive; the gateway settings are read at every send.
        control<QLineEdit>(w, "Text9")->setText(QStringLiteral("7"));
        w.requestVersion();
        control<QCheckBox>(w, "Check1")->setChecked(false);
        w.requestVersion();
        QCOMPARE(s.sent(), (QList<QByteArray>{"MDC 7,\"VER\"\r\n", "VER\r\n"}));
        QVERIFY(!w.sendCommand(QString(70000, 'x'))); // more than one datagram can hold
    }

    // The same reply over and over (a transfer's "OK") leaves the console as it is, not laid out
    // again; whatever the operator did to it meanwhile is undone by the next reply, as by any.
    void consoleFollowsRepeatedReplies_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<bool>("laidOutAgain");
        for (const char* a : {"nothing", "types", "moves the caret", "selects", "scrolls", "scrolls up"})
            QTest::newRow(a) << QString(a) << (QByteArray(a) != "nothing");
    }
    void consoleFollowsRepeatedReplies() {
        QFETCH(QString, action);
        QFETCH(bool, laidOutAgain);
        Session s;
        UP_config& w = *s.w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* console = control<QPlainTextEdit>(w, "Text3");
        const QByteArray line = "OK " + QByteArray(150, 'k'); // wider than the console
        s.reply(QList<QByteArray>(6, line));
        w.flushScreen();
        const QString shown = console->toPlainText();
        const int scrolled = console->horizontalScrollBar()->value(),
                  scrolledDown = console->verticalScrollBar()->value();
        // The end of the newest in sight.
        QVERIFY(scrolled > 0 && scrolledDown > 0 && console->textCursor().atEnd());
        if (action == "types") { // over the last letter: the caret stays where it was
            QTest::keyClick(console, Qt::Key_Left);
            QTest::keyClick(console, Qt::Key_End, Qt::ShiftModifier);
            QTest::keyClicks(console, QStringLiteral("X"));
        } else if (action == "moves the caret") {
            QTest::keyClick(console, Qt::Key_Left);
        } else if (action == "selects") {
            QTest::keyClick(console, Qt::Key_Left); // the caret back at the end, a letter selected
            QTest::keyClick(console, Qt::Key_End, Qt::ShiftModifier);
        } else if (action == "scrolls") {
            console->horizontalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
        } else if (action == "scrolls up") {
            console->verticalScrollBar()->triggerAction(QAbstractSlider::SliderToMinimum);
        }
        QSignalSpy layouts(console->document(), &QTextDocument::contentsChange);
        s.reply({line});
        w.flushScreen();
        QCOMPARE(layouts.isEmpty(), !laidOutAgain);
        QCOMPARE(console->toPlainText(), shown);
        QVERIFY(console->textCursor().atEnd() && !console->textCursor().hasSelection());
        QCOMPARE(console->horizontalScrollBar()->value(), scrolled);
        QCOMPARE(console->verticalScrollBar()->value(), scrolledDown);
    }

    void watchdog() {
        Session s;
        UP_config& w = *s.w;
        s.reply({"x"});
        for (int i = 0; i < 49; ++i)
            w.watchdogTick();
        QVERIFY(!linkShownLost(w)); // 49 ticks after a datagram: still alive
        w.watchdogTick();
        for (int i = 0; i < 40000; ++i) // however long the silence, the count stays in its range
            w.watchdogTick();
        QVERIFY(linkShownLost(w) && w.linkSilence() == 51);
        s.reply({"y"}); // arriving while lost: the picture changes only at the next tick
        QVERIFY(w.linkSilence() == 1 && linkShownLost(w));
        w.watchdogTick();
        QVERIFY(!linkShownLost(w));
        w.startDevice(); // the device restarts: the next silent tick shows lost
        w.watchdogTick();
        QVERIFY(linkShownLost(w));
    }
};

QTEST_MAIN(TestWindowLink)
#include "test_window_link.moc"
