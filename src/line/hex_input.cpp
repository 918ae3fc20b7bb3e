#include "line/hex_input.h"

#include "core/conversation/transfer_state.h"
#include "core/io/files.h"
#include "core/io/runtime_error.h"
#include "core/io/signals.h"
#include "core/protocol/intel_hex.h"
#include "core/transfer/hex_loader.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <map>
#include <sys/stat.h>

namespace {
// The bytes the data records put in memory, and which line put each stretch there: two records
// that give one address different bytes make a file whose verify pass fails whatever the device
// does, so such a file is refused before anything is sent (the same bytes twice are fine).
class Overlaps {
public:
    // The line that already gave one of `record`'s addresses other bytes, and the address.
    std::optional<std::pair<int, quint32>> add(const HexRecord& record, const HexCursor& cursor, int line) {
        for (const HexStretch& s : cursor.place(record)) {
            for (qsizetype i = 0; i < s.data.size(); ++i) {
                const quint32 at = s.address + quint32(i);
                if (const auto held = m_image.byteAt(at); held && *held != quint8(s.data[i]))
                    return std::pair(lineAt(at), at);
            }
            m_image.write(s.address, s.data);
            m_lines.emplace(s.address, std::pair(s.address + quint32(s.data.size()), line));
        }
        return std::nullopt;
    }

private:
    [[nodiscard]] int lineAt(quint32 at) const {
        for (auto it = m_lines.upper_bound(at); it != m_lines.begin();) {
            --it;
            if (at < it->second.first)
                return it->second.second;
        }
        return 0;
    }
    HexImage m_image;
    std::multimap<quint32, std::pair<quint32, int>> m_lines; // start: end, file line
};
} // namespace

Result<void> checkFlashLines(const LineStore& lines, const std::vector<int>& fileLines, const QString& name) {
    const auto bad = [](const QString& message) { return Failure{Failure::Cause::Usage, message}; };
    HexCursor cursor;
    Overlaps overlaps;
    for (int i = 0; i < lines.count(); ++i) {
        const int fileLine = fileLines.at(size_t(i));
        const auto at = [&](const QString& reason) {
            return bad(QStringLiteral("%1:%2: %3").arg(name).arg(fileLine).arg(reason));
        };
        const HexParseResult parsed = parseHexRecord(lines.line(i + 1));
        if (const auto* error = std::get_if<HexParseError>(&parsed))
            return at(error->reason);
        const HexRecord& record = std::get<HexRecord>(parsed);
        const bool endOfFile = record.type == quint8(HexRecordType::EndOfFile);
        if (endOfFile && i + 1 < lines.count())
            return bad(
                QStringLiteral("%1:%2: record after end of file").arg(name).arg(fileLines.at(size_t(i + 1))));
        if (!endOfFile && i + 1 == lines.count())
            return bad(QStringLiteral("%1: missing end-of-file record").arg(name));
        if (cursor.follow(record) || record.type != quint8(HexRecordType::Data))
            continue;
        if (const auto other = overlaps.add(record, cursor, fileLine))
            return at(QStringLiteral("other bytes at 0x%1 than %2:%3 put there")
                          .arg(other->second, 8, 16, QLatin1Char('0'))
                          .arg(name)
                          .arg(other->first));
    }
    return success();
}

namespace {
// Why a path that is not a regular file cannot be read, in the user's words.
QString notAFile(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir())
        return QStringLiteral("a folder, not a file");
    if (info.isFile())
        return QStringLiteral("not a regular file");
    struct stat st {};
    const bool known = ::stat(QFile::encodeName(path).constData(), &st) == 0;
    return known && S_ISFIFO(st.st_mode) ? QStringLiteral("not a regular file (a FIFO)")
           : known && (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
               ? QStringLiteral("not a regular file (a device)")
               : QStringLiteral("not a regular file");
}

// A file that is no text at all (a program built for the device, say): what it is, as far as its
// first bytes tell; empty for text.
QString binaryKind(QByteArrayView start) {
    if (start.startsWith("\x7f"
                         "ELF"))
        return QStringLiteral("an ELF executable");
    if (start.contains('\0'))
        return QStringLiteral("binary data");
    return {};
}
} // namespace

Result<FlashFile> loadFlashFile(const QString& path, bool check) {
    const auto failed = [&](Failure::Cause cause, const QString& message) { return Failure{cause, message}; };
    auto file = InputFile::open(path);
    if (!file) {
        const QString why = file.failure().cause == Failure::Cause::NotRegularFile
                                ? notAFile(path)
                                : RuntimeError::of(file.failure()).description;
        return failed(file.failure().cause, QStringLiteral("cannot read %1: %2").arg(path, why));
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QString binary;
    bool first = true;
    FieldReader reader([&](char* buffer, qsizetype capacity) -> qsizetype {
        if (TerminationSignals::seen())
            return -1;
        const qsizetype got = file->read(buffer, capacity);
        // With the check, a file that is no text is refused at its first bytes, not read to the
        // 9001st "line" of a program image.
        if (check && got > 0 && std::exchange(first, false))
            binary = binaryKind(QByteArrayView(buffer, got).first(std::min<qsizetype>(got, 4096)));
        if (!binary.isEmpty())
            return -1;
        if (got > 0)
            hash.addData(QByteArrayView(buffer, got));
        return got;
    });
    std::vector<int> fileLines;
    auto read = readHexLines(reader, TransferState::MaxLines, &fileLines);
    if (!binary.isEmpty())
        return failed(Failure::Cause::Usage,
                      QStringLiteral("%1: not an Intel HEX file (%2)").arg(path, binary));
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
