#pragma once

#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QUdpSocket>

// A device stand-in, or a client, on a loopback address at a port of the system's choosing.
struct LoopbackPeer {
    QUdpSocket socket;
    explicit LoopbackPeer(const QString& address = QStringLiteral("127.0.0.1")) {
        socket.bind(QHostAddress(address), 0);
    }
    [[nodiscard]] quint16 port() const { return socket.localPort(); }
    // The next `count` datagrams, in order; fewer only when they have not come within `timeoutMs`,
    // which is a bound for a failing test, never a silence a passing one waits out.
    QList<QByteArray> take(int count, int timeoutMs = 5000) {
        QList<QByteArray> out;
        QElapsedTimer clock;
        clock.start();
        while (out.size() < count &&
               (socket.hasPendingDatagrams() ||
                socket.waitForReadyRead(int(qMax<qint64>(1, timeoutMs - clock.elapsed())))))
            out << socket.receiveDatagram().data();
        return out;
    }
    // What has arrived already, without waiting.
    QList<QByteArray> waiting() {
        QList<QByteArray> out;
        while (socket.hasPendingDatagrams())
            out << socket.receiveDatagram().data();
        return out;
    }
    void sendTo(quint16 port, const QByteArray& bytes) {
        socket.writeDatagram(bytes, QHostAddress::LocalHost, port);
    }
};
