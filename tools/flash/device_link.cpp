#include "device_link.h"

#include "core/io/signals.h"
#include "net/addresses.h"
#include "transcript.h"

namespace {
constexpr qint64 NsPerMs = 1000000;
// How long a link that runs alone keeps the event loop waiting for its device's answers, and
// how long one wait in the receiving call lasts: it hands back at least every 20 ms.
constexpr qint64 InPlaceSliceNs = 10 * NsPerMs;
constexpr int InPlaceWaitMs = 10;
} // namespace

DeviceLink::DeviceLink(DeviceTarget target, const LineStore& lines, const FlashSettings& settings,
                       Transcript* transcript, QObject* parent)
    : QObject(parent), m_target(std::move(target)), m_session(lines, settings), m_transcript(transcript) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &DeviceLink::onTimer);
    connect(&m_socket, &DatagramSocket::readyRead, this, &DeviceLink::readPending);
}

Result<void> DeviceLink::bind(quint16 localPort) {
    if (auto bound = m_socket.bind(m_target.address.protocol(), localPort); !bound)
        return bound;
    m_localPort = m_socket.localPort();
    return success();
}

qint64 DeviceLink::elapsedUs() const {
    if (m_finishedUs >= 0)
        return m_finishedUs;
    return m_clock.isValid() ? m_clock.nsecsElapsed() / 1000 : 0;
}

void DeviceLink::start() {
    m_clock.start();
    if (m_transcript)
        m_transcript->note(
            m_target.label,
            QStringLiteral("start, local port %1, %2 lines").arg(m_localPort).arg(m_session.lineCount()));
    apply(m_session.start());
}

void DeviceLink::readPending() {
    const auto take = [this](QByteArrayView data, const QHostAddress& from, quint16 fromPort) {
        return this->take(data, from, fromPort);
    };
    m_reader.drain(m_socket, take);
    // A link that runs alone waits for the next answer in the receiving call, as a blocking
    // client does: waiting through poll() or the event loop costs two more system calls a line.
    // Signals, progress and timers are served between the waits.
    const qint64 handBackNs = m_clock.nsecsElapsed() + InPlaceSliceNs;
    while (m_waitInPlace && !m_session.finished() && m_deadlineNs != 0) {
        const qint64 now = m_clock.nsecsElapsed();
        if (now >= handBackNs || now >= m_deadlineNs)
            break;
        // Always the same wait, so the socket keeps its receive timeout; only the last one before
        // a deadline is cut short.
        const auto ms = int(std::min<qint64>(InPlaceWaitMs, (m_deadlineNs - now + NsPerMs - 1) / NsPerMs));
        if (!m_reader.awaitOne(m_socket, take, ms) && m_socket.error() != QAbstractSocket::SocketTimeoutError)
            break; // a signal came, or an error the event loop meets again
    }
    // However much arrives, a wait that has run out ends now, not after the flood.
    if (m_deadlineNs != 0 && m_clock.nsecsElapsed() >= m_deadlineNs && !m_session.finished())
        onTimer();
}

bool DeviceLink::take(QByteArrayView data, const QHostAddress& from, quint16 fromPort) {
    // Only the device may move its transfer on; it may answer from another port.
    if (!isFromDevice(from, m_target.address)) {
        if (m_transcript)
            m_transcript->note(m_target.label, QStringLiteral("ignored %1 bytes from %2 port %3")
                                                   .arg(data.size())
                                                   .arg(from.toString())
                                                   .arg(fromPort));
        return true;
    }
    if (m_transcript)
        m_transcript->received(m_target.label, data);
    const int late = m_session.lateReplies();
    const FlashAction action = m_session.onReply(data);
    if (m_transcript && m_session.lateReplies() != late)
        m_transcript->note(m_target.label, QStringLiteral("late copy of an answer already taken, dropped"));
    apply(action);
    // Nothing more is read once the session is over.
    return !m_session.finished();
}

