#include "flash_session.h"

#include "commands.h"

namespace {
// Latin-1 conversion into a buffer that keeps its capacity from line to line.
void latin1Into(const QString& text, QByteArray& out) {
    out.resize(text.size());
    char* d = out.data();
    for (const QChar c : text)
        *d++ = c.unicode() < 256 ? char(c.unicode()) : '?';
}

void latin1From(QByteArrayView bytes, QString& out) {
    out.resize(bytes.size());
    QChar* d = out.data();
    for (const char b : bytes)
        *d++ = QChar(uchar(b));
}

QString quotedReply(QByteArrayView bytes) {
    while (!bytes.isEmpty() && (bytes.back() == '\n' || bytes.back() == '\r' || bytes.back() == ' '))
        bytes.chop(1);
    return QLatin1Char('"') + escapedBytes(bytes) + QLatin1Char('"');
}

QString secondsText(int ms) {
    return QString::number(ms / 1000.0, 'g', 6) + QStringLiteral(" s");
}
} // namespace

void appendEscapedBytes(QByteArray& out, QByteArrayView bytes) {
    static constexpr char Hex[] = "0123456789abcdef";
    for (const char b : bytes) {
        const auto c = uchar(b);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            out += char(c);
        } else {
            out += "\\x";
            out += Hex[c >> 4];
            out += Hex[c & 15];
        }
    }
}

QString escapedBytes(QByteArrayView bytes) {
    QByteArray out;
    out.reserve(bytes.size() + 8);
    appendEscapedBytes(out, bytes);
    return QString::fromLatin1(out);
}

FlashSession::FlashSession(const QStringList& lines, FlashSettings settings)
    : m_settings(std::move(settings)) {
    const auto count = qMin(lines.size(), qsizetype(TransferState::MaxLines));
    for (qsizetype i = 0; i < count; ++i)
        m_state.LineStore[size_t(i + 1)] = lines[i];
    m_state.LineCount = qint16(count);
    m_datagram.reserve(600);
    m_replyText.reserve(256);
}

QString FlashSession::passName(FlashPass pass) {
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

QString FlashSession::where() const {
    if (!m_recordOutstanding)
        return QStringLiteral("the boot-information request");
    return QStringLiteral("line %1 of %2 in the %3")
        .arg(m_line)
        .arg(m_state.LineCount)
        .arg(passName(m_lineIsVerify ? FlashPass::Verify : FlashPass::Download));
}

FlashAction FlashSession::start() {
    if (m_state.LineCount < 1)
        return fail(FlashResult::DeviceError, QStringLiteral("nothing to send"));
    // As a completed load leaves it: armed, at the start of the download pass.
    m_state.LinePos = 0;
    m_state.VerifyPhase = 0;
    m_state.TransferArmed = 1;
    m_pass = FlashPass::BootInfo;
    m_recordOutstanding = false;
    return sendCommand(Commands::BootInfo + Commands::CrLf);
}

FlashAction FlashSession::sendCommand(const QString& line) {
    const auto framed =
        frameLine(line, m_settings.gateway, m_settings.gatewayAddress, GatewayForm::Bootloader);
    if (!framed)
        return fail(FlashResult::NetworkError, QStringLiteral("cannot frame the line for the gateway"));
    latin1Into(*framed, m_datagram);
    m_resendsLeft = m_settings.retries;
    m_resent = false;
    m_lastIgnored.clear();
    m_waiting = Waiting::Reply;
    return {true, FlashAction::Timer::StartReply};
}

FlashAction FlashSession::onReply(QByteArrayView datagram) {
    if (finished())
        return {};
    if (m_waiting == Waiting::Settle) {
        // A late copy of the reply already taken: it must not move the transfer on again.
        ++m_lateReplies;
        return {false, FlashAction::Timer::StartSettle};
    }
    latin1From(datagram, m_replyText);
    const ReplyEffects e = applyReply(m_replyText, m_state);
    switch (e.rule) {
    case ReplyRule::None:
        ++m_ignoredReplies;
        m_lastIgnored = quotedReply(datagram);
        return {};
    case ReplyRule::Error:
        return fail(FlashResult::DeviceError,
                    QStringLiteral("the device answered %1 to %2").arg(quotedReply(datagram), where()));
    case ReplyRule::End:
        if (m_recordOutstanding)
            ++m_acknowledged;
        m_result = FlashResult::Success;
        m_waiting = Waiting::Nothing;
        return {false, FlashAction::Timer::Stop};
    case ReplyRule::StartVerify:
    case ReplyRule::OkStep:
        if (m_recordOutstanding)
            ++m_acknowledged;
        break;
    case ReplyRule::VersionStep:
        break;
    }
    if (!e.step)
        return {};
    if (m_resent) {
        m_waiting = Waiting::Settle;
        return {false, FlashAction::Timer::StartSettle};
    }
    return step();
}

FlashAction FlashSession::step() {
    // The window starts a pass over when its last line is answered "OK" rather than
    // "DOWNLOAD"; unattended that would go round for ever.
    if (m_recordOutstanding && m_line == m_state.LineCount && m_lineIsVerify == (m_state.VerifyPhase == 1)) {
        m_state.TransferArmed = 0;
        return fail(
            FlashResult::DeviceError,
            QStringLiteral("the device did not answer \"DOWNLOAD\" to the last line (%1)").arg(where()));
    }
    const auto next = transferStep(m_state);
    if (!next)
        return fail(FlashResult::DeviceError, QStringLiteral("the transfer stopped after %1").arg(where()));
    m_line = next->barValue;
    m_lineIsVerify = !next->downloadPass;
    m_pass = m_lineIsVerify ? FlashPass::Verify : FlashPass::Download;
    m_recordOutstanding = true;
    return sendCommand(next->commandLine);
}

FlashAction FlashSession::onTimer() {
    if (finished())
        return {};
    if (m_waiting == Waiting::Settle)
        return step();
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
                .arg(secondsText(m_settings.timeoutMs));
    if (!m_lastIgnored.isEmpty())
        text += QStringLiteral("; last reply %1").arg(m_lastIgnored);
    return fail(FlashResult::Timeout, text);
}

void FlashSession::failNetwork(const QString& reason) {
    if (!finished())
        (void)fail(FlashResult::NetworkError, reason);
}

FlashAction FlashSession::fail(FlashResult result, const QString& message) {
    m_result = result;
    m_message = message;
    m_waiting = Waiting::Nothing;
    return {false, FlashAction::Timer::Stop};
}
