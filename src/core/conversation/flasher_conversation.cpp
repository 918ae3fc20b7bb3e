#include "core/conversation/flasher_conversation.h"

#include "core/conversation/framing.h"
#include "core/conversation/vocabulary.h"
#include "core/io/printable.h"

#include <algorithm>

namespace {
QByteArrayView withoutLineEnd(QByteArrayView reply) {
    while (!reply.isEmpty() && (reply.back() == '\n' || reply.back() == '\r' || reply.back() == ' '))
        reply.chop(1);
    return reply;
}

// A reply as messages quote it: without its line end, and not more than a line of it.
QString quotedReply(QByteArrayView bytes) {
    return QLatin1Char('"') + printable(withoutLineEnd(bytes), 80) + QLatin1Char('"');
}

QString secondsText(Micros us) {
    return QString::number(double(us) / 1e6, 'g', 6) + QStringLiteral(" s");
}

constexpr Micros UsPerMs = 1000;
// Round trips shorter than the host's own timer resolution say nothing about a device.
constexpr Micros Granularity = 50;
} // namespace

FlasherConversation::Word FlasherConversation::strictWord(QByteArrayView reply) {
    reply = withoutLineEnd(reply);
    if (reply == Protocol::Reply::Ok)
        return Word::Ok;
    if (reply == Protocol::Reply::Download)
        return Word::Download;
    const QByteArrayView error(Protocol::Reply::Error);
    // The first word, whatever follows it: even a reply of several lines that begins "ERROR".
    if (reply.startsWith(error) && (reply.size() == error.size() || reply[error.size()] == ' ' ||
                                    reply[error.size()] == '\r' || reply[error.size()] == '\n'))
        return Word::Error;
    return Word::Other;
}

std::optional<QString> bootVersion(QStringView bootInfo) {
    const QLatin1String field(Protocol::Reply::VersionField);
    for (qsizetype at = bootInfo.indexOf(field); at >= 0; at = bootInfo.indexOf(field, at + 1)) {
        if (at > 0 && bootInfo[at - 1] != u' ')
            continue; // part of another word
        const qsizetype begin = at + field.size();
        qsizetype end = begin;
        while (end < bootInfo.size() && bootInfo[end] != u' ' && bootInfo[end] != u'\r' &&
               bootInfo[end] != u'\n')
            ++end;
        return bootInfo.sliced(begin, end - begin).toString();
    }
    return std::nullopt;
}

FlasherConversation::FlasherConversation(const LineStore& lines, FlashSettings settings)
    : m_settings(std::move(settings)) {
    m_state.lineStore = lines;
    m_state.lineCount = qint16(qMin(lines.count(), int(TransferState::MaxLines)));
    m_datagram.reserve(600);
}

QString FlasherConversation::passName(FlashPass pass) {
    switch (pass) {
    case FlashPass::BootInfo:
        return QStringLiteral("boot-information request");
    case FlashPass::Download:
        return QStringLiteral("download pass");
    case FlashPass::Verify:
        return QStringLiteral("verify pass");
    }
    return {};
}

QString FlasherConversation::where() const {
    if (m_pass == FlashPass::BootInfo)
        return QStringLiteral("the boot-information request");
    return QStringLiteral("line %1 of %2 in the %3").arg(m_line).arg(m_state.lineCount).arg(passName(m_pass));
}

// ---- Time ----

Micros FlasherConversation::timeoutUs() const {
    const Micros longest = Micros(m_settings.timeoutMs) * UsPerMs;
    if (m_samples == 0)
        return longest;
    return std::clamp(m_srtt + std::max(Granularity, 4 * m_rttvar), MinTimeoutUs, longest);
}

