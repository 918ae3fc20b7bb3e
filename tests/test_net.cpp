// The sockets against loopback peers: the bytes and senders they report, what they refuse, and
// how they wait.
#include "loopback_peer.h"
#include "table.h"

#include "net/addresses.h"
#include "net/datagram_socket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

#include <thread>

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
        QElapsedTimer clock; // a wait in vain lasts its time, in the receiving call or on the timer,
        clock.start();       // asking without sleeping first for part of it or all of it
        for (const bool precise : {false, true})
            for (const qint64 spinUs : {0, 100, 50000})
                QVERIFY(socket.waitDatagram(buffer, sizeof buffer, nullptr, nullptr, 30000, precise, spinUs) <
                            0 &&
                        socket.error() == QAbstractSocket::SocketTimeoutError);
        QVERIFY(clock.elapsed() >= 180);
        // An answer is taken whether it is there at once, comes while the socket asks without
        // sleeping or only after it has gone to sleep.
        for (const int afterMs : {0, 0, 30}) {
            std::thread answer([&] { // a socket of the thread's own, as QObjects are not shared
                std::this_thread::sleep_for(std::chrono::milliseconds(afterMs));
                QUdpSocket sender;
                sender.writeDatagram("OK\r\n", QHostAddress(device), socket.localPort());
            });
            if (afterMs == 0)
                answer.join();
            from.clear();
            const qint64 got =
                socket.waitDatagram(buffer, sizeof buffer, &from, &fromPort, 2000000, false, 100);
            if (answer.joinable())
                answer.join();
            QCOMPARE(joined(got, QByteArray(buffer, 4)), joined(4, "OK\r\n"));
            QVERIFY(isFromDevice(from, QHostAddress(device)) && fromPort != 0);
        }
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
};

QTEST_GUILESS_MAIN(TestNet)
#include "test_net.moc"
