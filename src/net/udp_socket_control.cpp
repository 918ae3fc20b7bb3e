#include "net/udp_socket_control.h"

#include "net/addresses.h"
#include "net/quick_answer.h"

#include "core/io/printable.h"

#include <limits>

UdpSocketControl::UdpSocketControl(HostLookup lookup, QObject* parent)
    : QObject(parent), m_lookup(std::move(lookup)) {}

UdpSocketControl::~UdpSocketControl() {
    abortLookup();
}

void UdpSocketControl::setRemoteHost(const QString& host) {
    abortLookup();
    m_remoteAddress.reset();
    m_anySender = false;
    QHostAddress literal;
    if (literal.setAddress(host)) {
        setRemoteAddress(literal);
        return;
    }
    if (host.isEmpty())
        return;
    // Never on this thread: a name that does not resolve would freeze the window for seconds.
    const int generation = ++m_lookupGeneration;
    m_lookupPending = true;
    const int id =
        m_lookup.start(host, this, [this, generation](const QList<QHostAddress>& addresses, const QString&) {
            // An answer for a host set before the current one is of no use.
            if (generation == m_lookupGeneration && m_lookupPending)
                lookedUp(addresses);
        });
    if (m_lookupPending)
        m_lookupId = id;
}

void UdpSocketControl::lookedUp(const QList<QHostAddress>& addresses) {
    m_lookupPending = false;
    m_lookupId = -1;
    if (!addresses.isEmpty())
        setRemoteAddress(preferredAddress(addresses));
    emit remoteHostLookedUp(m_remoteAddress.has_value());
}

void UdpSocketControl::setRemoteAddress(const QHostAddress& address) {
    m_remoteAddress = address;
    m_anySender = isGroupAddress(address);
}

void UdpSocketControl::abortLookup() {
    if (m_lookupPending && m_lookupId >= 0)
        m_lookup.abandon(m_lookupId);
    m_lookupPending = false;
    m_lookupId = -1;
    ++m_lookupGeneration;
}

bool UdpSocketControl::setRemotePort(qint32 port) {
    if (port < 0 || port > 65535)
        return false;
    m_remotePort = quint16(port);
    return true;
}

std::optional<qint32> UdpSocketControl::portNumber(const QString& text) {
    bool ok = false;
    const qlonglong v = text.trimmed().toLongLong(&ok, 10);
    if (!ok || v < std::numeric_limits<qint32>::min() || v > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return qint32(v);
}

bool UdpSocketControl::bind(const QString& localPort) {
    const auto port = portNumber(localPort);
    if (m_socket || !port || *port < 0 || *port > 65535)
        return false;
    // Dual-stack, so an IPv6 device can be reached too; IPv4 alone where the host has no IPv6.
    // Read with plain system calls: one receive per reply, where Qt's socket takes three.
    auto socket = std::make_unique<DatagramSocket>();
    bool bound = bool(socket->bind(QAbstractSocket::IPv6Protocol, quint16(*port)));
    if (!bound && socket->error() != QAbstractSocket::AddressInUseError &&
        socket->error() != QAbstractSocket::SocketAccessError)
        bound = bool(socket->bind(QAbstractSocket::IPv4Protocol, quint16(*port)));
    if (!bound)
        return false;
    // A broadcast remote is the operator's choice, as in any connect-and-send tool.
    socket->allowBroadcast();
    connect(socket.get(), &DatagramSocket::readyRead, this, &UdpSocketControl::drain);
    m_socket = std::move(socket);
    return true;
}

int UdpSocketControl::state() const {
    return m_socket ? StateOpen : StateClosed;
}

quint16 UdpSocketControl::localPort() const {
    return m_socket ? m_socket->localPort() : 0;
}

bool UdpSocketControl::sendData(const QString& text) {
    if (!m_socket)
        return false;
    // Nothing goes out while a name is looked up, nor after it could not be.
    if (!m_remoteAddress)
        return false;
    latin1Into(text, m_sendBuffer);
    if (m_socket->writeDatagram(m_sendBuffer, *m_remoteAddress, m_remotePort) != m_sendBuffer.size())
        return false;
    ++m_sent;
    return true;
}

void UdpSocketControl::close() {
    abortLookup();
    if (m_socket) {
        // The socket may be closed from inside a data-arrival handler; let Qt delete it later.
        DatagramSocket* s = m_socket.release();
        s->disconnect(this);
        s->close();
        s->deleteLater();
    }
    m_current = {};
}

void UdpSocketControl::deliver(const QByteArray& datagram) {
    m_delivered = datagram;
    m_current = m_delivered;
    emit dataArrival(m_current.size());
}

void UdpSocketControl::drain() {
    DatagramSocket* const socket = m_socket.get();
    bool answered = false; // the datagram just handled made the window send one
    const auto handle = [&](QByteArrayView data, const QHostAddress& from, quint16) {
        // Only the device may speak to the window: a datagram from anyone else is not shown, not
        // dispatched and does not count as a sign of life. Before its address is known, nobody is.
        const bool fromDevice = m_remoteAddress && (m_anySender || isFromDevice(from, *m_remoteAddress));
        const quint64 sent = m_sent;
        if (fromDevice) {
            m_current = data;
            emit dataArrival(data.size());
        }
        answered = m_sent != sent;
        return m_socket.get() == socket; // a handler may have closed the socket
    };
    m_reader.drain(*socket, handle);
    // A reply that made the window send again is usually answered within microseconds: waiting
    // for that answer in the receiving call spares a round of the event loop per line. The wait
    // ends at the first datagram that asks for nothing, and within a few milliseconds, so input,
    // timers and painting are never held up longer; after a wait in vain (a device that takes
    // its time, or one played in this very thread) the next replies go through the loop.
    if (m_lingerPause > 0) {
        --m_lingerPause;
        return;
    }
    const QuickAnswerEnd end =
        awaitQuickAnswers(m_reader, *socket, LingerUs, handle, [&](bool) -> std::optional<AnswerWait> {
            if (!std::exchange(answered, false) || m_socket.get() != socket)
                return std::nullopt;
            // The same wait every time, so the socket keeps its receive time-out: no system call to
            // set it per line.
            return AnswerWait{AnswerWaitUs, false};
        });
    if (end == QuickAnswerEnd::InVain || end == QuickAnswerEnd::Failed)
        m_lingerPause = LingerPause;
}
