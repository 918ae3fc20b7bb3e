#include "core/conversation/flasher_conversation.h"

#include "core/conversation/framing.h"
#include "core/conversation/vocabulary.h"
#include "core/io/printable.h"

namespace {
// A reply as messages quote it: without its line end, and not more than a line of it.
QString quotedReply(QByteArrayView bytes) {
    while (!bytes.isEmpty() && (bytes.back() == '\n' || bytes.back() == '\r' || bytes.back() == ' '))
        bytes.chop(1);
    return QLatin1Char('"') + printable(bytes, 80) + QLatin1Char('"');
}

QString secondsText(int ms) {
    return QString::number(ms / 1000.0, 'g', 6) + QStringLiteral(" s");
}

QByteArrayView withoutLineEnd(QByteArrayView reply) {
    while (!reply.isEmpty() && (reply.back() == '\n' || reply.back() == '\r' || reply.back() == ' '))
        reply.chop(1);
    return reply;
}

} // namespace

FlasherConversation::Word FlasherConversation::strictWord(QByteArrayView reply) {
    reply = withoutLineEnd(reply);
    if (reply == Protocol::Reply::Ok)
        return Word::Ok;
    if (reply == Protocol::Reply::Download)
        return Word::Download;
    const QByteArrayView error(Protocol::Reply::Error);
    if (reply.startsWith(error) && (reply.size() == error.size() || reply[error.size()] == ' '))
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

FlashAction FlasherConversation::start() {
    if (m_state.lineCount < 1)
        return fail(FlashResult::DeviceError, QStringLiteral("nothing to send"));
    // As a completed load leaves it: armed, at the start of the download pass.
    m_state.linePos = 0;
    m_state.verifyPhase = false;
    m_state.armed = true;
    m_pass = FlashPass::BootInfo;
    return sendCommand(QLatin1String(Protocol::Command::BootInfo) + QLatin1String(Protocol::LineEnd));
}

FlashAction FlasherConversation::sendCommand(const QString& line) {
    if (!frameInto(line, m_datagram))
        return fail(FlashResult::NetworkError, QStringLiteral("cannot frame the line for the gateway"));
    return awaitReply();
}

FlashAction FlasherConversation::awaitReply() {
    m_resendsLeft = m_settings.retries;
    m_resent = false;
    m_lastIgnored.clear();
    m_waiting = Waiting::Reply;
    return {true, FlashAction::Timer::StartReply};
}

FlashAction FlasherConversation::onReply(QByteArrayView reply) {
    if (finished())
        return {};
    const Word word = strictWord(reply);
    // Whatever it answers, late or not, a device that reports an error has not taken the file.
    if (word == Word::Error)
        return fail(FlashResult::DeviceError,
                    QStringLiteral("the device answered %1 to %2").arg(quotedReply(reply), where()));
    if (m_waiting == Waiting::Settle) {
        // A late copy of the answer already taken. "DOWNLOAD" where that answer was "OK" would
        // end the pass on an earlier line.
        if (m_next == Next::Line && word == Word::Download)
            return endedEarly(" to a copy");
        ++m_lateReplies;
        ++m_slowAnswers;
        return {};
    }
    if (m_waiting != Waiting::Reply)
        return {};
    if (m_pass != FlashPass::BootInfo)
        return replyToRecord(reply, word);
    if (word == Word::Download)
        return fail(FlashResult::DeviceError,
                    QStringLiteral("the device answered \"DOWNLOAD\" to the boot-information request"));
    if (word == Word::Ok || bootVersion(QString::fromLatin1(reply)))
        return bootInfoAnswered(reply);
    ++m_ignoredReplies;
    m_lastIgnored = quotedReply(reply);
    return {};
}

FlashAction FlasherConversation::bootInfoAnswered(QByteArrayView reply) {
    while (!reply.isEmpty() && (reply.back() == '\n' || reply.back() == '\r'))
        reply.chop(1);
    m_bootInfo = QString::fromLatin1(reply);
    // The wrong device, or the wrong bootloader, is not flashed.
    if (!m_settings.expectVersion.isEmpty() && bootVersion(m_bootInfo) != m_settings.expectVersion)
        return fail(FlashResult::DeviceError,
                    QStringLiteral("the device answered %1 to the boot-information request, "
                                   "not version \"%2\"")
                        .arg(quotedReply(reply), m_settings.expectVersion));
    return answered(m_settings.verifyOnly ? Next::NextPass : Next::Line);
}

FlashAction FlasherConversation::endedEarly(const char* toWhat) {
    return fail(FlashResult::DeviceError,
                QStringLiteral("the %1 ended early at line %2 of %3: the device answered \"DOWNLOAD\"%4")
                    .arg(passName(m_pass))
                    .arg(m_line)
                    .arg(m_state.lineCount)
                    .arg(QLatin1String(toWhat)));
}

FlashAction FlasherConversation::replyToRecord(QByteArrayView reply, Word word) {
    const bool lastLine = m_line == m_state.lineCount;
    if (word == Word::Download) {
        // The "DOWNLOAD" that ended the last pass, come again.
        if (m_passJustStarted) {
            ++m_lateReplies;
            return {};
        }
        if (!lastLine)
            return endedEarly("");
        ++m_acknowledged;
        return answered(m_pass == FlashPass::Verify ? Next::Done : Next::NextPass);
    }
    if (word == Word::Ok) {
        // The window would start the pass over; unattended that would go round for ever.
        if (lastLine)
            return fail(
                FlashResult::DeviceError,
                QStringLiteral("the device did not answer \"DOWNLOAD\" to the last line (%1)").arg(where()));
        ++m_acknowledged;
        m_passJustStarted = false;
        return answered(Next::Line);
    }
    // Anything else ("VER=", "NOK", "DOWNLOAD FAILED"...): no answer to the record.
    ++m_ignoredReplies;
    m_lastIgnored = quotedReply(reply);
    return {};
}

FlashAction FlasherConversation::answered(Next next) {
    if (next == Next::Done) {
        m_result = FlashResult::Success;
        m_waiting = Waiting::Nothing;
        return {false, FlashAction::Timer::Stop};
    }
    // After a resend a copy of this answer may still come; with a single line the "DOWNLOAD"
    // that ends a pass and the one that answers the next pass's only line look alike.
    if (m_resent || (next == Next::NextPass && m_state.lineCount == 1 && m_pass != FlashPass::BootInfo)) {
        m_waiting = Waiting::Settle;
        m_next = next;
        return {false, FlashAction::Timer::StartSettle};
    }
    return proceed(next);
}

FlashAction FlasherConversation::proceed(Next next) {
    if (next == Next::NextPass) {
        // After the boot information (verify only) no pass has ended: no copy to ignore.
        m_passJustStarted = m_state.lineCount > 1 && m_pass != FlashPass::BootInfo;
        m_state.verifyPhase = true;
        m_state.linePos = 0;
    }
    const bool verify = m_state.verifyPhase;
    const auto line = advanceLine(m_state);
    if (!line)
        return fail(FlashResult::DeviceError, QStringLiteral("the transfer stopped after %1").arg(where()));
    m_line = *line;
    m_pass = verify ? FlashPass::Verify : FlashPass::Download;
    if (m_preparedLine != (verify ? -m_line : m_line))
        return sendCommand(recordCommand(m_state.lineStore.line(m_line), verify));
    std::swap(m_datagram, m_prepared);
    m_preparedLine = 0;
    return awaitReply();
}

void FlasherConversation::prepareNext() {
    if (m_waiting != Waiting::Reply)
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

FlashAction FlasherConversation::onTimer() {
    if (finished())
        return {};
    if (m_waiting == Waiting::Settle)
        return proceed(m_next);
    if (m_waiting != Waiting::Reply)
        return {};
    if (m_resendsLeft > 0) {
        --m_resendsLeft;
        ++m_resends;
        m_resent = true;
        return {true, FlashAction::Timer::StartReply};
    }
    const int sends = m_settings.retries + 1;
    QString text = m_lastIgnored.isEmpty() ? QStringLiteral("no reply") : QStringLiteral("no usable reply");
    text += QStringLiteral(" to %1 after %2 %3 (timeout %4)")
                .arg(where())
                .arg(sends)
                .arg(sends == 1 ? QStringLiteral("send") : QStringLiteral("sends"))
                .arg(secondsText(replyTimeoutMs()));
    if (!m_lastIgnored.isEmpty())
        text += QStringLiteral("; last reply %1").arg(m_lastIgnored);
    return fail(FlashResult::Timeout, text);
}

int FlasherConversation::replyTimeoutMs() const {
    const bool firstRecord = m_pass == FlashPass::Download && m_line == 1;
    return firstRecord ? m_settings.firstTimeoutMs : m_settings.timeoutMs;
}

QByteArray FlasherConversation::startCommand() const {
    QByteArray start;
    return frameInto(QLatin1String(Protocol::Command::Start) + QLatin1String(Protocol::LineEnd), start)
               ? start
               : QByteArray();
}

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
        m_message +=
            QStringLiteral("; %1 answer(s) came late, after a resend: the device may need a longer --timeout "
                           "(now %2)")
                .arg(m_slowAnswers)
                .arg(secondsText(m_settings.timeoutMs));
    m_waiting = Waiting::Nothing;
    return {false, FlashAction::Timer::Stop};
}
