// The flasher's socket against loopback peers: the bytes and senders it reports, what it refuses,
// and how it waits.
#include "datagram_reader.h"
#include "datagram_socket.h"
#include "loopback_peer.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <thread>

class TestNet : public QObject {
    Q_OBJECT
private slots:
    void exchangesDatagramsWithTheirSenders();
    void refusesWhatItCannotDo();
    void waitsInTheReceivingCallOnly();
    void reachesIpv4DevicesFromAnIpv6Socket();
};

void TestNet::exchangesDatagramsWithTheirSenders() {
    LoopbackPeer peer;
    DatagramSocket socket;
    QVERIFY2(socket.bind(QAbstractSocket::IPv4Protocol, 0), qPrintable(socket.errorString()));
    QVERIFY(socket.isOpen() && socket.localPort() != 0);
    QCOMPARE(socket.writeDatagram("OOTi\r\n", QHostAddress::LocalHost, peer.port()), 6);
    QVERIFY(peer.socket.waitForReadyRead(1000));
    const QNetworkDatagram sent = peer.socket.receiveDatagram();
    QCOMPARE(sent.data(), QByteArray("OOTi\r\n"));
    QCOMPARE(sent.senderPort(), socket.localPort());

    QSignalSpy ready(&socket, &DatagramSocket::readyRead);
    for (const char* reply : {"OK\r\n", "DOWNLOAD\r\n", "VER=2.10\r\n"})
        peer.sendTo(socket.localPort(), reply);
    QVERIFY(ready.wait(2000));
    char buffer[8];
    QHostAddress from;
    quint16 fromPort = 0;
    QCOMPARE(socket.readDatagram(buffer, sizeof buffer, &from, &fromPort), 4);
    QCOMPARE(QByteArray(buffer, 4), QByteArray("OK\r\n"));
    QCOMPARE(from, QHostAddress(QHostAddress::LocalHost));
    QCOMPARE(fromPort, peer.port());
    QCOMPARE(socket.readDatagram(buffer, 4), 4); // cut to the buffer
    QCOMPARE(QByteArray(buffer, 4), QByteArray("DOWN"));
    QCOMPARE(socket.readDatagram(buffer, sizeof buffer), 8);
    QCOMPARE(socket.readDatagram(buffer, sizeof buffer), -1);
    QCOMPARE(socket.error(), QAbstractSocket::TemporaryError);
    // A socket nobody reads any more must not keep the event loop busy.
    socket.setReadNotificationEnabled(false);
    const auto raised = ready.count();
    peer.sendTo(socket.localPort(), "late\r\n");
    QTest::qWait(50);
    QVERIFY(ready.count() == raised && socket.hasPendingDatagrams());
}

void TestNet::refusesWhatItCannotDo() {
    QUdpSocket holder;
    QVERIFY(holder.bind(QHostAddress::AnyIPv4, 0, QAbstractSocket::DontShareAddress));
    DatagramSocket socket;
    QVERIFY(!socket.bind(QAbstractSocket::IPv4Protocol, holder.localPort()));
    QCOMPARE(socket.error(), QAbstractSocket::AddressInUseError);
    QVERIFY(!socket.errorString().isEmpty() && !socket.isOpen());
    char buffer[4];
    QCOMPARE(socket.writeDatagram("x", QHostAddress::LocalHost, 111), -1);
    QVERIFY(socket.bind(QAbstractSocket::IPv4Protocol, 0));
    // An IPv4 socket cannot reach an IPv6 address: refused, nothing sent.
    QCOMPARE(socket.writeDatagram("x", QHostAddress::LocalHostIPv6, 111), -1);
    QCOMPARE(socket.error(), QAbstractSocket::UnsupportedSocketOperationError);
    socket.close();
    QVERIFY(!socket.isOpen() && socket.localPort() == 0);
    QCOMPARE(socket.readDatagram(buffer, sizeof buffer), -1);
}

void TestNet::waitsInTheReceivingCallOnly() {
    DatagramSocket socket;
    QVERIFY(socket.bind(QAbstractSocket::IPv4Protocol, 0));
    char buffer[16];
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(socket.waitDatagram(buffer, sizeof buffer, nullptr, nullptr, 40), -1);
    QCOMPARE(socket.error(), QAbstractSocket::SocketTimeoutError);
    QVERIFY(clock.elapsed() >= 30);

    // A datagram that comes during the wait ends it, whatever time is left.
    const quint16 port = socket.localPort();
    std::thread late([port] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        QUdpSocket().writeDatagram("OK\r\n", QHostAddress::LocalHost, port);
    });
    QByteArray taken;
    clock.restart();
    const bool came = DatagramReader().awaitOne(
        socket,
        [&](QByteArrayView d, const QHostAddress& from, quint16) {
            return !(taken = d.toByteArray() + from.toString().toLatin1()).isEmpty();
        },
        5000);
    late.join();
    QVERIFY(came && clock.elapsed() < 4000);
    QCOMPARE(taken, "OK\r\n127.0.0.1");
    // Every other call still returns at once, though the socket now waits 5 s in a wait.
    clock.restart();
    QCOMPARE(socket.readDatagram(buffer, sizeof buffer), -1);
    QVERIFY(!socket.hasPendingDatagrams() && clock.elapsed() < 2000);
}

void TestNet::reachesIpv4DevicesFromAnIpv6Socket() {
    DatagramSocket socket;
    if (!socket.bind(QAbstractSocket::IPv6Protocol, 0))
        QSKIP("no IPv6 on this host");
    for (const QString& address : {QStringLiteral("127.0.0.1"), QStringLiteral("::1")}) {
        LoopbackPeer peer(address);
        if (!peer.port())
            continue; // no IPv6 loopback
        QCOMPARE(socket.writeDatagram("VER\r\n", QHostAddress(address), peer.port()), 5);
        QCOMPARE(peer.take(), QList<QByteArray>{"VER\r\n"});
        peer.socket.writeDatagram("VER=2.10\r\n", QHostAddress(address), socket.localPort());
        char buffer[16];
        QHostAddress from;
        QCOMPARE(socket.waitDatagram(buffer, sizeof buffer, &from, nullptr, 2000), 10);
        QVERIFY2(isFromDevice(from, QHostAddress(address)), qPrintable(from.toString()));
    }
}

QTEST_GUILESS_MAIN(TestNet)
#include "test_net.moc"
