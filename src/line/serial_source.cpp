#include "line/serial_source.h"

#include "core/io/files.h"
#include "core/io/runtime_error.h"
#include "core/protocol/intel_hex.h"

#include <QCryptographicHash>
#include <QHash>

#include <memory>

namespace {

QString sha256Of(QByteArrayView bytes) {
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

Result<QByteArray> readSource(const QString& path) {
    auto read = readSmallFile(path, MaxSerialFileBytes);
    if (!read)
        return Failure{read.failure().cause,
                       QStringLiteral("cannot read %1: %2")
                           .arg(path, read.failure().cause == Failure::Cause::TooLong
                                          ? read.failure().detail
                                          : RuntimeError::of(read.failure()).description)};
    return read;
}

Failure at(const QString& name, int line, const QString& reason) {
    return Failure{Failure::Cause::Usage, QStringLiteral("%1:%2: %3").arg(name).arg(line).arg(reason)};
}

// The lines of a file, each without its line end (LF, CR LF or CR).
QList<QByteArrayView> linesOf(QByteArrayView text) {
    QList<QByteArrayView> lines;
    qsizetype begin = 0;
    for (qsizetype i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '\n' && text[i] != '\r')
            continue;
        lines << text.sliced(begin, i - begin);
        if (i + 1 < text.size() && text[i] == '\r' && text[i + 1] == '\n')
            ++i;
        begin = i + 1;
    }
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

Failure exhausted(const QString& what, qint64 count) {
    return Failure{Failure::Cause::Exhausted, QStringLiteral("%1 is used up: its %2 value%3 are handed out")
                                                  .arg(what)
                                                  .arg(count)
                                                  .arg(count == 1 ? "" : "s")};
}

} // namespace

Result<SerialSource> counterSerials(SerialFormat format, int size, QStringView start, QStringView step) {
    auto counter = serialCounter(format, size, start, step);
    if (!counter)
        return counter.failure();
    const SerialCounter c = *counter;
    SerialSource source;
    source.kind = SerialSource::Kind::Counter;
    source.format = serialFormatName(format);
    source.size = size;
    source.start = counterValue(c, 0)->text;
    source.step = QString::number(c.step);
    source.valueAt = [c](qint64 ordinal) -> Result<SerialValue> {
        auto value = counterValue(c, ordinal);
        if (!value)
            return value.failure();
        return SerialValue{ordinal, value->text, value->bytes, std::nullopt};
    };
    return source;
}

Result<SerialList> parseSerialList(QByteArrayView text, const QString& name, SerialFormat format, int size) {
    SerialList list{sha256Of(text), {}};
    QHash<QString, int> seen; // value -> its line
    const QList<QByteArrayView> lines = linesOf(text);
    for (int n = 1; n <= lines.size(); ++n) {
        QByteArrayView line = lines[n - 1];
        if (const qsizetype hash = line.indexOf('#'); hash >= 0)
            line = line.first(hash);
        const QString entry = QString::fromLatin1(line).trimmed();
        if (entry.isEmpty())
            continue;
        auto value = encodeSerialText(format, size, entry);
        if (!value)
            return at(name, n, value.failure().detail);
        if (const int first = seen.value(value->text); first > 0)
            return at(name, n,
                      QStringLiteral("%1 again (line %2): it would be handed out twice")
                          .arg(value->text)
                          .arg(first));
        seen.insert(value->text, n);
        list.values << *value;
    }
    return list;
}

Result<SerialSource> listSerials(const QString& path, SerialFormat format, int size) {
    auto bytes = readSource(path);
    if (!bytes)
        return bytes.failure();
    auto list = parseSerialList(*bytes, path, format, size);
    if (!list)
        return list.failure();
    SerialSource source;
    source.kind = SerialSource::Kind::List;
    source.format = serialFormatName(format);
    source.size = size;
    source.sha256 = list->sha256;
    source.path = path;
    auto values = std::make_shared<const QList<SerialBytes>>(std::move(list->values));
    source.valueAt = [values, path](qint64 ordinal) -> Result<SerialValue> {
        if (ordinal < 0 || ordinal >= values->size())
            return exhausted(QStringLiteral("the list %1").arg(path), values->size());
        const SerialBytes& v = values->at(ordinal);
        return SerialValue{ordinal, v.text, v.bytes, std::nullopt};
    };
    return source;
}

namespace {

// One line of an SQTP file taken into `file`; `base` is the 04 base, `ended` set by the end record.
Result<void> takeSqtpLine(QByteArrayView line, int n, const QString& name, quint32& base, bool& ended,
                          SqtpFile& file) {
    const bool used = line.startsWith(';');
    const HexParseResult parsed = parseHexRecord(line, used ? ';' : ':');
    if (const auto* error = std::get_if<HexParseError>(&parsed))
        return at(name, n, error->reason);
    if (ended)
        return at(name, n, QStringLiteral("a record after the end-of-file record"));
    const auto& record = std::get<HexRecord>(parsed);
    switch (HexRecordType(record.type)) {
    case HexRecordType::Data:
        if (record.data.isEmpty())
            return at(name, n, QStringLiteral("a data record without data"));
        file.records << SqtpRecord{n, base + record.address, record.data, used};
        return success();
    case HexRecordType::ExtendedLinearAddress:
        base = ((quint32(quint8(record.data[0])) << 8) | quint8(record.data[1])) << 16;
        return success();
    case HexRecordType::EndOfFile:
        ended = true;
        return success();
    default:
        return at(name, n,
                  QStringLiteral("a record of type %1: SQTP files hold types 00, 01 and 04 only")
                      .arg(record.type, 2, 16, QLatin1Char('0')));
    }
}

} // namespace

Result<SqtpFile> parseSqtpFile(QByteArrayView text, const QString& name) {
    SqtpFile file{sha256Of(text), {}};
    quint32 base = 0;
    bool ended = false;
    const QList<QByteArrayView> lines = linesOf(text);
    for (int n = 1; n <= lines.size(); ++n) {
        if (lines[n - 1].trimmed().isEmpty())
            continue;
        if (auto taken = takeSqtpLine(lines[n - 1], n, name, base, ended, file); !taken)
            return taken.failure();
    }
    if (!ended)
        return Failure{Failure::Cause::Usage,
                       QStringLiteral("%1: no end-of-file record: cut short?").arg(name)};
    return file;
}

Result<SerialSource> sqtpSerials(const QString& path, int size) {
    auto bytes = readSource(path);
    if (!bytes)
        return bytes.failure();
    auto file = parseSqtpFile(*bytes, path);
    if (!file)
        return file.failure();
    auto unused = std::make_shared<QList<SqtpRecord>>();
    QHash<QByteArray, int> seen; // data -> its line
    for (const SqtpRecord& r : std::as_const(file->records)) {
        if (size > 0 && r.data.size() != size)
            return at(
                path, r.line,
                QStringLiteral("a record of %1 bytes where the value takes %2").arg(r.data.size()).arg(size));
        if (const int first = seen.value(r.data); first > 0)
            return at(path, r.line,
                      QStringLiteral("the number of line %1 again: it would be handed out twice").arg(first));
        seen.insert(r.data, r.line);
        if (!r.used)
            *unused << r;
    }
    SerialSource source;
    source.kind = SerialSource::Kind::Sqtp;
    source.format = QStringLiteral("sqtp");
    source.size = size;
    source.sha256 = file->sha256;
    source.path = path;
    source.valueAt = [records = std::shared_ptr<const QList<SqtpRecord>>(unused),
                      path](qint64 ordinal) -> Result<SerialValue> {
        if (ordinal < 0 || ordinal >= records->size())
            return exhausted(QStringLiteral("the SQTP file %1").arg(path), records->size());
        const SqtpRecord& r = records->at(ordinal);
        return SerialValue{ordinal, QString::fromLatin1(r.data.toHex().toUpper()), r.data, r.address};
    };
    return source;
}
