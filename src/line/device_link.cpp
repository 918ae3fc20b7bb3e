#include "line/device_link.h"

#include "line/transcript.h"

#include "core/io/signals.h"
#include "net/addresses.h"
#include "net/quick_answer.h"

namespace {
// How long a link that runs alone keeps the event loop waiting for its device's answers, and how
// long one wait in the receiving call lasts: it hands back at least every 20 ms.
constexpr Micros InPlaceSliceUs = 10000;
constexpr Micros InPlaceWaitUs = 10000;
// A line that lost a datagram is likely to lose more: waits stay precise for this many sends.
constexpr int PreciseSendsAfterLoss = 1024;
} // namespace

DeviceLink::DeviceLink(DeviceTarget target, const LineStore& lines, const FlashSettings& settings,
                       Transcript* transcript, QObject* parent)
    : QObject(parent), m_target(std::move(target)), m_session(lines, settings), m_transcript(transcript) {
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &DeviceLink::onTimer);
    connect(&m_socket, &DatagramSocket::readyRead, this, &DeviceLink::serve);
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
    return m_clock.isValid() ? now() : 0;
}

void DeviceLink::start() {
    m_clock.start();
    note(QStringLiteral("start, local port %1, %2 lines").arg(m_localPort).arg(m_session.lineCount()));
    apply(m_session.start(now()));
}

void DeviceLink::drainSocket() {
    m_reader.drain(m_socket, [this](QByteArrayView data, const QHostAddress& from, quint16 fromPort) {
        return take(data, from, fromPort);
    });
}

void DeviceLink::serve() {
    drainSocket();
    wakeIfDue();
    waitInPlace();
    // However much arrived, a wait that ran out meanwhile is served now, not after the flood.
    wakeIfDue();
    armTimer();
}

// A link that runs alone waits for the next answer in the receiving call, as a blocking client
// does (net/quick_answer.h); the event loop's timers count in milliseconds, where a resend is due
// after a fraction of one. Signals, progress and timers are served between slices.
void DeviceLink::waitInPlace() {
    if (!m_waitInPlace || m_inPlace)
        return;
    m_inPlace = true;
    const auto take = [this](QByteArrayView data, const QHostAddress& from, quint16 fromPort) {
        return this->take(data, from, fromPort);
    };
    (void)awaitQuickAnswers(
        m_reader, m_socket, InPlaceSliceUs, take, [this](bool) -> std::optional<AnswerWait> {
            wakeIfDue();
            if (m_session.finished() || !m_wakeAt)
                return std::nullopt;
            // The same wait every time, so the socket keeps its receive timeout; only the
            // last one before a wake-up is cut short. A wait that runs to its end (for
            // late copies or duplicates) and every wait after a loss ends on time to the
            // microsecond.
            const bool precise = m_preciseSends > 0 || !m_session.awaitingAnswer();
            // A quick device's answer is asked for before the wait sleeps.
            const Micros spin = m_session.awaitingAnswer() ? m_session.clock().spinUs() : 0;
            return AnswerWait{std::min(InPlaceWaitUs, *m_wakeAt - now()), precise, spin};
        });
    m_inPlace = false;
}

bool DeviceLink::take(QByteArrayView data, const QHostAddress& from, quint16 fromPort) {
    // Only the device may move its conversation on; it may answer from another port.
    if (!isFromDevice(from, m_target.address)) {
        note(QStringLiteral("ignored %1 bytes from %2 port %3")
                 .arg(data.size())
                 .arg(from.toString())
                 .arg(fromPort));
        return true;
    }
    if (m_transcript)
        m_transcript->received(m_target.label, data);
    // The time it came, not the time it is read: a reply that waited while this process was
    // busy (sending the next line, say) must not look like an answer to what went out meanwhile.
    const Micros t = now();
    const FlashAction action = m_session.onReply(data, t, t - m_socket.lastDatagramAgeUs());
    if (action.heard == FlashAction::Heard::OwedAnswer)
        note(QStringLiteral("the late answer to an earlier copy"));
    else if (action.heard == FlashAction::Heard::Duplicate)
        note(QStringLiteral("a duplicate of the answer before, dropped"));
    else if (action.heard == FlashAction::Heard::Stray)
        note(QStringLiteral("a reply that answers nothing now (late or a copy), dropped"));
    apply(action);
    // Nothing more is read once the conversation is over.
    return !m_session.finished();
}

void DeviceLink::onTimer() {
    m_timerDue = 0;
    serve();
}

// A wake-up that has come: what came while the wait ran out (the process may have been kept from
// running) is read first, since read after the next line went out, the answer waited for would
// pass for that line's. A timer may still come up to a millisecond early: then it waits on.
void DeviceLink::wakeIfDue() {
    if (m_session.finished() || !m_wakeAt || now() < *m_wakeAt)
        return;
    drainSocket();
    if (m_session.finished() || !m_wakeAt || now() < *m_wakeAt)
        return;
    apply(m_session.onTimer(now()));
}

void DeviceLink::apply(const FlashAction& action) {
    if (action.send) {
        if (action.resend) {
            m_preciseSends = PreciseSendsAfterLoss;
            note(QStringLiteral("no answer, resend %1").arg(m_session.resends()));
        }
        send();
        m_preciseSends = std::max(0, m_preciseSends - 1);
    }
    m_wakeAt = m_session.finished() ? std::nullopt : m_session.wakeAt();
    armTimer();
    if (action.send)
        m_session.prepareNext();
    if (m_session.pass() != m_reportedPass && !m_session.finished()) {
        m_reportedPass = m_session.pass();
        emit passChanged(this);
    }
    if (m_session.finished() && m_finishedUs < 0)
        finish();
}

void DeviceLink::armTimer() {
    if (!m_wakeAt) {
        m_timer.stop();
        m_timerDue = 0;
        return;
    }
    // Restarting a timer for every line costs more than the line itself on loopback; a running
    // timer that fires no later than the wake-up is simply left to run, and serves it then.
    if (m_timerDue != 0 && m_timerDue <= *m_wakeAt && m_timer.isActive())
        return;
    m_timerDue = *m_wakeAt;
    m_timer.start(int(std::max<Micros>(0, *m_wakeAt - now() + 999) / 1000));
}

void DeviceLink::send() {
    // Nothing goes out after Ctrl-C, not even the line whose answer came with it.
    if (TerminationSignals::seen()) {
        m_session.interrupt();
        return;
    }
    const QByteArray& bytes = m_session.datagram();
    const Micros at = now();
    if (m_socket.writeDatagram(bytes, m_target.address, m_target.port) != bytes.size()) {
        const QString why = QStringLiteral("cannot send to %1 port %2: %3")
                                .arg(m_target.address.toString())
                                .arg(m_target.port)
                                .arg(m_socket.errorString());
        // A send refused for a moment is a loss like any other: its wait runs, and it goes again.
        if (m_socket.sendMayRecover()) {
            m_session.sendFailed(m_socket.errorString());
            note(why + QStringLiteral(", taken as lost"));
        } else {
            m_session.failNetwork(why);
        }
        return;
    }
    m_sentAny = true;
    // Whatever came before this moment answers an earlier line.
    m_session.sent(at);
    // Logged once it is on its way; its reply cannot be read before this returns.
    if (m_transcript)
        m_transcript->sent(m_target.label, bytes);
}

void DeviceLink::note(const QString& text) {
    if (m_transcript)
        m_transcript->note(m_target.label, text);
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
    m_finishedUs = now();
    m_wakeAt.reset();
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
