// Loading HEX files and the passes the device's replies drive: scripted replies from a stand-in,
// and whole transfers against the simulator, also when it drops, refuses or delays, and while
// outsiders flood the window's port.
#include "intel_hex.h"
#include "simulator_process.h"
#include "synthetic_hex.h"
#include "window_rig.h"

#include <QFile>
#include <QRandomGenerator>

#include <sys/stat.h>

namespace {
// Distinct, plausible record lines; the window does not judge them.
QByteArray record(int n) {
    return ":02" + QByteArray::number(0x1000 + n, 16).toUpper() + "00ABCD00";
}

QByteArray hexFile(int lines) {
    QByteArray out;
    for (int i = 1; i <= lines; ++i)
        out += record(i) + "\r\n";
    return out;
}

QString write(const ScratchFolder& folder, const QString& name, const QByteArray& content) {
    QFile f(folder.file(name));
    if (!f.open(QIODevice::WriteOnly) || f.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(f.fileName()));
    return f.fileName();
}

bool sameImage(const QByteArray& a, const QString& path) {
    QFile f(path);
    const auto x = loadHexFile(a), y = loadHexFile(f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray());
    return std::holds_alternative<HexImage>(x) && std::holds_alternative<HexImage>(y) &&
           std::get<HexImage>(x) == std::get<HexImage>(y) && !std::get<HexImage>(x).isEmpty();
}
} // namespace

