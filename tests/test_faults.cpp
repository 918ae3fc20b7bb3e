// The window against a misbehaving device and a hostile network, end to end: the simulator
// drops replies, answers "ERROR", answers slowly, and strangers flood the window's port.
#include "intel_hex.h"
#include "synthetic_hex.h"
#include "simulator_process.h"
#include "test_support.h"

#include <QFile>
#include <QLabel>
#include <QRandomGenerator>

namespace {
struct SimSession {
    ScratchFolder folder;
    FakeServices fake;
    QString hexPath = folder.file(QStringLiteral("fw.hex"));
    QString imagePath = folder.file(QStringLiteral("received.hex"));
    Simulator sim;
    std::unique_ptr<UP_config> w;
    QUdpSocket stranger;
    QByteArray content;

    SimSession(const QStringList& simArgs, const QByteArray& hex) : sim(imagePath, simArgs), content(hex) {
        QFile f(hexPath);
        if (!f.open(QIODevice::WriteOnly) || f.write(hex) != hex.size())
            qFatal("cannot write the HEX file");
        f.close();
        stranger.bind(QHostAddress(QHostAddress::LocalHost), 0);
        w = std::make_unique<UP_config>(fake.services());
        w->findChild<QComboBox*>(QStringLiteral("ComboRemoteIP"))->setEditText(QStringLiteral("127.0.0.1"));
        w->tbRemotePort = QString::number(sim.port());
        w->tbLocalPort = QStringLiteral("0");
        w->cbBind_Click();
    }
    bool connected() { return sim.port() != 0 && w->Connected == 1; }
    void start() {
        fake.nextFile = hexPath;
        w->Command3_Click();
    }
    void fromStranger(const QByteArray& d) {
        stranger.writeDatagram(d, QHostAddress(QHostAddress::LocalHost), w->winsock().localPort());
    }
    // Lets the loop run for a while; what the window does in that time is up to the datagrams.
    void settle(int ms) {
        runUntil([] { return false; }, ms);
    }
    bool imageMatches() {
        QFile f(imagePath);
        if (!f.open(QIODevice::ReadOnly))
            return false;
        const auto sent = loadHexFile(content);
        const auto got = loadHexFile(f.readAll());
        return std::holds_alternative<HexImage>(got) && std::holds_alternative<HexImage>(sent) &&
               std::get<HexImage>(got) == std::get<HexImage>(sent);
    }
    bool lost() {
        return w->findChild<QLabel*>(QStringLiteral("NoConnect"))->isVisibleTo(w.get()) &&
               !w->findChild<QLabel*>(QStringLiteral("YesConnect"))->isVisibleTo(w.get());
    }
};

QByteArray sampleFile() {
    QFile f(QStringLiteral(VELTA_SOURCE_DIR "/demo/blink.hex"));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

class TestFaults : public QObject {
    Q_OBJECT

private slots:
    void droppedReplyWaitsThenGoesOnWithOk();
    void errorAtLineStopsUntilOk();
    void slowRepliesStillComplete();
    void strangersFloodDuringTransfer();
};

void TestFaults::droppedReplyWaitsThenGoesOnWithOk() {
    // Datagram 1 is the boot-information request, 2 is line 1; the 3rd (line 2) is lost.
    SimSession s({"--drop-every", "3"}, sampleFile());
    QVERIFY(s.connected());
    QVERIFY(runUntil([&] { return s.w->Text8.contains(QStringLiteral("VER=")); }, 5000));
    s.start();
    QVERIFY(runUntil([&] { return s.w->progressBar()->value() == 2; }, 5000));
    s.settle(300);
    QCOMPARE(s.w->progressBar()->value(), 2); // no time-out, no resend: it waits
    QCOMPARE(s.w->Transfer.TransferArmed, qint16(1));
    // The real timer has been ticking too; count on from wherever it stands.
    while (s.w->LinkSilence < 50)
        s.w->Timer1_Timer();
    QVERIFY(!s.lost());
    s.w->Timer1_Timer();
    QVERIFY(s.lost());
    // Any "OK" moves it on with the next line, and the device answers that one again.
    s.fromStranger("OK");
    QVERIFY(runUntil([&] { return s.w->progressBar()->value() >= 4; }, 5000));
    s.w->Timer1_Timer();
    QVERIFY(!s.lost());
}

void TestFaults::errorAtLineStopsUntilOk() {
    SimSession s({"--error-at-line", "3"}, sampleFile());
    QVERIFY(s.connected());
    QVERIFY(runUntil([&] { return s.w->Text8.contains(QStringLiteral("VER=")); }, 5000));
    s.start();
    QVERIFY(runUntil([&] { return s.w->progressBar()->text() == QStringLiteral("ERROR"); }, 5000));
    QCOMPARE(s.w->progressBar()->barColor(), 255u);
    QCOMPARE(s.w->progressBar()->value(), 3);
    const QString sentLast = s.w->Text4;
    s.settle(300);
    QCOMPARE(s.w->progressBar()->value(), 3);
    QCOMPARE(s.w->Text4, sentLast);
    // A later "OK" goes on with line 4; the device never stored line 3, so the verify pass
    // stops there with the device's own complaint.
    s.fromStranger("OK");
    QVERIFY(runUntil([&] { return s.w->Text8.startsWith(QStringLiteral("ERROR VERIFY")); }, 5000));
    QCOMPARE(s.w->Transfer.VerifyPhase, qint16(1));
    QCOMPARE(s.w->progressBar()->value(), 3);
    QCOMPARE(s.w->progressBar()->text(), QStringLiteral("ERROR"));
    QCOMPARE(s.w->progressBar()->barColor(), 255u);
}

void TestFaults::slowRepliesStillComplete() {
    SimSession s({"--delay-ms", "40"}, sampleFile());
    QVERIFY(s.connected());
    QVERIFY(runUntil([&] { return s.w->Text8.contains(QStringLiteral("VER=")); }, 5000));
    int ticks = 0;
    QObject::connect(&s.w->timer1(), &QTimer::timeout, [&] { ++ticks; });
    s.start();
    QVERIFY(runUntil([&] { return s.w->progressBar()->text() == QStringLiteral("END"); }, 30000));
    QVERIFY(s.imageMatches());
    // The window kept serving its own timer while it waited for each reply.
    QVERIFY(ticks >= 1);
}

void TestFaults::strangersFloodDuringTransfer() {
    SimSession s({}, syntheticHexFile(3000));
    QVERIFY(s.connected());
    QVERIFY(runUntil([&] { return s.w->Text8.contains(QStringLiteral("VER=")); }, 5000));
    // Foreign traffic without any of the reply keywords: random bytes kept clear of capital
    // letters, empty datagrams and datagrams of the largest size.
    QRandomGenerator rng(20261206);
    auto noise = [&](int size) {
        QByteArray d(size, '\0');
        for (char& c : d) {
            c = char(rng.bounded(256));
            if (c >= 'A' && c <= 'Z')
                c = char(c + 32);
        }
        return d;
    };
    int sent = 0;
    QTimer flood;
    flood.setInterval(1);
    QObject::connect(&flood, &QTimer::timeout, [&] {
        for (int i = 0; i < 100 && sent < 10000; ++i, ++sent) {
            if (sent % 1000 == 0)
                s.fromStranger(noise(65507));
            else if (sent % 10 == 0)
                s.fromStranger(QByteArray());
            else
                s.fromStranger(noise(int(rng.bounded(1, 200))));
        }
        if (sent >= 10000)
            flood.stop();
    });
    s.start();
    flood.start();
    QVERIFY(runUntil([&] { return s.w->progressBar()->text() == QStringLiteral("END"); }, 120000));
    QCOMPARE(sent, 10000);
    // Every line the window sent was a line the rules send, in order: the device's image and its
    // verify pass agree with the file.
    QVERIFY(s.imageMatches());
    QCOMPARE(s.w->progressBar()->barColor(), 65280u);
    s.w->flushScreen();
}

QTEST_MAIN(TestFaults)
#include "test_faults.moc"
