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

// The device's word that a verify-form line differs from what it holds.
bool isVerifyError(QByteArrayView reply) {
    return withoutLineEnd(reply).startsWith("ERROR VERIFY");
}
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
    : m_settings(std::move(settings)), m_clock(Micros(m_settings.timeoutMs) * UsPerMs) {
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

// The longest wait of one copy: the first record's is --first-timeout, as the device may erase.
Micros FlasherConversation::limitUs() const {
    return Micros(firstRecord() ? m_settings.firstTimeoutMs : m_settings.timeoutMs) * UsPerMs;
}

FlashWait FlasherConversation::waitInForce() const {
    if (finished() || m_waiting == Waiting::Nothing)
        return {};
    FlashWait w{FlashWait::For::Settling, m_flight.last, m_deadline - m_flight.last, m_flight.copies - 1};
    if (m_waiting == Waiting::Answer) {
        w.what = m_pass == FlashPass::BootInfo ? FlashWait::For::BootInfo
                 : firstRecord()               ? FlashWait::For::FirstRecord
                                               : FlashWait::For::Record;
        w.wait = m_flight.wait;
    }
    return w;
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
    if (!frameInto(QLatin1String(Protocol::Command::BootInfo) + QLatin1String(Protocol::LineEnd), m_datagram))
        return fail(FlashResult::NetworkError, QStringLiteral("cannot frame the line for the gateway"));
    return sendFirstCopy(now);
}

FlashAction FlasherConversation::sendFirstCopy(Micros now) {
    m_flight = Flight{now, now};
    // However the waits of its copies grow, a line is given up when fixed waits would give it up.
    m_flight.giveUp = now + Micros(m_settings.retries + 1) * limitUs();
    m_lastIgnored.clear();
    return sendCopy(now);
}

FlashAction FlasherConversation::sendCopy(Micros now) {
    m_flight.last = now;
    if (m_flight.copies < int(m_flight.sent.size()))
        m_flight.sent[size_t(m_flight.copies)] = now;
    ++m_flight.copies;
    m_waiting = Waiting::Answer;
    const Micros wait = firstRecord() ? limitUs() : m_clock.waitUs();
    m_flight.wait = std::max<Micros>(1, std::min(wait, m_flight.giveUp - now));
    m_deadline = now + m_flight.wait;
    return {.send = true, .resend = m_flight.copies > 1};
}

void FlasherConversation::sent(Micros at) {
    const Micros later = at - m_flight.last;
    if (m_waiting != Waiting::Answer || m_flight.copies == 0 || later <= 0)
        return;
    m_flight.last = at;
    if (m_flight.copies == 1) {
        m_flight.first = at;
        m_flight.giveUp += later;
    }
    if (m_flight.copies <= int(m_flight.sent.size()))
        m_flight.sent[size_t(m_flight.copies - 1)] = at;
    m_deadline += later;
}

void FlasherConversation::sendFailed(const QString& reason) {
    ++m_sendFailures;
    m_sendFailure = reason;
}

std::optional<Micros> FlasherConversation::wakeAt() const {
    if (finished() || m_waiting == Waiting::Nothing)
        return std::nullopt;
    return m_deadline;
}

FlashAction FlasherConversation::proceed(Micros now) {
    // Copies still unanswered now are presumed lost: their replies, should they come after all,
    // come later than the horizon.
    if (m_flight.copies > m_flight.answers)
        m_clock.writeOff(m_flight.last);
    if ((m_pass == FlashPass::Verify && m_endOfPass) ||
        (m_pass == FlashPass::BootInfo && m_settings.bootInfoOnly))
        return conclude(now);
    if (m_pass == FlashPass::BootInfo)
        return m_settings.verifyOnly ? startVerifyPass(now) : startDownloadPass(now);
    if (m_endOfPass)
        return startVerifyPass(now);
    return sendNextLine(now);
}

FlashAction FlasherConversation::startDownloadPass(Micros now) {
    m_state.verifyPhase = false;
    m_state.linePos = 0;
    m_acknowledged = 0;
    m_ambiguous = 0;
    ++m_passes;
    m_pass = FlashPass::Download;
    return sendNextLine(now);
}

FlashAction FlasherConversation::startVerifyPass(Micros now) {
    m_state.verifyPhase = true;
    m_state.linePos = 0;
    m_misfits = 0;
    // A pass run again answers its lines again.
    m_acknowledged = m_settings.verifyOnly ? 0 : m_state.lineCount;
    ++m_passes;
    m_pass = FlashPass::Verify;
    return sendNextLine(now);
}

FlashAction FlasherConversation::sendNextLine(Micros now) {
    const bool verify = m_state.verifyPhase;
    const auto line = advanceLine(m_state);
    if (!line)
        return fail(FlashResult::DeviceError, QStringLiteral("the transfer stopped after %1").arg(where()));
    m_line = *line;
    m_endOfPass = m_line == m_state.lineCount;
    if (m_preparedLine == (verify ? -m_line : m_line)) {
        std::swap(m_datagram, m_prepared);
        m_preparedLine = 0;
    } else if (!frameInto(recordCommand(m_state.lineStore.line(m_line), verify), m_datagram)) {
        return fail(FlashResult::NetworkError, QStringLiteral("cannot frame the line for the gateway"));
    }
    return sendFirstCopy(now);
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

namespace {
FlashAction heard(FlashAction action, FlashAction::Heard what) {
    action.heard = what;
    return action;
}
} // namespace

FlashAction FlasherConversation::onReply(QByteArrayView reply, Micros now, Micros arrived) {
    if (finished())
        return {};
    arrived = std::min(arrived, now);
    const Word word = strictWord(reply);
    // A reply right behind the one before it, sooner than any round trip, is its duplicate.
    const bool rightBehind = arrived - std::exchange(m_lastReplyAt, arrived) <= m_clock.soonestAnswerUs();
    // The replies of a pass given up are no news, errors included: the pass begins again.
    if (m_waiting == Waiting::Restart) {
        ++m_lateReplies;
        return {.heard = FlashAction::Heard::Stray};
    }
    // Whatever it answers, late or not, a device that reports an error has not taken the file;
    // but a download record is never refused as a verify-form line is: that one is late.
    if (word == Word::Error && !(m_pass != FlashPass::Verify && isVerifyError(reply)))
        return refused(reply, now);
    if (m_waiting == Waiting::Answer && fitsLine(reply, word) && canAnswer(arrived)) {
        if (m_pass == FlashPass::BootInfo) {
            if (auto refusal = bootInfoAnswered(reply); m_result != FlashResult::Running)
                return refusal;
        }
        return heard(answered(now, arrived), FlashAction::Heard::Answer);
    }
    // A device that takes the first record for the end of a download holds no new image, however
    // often it is sent.
    if (m_waiting == Waiting::Answer && firstRecord() && m_passes == 1 && word == Word::Download &&
        canAnswer(arrived) && !rightBehind)
        return fail(FlashResult::DeviceError,
                    QStringLiteral("the device answered %1 to %2: it takes the first record for the end "
                                   "of a download")
                        .arg(quotedReply(reply), where()));
    if ((m_waiting == Waiting::Settle || m_waiting == Waiting::EndSettle) &&
        m_flight.answers < m_flight.copies && fitsLine(reply, word) && !rightBehind)
        return heard(owedAnswer(now, arrived), FlashAction::Heard::OwedAnswer);
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
    return arrived - m_flight.first > m_clock.soonestAnswerUs();
}

// An ERROR. After a download pass in which the line made replies ambiguous, an "ERROR VERIFY" is
// the line's doing until shown otherwise (a record taken for answered that the device never got):
// the file goes again, up to --retries times, before the device is said to hold another image.
FlashAction FlasherConversation::refused(QByteArrayView reply, Micros now) {
    const bool verifyError = isVerifyError(reply);
    const bool lineMayHaveLied = verifyError && m_pass == FlashPass::Verify && !m_settings.verifyOnly;
    if (lineMayHaveLied && m_ambiguous > 0 && m_downloadRepeats < m_settings.retries) {
        ++m_downloadRepeats;
        m_waiting = Waiting::Restart;
        m_deadline = now + std::max(m_clock.horizonUs(), m_clock.duplicateGapUs());
        return {};
    }
    if (verifyError)
        m_refusal = DeviceRefusal::VerifyMismatch;
    QString message = QStringLiteral("the device answered %1 to %2").arg(quotedReply(reply), where());
    if (lineMayHaveLied && m_ambiguous > 0)
        message += QStringLiteral("; in each of the %1 download passes the line made replies ambiguous "
                                  "(%2 in the last: late, twice or answering nothing), so a record "
                                  "may never have reached the device")
                       .arg(m_downloadRepeats + 1)
                       .arg(m_ambiguous);
    return fail(FlashResult::DeviceError, message);
}

FlashAction FlasherConversation::stray(QByteArrayView reply, Word word, bool rightBehind, Micros arrived) {
    ++m_lateReplies;
    if (m_pass == FlashPass::Download)
        ++m_ambiguous;
    const bool recordWord = word == Word::Ok || word == Word::Download;
    // Sooner than any answer can come after the line's send, or right behind the reply before:
    // a duplicate of the last answer, which says nothing more.
    const bool twin =
        m_waiting == Waiting::Answer ? !canAnswer(arrived) : m_waiting == Waiting::Gap || rightBehind;
    // A record's word that answers nothing, come when no duplicate could: the reply of a copy
    // written off at the horizon, later than the horizon. Else a duplicate of the last answer,
    // however far behind it (not while copies are owed: a device that was held up answers them
    // back to back).
    const Micros behind = arrived - m_lastAnswerAt;
    const bool inFlight = m_waiting == Waiting::Answer;
    const bool nothingOwed = m_flight.answers >= m_flight.copies || inFlight;
    if (recordWord && !(!twin && m_clock.strayAfterWriteOff(arrived)) && nothingOwed && m_lastAnswerAt > 0 &&
        behind >= 0) {
        // While a line is awaited, only what comes sooner than a round trip measures a duplicate.
        if (!inFlight || behind < m_clock.smoothedUs())
            m_clock.duplicateTrailed(behind);
        else
            m_clock.lineDuplicates();
    }
    // In the verify pass such a reply (or any that no line asks for) means a reply taken for an
    // answer somewhere may have been another's: the pass is no clean evidence.
    if (m_pass == FlashPass::Verify && (!recordWord || !twin))
        ++m_misfits;
    if (m_waiting == Waiting::Answer)
        m_lastIgnored = quotedReply(reply);
    return {.heard = twin ? FlashAction::Heard::Duplicate : FlashAction::Heard::Stray};
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

// The line's round trip, as far as it says anything: a line sent once times the device (Karn), the
// boot information only the first contact; the first record waits for the erase, once, and says
// nothing of the records after it. An answer after a resend only feeds the horizon.
void FlasherConversation::timeAnswer(Micros arrived) {
    if (m_flight.copies > 1) {
        if (!firstRecord())
            m_clock.delay(arrived - m_flight.last);
    } else if (m_pass == FlashPass::BootInfo) {
        m_clock.bootTrip(arrived - m_flight.first);
        m_clock.resetBackoff();
    } else if (firstRecord()) {
        m_clock.resetBackoff();
    } else {
        m_clock.cleanTrip(arrived - m_flight.first);
    }
}

FlashAction FlasherConversation::answered(Micros now, Micros arrived) {
    m_flight.answers = 1;
    m_lastAnswerAt = arrived;
    m_clock.answered();
    timeAnswer(arrived);
    if (m_pass != FlashPass::BootInfo)
        ++m_acknowledged;
    // Duplicates of this answer may still be on their way: the next line goes once they would
    // have come, so none is taken for its answer. The first records' answers are given a round
    // trip for them to show: on a line that duplicates, they would otherwise be taken for
    // answers before anything is learnt.
    const bool probing = m_pass != FlashPass::BootInfo && m_acknowledged <= m_settings.probeLines;
    const Micros gap =
        probing ? std::max(m_clock.duplicateGapUs(), m_clock.smoothedUs()) : m_clock.duplicateGapUs();
    Micros until = arrived + gap;
    // Copies still owed may yet be answered: the next line waits until they are, or are older
    // than the horizon, so none of their answers is taken for its own. After a pass's last answer
    // the horizon is listened out: a late ERROR still fails, and a late copy is not carried into
    // the next pass.
    // A device answers its copies in the order they came, each within a round trip of the one
    // before, so an owed answer comes within the time-out after this one: most resends follow a
    // loss and are owed nothing, and each would otherwise wait out the horizon.
    if (m_endOfPass)
        until = std::max(until, now + m_clock.horizonUs());
    else if (m_flight.copies > 1)
        until = std::max(until, std::min(m_flight.last + m_clock.horizonUs(), arrived + m_clock.timeoutUs()));
    m_waiting = m_endOfPass ? Waiting::EndSettle : m_flight.copies > 1 ? Waiting::Settle : Waiting::Gap;
    m_deadline = until;
    if (m_endOfPass)
        return {};
    return now >= m_deadline ? proceed(now) : FlashAction{};
}

// A late answer to one of the copies still owed. A device answers its copies in the order they
// came: this is the answer to the copy after the one answered before.
FlashAction FlasherConversation::owedAnswer(Micros now, Micros arrived) {
    ++m_flight.answers;
    ++m_lateReplies;
    ++m_slowAnswers;
    if (m_pass == FlashPass::Download)
        ++m_ambiguous;
    if (!firstRecord())
        m_clock.delay(arrived - m_flight.sentAt(m_flight.answers - 1));
    // A device that was held up answers every copy it got, one after another: the wait for the
    // rest goes on from this one.
    if (m_flight.answers < m_flight.copies) {
        m_deadline = std::max(m_deadline, arrived + m_clock.horizonUs());
        return {};
    }
    // Every copy was answered: none was lost, the first was only slow. Its round trip is what the
    // time-out must wait from now on (not the erase of the first record, nor the first contact).
    // On a line that duplicates replies, a duplicate may have passed for a copy's answer.
    if (m_pass != FlashPass::BootInfo && !firstRecord() && m_clock.duplicateGapUs() == 0)
        m_clock.spurious(m_lastAnswerAt - m_flight.sentAt(0));
    return m_waiting == Waiting::Settle ? proceed(now) : FlashAction{};
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
            .arg(secondsText(m_clock.horizonUs()));
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
            m_clock.resetBackoff();
        return proceed(now);
    case Waiting::EndSettle:
        return m_pass == FlashPass::Verify ? conclude(now) : proceed(now);
    case Waiting::Restart:
        return startDownloadPass(now);
    case Waiting::Answer:
        return timedOut(now);
    case Waiting::Nothing:
        break;
    }
    return {};
}

FlashAction FlasherConversation::timedOut(Micros now) {
    if (now < m_flight.giveUp) {
        ++m_resends;
        m_clock.timedOut();
        return sendCopy(now);
    }
    const int sends = m_flight.copies;
    QString text = m_lastIgnored.isEmpty() ? QStringLiteral("no reply") : QStringLiteral("no usable reply");
    text += QStringLiteral(" to %1 (timeout %2, %3 %4)")
                .arg(where(), secondsText(limitUs()))
                .arg(sends)
                .arg(sends == 1 ? QStringLiteral("send") : QStringLiteral("sends"));
    if (!m_lastIgnored.isEmpty())
        text += QStringLiteral("; last reply %1").arg(m_lastIgnored);
    if (m_sendFailures > 0)
        text += QStringLiteral("; %1 of the sends failed: %2").arg(m_sendFailures).arg(m_sendFailure);
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
    if (m_slowAnswers > 0 && result == FlashResult::Timeout)
        m_message += QStringLiteral("; %1 answer(s) came late, after a resend: the device may need a longer "
                                    "--timeout (now %2)")
                         .arg(m_slowAnswers)
                         .arg(secondsText(Micros(m_settings.timeoutMs) * UsPerMs));
    m_waiting = Waiting::Nothing;
    return {};
}