class TestWindowTransfer : public QObject {
    Q_OBJECT

private slots:
    // Events: Ln loads a file of n records, C cancels the dialog, <text is a reply ("_" a blank).
    // The trace: what went out after each event (Dk / Vk: record k in download or verify form,
    // "." nothing), then the bar's text, colour, value, and whether the transfer is armed and in
    // the verify pass.
    void scripts_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("trace");
        const char* const rows[][3] = {
            {"whole transfer", "L3 <OK <OK <DOWNLOAD_OK <OK <OK <DOWNLOAD <OK", "D1 D2 D3 V1 V2 V3 . . END green 3 0 0"},
            {"OK to the last line starts the pass over", "L2 <OK <OK", "D1 D2 D1 DOWNLOAD navy 1 1 0"},
            {"one line", "L1 <OK", "D1 D1 DOWNLOAD navy 1 1 0"},
            {"ERROR, then OK goes on", "L4 <ERROR_OK <OK <ok", "D1 . D2 . DOWNLOAD red 2 1 0"},
            {"ERROR in the verify pass", "L2 <DOWNLOAD <ERROR <OK", "D1 V1 . V2 ERROR red 2 1 1"},
            {"DOWNLOAD while idle", "<DOWNLOAD <VER=2_DOWNLOAD <OK", ". . . END green 0 0 0"},
            {"cancel in the verify pass", "L3 <DOWNLOAD C <OK", "D1 V1 . D2 DOWNLOAD navy 2 1 0"},
            {"shorter second file", "L5 L2 <OK <OK", "D1 D1 D2 D1 DOWNLOAD navy 1 1 0"},
            {"load in the verify pass", "L3 <DOWNLOAD <OK L2", "D1 V1 V2 D1 DOWNLOAD navy 1 1 0"},
            {"answers to other commands", "L3 <VER=2.1_ERROR <STATUS_IDLE", "D1 D2 . DOWNLOAD navy 2 1 0"},
            {"empty file", "L0 <OK", ". . READY navy 0 0 0"},
        };
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]);
    }

    void scripts() {
        QFETCH(QString, script);
        Session s(false);
        UP_config& w = *s.w;
        QStringList trace;
        QByteArray lastSent;
        int file = 0;
        for (const QString& event : script.split(' ')) {
            if (event.startsWith('L')) {
                s.fake.nextFile = write(s.folder, QString::number(++file), hexFile(event.mid(1).toInt()));
                w.openAndDownload();
            } else if (event == "C") {
                s.fake.nextFile.reset();
                w.openAndDownload();
            } else {
                s.reply({event.mid(1).replace('_', ' ').toLatin1()});
            }
            QStringList sent;
            for (QByteArray d : s.peer.take(30)) {
                lastSent = d;
                const bool verify = d.contains('#');
                const int n = d.replace('#', ':').mid(3).trimmed().mid(3, 4).toInt(nullptr, 16) - 0x1000;
                sent << QStringLiteral("%1%2").arg(verify ? 'V' : 'D').arg(n);
            }
            trace << (sent.isEmpty() ? QStringLiteral(".") : sent.join(','));
        }
        const QMap<quint32, QString> colours{{BarColor::Navy, "navy"}, {BarColor::Red, "red"}, {BarColor::Green, "green"}};
        trace << w.bar()->text() << colours.value(w.bar()->barColor()) << QString::number(w.bar()->value())
              << QString::number(w.transfer.armed) << QString::number(w.transfer.verifyPhase);
        QTEST(trace.join(' '), "trace");
        // The last line sent is kept in the form it went out.
        QCOMPARE(w.lastSentLine, QString::fromLatin1(lastSent.mid(3).chopped(lastSent.isEmpty() ? 0 : 2)));
    }

    void loadAndCancel() {
        Session s(false);
        UP_config& w = *s.w;
        s.fake.nextFile = write(s.folder, "max.hex", hexFile(9000));
        w.openAndDownload();
        QCOMPARE(QStringLiteral("%1 %2 %3 %4").arg(w.transfer.lineCount).arg(w.loadedLineCount).arg(w.bar()->max()).arg(w.bar()->text()),
                 QStringLiteral("9000 9000 9000 DOWNLOAD"));
        QCOMPARE(s.peer.take(), QList<QByteArray>{"OOT" + record(1) + "\r\n"});
        for (const std::optional<QString>& cancel : {std::optional<QString>(), std::optional<QString>(QString())}) {
            s.fake.nextFile = cancel; // cancelled, or an empty name
            w.openAndDownload();
        }
        QCOMPARE(s.fake.boxes.size(), 2);
        QCOMPARE(s.fake.boxes[0].text + '|' + s.fake.boxes[0].title, QStringLiteral("Cancel|"));
        QCOMPARE(s.fake.boxes[0].icon, MessageIcon::None);
        QCOMPARE(w.bar()->text(), QStringLiteral("DOWNLOAD"));
    }

    void loadFailures_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("box");
        QTest::newRow("missing") << "absent.hex" << "Error#53 File not found";
        QTest::newRow("no such folder") << "no/x.hex" << "Error#76 Path not found";
        QTest::newRow("a folder") << "." << "Error#75 Path/File access error";
        QTest::newRow("a FIFO, never waited on") << "fifo" << "Error#75 Path/File access error";
        QTest::newRow("9001 lines") << "9001" << "Error#9 Subscript out of range";
        QTest::newRow("an entry of more than 1 MiB") << "long" << "Error#7 Out of memory";
    }

    void loadFailures() {
        QFETCH(QString, kind);
        Session s(false);
        s.fake.nextFile = write(s.folder, "fw.hex", hexFile(5));
        s.w->openAndDownload();
        s.reply({"OK"});
        s.peer.take();
        QString path = s.folder.file(kind);
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == "9001")
            path = write(s.folder, "over.hex", hexFile(9001));
        else if (kind == "long")
            path = write(s.folder, "long.hex", hexFile(3) + QByteArray(1024 * 1024 + 1, 'F'));
        s.fake.nextFile = path;
        s.w->openAndDownload();
        QCOMPARE(s.fake.boxes.size(), 1);
        QTEST(s.fake.boxes[0].title + ' ' + s.fake.boxes[0].text, "box");
        QCOMPARE(s.fake.boxes[0].icon, MessageIcon::Critical);
        // The earlier load stays stored but is stopped for good: no reply sends a line now.
        QCOMPARE(QStringLiteral("%1 %2 %3 %4").arg(s.w->transfer.armed).arg(s.w->transfer.linePos)
                     .arg(s.w->transfer.lineCount).arg(s.w->bar()->text()),
                 QStringLiteral("0 0 5 NO FILE"));
        QCOMPARE(s.w->lastReply + s.w->loadedLineCount, QStringLiteral("OK5"));
        s.reply({"OK", "VER=1"});
        QVERIFY(s.peer.take().isEmpty());
    }

    // Whole transfers against the simulator: "--drop-every" and "--error-at-line" are its faults;
    // "flood" has outsiders flood the window's port meanwhile.
    void againstTheSimulator_data() {
        QTest::addColumn<int>("lines"); // 0: the sample firmware
        QTest::addColumn<bool>("gateway");
        QTest::addColumn<QString>("fault");
        QTest::newRow("sample firmware, gateway") << 0 << true << "";
        QTest::newRow("sample firmware, direct, slow device") << 0 << false << "--delay-ms 20";
        QTest::newRow("9000 lines") << 9000 << true << "";
        QTest::newRow("3000 lines, outsiders flood the port") << 3000 << true << "flood";
        QTest::newRow("a reply lost: the window waits") << 0 << true << "--drop-every 3";
        QTest::newRow("ERROR at line 3: red until an OK") << 0 << true << "--error-at-line 3";
    }

    void againstTheSimulator() {
        QFETCH(int, lines);
        QFETCH(bool, gateway);
        QFETCH(QString, fault);
        ScratchFolder folder;
        QFile sample(QStringLiteral(VELTA_SOURCE_DIR "/demo/blink.hex"));
        const QByteArray content = lines ? syntheticHexFile(lines) : (sample.open(QIODevice::ReadOnly) ? sample.readAll() : "");
        const QString image = folder.file("received.hex");
        SimulatorProcess sim(VELTA_DEVSIM, QStringList{"--image-out", image, "--quiet"} +
                                               (fault.startsWith("--") ? fault.split(' ') : QStringList()));
        QVERIFY(sim.port());
        FakeServices fake;
        UP_config w(fake.services());
        w.show();
        control<QComboBox>(w, "ComboRemoteIP")->setEditText(QStringLiteral("127.0.0.1"));
        control<QCheckBox>(w, "Check1")->setChecked(gateway);
        w.remotePort = QString::number(sim.port());
        w.localPort = QStringLiteral("0");
        w.connectOrDisconnect();
        QVERIFY(runUntil([&] { return w.lastReply.contains("VER="); }));
        QTimer flood;
        QRandomGenerator rng(20261207);
        LoopbackPeer outsider(QStringLiteral("127.0.0.2")), device;
        int flooded = 0;
        QObject::connect(&flood, &QTimer::timeout, [&] { // keyword soup, empty and maximal datagrams
            static const char* const words[] = {"OK", "DOWNLOAD", "ERROR", "VER=", ""};
            for (int i = 0; i < 100 && flooded < 10000; ++i, ++flooded)
                outsider.sendTo(w.udpSocket().localPort(),
                                flooded % 1000 == 0 ? QByteArray(65507, 'O') : QByteArray(words[rng.bounded(5)]));
        });
        if (fault == "flood")
            flood.start(1);
        fake.nextFile = write(folder, "fw.hex", content);
        w.openAndDownload();
        const auto bar = [&] { return w.bar()->text(); };
        if (fault.contains("drop")) {
            // Datagram 3 (line 2) is lost: no time-out and no resend, the watchdog shows the link
            // lost, and any "OK" from the device moves it on.
            QVERIFY(runUntil([&] { return w.bar()->value() == 2; }));
            QVERIFY(!runUntil([&] { return w.bar()->value() > 2; }, 300));
            while (w.linkSilence < 50)
                w.watchdogTick();
            w.watchdogTick();
            QVERIFY(!control(w, "YesConnect")->isVisibleTo(&w));
            device.sendTo(w.udpSocket().localPort(), "OK");
            QVERIFY(runUntil([&] { return w.bar()->value() >= 4; }));
            w.watchdogTick();
            QVERIFY(control(w, "YesConnect")->isVisibleTo(&w));
            return;
        } else if (fault.contains("error")) {
            QVERIFY(runUntil([&] { return bar() == "ERROR"; }));
            QVERIFY(!runUntil([&] { return w.bar()->value() != 3; }, 300));
            QCOMPARE(w.bar()->barColor(), BarColor::Red);
            // A later "OK" goes on with line 4; line 3 was never stored, so the verify pass
            // stops there with the device's own complaint.
            device.sendTo(w.udpSocket().localPort(), "OK");
            QVERIFY(runUntil([&] { return w.lastReply.startsWith("ERROR VERIFY"); }));
            QVERIFY(w.transfer.verifyPhase && w.bar()->value() == 3 && bar() == "ERROR");
            return;
        }
        QVERIFY(runUntil([&] { return bar() == "END"; }, 60000));
        QVERIFY(fault != "flood" || flooded == 10000);
        QCOMPARE(w.bar()->barColor(), BarColor::Green);
        QCOMPARE(w.bar()->value(), int(w.transfer.lineCount));
        QVERIFY(fake.boxes.isEmpty());
        QVERIFY(sameImage(content, image));
    }
};

QTEST_MAIN(TestWindowTransfer)
#include "test_window_transfer.moc"
