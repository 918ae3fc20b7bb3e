// Loading HEX files and the passes the device's replies drive: scripted replies from a stand-in,
// and a whole transfer against the simulator while outsiders flood the window's port.
#include "simulator_process.h"
#include "synthetic_hex.h"
#include "window_rig.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
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
} // namespace

class TestWindowTransfer : public QObject {
    Q_OBJECT

private slots:
    // Events: Ln loads a file of n records, C cancels the dialog (E: with an empty name), <text is
    // a reply ("_" a blank). The trace: what went out after each event (Dk / Vk: record k in
    // download or verify form, "." nothing), then the bar's text, colour, value, whether the
    // transfer is armed and in the verify pass, and the message boxes shown.
    void scripts_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("trace");
        // clang-format off
        const char* const rows[][3] = {
            {"whole transfer", "L3 <OK <OK <DOWNLOAD_OK <OK <OK <DOWNLOAD <OK", "D1 D2 D3 V1 V2 V3 . . END green 3/3 0 0 -"},
            {"OK to the last line starts the pass over", "L2 <OK <OK", "D1 D2 D1 DOWNLOAD navy 1/2 1 0 -"},
            {"ERROR, then OK goes on", "L4 <ERROR_OK <OK <ok", "D1 . D2 . DOWNLOAD red 2/4 1 0 -"},
            {"ERROR in the verify pass", "L2 <DOWNLOAD <ERROR <OK", "D1 V1 . V2 ERROR red 2/2 1 1 -"},
            {"DOWNLOAD while idle", "<DOWNLOAD <VER=2_DOWNLOAD <OK", ". . . END green 0/100 0 0 -"},
            {"cancel in the verify pass", "L3 <DOWNLOAD C E <OK", "D1 V1 . . D2 DOWNLOAD navy 2/3 1 0 : Cancel,: Cancel"},
            {"shorter second file", "L5 L2 <OK <OK", "D1 D1 D2 D1 DOWNLOAD navy 1/2 1 0 -"},
            {"load in the verify pass", "L3 <DOWNLOAD <OK L2", "D1 V1 V2 D1 DOWNLOAD navy 1/2 1 0 -"},
            {"9000 lines", "L9000 <OK", "D1 D2 DOWNLOAD navy 2/9000 1 0 -"},
            {"empty file", "L0 <OK", ". . READY navy 0/0 0 0 -"}};
        // clang-format on
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QString(r[1]) << QString(r[2]);
    }

    void scripts() {
        QFETCH(QString, script);
        Session s(false);
        UP_config& w = *s.w;
        QStringList trace;
        int file = 0;
        for (const QString& event : script.split(' ')) {
            if (event.startsWith('L')) {
                s.nextFile = s.write(QString::number(++file), hexFile(event.mid(1).toInt()));
                press(w, "Command3");
            } else if (event == "C" || event == "E") {
                s.nextFile = event == "C" ? std::nullopt : std::optional<QString>(QString());
                press(w, "Command3");
            } else {
                s.reply({event.mid(1).replace('_', ' ').toLatin1()});
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
        QTEST(trace.join(' '), "trace");
    }

    void loadFailures_data() {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QStringList>("boxes");
        // clang-format off
        const char* const rows[][3] = {
            {"missing", "absent.hex", "!Error#53: File not found"}, {"no such folder", "no/x.hex", "!Error#76: Path not found"},
            {"a missing file typed into the real dialog", "typed.hex", "!Error#53: File not found"},
            {"a folder", ".", "!Error#75: Path/File access error"}, {"a FIFO, never waited on", "fifo", "!Error#75: Path/File access error"},
            {"9001 lines", "9001", "!Error#9: Subscript out of range"}, {"an entry of more than 1 MiB", "long", "!Error#7: Out of memory"}};
        // clang-format on
        for (const auto& r : rows)
            QTest::newRow(r[0]) << QString(r[1]) << QStringList{r[2]};
    }

    void loadFailures() {
        QFETCH(QString, kind);
        Session s(false);
        s.nextFile = s.write("fw.hex", hexFile(5));
        press(*s.w, "Command3");
        s.reply({"OK"});
        (void)s.sent();
        QString path = s.file(kind);
        if (kind == "fifo")
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        else if (kind == "9001")
            path = s.write("over.hex", hexFile(9001));
        else if (kind == "long")
            path = s.write("long.hex", hexFile(3) + QByteArray(1024 * 1024 + 1, 'F'));
        s.nextFile = path;
        QString dialogLooks;
        QTimer operatorTypes;
        if (kind == "typed.hex") {
            // The name of a file that does not exist is taken, as any typed name is.
            s.realDialog = true;
            QObject::connect(&operatorTypes, &QTimer::timeout, [&] {
                auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
                auto* edit = dialog ? dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")) : nullptr;
                if (!edit || !edit->isVisible())
                    return;
                operatorTypes.stop();
                dialogLooks = dialog->windowTitle() + ' ' +
                              dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Open)->text();
                // Keys as the window system delivers them, to the dialog the operator looks at.
                QApplication::setActiveWindow(dialog);
                edit->setFocus();
                QTest::keyClicks(edit, path);
                QTest::keyClick(dialog->windowHandle(), Qt::Key_Return);
            });
            operatorTypes.start(10);
        }
        press(*s.w, "Command3");
        QTEST(s.boxes, "boxes");
        QCOMPARE(dialogLooks, QString(kind == "typed.hex" ? "Open &Open" : ""));
        // The earlier load stays stored but is stopped for good: no reply sends a line now.
        const WindowConversation& c = s.w->conversation();
        QCOMPARE(joined(c.armed(), c.linePos(), c.lineCount(), s.w->bar()->text(), s.w->lastReply()),
                 "0 0 5 NO FILE OK");
        s.reply({"OK", "VER=1"});
        QVERIFY(s.sent().isEmpty());
    }

    // A whole transfer against the simulator while outsiders flood the window's port with
    // keyword soup, empty and maximal datagrams: the device's image is the file's.
    void againstTheSimulatorUnderFlood() {
        Rig r(true);
        UP_config& w = *r.w;
        const QByteArray content = syntheticHexFile(9000);
        SimulatorProcess sim(VELTA_DEVSIM, {"--image-out", r.file("received.hex"), "--quiet"});
        r.connectTo(QStringLiteral("127.0.0.1"), sim.port());
        QVERIFY(runUntil([&] { return w.lastReply().contains("VER="); }));
        QTimer flood;
        QRandomGenerator rng(20261207);
        LoopbackPeer outsider(QStringLiteral("127.0.0.2"));
        int flooded = 0;
        QObject::connect(&flood, &QTimer::timeout, [&] {
            static const char* const words[] = {"OK", "DOWNLOAD", "ERROR", "VER=", ""};
            for (int i = 0; i < 100 && flooded < 10000; ++i, ++flooded)
                outsider.sendTo(w.udpSocket().localPort(), flooded % 1000 == 0
                                                               ? QByteArray(65507, 'O')
                                                               : QByteArray(words[rng.bounded(5)]));
        });
        flood.start(1);
        r.nextFile = r.write("fw.hex", content);
        press(w, "Command3");
        QVERIFY(runUntil([&] { return w.bar()->text() == "END" && flooded == 10000; }, 60000));
        QVERIFY(r.boxes.isEmpty());
        QCOMPARE(joined(w.bar()->barColor() == BarColor::Green, w.bar()->value()), "1 9000");
        QFile image(r.file("received.hex"));
        QVERIFY(image.open(QIODevice::ReadOnly) && hexFileImage(image.readAll()) == hexFileImage(content));
    }
};

QTEST_MAIN(TestWindowTransfer)
#include "test_window_transfer.moc"
