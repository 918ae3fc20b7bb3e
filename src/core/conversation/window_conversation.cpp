#include "core/conversation/window_conversation.h"

#include "core/conversation/framing.h"

void WindowConversation::connected() {
    m_state.verifyPhase = false;
    m_state.armed = false;
}

void WindowConversation::disconnected() {
    connected();
    m_state.linePos = 0;
}

void WindowConversation::loadStarting() {
    m_state.verifyPhase = false;
}

WindowEffects WindowConversation::loadOpening() {
    m_state.linePos = 0;
    WindowEffects e;
    e.barText = QStringLiteral("NO FILE");
    return e;
}

void WindowConversation::loadFailed() {
    // The earlier transfer may have been interrupted part way: stop it for good.
    m_state.armed = false;
    m_state.linePos = 0;
}

WindowEffects WindowConversation::loaded(LineStore lines) {
    m_state.lineStore = std::move(lines);
    m_state.lineCount = qint16(qMin(m_state.lineStore.count(), int(TransferState::MaxLines)));
    m_state.linePos = 0;
    // A file without lines has nothing to send: the transfer stays disarmed.
    m_state.armed = m_state.lineCount > 0;
    WindowEffects e;
    e.barMax = m_state.lineCount;
    e.barText = QStringLiteral("READY");
    step(e);
    return e;
}

void WindowConversation::step(WindowEffects& e) {
    const bool verify = m_state.verifyPhase;
    const auto line = advanceLine(m_state);
    if (!line)
        return;
    // The verify pass leaves the bar's text alone, so "VERIFY" stays for the whole pass.
    if (!verify)
        e.barText = QStringLiteral("DOWNLOAD");
    e.send = recordCommand(m_state.lineStore.line(*line), verify);
    e.barValue = *line;
}

ReplyRule WindowConversation::classify(QStringView r, bool armed, bool verifying) {
    if (armed && r.contains(QLatin1String(Protocol::Reply::VersionField)))
        return ReplyRule::VersionStep;
    if (r.contains(QLatin1String(Protocol::Reply::Error)))
        return ReplyRule::Error;
    if (r.contains(QLatin1String(Protocol::Reply::Download)))
        return verifying ? ReplyRule::End : ReplyRule::StartVerify;
    if (r.contains(QLatin1String(Protocol::Reply::Ok)))
        return ReplyRule::OkStep;
    return ReplyRule::None;
}

WindowEffects WindowConversation::reply(QStringView reply) {
    WindowEffects e;
    e.rule = classify(reply, m_state.armed, m_state.verifyPhase);
    switch (e.rule) {
    case ReplyRule::VersionStep:
    case ReplyRule::OkStep:
        step(e);
        break;
    case ReplyRule::Error:
        e.barText = QStringLiteral("ERROR");
        e.barColor = BarColor::Red;
        break;
    case ReplyRule::End:
        e.barText = QStringLiteral("END");
        e.barColor = BarColor::Green;
        e.transferEnded = true;
        m_state.verifyPhase = false;
        m_state.armed = false;
        m_state.linePos = 0;
        break;
    case ReplyRule::StartVerify:
        e.barText = QStringLiteral("VERIFY");
        m_state.verifyPhase = true;
        m_state.linePos = 0;
        step(e);
        break;
    case ReplyRule::None:
        break;
    }
    return e;
}