Micros FlasherConversation::horizonUs() const {
    const Micros longest = *std::max_element(m_recent.begin(), m_recent.begin() + std::max(m_recentCount, 1));
    // A reply later than twice the longest wait allowed is taken for lost, however late replies
    // have come: the verify pass is the guard beyond that.
    const Micros cap = 2 * Micros(std::max(m_settings.timeoutMs, 1)) * UsPerMs;
    return std::min(std::max(HorizonFloorUs, 2 * longest), std::max(cap, HorizonFloorUs));
}

// How long the copy just sent waits for its answer: the time-out, doubled at each time-out until
// a line is answered at its first send (Karn: a time-out too short for the device would
// otherwise never learn better, as resent lines give no sample), never more than --timeout; the
// first record always --first-timeout, as the device may erase.
Micros FlasherConversation::waitFor() const {
    if (firstRecord())
        return Micros(m_settings.firstTimeoutMs) * UsPerMs;
    const Micros longest = Micros(m_settings.timeoutMs) * UsPerMs;
    Micros wait = timeoutUs();
    for (int i = 0; i < m_backoffs && wait < longest; ++i)
        wait *= 2;
    return std::min(wait, longest);
}

// One answer's delay. A clean sample (a line sent once) tunes the time-out; every answer, late
// ones included, feeds the horizon, but the first record's: the device erases its flash first,
// once, and answers every copy it got after that.
void FlasherConversation::sample(Micros roundTrip, bool clean) {
    roundTrip = std::max<Micros>(roundTrip, 1);
    if (!firstRecord()) {
        m_recent[size_t(m_recentNext)] = roundTrip;
        m_recentNext = (m_recentNext + 1) % int(m_recent.size());
        m_recentCount = std::min(m_recentCount + 1, int(m_recent.size()));
    }
    if (!clean)
        return;
    // The boot information comes from another part of the device (and a first contact may wait
    // for the address to be resolved): it says nothing of how soon a record can be answered.
    if (m_pass != FlashPass::BootInfo) {
        m_cleanTrips[size_t(m_cleanNext)] = roundTrip;
        m_cleanNext = (m_cleanNext + 1) % int(m_cleanTrips.size());
        m_cleanCount = std::min(m_cleanCount + 1, int(m_cleanTrips.size()));
    }
    if (m_samples++ == 0) {
        m_srtt = roundTrip;
        m_rttvar = roundTrip / 2;
        return;
    }
    m_rttvar = (3 * m_rttvar + std::abs(m_srtt - roundTrip)) / 4;
    m_srtt = (7 * m_srtt + roundTrip) / 8;
}

// The shortest time in which an answer can come: a third of the second shortest recent clean
// round trip of a record (an answer to a resent line may be an earlier copy's, and says nothing
// of it; the second, as one duplicate taken for an answer must not blind the rule to the next),
// never more than TwinWindowUs. Round trips on one line vary several times over (on loopback
// from 20 to 200 us), so nothing surer can be said; a duplicate usually follows its original
// within a few microseconds.
Micros FlasherConversation::soonestAnswerUs() const {
    if (m_cleanCount == 0)
        return 0;
    std::array<Micros, 32> recent = m_cleanTrips;
    const int second = std::min(m_cleanCount, 2) - 1;
    std::partial_sort(recent.begin(), recent.begin() + second + 1, recent.begin() + m_cleanCount);
    return std::min(TwinWindowUs, recent[size_t(second)] / 3);
}

// ---- Sending ----

FlashAction FlasherConversation::start(Micros now) {
    if (m_state.lineCount < 1)
        return fail(FlashResult::DeviceError, QStringLiteral("nothing to send"));
    // As a completed load leaves it: armed, at the start of the download pass.
    m_state.linePos = 0;
    m_state.verifyPhase = false;
    m_state.armed = true;
    m_pass = FlashPass::BootInfo;
    m_endOfPass = false;
    return sendLine(QLatin1String(Protocol::Command::BootInfo) + QLatin1String(Protocol::LineEnd), now);
}

