// Loading HEX files and the passes replies drive: scripted, and against the simulator under a flood.
#include "simulator_process.h"
#include "synthetic_hex.h"
#include "window_rig.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>

#include <sys/stat.h>

namespace {
// Distinct, plausible record lines; the window does not judge them.
QByteArray hexFile(int lines) {
    QByteArray out;
    for (int i = 1; i <= lines; ++i)
        out += ":02" + QByteArray::number(0x1000 + i, 16).toUpper() + "00ABCD00\r\n";
    return out;
}
} // namespace

class TestWindowTransfer : public QObject {
    Q_OBJECT

private slots:
    // Events: Ln loads n records, Fname a failing file ("fifo", "long": made so), C cancels (E: empty
    // name), <text a reply ("_" a blank). Trace: what went out after each (Dk / Vk: record k to
    // download or verify, "." nothing), the bar's text, colour, value, armed, verifying, boxes.
    void scripts_data() {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("trace");
        // clang-format off
        const char* const rows[][3] = {
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
            {"load fails: missing, the earlier load stops", "L5 <OK Fabsent.hex <OK <VER=1", "D1 D2 . . . NO FILE navy 2/5 0 0 !Error#53: File not found"},
            {"load fails: no such folder", "L5 <OK Fno/x.hex <OK", "D1 D2 . . NO FILE navy 2/5 0 0 !Error#76: Path not found"},
            {"load fails: a folder", "L5 <OK F. <OK", "D1 D2 . . NO FILE navy 2/5 0 0 !Error#75: Path/File access error"},
            {"load fails: a FIFO, never waited on", "L5 <OK Ffifo <OK", "D1 D2 . . NO FILE navy 2/5 0 0 !Error#75: Path/File access error"},
            {"load fails: 9001 lines", "L5 <OK L9001 <OK", "D1 D2 . . NO FILE navy 2/5 0 0 !Error#9: Subscript out of range"},
            {"load fails: an entry of more than 1 MiB", "L5 <OK Flong <OK", "D1 D2 . . NO FILE navy 2/5 0 0 !Error#7: Out of memory"}};
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
            const QString arg = event.mid(1);
            if (event[0] == '<') {
                s.reply({QString(arg).replace('_', ' ').toLatin1()});
            } else {
                if (event[0] == 'L')
                    s.nextFile = s.write(QString::number(++file), hexFile(arg.toInt()));
                else if (event[0] == 'F')
                    s.nextFile = arg == "long" ? s.write(arg, hexFile(3) + QByteArray(1024 * 1024 + 1, 'F'))
                                               : s.file(arg);
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
        QTEST(trace.join(' '), "trace");
    }

    // The real dialog takes a typed name of a file that does not exist, as any typed name.
    void typedIntoTheRealDialog() {
        Session s(false);
        s.realDialog = true;
        QString dialogLooks;
        QTimer operatorTypes;
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
            QTest::keyClicks(edit, s.file("typed.hex"));
            QTest::keyClick(dialog->windowHandle(), Qt::Key_Return);
        });
        operatorTypes.start(10);
        press(*s.w, "Command3");
        QCOMPARE(dialogLooks + ' ' + s.boxes.join(','), "Open &Open !Error#53: File not found");
    }

    // Against the simulator while outsiders flood the port: the device's image is the file's.
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
        QObject::connect(&flood, &QTimer::timeout, [&] {
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
        QVERIFY(r.boxes.isEmpty());
        QCOMPARE(joined(w.bar()->barColor() == BarColor::Green, w.bar()->value()), "1 9000");
        QFile image(r.file("received.hex"));
        QVERIFY(image.open(QIODevice::ReadOnly) && hexFileImage(image.readAll()) == hexFileImage(content));
    }
};

QTEST_MAIN(TestWindowTransfer)
#include "test_window_transfer.moc"
