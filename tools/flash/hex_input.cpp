#include "hex_input.h"

#include "flash_session.h"

#include "hex_loader.h"
#include "intel_hex.h"
#include "text_file.h"
#include "transfer_engine.h"

std::variant<QStringList, QString> flashLinesFromContent(const QByteArray& content, const QString& name,
                                                         bool check) {
    if (check) {
        if (const auto problem = checkHexFile(content)) {
            if (problem->line > 0)
                return QStringLiteral("%1:%2: %3").arg(name).arg(problem->line).arg(problem->reason);
            return QStringLiteral("%1: %2").arg(name, problem->reason);
        }
    }
    auto read = readHexLines(content, TransferState::MaxLines);
    if (std::holds_alternative<RuntimeError>(read))
        return QStringLiteral("%1: more than %2 lines").arg(name).arg(TransferState::MaxLines);
    QStringList lines = std::get<QStringList>(std::move(read));
    if (lines.isEmpty())
        return QStringLiteral("%1: no lines to send").arg(name);
    if (check) {
        // The loader keeps tabs and splits at commas where the record check does not; what goes
        // out is what the loader read, so that is what must be a record.
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const HexParseResult parsed = parseHexRecord(lines[i].toLatin1());
            if (const auto* error = std::get_if<HexParseError>(&parsed))
                return QStringLiteral("%1: line %2 to send (\"%3\"): %4")
                    .arg(name)
                    .arg(i + 1)
                    .arg(escapedBytes(lines[i].toLatin1()), error->reason);
        }
    }
    return lines;
}

std::variant<QStringList, QString> loadFlashLines(const QString& path, bool check) {
    auto read = readWholeFile(path);
    if (const auto* error = std::get_if<RuntimeError>(&read))
        return QStringLiteral("cannot read %1: %2").arg(path, error->description);
    return flashLinesFromContent(std::get<QByteArray>(read), path, check);
}