FlashAction FlasherConversation::sendLine(const QString& commandLine, Micros now) {
    if (!frameInto(commandLine, m_datagram))
        return fail(FlashResult::NetworkError, QStringLiteral("cannot frame the line for the gateway"));
    m_flight = Flight{now, now};
    m_lastIgnored.clear();
    return sendCopy(now);
}

FlashAction FlasherConversation::sendCopy(Micros now) {
    m_flight.last = now;
    if (m_flight.copies < int(m_flight.sent.size()))
        m_flight.sent[size_t(m_flight.copies)] = now;
    ++m_flight.copies;
    m_waiting = Waiting::Answer;
    m_flight.wait = waitFor();
    m_deadline = now + m_flight.wait;
    return {true};
}

void FlasherConversation::sent(Micros at) {
    const Micros later = at - m_flight.last;
    if (m_waiting != Waiting::Answer || m_flight.copies == 0 || later <= 0)
        return;
    m_flight.last = at;
    if (m_flight.copies == 1)
        m_flight.first = at;
    if (m_flight.copies <= int(m_flight.sent.size()))
        m_flight.sent[size_t(m_flight.copies - 1)] = at;
    m_deadline += later;
}

std::optional<Micros> FlasherConversation::wakeAt() const {
    if (finished() || m_waiting == Waiting::Nothing)
        return std::nullopt;
    return m_deadline;
}

FlashAction FlasherConversation::proceed(Micros now) {
    // Copies still unanswered now are presumed lost: their replies, should they come after all,
    // come later than the horizon.
    if (m_flight.copies > m_flight.answers) {
        m_writtenOff = m_flight.last;
        m_sinceWriteOff = 0;
    }
    if ((m_pass == FlashPass::Verify && m_endOfPass) ||
        (m_pass == FlashPass::BootInfo && m_settings.bootInfoOnly))
        return conclude(now);
    const bool nextPass = m_endOfPass || (m_pass == FlashPass::BootInfo && m_settings.verifyOnly);
    if (nextPass)
        return startVerifyPass(now);
    const bool verify = m_state.verifyPhase;
    const auto line = advanceLine(m_state);
    if (!line)
        return fail(FlashResult::DeviceError, QStringLiteral("the transfer stopped after %1").arg(where()));
    m_line = *line;
    m_pass = verify ? FlashPass::Verify : FlashPass::Download;
    m_endOfPass = m_line == m_state.lineCount;
    if (m_preparedLine != (verify ? -m_line : m_line))
        return sendLine(recordCommand(m_state.lineStore.line(m_line), verify), now);
    std::swap(m_datagram, m_prepared);
    m_preparedLine = 0;
    m_flight = Flight{now, now};
    m_lastIgnored.clear();
    return sendCopy(now);
}

FlashAction FlasherConversation::startVerifyPass(Micros now) {
    m_state.verifyPhase = true;
    m_state.linePos = 0;
    m_misfits = 0;
    // A pass run again answers its lines again.
    m_acknowledged = m_settings.verifyOnly ? 0 : m_state.lineCount;
    m_endOfPass = false;
    m_pass = FlashPass::Verify;
    return proceed(now);
}

void FlasherConversation::prepareNext() {
    if (m_waiting != Waiting::Answer || m_flight.copies != 1)
        return;
    // The next line of this pass, or the first of the pass that follows.
    bool verify = m_pass == FlashPass::Verify;
    int next = m_line + 1;
    if (m_pass == FlashPass::BootInfo || next > m_state.lineCount) {
        if (verify)
            return;
        verify = m_pass != FlashPass::BootInfo || m_settings.verifyOnly;
        next = 1;
    }
    const int key = verify ? -next : next;
    if (key != m_preparedLine)
        m_preparedLine = frameInto(recordCommand(m_state.lineStore.line(next), verify), m_prepared) ? key : 0;
}

bool FlasherConversation::frameInto(const QString& line, QByteArray& out) const {
    const auto framed =
        frameLine(line, m_settings.gateway, m_settings.gatewayAddress, GatewayForm::Bootloader);
    if (framed)
        latin1Into(*framed, out);
    return framed.has_value();
}

