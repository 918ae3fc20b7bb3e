// The flasher's socket against loopback peers: the bytes and senders it reports, what it refuses,
// and how it waits.
#include "loopback_peer.h"

#include "net/addresses.h"
#include "net/datagram_reader.h"
#include "net/datagram_socket.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

class TestNet : public QObject {
    Q_OBJECT
private slots:
    void exchangesDatagramsWithTheirSenders_data();
    void exchangesDatagramsWithTheirSenders();
    void refusesWhatItCannotDo();
    void waitsInTheReceivingCallOnly();
};

void TestNet::exchangesDatagramsWithTheirSenders_data() {
    QTest::addColumn<bool>("v6");
    QTest::addColumn<QString>("device");
    QTest::newRow("IPv4") << false << "127.0.0.1";
    QTest::newRow("IPv6") << true << "::1";
    QTest::newRow("IPv6 to an IPv4 device") << true << "127.0.0.1";
}

void TestNet::exchangesDatagramsWithTheirSenders() {
    QFETCH(bool, v6);
    QFETCH(QString, device);
    LoopbackPeer peer(device);
    DatagramSocket socket;
    if (!peer.port() || !socket.bind(v6 ? QAbstractSocket::IPv6Protocol : QAbstractSocket::IPv4Protocol, 0))
        QSKIP("no IPv6 on this host");
    QCOMPARE(socket.writeDatagram("OOTi\r\n", QHostAddress(device), peer.port()), 6);
    QVERIFY(peer.socket.waitForReadyRead(1000));
    const QNetworkDatagram sent = peer.socket.receiveDatagram();
    QCOMPARE(sent.data(), QByteArray("OOTi\r\n"));
    QCOMPARE(sent.senderPort(), socket.localPort());

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
    QCoreApplication::processEvents(); // where an enabled notifier would have been served
    QVERIFY(ready.count() == raised && socket.hasPendingDatagrams());
    QCOMPARE(socket.readDatagram(buffer, sizeof buffer), 6);
    QCOMPARE(socket.readDatagram(buffer, sizeof buffer), -1);
    QCOMPARE(socket.error(), QAbstractSocket::TemporaryError);
}

void TestNet::refusesWhatItCannotDo() {
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
    DatagramSocket socket;
    const auto taken = socket.bind(QAbstractSocket::IPv4Protocol, holder.localPort());
    QVERIFY(!taken && taken.failure().cause == Failure::Cause::AddressInUse);
    QCOMPARE(socket.error(), QAbstractSocket::AddressInUseError);
    QVERIFY(!socket.errorString().isEmpty() && !socket.isOpen());
    QCOMPARE(socket.writeDatagram("x", QHostAddress::LocalHost, 111), -1);
    QVERIFY(socket.bind(QAbstractSocket::IPv4Protocol, 0));
    // An IPv4 socket cannot reach an IPv6 address: refused, nothing sent.
    QCOMPARE(socket.writeDatagram("x", QHostAddress::LocalHostIPv6, 111), -1);
    QCOMPARE(socket.error(), QAbstractSocket::UnsupportedSocketOperationError);
    const quint16 port = socket.localPort();
    socket.close();
    QVERIFY(!socket.isOpen() && socket.localPort() == 0 &&
            DatagramSocket().bind(QAbstractSocket::IPv4Protocol, port));
}

void TestNet::waitsInTheReceivingCallOnly() {
    // Both ways of waiting: in the receiving call, and on the high-resolution timer first.
    for (const bool precise : {false, true}) {
        DatagramSocket socket;
        QVERIFY(socket.bind(QAbstractSocket::IPv4Protocol, 0));
        char buffer[16];
        QByteArray taken;
        const auto take = [&](QByteArrayView d, const QHostAddress& from, quint16) {
            taken = d.toByteArray() + from.toString().toLatin1();
            return true;
        };
        QElapsedTimer clock;
        clock.start();
        QVERIFY(!DatagramReader().awaitOne(socket, take, 40000, precise));
        QCOMPARE(socket.error(), QAbstractSocket::SocketTimeoutError);
        QVERIFY(clock.elapsed() >= 30 && taken.isEmpty());

        // A datagram that waits is taken at once, and every other call still returns at once,
        // though the socket now waits 5 s in a wait.
        QUdpSocket().writeDatagram("OK\r\n", QHostAddress::LocalHost, socket.localPort());
        clock.restart();
        QVERIFY(DatagramReader().awaitOne(socket, take, 5000000, precise));
        QCOMPARE(taken, "OK\r\n127.0.0.1");
        QCOMPARE(socket.readDatagram(buffer, sizeof buffer), -1);
        QVERIFY(!socket.hasPendingDatagrams() && clock.elapsed() < 2000);
    }
}

QTEST_GUILESS_MAIN(TestNet)
#include "test_net.moc"
