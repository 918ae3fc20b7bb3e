#include "sim_server.h"

#include "core/io/files.h"
#include "core/io/printable.h"

#include <QNetworkInterface>

#include <cstdio>

namespace {
constexpr qsizetype MaxSendersKept = 4096;

QByteArray logged(QByteArrayView bytes) {
    QByteArray out;
    appendPrintable(out, bytes, LoggedBytes);
    return out;
}

// Every address a datagram from this very socket could carry as its source.
QList<QHostAddress> ownAddresses(const QHostAddress& bound) {
    if (bound != QHostAddress::Any && bound != QHostAddress::AnyIPv4 && bound != QHostAddress::AnyIPv6)
        return {bound};
    return QNetworkInterface::allAddresses();
}
} // namespace

QString bindFailureMessage(const QHostAddress& address, quint16 port, QAbstractSocket::SocketError error,
                           const QString& reason) {
    QString message =
        QStringLiteral("velta-devsim: cannot bind %1: %2").arg(endpointText(address, port), reason);
    if (port != 0 && port < 1024 && error == QAbstractSocket::SocketAccessError) {
        message += QStringLiteral("\nvelta-devsim: ports below 1024 need root or CAP_NET_BIND_SERVICE "
                                  "(setcap cap_net_bind_service=+ep /path/to/velta-devsim); "
                                  "or choose a port above 1023 with --port");
    }
    return message;
}

SimServer::SimServer(SimOptions options, QObject* parent)
    : QObject(parent), m_options(std::move(options)), m_random(m_options.seed) {
    for (const int address : std::as_const(m_options.deviceAddresses))
        m_models.emplace_back(DeviceModel::Settings{
            .address = address,
            .errorAtLine = m_options.errorAtLine.value(address, m_options.errorAtLine.value(-1, 0)),
            .directOnly = m_options.directOnly,
            .bootText = m_options.bootText,
            .rowEvery = m_options.rowMs > 0 ? m_options.rowEvery : 0,
        });
    m_deviceTimes.assign(m_models.size(),
                         DeviceTime(qint64(m_options.recordUs) * 1000, qint64(m_options.rowMs) * 1000000));
    connect(&m_socket, &QUdpSocket::readyRead, this, &SimServer::readPending);
    connect(&m_alarm, &PreciseAlarm::rang, this, &SimServer::sendDue);
}

Result<void> SimServer::start() {
    // Another simulator (or anything else) on the port must make this one fail, not share it.
    if (!m_socket.bind(m_options.bindAddress, m_options.port, QAbstractSocket::DontShareAddress))
        return Failure{Failure::Cause::Network, bindFailureMessage(m_options.bindAddress, m_options.port,
                                                                   m_socket.error(), m_socket.errorString())};
    m_ownAddresses = ownAddresses(m_options.bindAddress);
    m_startNs = PreciseAlarm::nowNs();
    if (auto opened = m_alarm.open(); !opened)
        return Failure{opened.failure().cause, QStringLiteral("velta-devsim: ") + opened.failure().detail};
    return success();
}

bool SimServer::isOwnEndpoint(const QHostAddress& sender, quint16 senderPort) const {
    if (senderPort != m_socket.localPort())
        return false;
    for (const QHostAddress& own : m_ownAddresses) {
        if (own.isEqual(sender, QHostAddress::TolerantConversion))
            return true;
    }
    return false;
}

void SimServer::readPending() {
    m_reader.drain(m_socket, [this](QByteArrayView data, const QHostAddress& from, quint16 fromPort) {
        receive(data.toByteArray(), from, fromPort);
        return true;
    });
}

void SimServer::receive(const QByteArray& data, const QHostAddress& sender, quint16 senderPort) {
    // A datagram that claims to come from this socket would be answered to itself for ever.
    if (isOwnEndpoint(sender, senderPort))
        return;
    const QByteArray peer = endpointText(sender, senderPort).toLatin1();
    ++m_received;
    if ((m_options.dropEvery > 0 && m_received % quint64(m_options.dropEvery) == 0) ||
        drawn(m_options.lossRequests)) {
        log("drop " + peer + " " + logged(data));
        return;
    }
    // A device whose answers cannot leave as fast as requests come takes no more: a full input.
    if (m_waiting.full()) {
        m_waiting.countDropped();
        log("full " + peer + " " + logged(data));
        return;
    }
    log("in   " + peer + " " + logged(data));
    const qint64 nowNs = PreciseAlarm::nowNs();
    const auto [reply, device] = answer(data, peer);
    if (!reply) {
        log("none " + peer);
        return;
    }
    // The device is busy with the request even when its answer goes astray.
    const DeviceModel::Work work = m_models[size_t(device)].lastWork();
    const bool rowWrite = work == DeviceModel::Work::RowWrite && m_options.rowMs > 0;
    const double rowFactor = rowWrite ? 0.8 + m_random.bounded(0.4) : 1.0; // a row write varies
    const qint64 doneNs = m_deviceTimes[size_t(device)].done(nowNs, work, rowFactor);
    if (reply->startsWith(Protocol::Reply::Unknown) && !mayAnswerUnknown(peer)) {
        log("quiet " + peer);
        return;
    }
    if (drawn(m_options.lossReplies)) {
        log("lose " + peer + " " + logged(*reply));
        return;
    }
    schedule(*reply, doneNs, sender, senderPort);
}