QByteArray FlasherConversation::startCommand() const {
    QByteArray start;
    return frameInto(QLatin1String(Protocol::Command::Start) + QLatin1String(Protocol::LineEnd), start)
               ? start
               : QByteArray();
}

// ---- Replies ----

FlashAction FlasherConversation::onReply(QByteArrayView reply, Micros now, Micros arrived) {
    if (finished())
        return {};
    arrived = std::min(arrived, now);
    const Word word = strictWord(reply);
    // A reply right behind the one before it, sooner than any round trip, is its duplicate.
    const bool rightBehind = arrived - std::exchange(m_lastReplyAt, arrived) <= soonestAnswerUs();
    // Whatever it answers, late or not, a device that reports an error has not taken the file.
    if (word == Word::Error) {
        if (QByteArrayView(withoutLineEnd(reply)).startsWith("ERROR VERIFY"))
            m_refusal = DeviceRefusal::VerifyMismatch;
        return fail(FlashResult::DeviceError,
                    QStringLiteral("the device answered %1 to %2").arg(quotedReply(reply), where()));
    }
    if (m_waiting == Waiting::Answer && fitsLine(reply, word) && canAnswer(arrived)) {
        if (m_pass == FlashPass::BootInfo) {
            if (auto refused = bootInfoAnswered(reply); m_result != FlashResult::Running)
                return refused;
        }
        return answered(now, arrived);
    }
    if ((m_waiting == Waiting::Settle || m_waiting == Waiting::EndSettle) &&
        m_flight.answers < m_flight.copies && fitsLine(reply, word) && !rightBehind) {
        // A late answer to one of the copies still owed.
        ++m_flight.answers;
        ++m_lateReplies;
        ++m_slowAnswers;
        // A device answers its copies in the order they came: this is the answer to the copy
        // after the one answered before.
        sample(arrived - m_flight.sentAt(m_flight.answers - 1), false);
        if (m_waiting == Waiting::Settle && m_flight.answers == m_flight.copies)
            return proceed(now);
        return {};
    }
    return stray(reply, word, rightBehind, arrived);
}

bool FlasherConversation::fitsLine(QByteArrayView reply, Word word) const {
    if (m_pass == FlashPass::BootInfo)
        return word == Word::Ok || bootVersion(QString::fromLatin1(reply)).has_value();
    return word == (m_endOfPass ? Word::Download : Word::Ok);
}

// A reply that comes sooner after the latest copy's send than any round trip measured cannot be
// that copy's answer; an earlier copy's, when there is one.
bool FlasherConversation::canAnswer(Micros arrived) const {
    return arrived - m_flight.first > soonestAnswerUs();
}

FlashAction FlasherConversation::stray(QByteArrayView reply, Word word, bool rightBehind, Micros arrived) {
    ++m_lateReplies;
    const bool recordWord = word == Word::Ok || word == Word::Download;
    // Sooner than any answer can come after the line's send, or right behind the reply before:
    // a duplicate of the last answer, which says nothing more.
    const bool twin =
        m_waiting == Waiting::Answer ? !canAnswer(arrived) : m_waiting == Waiting::Gap || rightBehind;
    // Sooner after the last answer than a round trip: a duplicate of it, however far behind.
    // The line duplicates replies: from now on the next line waits twice as long as this one
    // trailed, so that such duplicates show themselves before it goes.
    // Not while copies are owed: a device that was held up answers them back to back.
    const Micros behind = arrived - m_lastAnswerAt;
    const bool nothingOwed = m_flight.answers >= m_flight.copies || m_waiting == Waiting::Answer;
    if (recordWord && nothingOwed && m_lastAnswerAt > 0 && behind >= 0 && behind < m_srtt) {
        m_twinGapUs = std::max(m_twinGapUs, std::min(2 * behind + 1, horizonUs()));
        m_linesSinceTwin = 0;
    }
    // A record's word that answers nothing, come when no duplicate could: the reply of a copy
    // written off at the horizon, later than the horizon. Its delay is taken in like any other,
    // so the horizon grows to take such replies in.
    if (recordWord && m_writtenOff != 0 && !twin)
        sample(arrived - std::exchange(m_writtenOff, 0), false);
    // In the verify pass such a reply (or any that no line asks for) means a reply taken for an
    // answer somewhere may have been another's: the pass is no clean evidence.
    if (m_pass == FlashPass::Verify && (!recordWord || !twin))
        ++m_misfits;
    if (m_waiting == Waiting::Answer)
        m_lastIgnored = quotedReply(reply);
    return {};
}

