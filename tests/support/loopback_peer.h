#pragma once

#include <QNetworkDatagram>
#include <QUdpSocket>

// A device stand-in, or a client, on a loopback address at a port of the system's choosing.
struct LoopbackPeer {
    QUdpSocket socket;
    explicit LoopbackPeer(const QString& address = QStringLiteral("127.0.0.1")) {
        socket.bind(QHostAddress(address), 0);
    }
    [[nodiscard]] quint16 port() const { return socket.localPort(); }
    // Every datagram that arrives within `waitMs` of the last one, in order.
    QList<QByteArray> take(int waitMs = 150) {
        QList<QByteArray> out;
        while (socket.hasPendingDatagrams() || socket.waitForReadyRead(out.isEmpty() ? waitMs : 20))
            out << socket.receiveDatagram().data();
        return out;
    }
    void sendTo(quint16 port, const QByteArray& bytes) {
        socket.writeDatagram(bytes, QHostAddress::LocalHost, port);
    }
};
