#include "net/datagram_socket.h"

#include <QNetworkInterface>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>

#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

QAbstractSocket::SocketError socketError(int errorNumber) {
    switch (errorNumber) {
    case EADDRINUSE:
        return QAbstractSocket::AddressInUseError;
    case EACCES:
    case EPERM:
        return QAbstractSocket::SocketAccessError;
    case EADDRNOTAVAIL:
        return QAbstractSocket::SocketAddressNotAvailableError;
    case EAGAIN:
    case EINTR:
        return QAbstractSocket::TemporaryError;
    case ECONNREFUSED:
        return QAbstractSocket::ConnectionRefusedError;
    case EMSGSIZE:
        return QAbstractSocket::DatagramTooLargeError;
    case ENETUNREACH:
    case EHOSTUNREACH:
        return QAbstractSocket::NetworkError;
    case EAFNOSUPPORT:
        return QAbstractSocket::UnsupportedSocketOperationError;
    default:
        return QAbstractSocket::UnknownSocketError;
    }
}

// `to` in the form a socket of `family` sends to: an IPv6 socket reaches IPv4 devices through
// mapped addresses, an IPv4 socket reaches only those.
bool socketAddress(const QHostAddress& to, quint16 port, int family, sockaddr_storage& out,
                   socklen_t& length) {
    out = {};
    bool isV4 = false;
    const quint32 v4 = to.toIPv4Address(&isV4);
    if (family == AF_INET) {
        if (!isV4)
            return false;
        auto& a = reinterpret_cast<sockaddr_in&>(out);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(v4);
        length = sizeof a;
        return true;
    }
    if (!isV4 && to.protocol() != QAbstractSocket::IPv6Protocol)
        return false;
    auto& a = reinterpret_cast<sockaddr_in6&>(out);
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(port);
    const Q_IPV6ADDR bytes = to.toIPv6Address(); // an IPv4 address as ::ffff:a.b.c.d
    std::memcpy(&a.sin6_addr, &bytes, sizeof a.sin6_addr);
    // A link-local device's interface, given by name ("%eth0") or number ("%2").
    bool numbered = false;
    const uint index = to.scopeId().toUInt(&numbered);
    a.sin6_scope_id = numbered ? index : uint(QNetworkInterface::interfaceIndexFromName(to.scopeId()));
    length = sizeof a;
    return true;
}

Failure bindFailure(int errorNumber) {
    return {errorNumber == EADDRINUSE ? Failure::Cause::AddressInUse : Failure::Cause::Network,
            QString::fromLocal8Bit(std::strerror(errorNumber))};
}

} // namespace

DatagramSocket::DatagramSocket(QObject* parent) : QObject(parent) {}

DatagramSocket::~DatagramSocket() {
    close();
}

Result<void> DatagramSocket::bind(QAbstractSocket::NetworkLayerProtocol protocol, quint16 port) {
    close();
    const int family = protocol == QAbstractSocket::IPv6Protocol ? AF_INET6 : AF_INET;
    const int fd = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail(errno);
        return bindFailure(errno);
    }
    sockaddr_storage any{}; // all zeros: the wildcard address
    socklen_t length = 0;
    if (family == AF_INET6) {
        const int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
        auto& a = reinterpret_cast<sockaddr_in6&>(any);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        length = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in&>(any);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        length = sizeof a;
    }
    // The system notes when each datagram came: what came while the program was busy keeps its
    // own time. Without it (never on Linux), datagrams count as come when read.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    // No SO_REUSEADDR: a port that is taken stays the other program's.
    if (::bind(fd, reinterpret_cast<sockaddr*>(&any), length) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&any), &length) != 0) {
        const int errorNumber = errno;
        fail(errorNumber);
        ::close(fd);
        return bindFailure(errorNumber);
    }
    m_fd = fd;
    m_family = family;
    m_localPort = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(any).sin6_port
                                           : reinterpret_cast<sockaddr_in&>(any).sin_port);
    m_waitUs = 0;
    m_toLength = 0;
    m_notifier = new QSocketNotifier(qintptr(fd), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &DatagramSocket::readyRead);
    return success();
}

void DatagramSocket::close() {
    // The notifier goes first: the event loop must not watch a number the system may reuse.
    delete m_notifier;
    m_notifier = nullptr;
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_localPort = 0;
}

// A closed socket fails in the system calls themselves (EBADF).
qint64 DatagramSocket::writeDatagram(QByteArrayView data, const QHostAddress& to, quint16 port) {
    if (m_toLength == 0 || port != m_toPort || to != m_to) {
        m_toLength = 0;
        if (!socketAddress(to, port, m_family, m_toAddress, m_toLength)) {
            fail(EAFNOSUPPORT);
            return -1;
        }
        m_to = to;
        m_toPort = port;
    }
    ssize_t sent;
    do
        sent = ::sendto(m_fd, data.data(), size_t(data.size()), MSG_DONTWAIT | MSG_NOSIGNAL,
                        reinterpret_cast<const sockaddr*>(&m_toAddress), m_toLength);
    while (sent < 0 && errno == EINTR);
    if (sent < 0) {
        const int errorNumber = errno;
        m_sendMayRecover = errorNumber == EPERM || errorNumber == ENOBUFS || errorNumber == EAGAIN ||
                           errorNumber == ENOMEM || errorNumber == ECONNREFUSED;
        fail(errorNumber);
        return -1;
    }
    return sent;
}

