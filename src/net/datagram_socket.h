#pragma once

#include "core/io/result.h"

#include <QAbstractSocket>
#include <QByteArrayView>
#include <QHostAddress>
#include <QObject>
#include <QString>

#include <sys/socket.h>

class QSocketNotifier;

// A UDP socket for a program that talks to one device at a time and waits for each answer. Its
// calls never block, like QUdpSocket's, except waitDatagram(), which waits for the next datagram
// in the receiving call itself, as a blocking client does: a round trip then costs a send and a
// receive, where waiting through poll() or the event loop costs two more system calls. The
// descriptor is blocking for that one call; every other call passes MSG_DONTWAIT.
class DatagramSocket : public QObject {
    Q_OBJECT
public:
    explicit DatagramSocket(QObject* parent = nullptr);
    ~DatagramSocket() override;

    // Binds the wildcard address of `protocol` (IPv6 also takes IPv4) on `port`, 0 for any free
    // one. A port another socket holds is refused (AddressInUse), never shared.
    Result<void> bind(QAbstractSocket::NetworkLayerProtocol protocol, quint16 port);
    [[nodiscard]] bool isOpen() const { return m_fd >= 0; }
    [[nodiscard]] quint16 localPort() const { return m_localPort; }
    void close();

    // Sends `data` as one datagram; its size, or -1 (see error() and sendMayRecover()).
    qint64 writeDatagram(QByteArrayView data, const QHostAddress& to, quint16 port);
    // Whether the send that failed last failed for a moment (a full buffer, a firewall's drop, an
    // ICMP error of an earlier datagram), so that the next may go; not for an address that cannot
    // be reached or is refused.
    [[nodiscard]] bool sendMayRecover() const { return m_sendMayRecover; }
    // Takes a datagram that is waiting; -1 with TemporaryError when none is. A datagram longer
    // than `maxSize` is cut to it.
    qint64 readDatagram(char* data, qint64 maxSize, QHostAddress* from = nullptr,
                        quint16* fromPort = nullptr);
    // As readDatagram, but waits up to `us` microseconds for one: -1 with SocketTimeoutError when
    // none came, TemporaryError when a signal ended the wait. The receiving call waits itself,
    // which is cheapest but counts in scheduler ticks; `precise` waits with the system's
    // high-resolution timer first (one more system call). For the first `spinUs` of the wait
    // (within `us`) it asks without sleeping: waking a sleeping process costs some hosts (virtual
    // machines above all) more than an answer that comes within tens of microseconds.
    qint64 waitDatagram(char* data, qint64 maxSize, QHostAddress* from, quint16* fromPort, qint64 us,
                        bool precise, qint64 spinUs = 0);
    [[nodiscard]] bool hasPendingDatagrams() const;
    // How long the datagram read last had waited in the system when it was read, in
    // microseconds: its arrival is now minus this. 0 when the system did not say.
    [[nodiscard]] qint64 lastDatagramAgeUs() const { return m_lastAgeUs; }
    // Lets datagrams go to broadcast addresses, which the system refuses by default.
    void allowBroadcast();
    // Whether readyRead is raised; a socket nobody reads must not keep the event loop busy.
    void setReadNotificationEnabled(bool enabled);

    [[nodiscard]] QAbstractSocket::SocketError error() const { return m_error; }
    [[nodiscard]] QString errorString() const { return m_errorString; }

signals:
    // Datagrams are waiting; raised again by the event loop while any are left.
    void readyRead();

private:
    qint64 receive(char* data, qint64 maxSize, QHostAddress* from, quint16* fromPort, int flags);
    void fail(int errorNumber);

    int m_fd = -1;
    int m_family = AF_UNSPEC;
    quint16 m_localPort = 0;
    qint64 m_waitUs = 0; // the receive timeout the descriptor has now
    qint64 m_lastAgeUs = 0;
    bool m_sendMayRecover = false;
    static constexpr qint64 MaxAgeUs = 3600LL * 1000000;
    QSocketNotifier* m_notifier = nullptr;
    // The last destination in the socket's own form: a device gets every datagram of a session.
    QHostAddress m_to;
    quint16 m_toPort = 0;
    sockaddr_storage m_toAddress{};
    socklen_t m_toLength = 0;
    QAbstractSocket::SocketError m_error = QAbstractSocket::UnknownSocketError;
    QString m_errorString;
};
