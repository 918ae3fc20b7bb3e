// The window and a device: connect, who the window hears, what every button sends, the receive
// path, the watchdog; loading HEX files and the passes replies drive, scripted and against the
// simulator under a flood.
#include "simulator_process.h"
#include "synthetic_hex.h"
#include "window_rig.h"

#include "net/addresses.h"

#include <QFile>
#include <QNetworkInterface>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextDocument>

#include <sys/stat.h>

namespace {
bool linkShownLost(UP_config& w) {
    return control(w, "NoConnect")->isVisibleTo(&w) && !control(w, "YesConnect")->isVisibleTo(&w);
}

// What a press sends, given the gateway address (Text9) and the entry (Text11) or new address (Text10).
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
// A host to connect to; the answer to its look-up ("-": the system looks it up; "": not found);
// a remote port refused first ("taken": the local port).
const struct HostRow { const char *name, *host, *answer, *refused; } HostRows[] = {
    {"IPv4 address", "127.0.0.1", "-", ""}, {"IPv6 address", "::1", "-", ""},
    {"name, by the system", "localhost", "-", ""}, {"name answered late", "device.example", "127.0.0.1", ""},
    {"name not found", "device.example", "", ""},
    {"disconnected while looking up", "device.example", "127.0.0.1 after disconnect", ""},
    {"remote port abc", "127.0.0.1", "-", "abc"}, {"remote port 70000", "127.0.0.1", "-", "70000"},
    {"remote port 99999999999", "127.0.0.1", "-", "99999999999"}, {"local port taken", "127.0.0.1", "-", "taken"}};
// What the operator did to the console: < Left, > Shift+End, X typed; h, v a bar to its start.
const struct TouchRow { const char *name, *keys; } TouchRows[] = {
    {"nothing", ""}, {"types over the last letter", "<>X"}, {"moves the caret", "<"}, {"selects", "<>"}, {"scrolls", "h"}, {"scrolls up", "v"}};
// Events: Ln loads n records, Fname a failing file ("fifo", "long", "big": made so), C cancels (E: empty
// name), <text a reply ("_" a blank). Trace: what went out after each (Dk / Vk: record k to
// download or verify, "." nothing), the bar's text, colour, value, armed, verifying, boxes.
const struct ScriptRow { const char *name, *script, *trace; } ScriptRows[] = {
    {"whole transfer", "L3 <OK <OK <DOWNLOAD_OK <OK <OK <DOWNLOAD <OK", "D1 D2 D3 V1 V2 V3 . . END green 3/3 0 0 -"},
    {"OK to the last line starts the pass over", "L2 <OK <OK", "D1 D2 D1 DOWNLOAD navy 1/2 1 0 -"},
    {"a file of one line", "L1 <DOWNLOAD <DOWNLOAD", "D1 V1 . END green 1/1 0 0 -"},
    {"ERROR, then OK goes on", "L4 <ERROR_OK <OK <ok", "D1 . D2 . DOWNLOAD red 2/4 1 0 -"},
    {"ERROR in the verify pass", "L2 <DOWNLOAD <ERROR <OK", "D1 V1 . V2 ERROR red 2/2 1 1 -"},
    {"DOWNLOAD while idle", "<DOWNLOAD <VER=2_DOWNLOAD <OK", ". . . END green 0/100 0 0 -"},
    {"cancel in the verify pass", "L3 <DOWNLOAD C E <OK", "D1 V1 . . D2 DOWNLOAD navy 2/3 1 0 : Cancel,: Cancel"},
    {"shorter second file", "L5 L2 <OK <OK", "D1 D1 D2 D1 DOWNLOAD navy 1/2 1 0 -"},
    {"load in the verify pass", "L3 <DOWNLOAD <OK L2", "D1 V1 V2 D1 DOWNLOAD navy 1/2 1 0 -"},
    {"9000 lines", "L9000 <OK", "D1 D2 DOWNLOAD navy 2/9000 1 0 -"},
    {"empty file", "L0 <OK", ". . READY navy 0/0 0 0 -"},
    {"not opened: missing, in the verify pass; the earlier load from line 1", "L5 <DOWNLOAD <OK Fabsent.hex <OK <VER=1", "D1 V1 V2 . D1 D2 DOWNLOAD navy 2/5 1 0 !Error#53: File not found"},
    {"not opened: no such folder", "L5 <OK Fno/x.hex <OK", "D1 D2 . D1 DOWNLOAD navy 1/5 1 0 !Error#76: Path not found"},
    {"not opened: a folder; still armed", "L5 <OK F.", "D1 D2 . NO FILE navy 2/5 1 0 !Error#75: Path/File access error"},
    {"not opened: a FIFO, never waited on", "L5 <OK Ffifo <OK", "D1 D2 . D1 DOWNLOAD navy 1/5 1 0 !Error#75: Path/File access error"},
    {"fails part way: 9001 lines; the earlier load stops", "L5 <OK L9001 <OK", "D1 D2 . . NO FILE navy 2/5 0 0 !Error#9: Subscript out of range"},
    {"a line too big for a datagram: the bar moves on, nothing goes", "Fbig <OK <OK", "D1 D2 . DOWNLOAD navy 3/3 1 0 -"},
    {"the last line not sent: a later OK sends line 1", "Fbig <OK <OK <OK", "D1 D2 . D1 DOWNLOAD navy 1/3 1 0 -"},
    {"fails part way: an entry of more than 1 MiB", "L5 <OK Flong <OK", "D1 D2 . . NO FILE navy 2/5 0 0 !Error#7: Out of memory"}};
// clang-format on
// Distinct, plausible record lines; the window does not judge them.
QByteArray hexFile(int lines) {
    QByteArray out;
    for (int i = 1; i <= lines; ++i)
        out += ":02" + QByteArray::number(0x1000 + i, 16).toUpper() + "00ABCD00\r\n";
    return out;
}
} // namespace

