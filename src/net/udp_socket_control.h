#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

class QUdpSocket;

// One UDP socket in the shape a connect-and-send operator tool expects: configure the remote
// end, bind a local port given as text, send one text as one datagram, and one data-arrival
// event per datagram. Bytes are Latin-1 both ways; characters outside it go out as "?".
// No call throws: failures are reported through the return values.
class UdpSocketControl : public QObject {
    Q_OBJECT
public:
    static constexpr int ProtocolTcp = 0;
    static constexpr int ProtocolUdp = 1;
    static constexpr int StateClosed = 0;
    static constexpr int StateOpen = 1;

    explicit UdpSocketControl(QObject* parent = nullptr);
    ~UdpSocketControl() override;

    void setProtocol(int protocol) { m_protocol = protocol; }
    [[nodiscard]] int protocol() const { return m_protocol; }
    // An IP address, or a host name that is resolved when a datagram is sent.
    void setRemoteHost(const QString& host);
    [[nodiscard]] QString remoteHost() const { return m_remoteHost; }
    // Ports outside 0..65535 are refused.
    bool setRemotePort(qint32 port);
    [[nodiscard]] quint16 remotePort() const { return m_remotePort; }

    // Binds all IPv4 addresses on the port written in `localPort`; never shares a taken port.
    bool bind(const QString& localPort);
    [[nodiscard]] int state() const;
    [[nodiscard]] quint16 localPort() const;
    [[nodiscard]] QString lastError() const { return m_lastError; }

    // Sends `text` as one datagram to the remote end. False when closed or on any error.
    bool sendData(const QString& text);
    // The datagram announced by the last dataArrival, as text (one character per byte).
    [[nodiscard]] QString getData() const { return QString::fromLatin1(m_buffer.constData(), m_currentSize); }
    void close();
    // Raises the data-arrival event for `datagram` as if it had come off the wire; lets the
    // fuzzers and tests feed the receive path without a network.
    void deliver(const QByteArray& datagram);

    // Text to the signed 32-bit number a port property takes; nothing when it is not one.
    [[nodiscard]] static std::optional<qint32> portNumber(const QString& text);

signals:
    // Raised once per datagram, with its size in bytes.
    void dataArrival(qint64 bytesTotal);

private:
    void drain();
    // The remote address, looked up if need be; null when it cannot be had.
    const QHostAddress* resolvedRemote();

    std::unique_ptr<QUdpSocket> m_socket;
    int m_protocol = ProtocolTcp;
    QString m_remoteHost;
    std::optional<QHostAddress> m_remoteAddress; // cached once known
    quint16 m_remotePort = 0;
    static constexpr qint64 MaxDatagram = 65536; // larger than any UDP payload
    QByteArray m_buffer;                         // the datagram just taken is its first m_currentSize bytes
    qsizetype m_currentSize = 0;
    QString m_lastError;
};
