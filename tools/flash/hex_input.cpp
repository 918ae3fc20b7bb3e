#include "hex_input.h"

#include "hex_loader.h"
#include "intel_hex.h"
#include "platform.h"
#include "transfer_engine.h"

#include <QCryptographicHash>

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

std::variant<FlashFile, QString> loadFlashFile(const QString& path, bool check) {
    auto opened = InputFile::open(path);
    if (const auto* error = std::get_if<RuntimeError>(&opened))
        return QStringLiteral("cannot read %1: %2").arg(path, error->description);
    InputFile& file = std::get<InputFile>(opened);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    FieldReader reader([&](char* buffer, qsizetype capacity) -> qsizetype {
        if (TerminationSignals::seen())
            return -1;
        const qsizetype got = file.read(buffer, capacity);
        if (got > 0)
            hash.addData(QByteArrayView(buffer, got));
        return got;
    });
    std::vector<int> fileLines;
    auto read = readHexLines(reader, TransferState::MaxLines, &fileLines);
    if (const auto* error = std::get_if<RuntimeError>(&read)) {
        if (error->number == RuntimeError::outOfMemory().number)
            return QStringLiteral("%1: an entry longer than %2 bytes: not a HEX file")
                .arg(path)
                .arg(MaxHexEntryBytes);
        if (error->number == RuntimeError::subscriptOutOfRange().number)
            return QStringLiteral("%1: more than %2 lines").arg(path).arg(TransferState::MaxLines);
        return QStringLiteral("cannot read %1: %2").arg(path, error->description);
    }
    FlashFile loaded{std::get<LineStore>(std::move(read)), QString::fromLatin1(hash.result().toHex())};
    if (loaded.lines.count() == 0)
        return QStringLiteral("%1: no lines to send").arg(path);
    if (check) {
        if (auto problem = checkFlashLines(loaded.lines, fileLines, path))
            return *problem;
    }
    return loaded;
}
