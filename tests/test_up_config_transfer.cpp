// Loading HEX files and the download and verify passes driven by the device's replies,
// with a real device stand-in on loopback.
#include "test_support.h"

#include <QFile>
#include <QPushButton>

#include <sys/stat.h>

namespace {
QByteArray record(int n) {
    // Distinct, plausible record lines; their content is not judged by the window.
    return ":02" + QByteArray::number(0x1000 + n, 16).toUpper().rightJustified(4, '0') + "00ABCD00";
}

QByteArray hexFile(int lines, const QByteArray& ending = "\r\n") {
    QByteArray out;
    for (int i = 1; i <= lines; ++i)
        out += record(i) + ending;
    return out;
}

struct TransferSession : Session {
    TransferSession() : Session(false) {}

    QString write(const QString& name, const QByteArray& content) {
        const QString path = folder.file(name);
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            qFatal("cannot write %s", qPrintable(path));
        f.write(content);
        return path;
    }
    void load(const QString& path) {
        fake.nextFile = path;
        w->Command3_Click();
    }
    // Delivers a reply and waits for the window to have handled it.
    void reply(const QByteArray& r) {
        QSignalSpy spy(&w->winsock(), &UdpSocketControl::dataArrival);
        deliver(r);
        QVERIFY(waitArrivals(spy, 1));
    }
    ProgressBar* bar() { return w->progressBar(); }
};
} // namespace

class TestUpConfigTransfer : public QObject {
    Q_OBJECT

private slots:
    void wholeTransfer();
    void lastLineThenOkResendsLineOne();
    void singleLineFile();
    void errorThenOk();
    void downloadWhileIdle();
    void cancelDialog();
    void cancelDuringVerifyContinuesInDownloadForm();
    void loadLimits();
    void loadFailures_data();
    void loadFailures();
    void emptyFileArmsNothing();
    void shorterSecondFileSendsOnlyItsLines();
    void fieldRulesAndBlankLines();
    void loadDuringVerifyRestarts();
    void replyToOperatorCommandMovesTransfer();
};

void TestUpConfigTransfer::wholeTransfer() {
    TransferSession s;
    const QString path = s.write("fw.hex", hexFile(3));
    s.load(path);
    QCOMPARE(s.fake.dialogFilters, QStringList{"HEX files (*.hex)|*.hex"});
    QCOMPARE(s.w->Transfer.LineCount, qint16(3));
    QCOMPARE(s.w->Text8, QStringLiteral("3"));
    QCOMPARE(s.bar()->max(), 3);
    QCOMPARE(s.bar()->text(), QStringLiteral("DOWNLOAD"));
    QCOMPARE(s.w->Transfer.TransferArmed, qint16(1));
    QCOMPARE(s.peer.takeOne(), "OOT" + record(1) + "\r\n");
    QCOMPARE(s.w->Text4, QString::fromLatin1(record(1)));
    QCOMPARE(s.bar()->value(), 1);

    s.reply("OK");
    QCOMPARE(s.peer.takeOne(), "OOT" + record(2) + "\r\n");
    s.reply("OK");
    QCOMPARE(s.peer.takeOne(), "OOT" + record(3) + "\r\n");
    QCOMPARE(s.w->Transfer.LinePos, qint16(0));
    QCOMPARE(s.bar()->value(), 3);

    // "DOWNLOAD" together with "OK" ends the pass rather than stepping.
    s.reply("DOWNLOAD OK");
    QCOMPARE(s.bar()->text(), QStringLiteral("VERIFY"));
    QCOMPARE(s.w->Transfer.VerifyPhase, qint16(1));
    QByteArray v1 = "OOT" + record(1) + "\r\n";
    v1.replace(':', '#');
    QCOMPARE(s.peer.takeOne(), v1);
    QCOMPARE(s.w->Text4.at(0), QLatin1Char('#'));
    s.reply("OK");
    s.reply("OK");
    QCOMPARE(s.peer.take().size(), 2);
    QCOMPARE(s.bar()->text(), QStringLiteral("VERIFY"));

    s.w->tbReceiveData = QStringLiteral("junk");
    s.w->findChild<QPushButton*>("Command3")->setEnabled(false);
    s.reply("DOWNLOAD");
    QCOMPARE(s.bar()->text(), QStringLiteral("END"));
    QCOMPARE(s.bar()->barColor(), 65280u);
    QCOMPARE(s.bar()->value(), 3);
    QCOMPARE(s.w->Transfer.TransferArmed, qint16(0));
    QCOMPARE(s.w->Transfer.VerifyPhase, qint16(0));
    QCOMPARE(s.w->Transfer.LinePos, qint16(0));
    QVERIFY(s.w->tbReceiveData.isEmpty());
    QVERIFY(s.w->findChild<QPushButton*>("Command3")->isEnabled());
    // Nothing more goes out, whatever the device says now.
    s.reply("OK");
    QVERIFY(s.peer.take(100).isEmpty());
}

