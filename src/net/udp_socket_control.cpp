#include "udp_socket_control.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include <limits>

UdpSocketControl::UdpSocketControl(QObject* parent) : QObject(parent) {}

UdpSocketControl::~UdpSocketControl() = default;

void UdpSocketControl::setRemoteHost(const QString& host) {
    m_remoteHost = host;
    m_remoteAddress.reset();
    QHostAddress literal;
    if (literal.setAddress(host))
        m_remoteAddress = literal;
}

bool UdpSocketControl::setRemotePort(qint32 port) {
    if (port < 0 || port > 65535) {
        m_lastError = QStringLiteral("Invalid port %1").arg(port);
        return false;
    }
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
    if (m_protocol != ProtocolUdp) {
        m_lastError = QStringLiteral("Only UDP is supported");
        return false;
    }
    if (m_socket) {
        m_lastError = QStringLiteral("Already bound");
        return false;
    }
    const auto port = portNumber(localPort);
    if (!port || *port < 0 || *port > 65535) {
        m_lastError = QStringLiteral("Invalid local port \"%1\"").arg(localPort);
        return false;
    }
    auto socket = std::make_unique<QUdpSocket>();
    if (!socket->bind(QHostAddress::AnyIPv4, quint16(*port), QUdpSocket::DontShareAddress)) {
        m_lastError = socket->errorString();
        return false;
    }
    // Queued bursts are drained datagram by datagram in one go.
    connect(socket.get(), &QUdpSocket::readyRead, this, &UdpSocketControl::drain);
    m_socket = std::move(socket);
    return true;
}

int UdpSocketControl::state() const {
    return m_socket ? StateOpen : StateClosed;
}

quint16 UdpSocketControl::localPort() const {
    return m_socket ? m_socket->localPort() : 0;
}

const QHostAddress* UdpSocketControl::resolvedRemote() {
    if (m_remoteAddress)
        return &*m_remoteAddress;
    if (m_remoteHost.isEmpty())
        return nullptr;
    // A name is looked up when it is first needed; a failed look-up is tried again next time.
    const QHostInfo info = QHostInfo::fromName(m_remoteHost);
    for (const QHostAddress& a : info.addresses()) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol) {
            m_remoteAddress = a;
            return &*m_remoteAddress;
        }
    }
    return nullptr;
}

bool UdpSocketControl::sendData(const QString& text) {
    if (!m_socket)
        return false;
    const QHostAddress* address = resolvedRemote();
    if (!address) {
        m_lastError = QStringLiteral("Host not found: %1").arg(m_remoteHost);
        return false;
    }
    const QByteArray bytes = text.toLatin1();
    const qint64 sent = m_socket->writeDatagram(bytes, *address, m_remotePort);
    if (sent != bytes.size()) {
        m_lastError = m_socket->errorString();
        return false;
    }
    return true;
}

void UdpSocketControl::close() {
    if (m_socket) {
        // The socket may be closed from inside a data-arrival handler; let Qt delete it later.
        QUdpSocket* s = m_socket.release();
        s->disconnect(this);
        s->close();
        s->deleteLater();
    }
    m_currentSize = 0;
}

void UdpSocketControl::deliver(const QByteArray& datagram) {
    m_buffer = datagram;
    m_currentSize = datagram.size();
    emit dataArrival(m_currentSize);
}

void UdpSocketControl::drain() {
    // Read straight into a buffer that holds any datagram, until the socket has none left: no
    // separate "pending?" and "how big?" calls, which cost a system call each per datagram.
    if (m_buffer.size() != MaxDatagram)
        m_buffer.resize(MaxDatagram);
    int errors = 0;
    while (m_socket && errors < 16) {
        const qint64 got = m_socket->readDatagram(m_buffer.data(), MaxDatagram);
        if (got < 0) {
            // "Nothing left" ends the burst; a stray error (an ICMP "port unreachable" surfacing
            // on read) is not a datagram, but one may still be waiting behind it.
            if (m_socket->error() == QAbstractSocket::TemporaryError || !m_socket->hasPendingDatagrams())
                break;
            ++errors;
            continue;
        }
        errors = 0;
        // The handler takes the text straight from the buffer: no copy per datagram.
        m_currentSize = got;
        emit dataArrival(got);
    }
}