class TestWindowDevice : public QObject {
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
        w.requestBootInfo();
        QVERIFY(s.sent().isEmpty()); // nothing goes out while closed
    }

    // A name is looked up; until then nothing goes out. A refused connect shows closed; a press retries.
    void remoteHosts_data() { addRows(HostRows); }
    void remoteHosts() {
        const HostRow& row = HostRows[fetchRow()];
        const QString host = row.host, answer = row.answer, refused = row.refused;
        QUdpSocket peer, holder;
        if (!peer.bind(QHostAddress(host == "::1" ? host : QStringLiteral("127.0.0.1")), 0))
            QSKIP("no such loopback address here");
        QVERIFY(holder.bind(QHostAddress::Any, 0));
        Rig r;
        UP_config& w = *r.w;
        r.holdLookups = answer != "-";
        if (!refused.isEmpty()) { // the bar's colour: what the attempt did is not undone
            const bool taken = refused == "taken";
            r.connectTo(host, taken ? QString::number(peer.localPort()) : refused, true,
                        QString::number(taken ? holder.localPort() : 0));
            QCOMPARE(joined(w.isConnected(), linkShownLost(w), w.udpSocket().state(), r.boxes.size(),
                            w.udpSocket().sentCount(), control<QPushButton>(w, "cbBind")->text(),
                            w.bar()->barColor() == BarColor::Navy),
                     "0 1 0 0 0 Connect 1");
        }
        r.connectTo(host, QString::number(peer.localPort()));
        QVERIFY(w.isConnected());
        QCOMPARE(r.launched.size(), refused.isEmpty() ? 1 : 2); // each press flushes the cache
        QCOMPARE(control(w, "Command3")->isEnabled(), !QHostAddress(host).isNull());
        if (r.holdLookups) { // the open button is off (above); the connect's request waits too
            QVERIFY(w.udpSocket().sentCount() == 0 && !w.sendCommand("OOTi\r\n"));
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
        // The answer reaches the window, whatever its address's form, and meets no armed transfer.
        QSignalSpy arrivals(&w.udpSocket(), &UdpSocketControl::dataArrival);
        peer.writeDatagram("VELTA BOOT VER=2.10\r\n", request.senderAddress(), quint16(request.senderPort()));
        QVERIFY(runUntil([&] { return arrivals.count() == 1; }));
        QCOMPARE(w.lastReply(), QStringLiteral("VELTA BOOT VER=2.10\r\n"));
        QCOMPARE(w.udpSocket().sentCount(), 1u);
    }

    void buttons_data() { addRows(ButtonRows); }
    void buttons() {
        const ButtonRow& r = ButtonRows[fetchRow()];
        const QString button = r.button, entry = QString::fromUtf8(r.entry);
        Session s(r.gateway);
        UP_config& w = *s.w;
        control<QLineEdit>(w, "Text9")->setText(r.address);
        control<QLineEdit>(w, button == "Command1" ? "Text10" : "Text11")->setText(entry);
        press(w, r.button);
        QCOMPARE(s.sent(), *r.wire ? QList<QByteArray>{r.wire} : QList<QByteArray>{});
        // The two that send the entry clear it; at Install the device restarts.
        const bool cleared =
            button == "Command10" || button == "Command6" || entry.isEmpty() || button == "Command1";
        QCOMPARE(joined(control<QLineEdit>(w, "Text11")->text().isEmpty(), w.linkSilence()),
                 joined(cleared, button == "Command5" ? 50 : 0));
        // Closed: nothing is sent; "Send Device" still clears its entry, "Send" keeps it for a later try.
        press(w, "cbBind");
        control<QLineEdit>(w, "Text11")->setText(QStringLiteral("kept?"));
        press(w, r.button);
        QVERIFY(s.sent().isEmpty());
        QCOMPARE(control<QLineEdit>(w, "Text11")->text().isEmpty(), button == "Command10");
    }

    // What the device sends is shown; outsiders are not heard; the watchdog counts the silence.
    void receivePath() {
        Session s;
        UP_config& w = *s.w;
        s.reply({"first   "});
        QCOMPARE(w.consoleText() + '|' + w.receivedDatagram() + '|' + w.lastReply(),
                 QStringLiteral("\r\n\r\n\r\n\r\n\r\nfirst|first   |first"));
        // The widget catches up within a frame, by itself.
        QTRY_COMPARE(control<QPlainTextEdit>(w, "Text3")->toPlainText(), QStringLiteral("\n\n\n\n\nfirst"));
        // A burst is taken datagram by datagram; only spaces are trimmed; any bytes will do.
        QByteArray binary;
        for (int i = 0; i < 256; ++i)
            binary += char(i);
        s.reply({"n1", "VER=1 \t \r\n", QByteArray(), QByteArray("\0\0OK\0", 5), binary,
                 QByteArray(65507, 'A'), "last"});
        QCOMPARE(w.consoleText(),
                 QStringLiteral("VER=1 \t \r\n\r\n\r\n") + QString::fromLatin1("\0\0OK\0", 5) + "\r\n" +
                     QString::fromLatin1(binary) + "\r\n" + QString(65507, 'A') + "\r\nlast");
        w.flushScreen();
        // Still alive; the gateway settings are read at every send.
        control<QLineEdit>(w, "Text9")->setText(QStringLiteral("7"));
        w.requestVersion();
        control<QCheckBox>(w, "Check1")->setChecked(false);
        w.requestVersion();
        QCOMPARE(s.sent(), (QList<QByteArray>{"MDC 7,\"VER\"\r\n", "VER\r\n"}));
        QVERIFY(!w.sendCommand(QString(70000, 'x'))); // more than one datagram can hold
        QSignalSpy spy(&w.udpSocket(), &UdpSocketControl::dataArrival);
        // Outsiders on another address: not shown, not dispatched, no sign of life.
        LoopbackPeer outsider(QStringLiteral("127.0.0.2"));
        for (int i = 0; i < 2; ++i)
            outsider.sendTo(w.udpSocket().localPort(), "DOWNLOAD\r\n");
        // The device answering from another port (a gateway may) is heard.
        LoopbackPeer gatewayPort;
        gatewayPort.sendTo(w.udpSocket().localPort(), "from the gateway");
        // The outsiders' datagrams came first: once the device's is taken, theirs were read too.
        QVERIFY(runUntil([&] { return spy.count() >= 1; }));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(w.lastReply(), QStringLiteral("from the gateway"));
        QCOMPARE(w.bar()->text(), QStringLiteral("NO FILE"));
        QCOMPARE(w.linkSilence(), qint16(1));
        // Replies may come from anyone only where the device is a broadcast or multicast address.
        const QStringList groups{"255.255.255.255", "224.0.0.1", "239.255.0.7", "ff02::1"};
        for (const QString& a : groups + QStringList{"127.0.0.1", "192.168.1.25", "::1"})
            QCOMPARE(isGroupAddress(QHostAddress(a)), groups.contains(a));
        for (const QNetworkInterface& nic : QNetworkInterface::allInterfaces())
            for (const QNetworkAddressEntry& e : nic.addressEntries())
                QVERIFY(e.broadcast().isNull() || isGroupAddress(e.broadcast()));
        // The watchdog, 1 after the device's datagram:
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

    // A repeated reply (a transfer's "OK") is not laid out again, unless the operator touched the console.
    void consoleFollowsRepeatedReplies_data() { addRows(TouchRows); }
    void consoleFollowsRepeatedReplies() {
        const QString keys = TouchRows[fetchRow()].keys;
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
        QVERIFY(scrolled > 0 && scrolledDown > 0 && console->textCursor().atEnd()); // the newest in sight
        const QHash<QChar, Qt::Key> keyOf{{'<', Qt::Key_Left}, {'>', Qt::Key_End}, {'X', Qt::Key_X}};
        for (const QChar k : keys) {
            if (k == 'h' || k == 'v')
                (k == 'h' ? console->horizontalScrollBar() : console->verticalScrollBar())
                    ->triggerAction(QAbstractSlider::SliderToMinimum);
            else // "<>": the caret back at the end, a letter selected; "X" types over it
                QTest::keyClick(console, keyOf.value(k), k == '>' ? Qt::ShiftModifier : Qt::NoModifier);
        }
        QSignalSpy layouts(console->document(), &QTextDocument::contentsChange);
        s.reply({line});
        w.flushScreen();
        QCOMPARE(layouts.isEmpty(), keys.isEmpty());
        QCOMPARE(console->toPlainText(), shown);
        QVERIFY(console->textCursor().atEnd() && !console->textCursor().hasSelection());
        QCOMPARE(console->horizontalScrollBar()->value(), scrolled);
        QCOMPARE(console->verticalScrollBar()->value(), scrolledDown);
    }

    void scripts_data() { addRows(ScriptRows); }
    void scripts() {
        const ScriptRow& row = ScriptRows[fetchRow()];
        const QString script = row.script;
        Session s(false);
        UP_config& w = *s.w;
        QStringList trace;
        int file = 0;
        const QMap<QString, QByteArray> made{{"long", hexFile(3) + QByteArray(1024 * 1024 + 1, 'F')},
                                             {"big", hexFile(2) + ':' + QByteArray(70000, '0')}};
        for (const QString& event : script.split(' ')) {
            const QString arg = event.mid(1);
            if (event[0] == '<') {
                s.reply({QString(arg).replace('_', ' ').toLatin1()});
            } else {
                if (event[0] == 'L')
                    s.nextFile = s.write(QString::number(++file), hexFile(arg.toInt()));
                else if (event[0] == 'F')
                    s.nextFile = made.contains(arg) ? s.write(arg, made[arg]) : s.file(arg);
                else
                    s.nextFile = event == "C" ? std::nullopt : std::optional<QString>(QString());
                if (arg == "fifo")
                    QCOMPARE(::mkfifo(QFile::encodeName(*s.nextFile).constData(), 0600), 0);
                press(w, "Command3");
            }
            QStringList sent;
            for (QByteArray d : s.sent()) {
                const bool verify = d.contains('#');
                const int n = d.replace('#', ':').mid(3).trimmed().mid(3, 4).toInt(nullptr, 16) - 0x1000;
                sent << QStringLiteral("%1%2").arg(verify ? 'V' : 'D').arg(n);
            }
            trace << (sent.isEmpty() ? QStringLiteral(".") : sent.join(','));
        }
        const QMap<quint32, QString> colours{
            {BarColor::Navy, "navy"}, {BarColor::Red, "red"}, {BarColor::Green, "green"}};
        trace << w.bar()->text() << colours.value(w.bar()->barColor())
              << QStringLiteral("%1/%2").arg(w.bar()->value()).arg(w.bar()->max())
              << joined(w.conversation().armed(), w.conversation().verifying())
              << (s.boxes.isEmpty() ? "-" : s.boxes.join(','));
        QCOMPARE(trace.join(' '), row.trace);
    }

    // Against the simulator while outsiders flood the port: the device's image is the file's. The
    // window waits for quick answers outside the event loop, yet the loop (the flood's timer) gets
    // its turn every few milliseconds, a few hundred lines at most here, while answers keep coming.
    void againstTheSimulatorUnderFlood() {
        Rig r(true);
        UP_config& w = *r.w;
        const QByteArray content = syntheticHexFile(9000);
        SimulatorProcess sim(VELTA_DEVSIM, {"--image-out", r.file("received.hex"), "--quiet"});
        r.connectTo(QStringLiteral("127.0.0.1"), QString::number(sim.port()));
        QVERIFY(runUntil([&] { return w.lastReply().contains("VER="); }));
        QTimer flood;
        LoopbackPeer outsider(QStringLiteral("127.0.0.2"));
        int flooded = 0;
        quint64 sentAtTurn = 0, mostBetweenTurns = 0; // lines sent between two turns of the loop
        QObject::connect(&flood, &QTimer::timeout, [&] {
            const quint64 sent = w.udpSocket().sentCount();
            mostBetweenTurns = std::max(mostBetweenTurns, sent - std::exchange(sentAtTurn, sent));
            static const char* const words[] = {"OK", "DOWNLOAD", "ERROR", "VER=", ""};
            for (int i = 0; i < 100 && flooded < 10000; ++i, ++flooded)
                outsider.sendTo(w.udpSocket().localPort(), flooded % 1000 == 0
                                                               ? QByteArray(65507, 'O')
                                                               : QByteArray(words[flooded % 5]));
        });
        flood.start(1);
        r.nextFile = r.write("fw.hex", content);
        press(w, "Command3");
        QVERIFY(runUntil([&] { return w.bar()->text() == "END" && flooded == 10000; }, 60000));
        QVERIFY2(r.boxes.isEmpty() && mostBetweenTurns < 2000, qPrintable(QString::number(mostBetweenTurns)));
        QCOMPARE(joined(w.bar()->barColor() == BarColor::Green, w.bar()->value()), "1 9000");
        QFile image(r.file("received.hex"));
        QVERIFY(image.open(QIODevice::ReadOnly) && hexFileImage(image.readAll()) == hexFileImage(content));
    }
};

QTEST_MAIN(TestWindowDevice)
#include "test_window_device.moc"
