#pragma once

#include "net/datagram_reader.h"
#include "net/datagram_socket.h"
#include "net/host_lookup.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>

// One UDP socket in the shape a connect-and-send operator tool expects: configure the remote
// end, bind a local port given as text, send one text as one datagram, and one data-arrival
// event per datagram from the device. Bytes are Latin-1 both ways; characters outside it go out
// as "?". No call throws: failures are reported through the return values.
class UdpSocketControl : public QObject {
    Q_OBJECT
public:
    static constexpr int StateClosed = 0;
    static constexpr int StateOpen = 1;

    explicit UdpSocketControl(HostLookup lookup = HostLookup::system(), QObject* parent = nullptr);
    ~UdpSocketControl() override;

    // An IP address (IPv4 or IPv6) is taken as it is. A host name is looked up in the
    // background: until the answer comes every send fails, and when it cannot be resolved every
    // send fails until the remote host is set again. remoteHostLookedUp() tells the outcome.
    void setRemoteHost(const QString& host);
    [[nodiscard]] bool remoteHostPending() const { return m_lookupPending; }
    // Ports outside 0..65535 are refused.
    bool setRemotePort(qint32 port);

    // Binds every address, IPv4 and IPv6, on the port written in `localPort`; never shares a
    // taken port.
    bool bind(const QString& localPort);
    [[nodiscard]] int state() const;
    [[nodiscard]] quint16 localPort() const;

    // Sends `text` as one datagram to the remote end. False when closed, while the remote host
    // is not known, or on any error.
    bool sendData(const QString& text);
    // Datagrams handed to the system so far: a test waits for exactly these, never for silence.
    [[nodiscard]] quint64 sentCount() const { return m_sent; }
    // The datagram announced by the last dataArrival, as text (one character per byte).
    [[nodiscard]] QString getData() const { return QString::fromLatin1(m_current); }
    // Closes the socket and abandons a pending look-up.
    void close();
    // Raises the data-arrival event for `datagram` as if the device had sent it; lets the
    // fuzzers and tests feed the receive path without a network.
    void deliver(const QByteArray& datagram);

    // Text to the signed 32-bit number a port property takes; nothing when it is not one.
    [[nodiscard]] static std::optional<qint32> portNumber(const QString& text);

signals:
    // Raised once per datagram from the device, with its size in bytes.
    void dataArrival(qint64 bytesTotal);
    // The look-up of a host name has ended; `found` says whether it gave an address.
    void remoteHostLookedUp(bool found);

private:
    void drain();
    void setRemoteAddress(const QHostAddress& address);
    void lookedUp(const QList<QHostAddress>& addresses);
    void abortLookup();

    HostLookup m_lookup;
    std::unique_ptr<DatagramSocket> m_socket;
    DatagramReader m_reader;
    std::optional<QHostAddress> m_remoteAddress;
    bool m_anySender = false;     // the remote is a broadcast or multicast address
    bool m_lookupPending = false; // a host name is being looked up
    int m_lookupId = -1;          // its id, to abandon it
    int m_lookupGeneration = 0;   // answers to earlier look-ups carry an older number
    quint16 m_remotePort = 0;
    QByteArrayView m_current; // the datagram just taken, in the reader's buffer
    QByteArray m_delivered;   // what deliver() handed in
    QByteArray m_sendBuffer;  // the datagram being sent, its capacity kept
    quint64 m_sent = 0;
    static constexpr qint64 LingerUs = 8000;     // answers taken outside the loop for this long at most
    static constexpr qint64 AnswerWaitUs = 2000; // the wait for one answer
    static constexpr int LingerPause = 64;       // rounds through the loop after a wait in vain
    int m_lingerPause = 0;
};