FlashAction FlasherConversation::bootInfoAnswered(QByteArrayView reply) {
    m_bootInfo = QString::fromLatin1(withoutLineEnd(reply));
    // The wrong device, or the wrong bootloader, is not flashed.
    if (!m_settings.expectVersion.isEmpty() && bootVersion(m_bootInfo) != m_settings.expectVersion) {
        m_refusal = DeviceRefusal::VersionMismatch;
        return fail(FlashResult::DeviceError,
                    QStringLiteral("the device answered %1 to the boot-information request, "
                                   "not version \"%2\"")
                        .arg(quotedReply(reply), m_settings.expectVersion));
    }
    return {};
}

FlashAction FlasherConversation::answered(Micros now, Micros arrived) {
    m_flight.answered = true;
    m_flight.answers = 1;
    m_lastAnswerAt = arrived;
    // A line that has stopped duplicating replies gets its pace back.
    if (m_twinGapUs > 0 && ++m_linesSinceTwin > TwinMemoryLines)
        m_twinGapUs = 0;
    // A copy written off so many answers ago that a stray now is more likely anything else.
    if (m_writtenOff != 0 && ++m_sinceWriteOff > int(m_recent.size()))
        m_writtenOff = 0;
    // Karn: a line sent once gives a clean sample; the first record's answer waits for the erase.
    if (m_flight.copies == 1) {
        sample(arrived - m_flight.first, !firstRecord());
        m_backoffs = 0;
    } else {
        sample(arrived - m_flight.last, false);
    }
    if (m_pass != FlashPass::BootInfo)
        ++m_acknowledged;
    if (m_endOfPass) {
        // After a pass's last answer, listen for the horizon: a late ERROR still fails, and a
        // late copy is not carried into the next pass.
        m_waiting = Waiting::EndSettle;
        m_deadline = now + horizonUs();
        return {};
    }
    // The first records' answers are given a round trip for duplicates to show themselves: on a
    // line that duplicates, they would otherwise be taken for answers before anything is learnt.
    const bool probing = m_pass != FlashPass::BootInfo && m_acknowledged <= m_settings.probeLines;
    const Micros gap = probing ? std::max(m_twinGapUs, m_srtt) : m_twinGapUs;
    if (m_flight.copies == 1 && gap == 0)
        return proceed(now);
    if (m_flight.copies == 1) {
        // Duplicates of this answer may still be on their way: the next line goes once they
        // would have come, so none is taken for its answer.
        m_waiting = Waiting::Gap;
        m_deadline = arrived + gap;
        return now >= m_deadline ? proceed(now) : FlashAction{};
    }
    // Copies still owed may yet be answered: the next line waits until they are, or are
    // older than the horizon, so none of their answers is taken for its own.
    m_waiting = Waiting::Settle;
    m_deadline = m_flight.last + horizonUs();
    return now >= m_deadline ? proceed(now) : FlashAction{};
}