qint64 DatagramSocket::readDatagram(char* data, qint64 maxSize, QHostAddress* from, quint16* fromPort) {
    qint64 got;
    do
        got = receive(data, maxSize, from, fromPort, MSG_DONTWAIT);
    while (got < 0 && errno == EINTR);
    return got;
}

namespace {
qint64 monotonicUs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}
} // namespace

qint64 DatagramSocket::waitDatagram(char* data, qint64 maxSize, QHostAddress* from, quint16* fromPort,
                                    qint64 us, bool precise, qint64 spinUs) {
    us = std::max<qint64>(us, 1); // a receive timeout of zero would wait for ever
    qint64 got = -1;
    if (spinUs > 0) {
        const qint64 start = monotonicUs();
        const qint64 end = start + std::min(spinUs, us);
        qint64 at = start;
        do {
            got = receive(data, maxSize, from, fromPort, MSG_DONTWAIT);
            if (got >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
                return got;
            // Whatever else would run here (a simulated device, say) runs first.
            (void)::sched_yield();
            at = monotonicUs();
        } while (at < end);
        us -= at - start;
        if (us <= 0) {
            m_error = QAbstractSocket::SocketTimeoutError;
            return -1;
        }
    }
    if (precise) {
        // The system's own timer: the receiving call's time-out counts in scheduler ticks (4 ms
        // where HZ is 250), far too coarse to resend after a fraction of a millisecond.
        pollfd readable{m_fd, POLLIN, 0};
        const timespec limit{time_t(us / 1000000), long(us % 1000000) * 1000};
        const int ready = ::ppoll(&readable, 1, &limit, nullptr);
        if (ready < 0) {
            fail(errno);
            return -1;
        }
        got = ready == 0 ? -1 : receive(data, maxSize, from, fromPort, MSG_DONTWAIT);
        if (ready == 0)
            fail(EAGAIN);
    } else {
        // The receiving call counts in scheduler ticks anyway: whole milliseconds spare the
        // system call that sets its time-out whenever the wait changes by less.
        us = (us + 999) / 1000 * 1000;
        if (us != m_waitUs) {
            const timeval limit{time_t(us / 1000000), suseconds_t(us % 1000000)};
            if (::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) {
                fail(errno);
                return -1;
            }
            m_waitUs = us;
        }
        got = receive(data, maxSize, from, fromPort, 0);
    }
    if (got < 0 && m_error == QAbstractSocket::TemporaryError && errno != EINTR)
        m_error = QAbstractSocket::SocketTimeoutError;
    return got;
}

qint64 DatagramSocket::receive(char* data, qint64 maxSize, QHostAddress* from, quint16* fromPort, int flags) {
    sockaddr_storage source{};
    iovec buffer{data, size_t(std::max<qint64>(maxSize, 0))};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message{};
    message.msg_name = &source;
    message.msg_namelen = sizeof source;
    message.msg_iov = &buffer;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t got = ::recvmsg(m_fd, &message, flags);
    if (got < 0) {
        const int errorNumber = errno;
        fail(errorNumber);
        errno = errorNumber;
        return -1;
    }
    m_lastAgeUs = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS)
            continue;
        timespec arrived{};
        timespec now{};
        std::memcpy(&arrived, CMSG_DATA(c), sizeof arrived);
        ::clock_gettime(CLOCK_REALTIME, &now);
        const qint64 age =
            (qint64(now.tv_sec) - arrived.tv_sec) * 1000000 + (now.tv_nsec - arrived.tv_nsec) / 1000;
        // The wall clock may be set between the two readings: such an age says nothing.
        m_lastAgeUs = age >= 0 && age < MaxAgeUs ? age : 0;
    }
    if (from)
        from->setAddress(reinterpret_cast<const sockaddr*>(&source));
    if (fromPort)
        *fromPort = ntohs(source.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(source).sin6_port
                                                       : reinterpret_cast<sockaddr_in&>(source).sin_port);
    return got;
}

bool DatagramSocket::hasPendingDatagrams() const {
    pollfd readable{m_fd, POLLIN, 0};
    return ::poll(&readable, 1, 0) == 1 && (readable.revents & POLLIN);
}

void DatagramSocket::allowBroadcast() {
    const int on = 1;
    ::setsockopt(m_fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
}

void DatagramSocket::setReadNotificationEnabled(bool enabled) {
    if (m_notifier)
        m_notifier->setEnabled(enabled);
}

void DatagramSocket::fail(int errorNumber) {
    m_error = socketError(errorNumber);
    m_errorString = QString::fromLocal8Bit(std::strerror(errorNumber));
}
