#include "hex_input.h"

#include "hex_loader.h"
#include "intel_hex.h"
#include "transfer_engine.h"

std::optional<QString> checkFlashLines(const LineStore& lines, const std::vector<int>& fileLines,
                                       const QString& name) {
    for (int i = 0; i < lines.count(); ++i) {
        const auto at = [&](const QString& reason) {
            return QStringLiteral("%1:%2: %3").arg(name).arg(fileLines.at(size_t(i))).arg(reason);
        };
        const HexParseResult parsed = parseHexRecord(lines.line(i + 1));
        if (const auto* error = std::get_if<HexParseError>(&parsed))
            return at(error->reason);
        const bool endOfFile = std::get<HexRecord>(parsed).type == quint8(HexRecordType::EndOfFile);
        if (endOfFile && i + 1 < lines.count())
            return QStringLiteral("%1:%2: record after end of file")
                .arg(name)
                .arg(fileLines.at(size_t(i + 1)));
        if (!endOfFile && i + 1 == lines.count())
            return QStringLiteral("%1: missing end-of-file record").arg(name);
    }
    return std::nullopt;
}

std::variant<LineStore, QString> loadFlashLines(const QString& path, bool check) {
    std::vector<int> fileLines;
    auto read = readHexFile(path, TransferState::MaxLines, &fileLines);
    if (const auto* error = std::get_if<RuntimeError>(&read)) {
        if (error->number == RuntimeError::outOfMemory().number)
            return QStringLiteral("%1: an entry longer than %2 bytes: not a HEX file")
                .arg(path)
                .arg(MaxHexEntryBytes);
        if (error->number == RuntimeError::subscriptOutOfRange().number)
            return QStringLiteral("%1: more than %2 lines").arg(path).arg(TransferState::MaxLines);
        return QStringLiteral("cannot read %1: %2").arg(path, error->description);
    }
    LineStore lines = std::get<LineStore>(std::move(read));
    if (lines.count() == 0)
        return QStringLiteral("%1: no lines to send").arg(path);
    if (check) {
        if (auto problem = checkFlashLines(lines, fileLines, path))
            return *problem;
    }
    return lines;
}