FlashAction FlasherConversation::conclude(Micros now) {
    if (m_misfits == 0) {
        m_result = FlashResult::Success;
        m_waiting = Waiting::Nothing;
        return {};
    }
    const QString why =
        QStringLiteral("%1 repl%2 answered nothing in the verify pass: the line duplicates or delays replies "
                       "beyond the horizon (%3), so the device's answers cannot be told apart")
            .arg(m_misfits)
            .arg(m_misfits == 1 ? QStringLiteral("y") : QStringLiteral("ies"))
            .arg(secondsText(horizonUs()));
    if (m_settings.verifyOnly || m_verifyRepeats >= m_settings.retries)
        return fail(FlashResult::NetworkError, why);
    ++m_verifyRepeats;
    return startVerifyPass(now);
}

// ---- Waits ----

FlashAction FlasherConversation::onTimer(Micros now) {
    if (finished() || m_waiting == Waiting::Nothing)
        return {};
    if (now < m_deadline)
        return {};
    switch (m_waiting) {
    case Waiting::Gap:
        return proceed(now);
    case Waiting::Settle:
        // No copy answered late: they were lost, not waiting on a time-out too short for the
        // device, which would have shown in a late answer. Losses do not lengthen the next wait.
        if (m_flight.answers == 1)
            m_backoffs = 0;
        return proceed(now);
    case Waiting::EndSettle:
        return m_pass == FlashPass::Verify ? conclude(now) : proceed(now);
    case Waiting::Answer:
        return timedOut(now);
    case Waiting::Nothing:
        break;
    }
    return {};
}

FlashAction FlasherConversation::timedOut(Micros now) {
    const Micros limit =
        firstRecord() ? Micros(m_settings.firstTimeoutMs) * UsPerMs : Micros(m_settings.timeoutMs) * UsPerMs;
    // Resends that came before the time-out reached --timeout do not count against --retries:
    // a device is given up only after --retries copies have each waited the whole --timeout.
    if (m_flight.wait >= limit)
        ++m_flight.fullWaits;
    if (m_flight.fullWaits <= m_settings.retries) {
        ++m_resends;
        m_backoffs = std::min(m_backoffs + 1, 64);
        return sendCopy(now);
    }
    const int sends = m_flight.copies;
    QString text = m_lastIgnored.isEmpty() ? QStringLiteral("no reply") : QStringLiteral("no usable reply");
    text += QStringLiteral(" to %1 (timeout %2, %3 %4)")
                .arg(where(), secondsText(limit))
                .arg(sends)
                .arg(sends == 1 ? QStringLiteral("send") : QStringLiteral("sends"));
    if (!m_lastIgnored.isEmpty())
        text += QStringLiteral("; last reply %1").arg(m_lastIgnored);
    // The usual cause: a device without a gateway, asked in the gateway's form.
    if (m_pass == FlashPass::BootInfo && m_settings.gateway && m_lastIgnored.isEmpty())
        text += QStringLiteral("; sent as %1: a device without a gateway needs --direct")
                    .arg(QString::fromLatin1(withoutLineEnd(m_datagram)));
    return fail(FlashResult::Timeout, text);
}

// ---- Ends ----

void FlasherConversation::interrupt() {
    if (!finished())
        (void)fail(FlashResult::Interrupted, QStringLiteral("interrupted at %1").arg(where()));
}

void FlasherConversation::failNetwork(const QString& reason) {
    if (!finished())
        (void)fail(FlashResult::NetworkError, reason);
}

FlashAction FlasherConversation::fail(FlashResult result, const QString& message) {
    m_result = result;
    m_message = message;
    // Answers that came only after a resend point at a slow device, not a broken one.
    if (m_slowAnswers > 0 && (result == FlashResult::Timeout || result == FlashResult::DeviceError))
        m_message += QStringLiteral("; %1 answer(s) came late, after a resend: the device may need a longer "
                                    "--timeout (now %2)")
                         .arg(m_slowAnswers)
                         .arg(secondsText(Micros(m_settings.timeoutMs) * UsPerMs));
    m_waiting = Waiting::Nothing;
    return {};
}