void TestUpConfigTransfer::lastLineThenOkResendsLineOne() {
    TransferSession s;
    s.load(s.write("fw.hex", hexFile(2)));
    s.reply("OK");
    QCOMPARE(s.peer.take().size(), 2);
    s.reply("OK");
    QCOMPARE(s.peer.takeOne(), "OOT" + record(1) + "\r\n");
}

void TestUpConfigTransfer::singleLineFile() {
    TransferSession s;
    s.load(s.write("one.hex", hexFile(1)));
    QCOMPARE(s.peer.takeOne(), "OOT" + record(1) + "\r\n");
    QCOMPARE(s.w->Transfer.LinePos, qint16(0));
    QCOMPARE(s.bar()->value(), 1);
}

void TestUpConfigTransfer::errorThenOk() {
    TransferSession s;
    s.load(s.write("fw.hex", hexFile(4)));
    s.peer.take();
    // An error together with "OK" is an error: nothing goes out.
    s.reply("ERROR OK");
    QCOMPARE(s.bar()->text(), QStringLiteral("ERROR"));
    QCOMPARE(s.bar()->barColor(), 255u);
    QVERIFY(s.peer.take(100).isEmpty());
    // The next "OK" goes on with the line after the one answered with "ERROR".
    s.reply("OK");
    QCOMPARE(s.peer.takeOne(), "OOT" + record(2) + "\r\n");
    QCOMPARE(s.bar()->text(), QStringLiteral("DOWNLOAD"));
    QCOMPARE(s.bar()->barColor(), 255u);

    s.reply("OK");
    s.reply("OK");
    s.reply("DOWNLOAD");
    s.peer.take();
    s.reply("ERROR");
    s.reply("OK");
    QByteArray v2 = "OOT" + record(2) + "\r\n";
    v2.replace(':', '#');
    QCOMPARE(s.peer.takeOne(), v2);
    QCOMPARE(s.bar()->text(), QStringLiteral("ERROR"));
    // Lower-case "ok" matches nothing.
    s.reply("ok");
    QVERIFY(s.peer.take(100).isEmpty());
}

void TestUpConfigTransfer::downloadWhileIdle() {
    TransferSession s;
    s.reply("DOWNLOAD");
    QCOMPARE(s.bar()->text(), QStringLiteral("VERIFY"));
    QCOMPARE(s.w->Transfer.VerifyPhase, qint16(1));
    QVERIFY(s.peer.take(100).isEmpty());
    s.reply("VER=2 DOWNLOAD"); // not armed: the "DOWNLOAD" rules apply
    QCOMPARE(s.bar()->text(), QStringLiteral("END"));
    QCOMPARE(s.bar()->barColor(), 65280u);
    QVERIFY(s.peer.take(100).isEmpty());
}

void TestUpConfigTransfer::cancelDialog() {
    TransferSession s;
    s.fake.nextFile.reset();
    s.w->Transfer.VerifyPhase = 1;
    s.w->Command3_Click();
    QCOMPARE(s.fake.boxes.size(), 1);
    QCOMPARE(s.fake.boxes[0].text, QStringLiteral("Cancel"));
    QCOMPARE(s.fake.boxes[0].icon, MessageIcon::None);
    QCOMPARE(s.w->Transfer.VerifyPhase, qint16(0));
    QCOMPARE(s.bar()->text(), QStringLiteral("NO FILE"));
    QVERIFY(s.peer.take(100).isEmpty());
    // An empty name counts as cancelled too.
    s.fake.nextFile = QString();
    s.w->Command3_Click();
    QCOMPARE(s.fake.boxes.size(), 2);
}

void TestUpConfigTransfer::cancelDuringVerifyContinuesInDownloadForm() {
    TransferSession s;
    s.load(s.write("fw.hex", hexFile(3)));
    s.reply("DOWNLOAD");
    s.peer.take();
    s.fake.nextFile.reset();
    s.w->Command3_Click();
    s.reply("OK");
    QCOMPARE(s.peer.takeOne(), "OOT" + record(2) + "\r\n");
}

void TestUpConfigTransfer::loadLimits() {
    TransferSession s;
    s.load(s.write("max.hex", hexFile(9000)));
    QCOMPARE(s.w->Transfer.LineCount, qint16(9000));
    QCOMPARE(s.w->Text8, QStringLiteral("9000"));
    QCOMPARE(s.peer.takeOne(), "OOT" + record(1) + "\r\n");
    QVERIFY(s.fake.boxes.isEmpty());
}

void TestUpConfigTransfer::loadFailures_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("title");
    QTest::addColumn<QString>("text");
    QTest::newRow("missing") << "absent.hex" << "Error#53" << "File not found";
    QTest::newRow("no such folder") << "no/x.hex" << "Error#76" << "Path not found";
    QTest::newRow("a folder") << "." << "Error#75" << "Path/File access error";
    QTest::newRow("a FIFO, never opened for reading") << "fifo" << "Error#75" << "Path/File access error";
    QTest::newRow("9001 lines") << "9001" << "Error#9" << "Subscript out of range";
    QTest::newRow("an entry of more than 1 MiB") << "long" << "Error#7" << "Out of memory";
}