std::pair<std::optional<QByteArray>, int> SimServer::answer(const QByteArray& data, const QByteArray& peer) {
    // A gateway form reaches the device it names; a direct line the first device.
    const bool wrapped = data.startsWith(Protocol::BootloaderForm) || data.startsWith(Protocol::ConsoleForm);
    const qint64 nowMs = elapsedMs();
    std::pair<std::optional<QByteArray>, int> got{std::nullopt, -1};
    for (size_t i = 0; i < m_models.size(); ++i) {
        if (!got.first && (got.first = m_models[i].handle(data, peer, nowMs)))
            got.second = int(i);
        // The image is on disk before "DOWNLOAD" leaves, so whoever waits for it may read it.
        if (m_models[i].takeDownloadCompleted())
            saveImage(m_models[i]);
        if (!wrapped)
            break;
    }
    return got;
}

void SimServer::schedule(const QByteArray& reply, qint64 doneNs, const QHostAddress& receiver,
                         quint16 receiverPort) {
    const int copies = drawn(m_options.duplicates) ? 2 : 1;
    const int delayMs =
        m_options.delayMs + (m_options.jitterMs > 0 ? int(m_random.bounded(m_options.jitterMs + 1)) : 0);
    for (int i = 0; i < copies; ++i) {
        // Drawn only where there is a range, so that a seed's other draws stay as they were.
        const int range = m_options.duplicateLagMaxUs - m_options.duplicateLagMinUs;
        const qint64 lagUs =
            i == 0 ? 0 : m_options.duplicateLagMinUs + (range > 0 ? qint64(m_random.bounded(range + 1)) : 0);
        if (!m_waiting.push(doneNs + qint64(delayMs) * 1000000 + lagUs * 1000,
                            {reply, receiver, receiverPort}))
            log("full " + endpointText(receiver, receiverPort).toLatin1() + " " + logged(reply));
    }
    // Those due now leave at once, after any due before them.
    if (m_waiting.nextDue() <= PreciseAlarm::nowNs())
        sendDue();
    else if (m_waiting.nextDue() != m_alarmAt)
        m_alarm.ringAt(*(m_alarmAt = m_waiting.nextDue()));
}

void SimServer::sendDue() {
    for (const ReplyQueue::Reply& r : m_waiting.takeDue(PreciseAlarm::nowNs()))
        send(r.bytes, r.receiver, r.port);
    m_alarmAt = m_waiting.nextDue();
    if (m_alarmAt)
        m_alarm.ringAt(*m_alarmAt);
}

qint64 SimServer::elapsedMs() const {
    return (PreciseAlarm::nowNs() - m_startNs) / 1000000;
}

bool SimServer::drawn(double percent) {
    return percent > 0 && m_random.bounded(100.0) < percent;
}

bool SimServer::mayAnswerUnknown(const QByteArray& peer) {
    const qint64 now = elapsedMs();
    if (m_unknownAnswers.size() >= MaxSendersKept) {
        for (auto it = m_unknownAnswers.begin(); it != m_unknownAnswers.end();)
            it = now - it->first >= 1000 ? m_unknownAnswers.erase(it) : std::next(it);
        if (m_unknownAnswers.size() >= MaxSendersKept)
            m_unknownAnswers.clear();
    }
    auto& [since, count] = m_unknownAnswers[peer];
    if (now - since >= 1000) {
        since = now;
        count = 0;
    }
    return ++count <= UnknownAnswersPerSecond;
}

void SimServer::send(const QByteArray& reply, const QHostAddress& receiver, quint16 receiverPort) {
    log("out  " + endpointText(receiver, receiverPort).toLatin1() + " " + logged(reply));
    if (m_socket.writeDatagram(reply, receiver, receiverPort) != reply.size()) {
        std::fprintf(stderr, "velta-devsim: cannot send to %s: %s\n",
                     qPrintable(endpointText(receiver, receiverPort)), qPrintable(m_socket.errorString()));
    }
}

void SimServer::saveImage(const DeviceModel& model) {
    if (m_options.imageOut.isEmpty())
        return;
    // Several devices keep an image each: FILE.<address>.
    const QString path = m_models.size() > 1
                             ? m_options.imageOut + QLatin1Char('.') + QString::number(model.address())
                             : m_options.imageOut;
    // A rename over the path itself: a link put there since the start is replaced, not followed.
    const auto written = replaceFile(path, model.image().toHexText());
    if (!written) {
        std::fprintf(stderr, "velta-devsim: cannot write image to %s: %s\n", qPrintable(path),
                     qPrintable(written.failure().detail));
    } else if (m_options.verbosity != SimOptions::Verbosity::Quiet) {
        std::fprintf(stderr, "velta-devsim: download complete, %lld bytes written to %s\n",
                     static_cast<long long>(model.image().size()), qPrintable(path));
    }
}

void SimServer::log(const QByteArray& text) const {
    if (m_options.verbosity != SimOptions::Verbosity::Verbose)
        return;
    std::fprintf(stderr, "velta-devsim: %s\n", text.constData());
}
