#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QUdpSocket>

// The one datagram read loop of every program: each waiting datagram is read straight into a
// buffer that holds any datagram (no separate "pending?" and "how big?" calls, a system call
// each), together with its sender, and handed on at once. At most `maxBatch` datagrams are read
// per call: the socket announces the rest again, so a flood never starves timers or painting.
// `Socket` is a QUdpSocket or a DatagramSocket.
class DatagramReader {
public:
    static constexpr qint64 MaxDatagram = 65536; // larger than any UDP payload
    static constexpr int DefaultBatch = 256;

    // `handle(QByteArrayView data, const QHostAddress& from, quint16 fromPort)` returns false to
    // stop reading (for instance when it closed the socket). Returns how many were read.
    template <typename Socket, typename Handler>
    int drain(Socket& socket, Handler&& handle, int maxBatch = DefaultBatch) {
        prepare();
        int read = 0;
        int errors = 0;
        while (read < maxBatch && errors < 16) {
            const qint64 got = socket.readDatagram(m_buffer.data(), MaxDatagram, &m_from, &m_fromPort);
            if (got < 0) {
                // "Nothing left" ends the burst; a stray error (an ICMP "port unreachable"
                // surfacing on read) is not a datagram, but one may still be waiting behind it.
                if (socket.error() == QAbstractSocket::TemporaryError || !socket.hasPendingDatagrams())
                    break;
                ++errors;
                continue;
            }
            errors = 0;
            ++read;
            if (!handle(QByteArrayView(m_buffer.constData(), got), std::as_const(m_from), m_fromPort))
                break;
        }
        return read;
    }

    // Waits up to `us` microseconds for one datagram and hands it on as drain() does; for a socket
    // that can wait in its receiving call. False when none came (the socket's error() says why).
    template <typename Socket, typename Handler>
    bool awaitOne(Socket& socket, Handler&& handle, qint64 us, bool precise, qint64 spinUs = 0) {
        prepare();
        const qint64 got =
            socket.waitDatagram(m_buffer.data(), MaxDatagram, &m_from, &m_fromPort, us, precise, spinUs);
        if (got < 0)
            return false;
        handle(QByteArrayView(m_buffer.constData(), got), std::as_const(m_from), m_fromPort);
        return true;
    }

private:
    void prepare() {
        if (m_buffer.size() != MaxDatagram)
            m_buffer.resize(MaxDatagram);
    }

    QByteArray m_buffer;
    QHostAddress m_from;
    quint16 m_fromPort = 0;
};
