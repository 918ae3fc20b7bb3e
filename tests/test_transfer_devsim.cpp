// Whole transfers through the window against the device simulator on loopback; the image the
// device received must equal the file.
#include "intel_hex.h"
#include "synthetic_hex.h"
#include "simulator_process.h"
#include "test_support.h"

#include <QFile>

class TestTransferDevsim : public QObject {
    Q_OBJECT

private slots:
    void wholeTransfer_data();
    void wholeTransfer();
};

void TestTransferDevsim::wholeTransfer_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("gateway");
    QFile sample(QStringLiteral(VELTA_SOURCE_DIR "/demo/blink.hex"));
    QVERIFY(sample.open(QIODevice::ReadOnly));
    const QByteArray blink = sample.readAll();
    QTest::newRow("sample firmware, gateway") << blink << true;
    QTest::newRow("sample firmware, direct") << blink << false;
    const QByteArray big = syntheticHexFile(9000);
    QCOMPARE(big.count('\n'), 9000);
    QVERIFY(std::holds_alternative<HexImage>(loadHexFile(big)));
    QTest::newRow("9000 lines") << big << true;
}

void TestTransferDevsim::wholeTransfer() {
    QFETCH(QByteArray, content);
    QFETCH(bool, gateway);
    ScratchFolder folder;
    const QString hexPath = folder.file(QStringLiteral("fw.hex"));
    const QString imagePath = folder.file(QStringLiteral("received.hex"));
    {
        QFile f(hexPath);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(content);
    }
    Simulator sim(imagePath);
    QVERIFY2(sim.port() != 0, "the simulator did not start");

    FakeServices fake;
    UP_config w(fake.services());
    w.show();
    w.findChild<QComboBox*>(QStringLiteral("ComboRemoteIP"))->setEditText(QStringLiteral("127.0.0.1"));
    w.findChild<QCheckBox*>(QStringLiteral("Check1"))->setChecked(gateway);
    w.tbRemotePort = QString::number(sim.port());
    w.tbLocalPort = QStringLiteral("0");
    w.cbBind_Click();
    QCOMPARE(w.Connected, qint16(1));
    // Let the boot-information reply pass before the file goes, as an operator would.
    QVERIFY(runUntil([&] { return w.Text8.contains(QStringLiteral("VER=")); }, 5000));

    fake.nextFile = hexPath;
    w.Command3_Click();
    QVERIFY(runUntil([&] { return w.progressBar()->text() == QStringLiteral("END"); }, 120000));
    QCOMPARE(w.progressBar()->barColor(), 65280u);
    QCOMPARE(w.progressBar()->value(), int(w.Transfer.LineCount));
    QVERIFY(fake.boxes.isEmpty());

    QFile received(imagePath);
    QVERIFY(received.open(QIODevice::ReadOnly));
    const auto sent = loadHexFile(content);
    const auto got = loadHexFile(received.readAll());
    QVERIFY(std::holds_alternative<HexImage>(sent));
    QVERIFY(std::holds_alternative<HexImage>(got));
    QVERIFY(!std::get<HexImage>(got).isEmpty());
    QVERIFY(std::get<HexImage>(got) == std::get<HexImage>(sent));
}

QTEST_MAIN(TestTransferDevsim)
#include "test_transfer_devsim.moc"
