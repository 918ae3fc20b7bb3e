#include "line/hex_input.h"

#include "core/conversation/transfer_state.h"
#include "core/io/files.h"
#include "core/io/runtime_error.h"
#include "core/io/signals.h"
#include "core/protocol/intel_hex.h"
#include "core/transfer/hex_loader.h"

#include <QCryptographicHash>

Result<void> checkFlashLines(const LineStore& lines, const std::vector<int>& fileLines, const QString& name) {
    const auto bad = [](const QString& message) { return Failure{Failure::Cause::Usage, message}; };
    for (int i = 0; i < lines.count(); ++i) {
        const auto at = [&](const QString& reason) {
            return bad(QStringLiteral("%1:%2: %3").arg(name).arg(fileLines.at(size_t(i))).arg(reason));
        };
        const HexParseResult parsed = parseHexRecord(lines.line(i + 1));
        if (const auto* error = std::get_if<HexParseError>(&parsed))
            return at(error->reason);
        const bool endOfFile = std::get<HexRecord>(parsed).type == quint8(HexRecordType::EndOfFile);
        if (endOfFile && i + 1 < lines.count())
            return bad(
                QStringLiteral("%1:%2: record after end of file").arg(name).arg(fileLines.at(size_t(i + 1))));
        if (!endOfFile && i + 1 == lines.count())
            return bad(QStringLiteral("%1: missing end-of-file record").arg(name));
    }
    return success();
}

Result<FlashFile> loadFlashFile(const QString& path, bool check) {
    const auto failed = [&](Failure::Cause cause, const QString& message) { return Failure{cause, message}; };
    auto file = InputFile::open(path);
    if (!file)
        return failed(
            file.failure().cause,
            QStringLiteral("cannot read %1: %2").arg(path, RuntimeError::of(file.failure()).description));
    QCryptographicHash hash(QCryptographicHash::Sha256);
    FieldReader reader([&](char* buffer, qsizetype capacity) -> qsizetype {
        if (TerminationSignals::seen())
            return -1;
        const qsizetype got = file->read(buffer, capacity);
        if (got > 0)
            hash.addData(QByteArrayView(buffer, got));
        return got;
    });
    std::vector<int> fileLines;
    auto read = readHexLines(reader, TransferState::MaxLines, &fileLines);
    if (!read) {
        const Failure& f = read.failure();
        if (f.cause == Failure::Cause::TooLong || f.cause == Failure::Cause::TooManyLines)
            return failed(f.cause, QStringLiteral("%1: %2").arg(path, f.detail));
        return failed(f.cause,
                      QStringLiteral("cannot read %1: %2").arg(path, RuntimeError::of(f).description));
    }
    FlashFile loaded{std::move(*read), QString::fromLatin1(hash.result().toHex())};
    if (loaded.lines.count() == 0)
        return failed(Failure::Cause::Usage, QStringLiteral("%1: no lines to send").arg(path));
    if (check) {
        if (auto checked = checkFlashLines(loaded.lines, fileLines, path); !checked)
            return checked.failure();
    }
    return loaded;
}