void TestUpConfigTransfer::loadFailures() {
    QFETCH(QString, kind);
    TransferSession s;
    s.load(s.write("fw.hex", hexFile(5)));
    s.reply("OK");
    s.peer.take();
    QString path = s.folder.file(kind);
    if (kind == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (kind == "9001")
        path = s.write("over.hex", hexFile(9001));
    else if (kind == "long")
        path = s.write("long.hex", hexFile(3) + QByteArray(1024 * 1024 + 1, 'F'));
    s.load(path);
    QCOMPARE(s.fake.boxes.size(), 1);
    QTEST(s.fake.boxes[0].title, "title");
    QTEST(s.fake.boxes[0].text, "text");
    QCOMPARE(s.fake.boxes[0].icon, MessageIcon::Critical);
    // The earlier load stays stored but is stopped for good: no reply sends a line now.
    QCOMPARE(s.w->Transfer.TransferArmed, qint16(0));
    QCOMPARE(s.w->Transfer.LinePos, qint16(0));
    QCOMPARE(s.w->Transfer.LineCount, qint16(5));
    QCOMPARE(s.w->Text8, QStringLiteral("OK"));
    QCOMPARE(s.bar()->text(), QStringLiteral("NO FILE"));
    s.reply("OK");
    s.reply("VER=1");
    QVERIFY(s.peer.take(100).isEmpty());
}

void TestUpConfigTransfer::emptyFileArmsNothing() {
    TransferSession s;
    for (const QByteArray& content : {QByteArray(), QByteArray("\r\n\r\n  \n")}) {
        s.load(s.write("empty.hex", content));
        QCOMPARE(s.w->Text8, QStringLiteral("0"));
        QCOMPARE(s.bar()->text(), QStringLiteral("READY"));
        QCOMPARE(s.w->Transfer.LineCount, qint16(0));
        QCOMPARE(s.w->Transfer.TransferArmed, qint16(0));
        s.reply("OK");
        QVERIFY(s.peer.take(100).isEmpty());
    }
    QVERIFY(s.fake.boxes.isEmpty());
}

void TestUpConfigTransfer::shorterSecondFileSendsOnlyItsLines() {
    TransferSession s;
    s.load(s.write("long.hex", hexFile(5)));
    s.load(s.write("short.hex", ":00000001FF\r\n:AA\r\n"));
    QCOMPARE(s.w->Transfer.LineCount, qint16(2));
    QList<QByteArray> got = s.peer.take();
    QCOMPARE(got.last(), QByteArray("OOT:00000001FF\r\n"));
    s.reply("OK");
    QCOMPARE(s.peer.takeOne(), QByteArray("OOT:AA\r\n"));
    s.reply("OK"); // the pass wraps to its own line 1, never to the older file's line 3
    QCOMPARE(s.peer.takeOne(), QByteArray("OOT:00000001FF\r\n"));
}

void TestUpConfigTransfer::fieldRulesAndBlankLines() {
    TransferSession s;
    s.load(s.write("odd.hex", ":01,:02\r\n\r\n\"  :03\"\n:04\r:05"));
    QCOMPARE(s.w->Transfer.LineCount, qint16(5));
    QCOMPARE(s.w->Transfer.LineStore[1], QStringLiteral(":01"));
    QCOMPARE(s.w->Transfer.LineStore[2], QStringLiteral(":02"));
    QCOMPARE(s.w->Transfer.LineStore[3], QStringLiteral("  :03"));
    QCOMPARE(s.w->Transfer.LineStore[4], QStringLiteral(":04"));
    QCOMPARE(s.w->Transfer.LineStore[5], QStringLiteral(":05"));
}

void TestUpConfigTransfer::loadDuringVerifyRestarts() {
    TransferSession s;
    s.load(s.write("a.hex", hexFile(3)));
    s.reply("DOWNLOAD");
    s.reply("OK");
    s.peer.take();
    s.load(s.write("b.hex", ":BB\r\n:CC\r\n"));
    QCOMPARE(s.peer.takeOne(), QByteArray("OOT:BB\r\n"));
    QCOMPARE(s.w->Transfer.VerifyPhase, qint16(0));
    QCOMPARE(s.bar()->text(), QStringLiteral("DOWNLOAD"));
}

void TestUpConfigTransfer::replyToOperatorCommandMovesTransfer() {
    TransferSession s;
    s.load(s.write("fw.hex", hexFile(3)));
    s.peer.take();
    s.w->Command9_Click();
    QCOMPARE(s.peer.takeOne(), QByteArray("VER\r\n"));
    // "VER=" while armed steps, even together with "ERROR".
    s.reply("VER=2.1 ERROR");
    QCOMPARE(s.peer.takeOne(), "OOT" + record(2) + "\r\n");
    QCOMPARE(s.bar()->text(), QStringLiteral("DOWNLOAD"));
    s.reply("STATUS IDLE");
    QVERIFY(s.peer.take(100).isEmpty());
}

QTEST_MAIN(TestUpConfigTransfer)
#include "test_up_config_transfer.moc"
