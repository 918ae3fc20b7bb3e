#include "transfer_engine.h"

#include "commands.h"

std::optional<qint16> advanceLine(TransferState& s) {
    if (!s.armed)
        return std::nullopt;
    // Only a completed load arms the transfer, so linePos stays within 0..lineCount-1 here;
    // should that ever not hold, stop rather than send a line this load did not read.
    if (s.lineCount < 1 || s.lineCount > s.lineStore.count() || s.linePos < 0 || s.linePos >= s.lineCount) {
        s.armed = false;
        s.linePos = 0;
        return std::nullopt;
    }
    const qint16 line = qint16(s.linePos + 1);
    // The last line does not end the pass: only the device's "DOWNLOAD" does.
    s.linePos = line == s.lineCount ? 0 : line;
    return line;
}

QString lineCommand(QByteArrayView entry, bool verify) {
    QString command = Commands::LinePrefix + QString::fromLatin1(entry) + Commands::CrLf;
    if (verify)
        command.replace(QLatin1Char(':'), QLatin1Char('#'));
    return command;
}

std::optional<StepResult> transferStep(TransferState& s) {
    const auto line = advanceLine(s);
    if (!line)
        return std::nullopt;
    StepResult r;
    r.downloadPass = !s.verifyPhase;
    r.commandLine = lineCommand(s.lineStore.line(*line), s.verifyPhase);
    // Without "OOT" and the line end.
    r.sentForm =
        r.commandLine.sliced(Commands::LinePrefix.size(),
                             r.commandLine.size() - Commands::LinePrefix.size() - Commands::CrLf.size());
    r.barValue = *line;
    return r;
}

ReplyRule classifyReply(QStringView r, const TransferState& s) {
    if (s.armed && r.contains(QLatin1String(ReplyWord::Version)))
        return ReplyRule::VersionStep;
    if (r.contains(QLatin1String(ReplyWord::Error)))
        return ReplyRule::Error;
    if (r.contains(QLatin1String(ReplyWord::Download)))
        return s.verifyPhase ? ReplyRule::End : ReplyRule::StartVerify;
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
        s.verifyPhase = false;
        s.armed = false;
        s.linePos = 0;
        break;
    case ReplyRule::StartVerify:
        e.barText = QStringLiteral("VERIFY");
        s.verifyPhase = true;
        s.linePos = 0;
        e.step = true;
        break;
    case ReplyRule::None:
        break;
    }
    return e;
}
