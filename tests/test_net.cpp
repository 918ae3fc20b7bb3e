// The sockets against loopback peers: the bytes and senders they report, what they refuse, and
// how they wait.
#include "loopback_peer.h"
#include "simulator_process.h"
#include "table.h"

#include "net/addresses.h"
#include "net/datagram_socket.h"
#include "net/udp_socket_control.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

class TestNet : public QObject {
    Q_OBJECT
private slots:
    void exchanges_data() {
        QTest::addColumn<bool>("v6");
        QTest::addColumn<QString>("device");
        QTest::newRow("IPv4") << false << "127.0.0.1";
        QTest::newRow("IPv6") << true << "::1";
        QTest::newRow("IPv6 to an IPv4 device") << true << "127.0.0.1";
    }

    void exchanges() {
        QFETCH(bool, v6);
        QFETCH(QString, device);
        LoopbackPeer peer(device);
        DatagramSocket socket;
        if (!peer.port() ||
            !socket.bind(v6 ? QAbstractSocket::IPv6Protocol : QAbstractSocket::IPv4Protocol, 0))
            QSKIP("no IPv6 on this host");
        QCOMPARE(socket.writeDatagram("OOTi\r\n", QHostAddress(device), peer.port()), 6);
        QVERIFY(peer.socket.waitForReadyRead(1000));
        const QNetworkDatagram sent = peer.socket.receiveDatagram();
        QCOMPARE(joined(sent.data(), sent.senderPort()), joined("OOTi\r\n", socket.localPort()));
        QSignalSpy ready(&socket, &DatagramSocket::readyRead);
        for (const char* reply : {"OK\r\n", "VER=2.10\r\n", "late\r\n"})
            peer.socket.writeDatagram(reply, QHostAddress(device), socket.localPort());
        QVERIFY(ready.wait(2000));
        char buffer[8];
        QHostAddress from;
        quint16 fromPort = 0;
        QCOMPARE(socket.readDatagram(buffer, sizeof buffer, &from, &fromPort), 4);
        QCOMPARE(QByteArray(buffer, 4), QByteArray("OK\r\n"));
        QVERIFY2(isFromDevice(from, QHostAddress(device)) && fromPort == peer.port(),
                 qPrintable(from.toString()));
        QCOMPARE(socket.readDatagram(buffer, sizeof buffer), 8); // cut to the buffer
        // A socket nobody reads any more must not keep the event loop busy.
        socket.setReadNotificationEnabled(false);
        const auto raised = ready.count();
        QCoreApplication::processEvents();
        QVERIFY(ready.count() == raised && socket.hasPendingDatagrams());
        QCOMPARE(socket.readDatagram(buffer, sizeof buffer), 6);
        QCOMPARE(socket.readDatagram(buffer, sizeof buffer), -1);
        QCOMPARE(socket.error(), QAbstractSocket::TemporaryError);
        QElapsedTimer clock; // a wait in vain lasts its time, in the receiving call or on the timer
        clock.start();
        for (const bool precise : {false, true})
            QVERIFY(socket.waitDatagram(buffer, sizeof buffer, nullptr, nullptr, 30000, precise) < 0 &&
                    socket.error() == QAbstractSocket::SocketTimeoutError);
        QVERIFY(clock.elapsed() >= 60);
    }

    void refuses() {
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
        DatagramSocket socket;
        const auto taken = socket.bind(QAbstractSocket::IPv4Protocol, holder.localPort());
        QVERIFY(!taken && taken.failure().cause == Failure::Cause::AddressInUse);
        QVERIFY(socket.error() == QAbstractSocket::AddressInUseError && !socket.errorString().isEmpty() &&
                !socket.isOpen());
        QCOMPARE(socket.writeDatagram("x", QHostAddress::LocalHost, 111), -1);
        QVERIFY(socket.bind(QAbstractSocket::IPv4Protocol, 0));
        // An IPv4 socket cannot reach an IPv6 address: refused, nothing sent.
        QCOMPARE(socket.writeDatagram("x", QHostAddress::LocalHostIPv6, 111), -1);
        QCOMPARE(socket.error(), QAbstractSocket::UnsupportedSocketOperationError);
        // A broadcast goes out only where allowed (the window lets an operator address one).
        const QHostAddress loopbackBroadcast("127.255.255.255");
        QCOMPARE(socket.writeDatagram("x", loopbackBroadcast, socket.localPort()), -1);
        socket.allowBroadcast();
        QCOMPARE(socket.writeDatagram("x", loopbackBroadcast, socket.localPort()), 1);
        const quint16 first = socket.localPort();
        QVERIFY(socket.bind(QAbstractSocket::IPv4Protocol, 0));
        const quint16 second = socket.localPort();
        socket.close();
        QVERIFY(!socket.isOpen() && socket.localPort() == 0);
        // Freed by a new bind, by close(), by the destructor.
        for (const quint16 port : {first, second, second})
            QVERIFY(DatagramSocket().bind(QAbstractSocket::IPv4Protocol, port));
    }

    // The window's socket waits for a quick answer outside the event loop, yet takes each device
    // datagram once and in order, shows no outsider, and gives the loop its turn within
    // milliseconds while a device in another process keeps answering at once.
    void answersTakenAtOnce() {
        for (const bool outsider : {false, true}) { // before each answer, a datagram that ends the wait
            constexpr int Answers = 2000;
            SimulatorProcess device(VELTA_DEVSIM, {"--quiet"});
            LoopbackPeer stranger(QStringLiteral("127.0.0.2"));
            UdpSocketControl control;
            control.setRemoteHost("127.0.0.1");
            QVERIFY(control.setRemotePort(device.port()) && control.bind("0"));
            const auto ask = [&](int n) { // the device answers "ADDR SET" and the number
                if (outsider)
                    stranger.sendTo(control.localPort(), "DOWNLOAD\r\n");
                return control.sendData(QString::asprintf("OOT$%02X\r\n", n % 256));
            };
            QList<QByteArray> got;
            int answersBeforeTurn = -1; // answers taken when the event loop first had its turn
            QEventLoop loop;            // a real loop: QTest's waits sleep between rounds
            connect(&control, &UdpSocketControl::dataArrival, &loop, [&] {
                got << control.getData().toLatin1();
                if (got.size() == 1)
                    QTimer::singleShot(0, &loop, [&] { answersBeforeTurn = int(got.size()); });
                if (got.size() < Answers)
                    ask(int(got.size()));
                else
                    loop.quit();
            });
            QTimer::singleShot(20000, &loop, &QEventLoop::quit); // bounds a failing run
            QVERIFY(ask(0));
            loop.exec();
            QCOMPARE(got.size(), Answers);
            for (int n = 0; n < Answers; ++n)
                QCOMPARE(QString(got[n]), QString::asprintf("ADDR SET %02X\r\n", n % 256));
            QVERIFY2(answersBeforeTurn > 0 && answersBeforeTurn < Answers,
                     qPrintable(QString::number(answersBeforeTurn)));
        }
    }
};

QTEST_GUILESS_MAIN(TestNet)
#include "test_net.moc"
