#include "transfer_engine.h"

#include "commands.h"

QByteArray verifyForm(const QByteArray& line) {
    QByteArray out = line;
    out.replace(':', '#');
    return out;
}

std::optional<StepResult> transferStep(TransferState& s) {
    if (s.TransferArmed != 1)
        return std::nullopt;
    // Only a completed load arms the transfer, so LinePos stays within 0..LineCount-1 here;
    // should that ever not hold, stop rather than send a line this load did not read.
    if (s.LineCount < 1 || s.LineCount > TransferState::MaxLines || s.LinePos < 0 ||
        s.LinePos >= s.LineCount) {
        s.TransferArmed = 0;
        s.LinePos = 0;
        return std::nullopt;
    }
    StepResult r;
    r.downloadPass = s.VerifyPhase != 1;
    s.LinePos = qint16(s.LinePos + 1);
    const QByteArray& entry = s.LineStore[size_t(s.LinePos)];
    r.sentForm = QString::fromLatin1(r.downloadPass ? entry : verifyForm(entry));
    r.commandLine = Commands::LinePrefix + r.sentForm + Commands::CrLf;
    r.barValue = s.LinePos;
    // The last line does not end the pass: only the device's "DOWNLOAD" does.
    if (s.LinePos == s.LineCount)
        s.LinePos = 0;
    return r;
}

ReplyRule classifyReply(QStringView r, const TransferState& s) {
    if (s.TransferArmed == 1 && r.contains(QLatin1String(ReplyWord::Version)))
        return ReplyRule::VersionStep;
    if (r.contains(QLatin1String(ReplyWord::Error)))
        return ReplyRule::Error;
    if (r.contains(QLatin1String(ReplyWord::Download)))
        return s.VerifyPhase == 1 ? ReplyRule::End : ReplyRule::StartVerify;
    if (r.contains(QLatin1String(ReplyWord::Ok)))
        return ReplyRule::OkStep;
    return ReplyRule::None;
}

ReplyEffects applyReply(QStringView reply, TransferState& s) {
    ReplyEffects e;
    e.rule = classifyReply(reply, s);
    switch (e.rule) {
    case ReplyRule::VersionStep:
    case ReplyRule::OkStep:
        e.step = true;
        break;
    case ReplyRule::Error:
        e.barText = QStringLiteral("ERROR");
        e.barColor = BarColor::Red;
        break;
    case ReplyRule::End:
        e.barText = QStringLiteral("END");
        e.barColor = BarColor::Green;
        e.transferEnded = true;
        s.VerifyPhase = 0;
        s.TransferArmed = 0;
        s.LinePos = 0;
        break;
    case ReplyRule::StartVerify:
        e.barText = QStringLiteral("VERIFY");
        s.VerifyPhase = 1;
        s.LinePos = 0;
        e.step = true;
        break;
    case ReplyRule::None:
        break;
    }
    return e;
}