void DeviceLink::onTimer() {
    const qint64 now = m_clock.nsecsElapsed();
    m_timerDueNs = 0;
    if (m_deadlineNs == 0)
        return;
    // The deadline moves with every line while the timer keeps running: only act once it has
    // really passed (a precise timer may still be up to a millisecond early).
    if (m_deadlineNs - now > NsPerMs) {
        const qint64 rest = m_deadlineNs - now;
        m_timerDueNs = m_deadlineNs;
        m_timer.start(int((rest + NsPerMs - 1) / NsPerMs));
        return;
    }
    m_deadlineNs = 0;
    const int resends = m_session.resends();
    const FlashAction action = m_session.onTimer();
    if (m_transcript && m_session.resends() != resends)
        m_transcript->note(m_target.label, QStringLiteral("timeout, resend %1").arg(m_session.resends()));
    apply(action);
}

void DeviceLink::arm(int ms) {
    const qint64 now = m_clock.nsecsElapsed();
    m_deadlineNs = now + qint64(ms) * NsPerMs;
    // Restarting a timer for every line costs more than the line itself on loopback; a running
    // timer that fires no later than the new deadline is simply left to run.
    if (m_timerDueNs != 0 && m_timerDueNs <= m_deadlineNs && m_timer.isActive())
        return;
    m_timerDueNs = m_deadlineNs;
    m_timer.start(ms);
}

void DeviceLink::apply(const FlashAction& action) {
    if (action.send)
        send();
    switch (action.timer) {
    case FlashAction::Timer::Keep:
        break;
    case FlashAction::Timer::StartReply:
        arm(m_session.replyTimeoutMs());
        break;
    case FlashAction::Timer::StartSettle:
        arm(m_session.settleTimeoutMs());
        break;
    case FlashAction::Timer::Stop:
        m_deadlineNs = 0;
        m_timer.stop();
        break;
    }
    if (action.send)
        m_session.prepareNext();
    if (m_session.pass() != m_reportedPass && !m_session.finished()) {
        m_reportedPass = m_session.pass();
        emit passChanged(this);
    }
    if (m_session.finished() && m_finishedUs < 0)
        finish();
}

void DeviceLink::send() {
    // Nothing goes out after Ctrl-C, not even the line whose answer came with it.
    if (TerminationSignals::seen()) {
        m_session.interrupt();
        return;
    }
    const QByteArray& bytes = m_session.datagram();
    if (m_socket.writeDatagram(bytes, m_target.address, m_target.port) != bytes.size()) {
        m_session.failNetwork(QStringLiteral("cannot send to %1 port %2: %3")
                                  .arg(m_target.address.toString())
                                  .arg(m_target.port)
                                  .arg(m_socket.errorString()));
        return;
    }
    // Logged once it is on its way; its reply cannot be read before this returns.
    if (m_transcript)
        m_transcript->sent(m_target.label, bytes);
}

void DeviceLink::interrupt() {
    m_session.interrupt();
    if (m_finishedUs < 0 && m_clock.isValid())
        finish();
}

void DeviceLink::abandon(const QString& reason) {
    m_session.failNetwork(reason);
    m_finishedUs = 0;
    emit finished(this);
}

bool DeviceLink::sendStart() {
    if (TerminationSignals::seen())
        return false;
    const QByteArray start = m_session.startCommand();
    const bool sent = m_socket.writeDatagram(start, m_target.address, m_target.port) == start.size();
    if (m_transcript && sent)
        m_transcript->sent(m_target.label, start);
    m_socket.close();
    return sent;
}

void DeviceLink::finish() {
    m_finishedUs = m_clock.nsecsElapsed() / 1000;
    m_deadlineNs = 0;
    m_timer.stop();
    // Nothing more is read; the socket stays for the start command until the link goes.
    m_socket.disconnect(this);
    m_socket.setReadNotificationEnabled(false);
    if (m_transcript)
        m_transcript->note(m_target.label, m_session.result() == FlashResult::Success
                                               ? QStringLiteral("end of the verify pass")
                                               : QStringLiteral("stopped: %1").arg(m_session.message()));
    emit finished(this);
}
