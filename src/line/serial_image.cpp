#include "line/serial_image.h"

#include "core/conversation/vocabulary.h"
#include "core/protocol/intel_hex.h"

#include <QList>

#include <vector>

namespace {

Failure refused(const QString& detail) {
    return Failure{Failure::Cause::Usage, detail};
}

Result<void> checkSize(SerialFormat format, int size) {
    if (format == SerialFormat::Mac && size != 6)
        return refused(QStringLiteral("a mac value takes 6 bytes, not %1").arg(size));
    if (size < 1 || size > MaxSerialSize)
        return refused(QStringLiteral("a value takes 1 to %1 bytes, not %2").arg(MaxSerialSize).arg(size));
    return success();
}

QString macText(quint64 value) {
    QStringList pairs;
    for (int shift = 40; shift >= 0; shift -= 8)
        pairs << QStringLiteral("%1").arg((value >> shift) & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
    return pairs.join(QLatin1Char(':'));
}

// Digits (without leading zeros, at least one) as ascii or hex writes them: zero-padded.
Result<SerialBytes> encodeDigits(SerialFormat format, int size, QString digits) {
    while (digits.size() > 1 && digits.front() == QLatin1Char('0'))
        digits.remove(0, 1);
    if (digits.size() > size)
        return refused(QStringLiteral("%1 does not fit in %2 %3 digits")
                           .arg(digits)
                           .arg(size)
                           .arg(format == SerialFormat::Hex ? QStringLiteral("hexadecimal")
                                                            : QStringLiteral("decimal")));
    return SerialBytes{digits, digits.rightJustified(size, QLatin1Char('0')).toLatin1()};
}

Result<SerialBytes> encodeNumber(SerialFormat format, int size, quint64 value) {
    switch (format) {
    case SerialFormat::Ascii:
        return encodeDigits(format, size, QString::number(value));
    case SerialFormat::Hex:
        return encodeDigits(format, size, QString::number(value, 16).toUpper());
    case SerialFormat::Mac:
        if (value >> 48)
            return refused(QStringLiteral("%1 is more than a MAC address's six bytes").arg(value));
        break;
    case SerialFormat::BigEndian:
    case SerialFormat::LittleEndian:
        if (size < 8 && (value >> (8 * size)) != 0)
            return refused(
                QStringLiteral("%1 does not fit in %2 byte%3").arg(value).arg(size).arg(size > 1 ? "s" : ""));
        break;
    }
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size && i < 8; ++i) // least significant first
        bytes[format == SerialFormat::LittleEndian ? i : size - 1 - i] = char((value >> (8 * i)) & 0xFF);
    return SerialBytes{format == SerialFormat::Mac ? macText(value) : QString::number(value), bytes};
}

bool allDigits(QStringView text, int base) {
    for (const QChar c : text) {
        if (c.unicode() > 0x7F || hexDigitValue(char(c.unicode())) < 0 ||
            hexDigitValue(char(c.unicode())) >= base)
            return false;
    }
    return !text.isEmpty();
}

QStringView withoutHexPrefix(QStringView text) {
    return text.startsWith(u"0x", Qt::CaseInsensitive) ? text.mid(2) : text;
}

// A number as be, le and counter steps take it: decimal, or 0x and hexadecimal digits.
std::optional<quint64> parseNumber(QStringView text) {
    const bool hex = text.startsWith(u"0x", Qt::CaseInsensitive);
    const QStringView digits = hex ? text.mid(2) : text;
    if (!allDigits(digits, hex ? 16 : 10))
        return std::nullopt;
    bool ok = false;
    const quint64 value = digits.toULongLong(&ok, hex ? 16 : 10);
    return ok ? std::optional(value) : std::nullopt;
}

std::optional<quint64> parseMac(QStringView text) {
    if (text.size() != 17)
        return std::nullopt;
    quint64 value = 0;
    for (int i = 0; i < 6; ++i) {
        const QStringView pair = text.mid(3 * i, 2);
        const QChar separator = i < 5 ? text[3 * i + 2] : QLatin1Char(':');
        if (!allDigits(pair, 16) || (separator != QLatin1Char(':') && separator != QLatin1Char('-')))
            return std::nullopt;
        value = (value << 8) | pair.toUInt(nullptr, 16);
    }
    return value;
}

// The number a counter's start stands for.
std::optional<quint64> parseStart(SerialFormat format, QStringView text) {
    switch (format) {
    case SerialFormat::Mac:
        return parseMac(text);
    case SerialFormat::Hex: {
        const QStringView digits = withoutHexPrefix(text);
        bool ok = false;
        const quint64 value = allDigits(digits, 16) ? digits.toULongLong(&ok, 16) : 0;
        return ok ? std::optional(value) : std::nullopt;
    }
    case SerialFormat::Ascii:
        return allDigits(text, 10) ? parseNumber(text) : std::nullopt;
    case SerialFormat::BigEndian:
    case SerialFormat::LittleEndian:
        return parseNumber(text);
    }
    return std::nullopt;
}

QString formatWords(SerialFormat format) {
    switch (format) {
    case SerialFormat::Ascii:
        return QStringLiteral("decimal digits");
    case SerialFormat::Hex:
        return QStringLiteral("hexadecimal digits");
    case SerialFormat::Mac:
        return QStringLiteral("a MAC address like 02:00:5E:10:00:01");
    case SerialFormat::BigEndian:
    case SerialFormat::LittleEndian:
        break;
    }
    return QStringLiteral("a decimal or 0x number of at most 64 bits");
}

} // namespace

std::optional<SerialFormat> serialFormatNamed(QStringView name) {
    for (const SerialFormat f : {SerialFormat::BigEndian, SerialFormat::LittleEndian, SerialFormat::Ascii,
                                 SerialFormat::Hex, SerialFormat::Mac}) {
        if (name == serialFormatName(f))
            return f;
    }
    return std::nullopt;
}

QString serialFormatName(SerialFormat format) {
    switch (format) {
    case SerialFormat::BigEndian:
        return QStringLiteral("be");
    case SerialFormat::LittleEndian:
        return QStringLiteral("le");
    case SerialFormat::Ascii:
        return QStringLiteral("ascii");
    case SerialFormat::Hex:
        return QStringLiteral("hex");
    case SerialFormat::Mac:
        break;
    }
    return QStringLiteral("mac");
}

Result<SerialBytes> encodeSerialText(SerialFormat format, int size, QStringView text) {
    if (auto sized = checkSize(format, size); !sized)
        return sized.failure();
    const auto bad = [&] {
        return refused(QStringLiteral("'%1' is not %2").arg(text.toString(), formatWords(format)));
    };
    if (format == SerialFormat::Ascii)
        return allDigits(text, 10) ? encodeDigits(format, size, text.toString()) : bad();
    if (format == SerialFormat::Hex) {
        const QStringView digits = withoutHexPrefix(text);
        return allDigits(digits, 16) ? encodeDigits(format, size, digits.toString().toUpper()) : bad();
    }
    const auto value = format == SerialFormat::Mac ? parseMac(text) : parseNumber(text);
    return value ? encodeNumber(format, size, *value) : bad();
}

Result<SerialCounter> serialCounter(SerialFormat format, int size, QStringView start, QStringView step) {
    if (auto sized = checkSize(format, size); !sized)
        return sized.failure();
    const auto first = parseStart(format, start);
    if (!first)
        return refused(QStringLiteral("start '%1' is not %2").arg(start.toString(), formatWords(format)));
    const auto by = parseNumber(step);
    if (!by || *by == 0)
        return refused(QStringLiteral("step '%1' is not a positive number").arg(step.toString()));
    if (auto fits = encodeNumber(format, size, *first); !fits)
        return fits.failure();
    return SerialCounter{format, size, *first, *by};
}

Result<SerialBytes> counterValue(const SerialCounter& counter, qint64 ordinal) {
    const auto usedUp = [&](const QString& why) {
        return Failure{Failure::Cause::Exhausted, QStringLiteral("the counter is used up: %1").arg(why)};
    };
    quint64 offset = 0;
    if (ordinal < 0 || __builtin_mul_overflow(quint64(ordinal), counter.step, &offset))
        return usedUp(QStringLiteral("value #%1 is beyond 64 bits").arg(ordinal));
    if (counter.format == SerialFormat::Mac) {
        constexpr quint64 Low = 0xFFFFFF;
        const quint64 low = counter.start & Low;
        if (offset > Low - low)
            return usedUp(QStringLiteral("the low three bytes of %1 run over after %2 values")
                              .arg(macText(counter.start))
                              .arg((Low - low) / counter.step + 1));
        return encodeNumber(counter.format, counter.size, counter.start + offset);
    }
    quint64 value = 0;
    if (__builtin_add_overflow(counter.start, offset, &value))
        return usedUp(QStringLiteral("value #%1 is beyond 64 bits").arg(ordinal));
    auto encoded = encodeNumber(counter.format, counter.size, value);
    if (!encoded)
        return usedUp(encoded.failure().detail);
    return encoded;
}

namespace {

// Record bytes begin after the start code: count (1), address (3), type (7), data (9).
constexpr qsizetype DataColumn = 9;

bool writtenInLowerCase(QByteArrayView line) {
    for (const char c : line) {
        if (c >= 'a' && c <= 'f')
            return true;
    }
    return false;
}

void putByte(QByteArray& line, qsizetype column, quint8 value, bool lower) {
    const char* digits = lower ? "0123456789abcdef" : "0123456789ABCDEF";
    line[column] = digits[value >> 4];
    line[column + 1] = digits[value & 0x0F];
}

// The part of [begin, end) a data record at `at` covers, written into its line.
struct Serial {
    quint64 begin;
    QByteArrayView bytes;
    std::vector<bool> covered;
};

// The bytes of the serial that a data record covers, written into its line; each stretch of the
// record (two where a segment's offset wraps) at the address the cursor gives it.
std::optional<QByteArray> patchRecord(QByteArrayView line, const HexRecord& record, const HexCursor& cursor,
                                      Serial& serial) {
    const quint64 end = serial.begin + quint64(serial.bytes.size());
    QByteArray text = line.toByteArray();
    QByteArray data = record.data;
    const bool lower = writtenInLowerCase(line);
    bool changed = false;
    for (const HexStretch& stretch : cursor.place(record)) {
        const qsizetype offset = stretch.data.data() - record.data.constData();
        const quint64 at = stretch.address;
        const quint64 from = qMax(at, serial.begin);
        const quint64 to = qMin(at + quint64(stretch.data.size()), end);
        for (quint64 a = from; a < to; ++a) {
            const char b = serial.bytes[qsizetype(a - serial.begin)];
            const qsizetype i = offset + qsizetype(a - at);
            data[i] = b;
            serial.covered[size_t(a - serial.begin)] = true;
            putByte(text, DataColumn + 2 * i, quint8(b), lower);
            changed = true;
        }
    }
    if (!changed)
        return std::nullopt;
    const QByteArray framed = QByteArray(1, char(data.size())) + char(record.address >> 8) +
                              char(record.address & 0xFF) + char(record.type) + data;
    putByte(text, DataColumn + 2 * data.size(), hexChecksum(framed), lower);
    return text;
}

// Where offset 0 lies under the base in force.
quint64 baseOf(const HexCursor& cursor) {
    const QByteArray one(1, '\0');
    return cursor.place(HexRecord{quint8(HexRecordType::Data), 0, one}).first().address;
}

QByteArray recordLine(HexRecordType type, quint16 address, QByteArrayView data) {
    QByteArray line = formatHexRecord(quint8(type), address, data);
    line.chop(2); // the store holds lines without their ends
    return line;
}

// Records for the bytes no record covers, 16-byte aligned as a linker writes them, with an 04
// record wherever the base in force does not reach them.
QList<QByteArray> addedRecords(const Serial& serial, quint64 base) {
    QList<QByteArray> out;
    const qsizetype size = serial.bytes.size();
    for (qsizetype i = 0; i < size;) {
        if (serial.covered[size_t(i)]) {
            ++i;
            continue;
        }
        const quint64 at = serial.begin + quint64(i);
        qsizetype take = 1;
        while (i + take < size && !serial.covered[size_t(i + take)] && ((at + quint64(take)) & 0x0F) != 0)
            ++take;
        if (at < base || at + quint64(take) - 1 - base > 0xFFFF) {
            base = at & ~quint64(0xFFFF);
            const char upper[2] = {char(at >> 24), char((at >> 16) & 0xFF)};
            out << recordLine(HexRecordType::ExtendedLinearAddress, 0, QByteArrayView(upper, 2));
        }
        out << recordLine(HexRecordType::Data, quint16(at - base), serial.bytes.sliced(i, take));
        i += take;
    }
    return out;
}

} // namespace

Result<LineStore> serializedImage(const LineStore& lines, quint32 address, QByteArrayView bytes) {
    if (bytes.isEmpty() || quint64(address) + quint64(bytes.size()) > (quint64(1) << 32))
        return refused(QStringLiteral("%1 bytes at 0x%2 do not fit in a 32-bit address space")
                           .arg(bytes.size())
                           .arg(address, 0, 16));
    Serial serial{address, bytes, std::vector<bool>(size_t(bytes.size()), false)};
    std::vector<std::pair<int, QByteArray>> rewritten;
    HexCursor cursor;
    int endOfFile = 0;
    for (int n = 1; n <= lines.count() && endOfFile == 0; ++n) {
        const HexParseResult parsed = parseHexRecord(lines.line(n));
        if (const auto* error = std::get_if<HexParseError>(&parsed))
            return refused(
                QStringLiteral("line %1: %2: the serial's place cannot be told").arg(n).arg(error->reason));
        const auto& record = std::get<HexRecord>(parsed);
        if (record.type == quint8(HexRecordType::EndOfFile))
            endOfFile = n;
        else if (!cursor.follow(record) && record.type == quint8(HexRecordType::Data)) {
            if (auto patched = patchRecord(lines.line(n), record, cursor, serial))
                rewritten.emplace_back(n, std::move(*patched));
        }
    }
    const QList<QByteArray> added = addedRecords(serial, baseOf(cursor));
    if (lines.count() + added.size() > Protocol::MaxLines)
        return Failure{Failure::Cause::TooManyLines,
                       QStringLiteral("the serial's records make %1 lines, more than %2")
                           .arg(lines.count() + added.size())
                           .arg(Protocol::MaxLines)};
    LineStore image;
    auto next = rewritten.cbegin();
    for (int n = 1; n <= lines.count() + 1; ++n) {
        if (n == (endOfFile ? endOfFile : lines.count() + 1)) {
            for (const QByteArray& line : added)
                image.append(line);
        }
        if (n > lines.count())
            break;
        const bool patched = next != rewritten.cend() && next->first == n;
        image.append(patched ? QByteArrayView((next++)->second) : lines.line(n));
    }
    image.squeeze();
    return image;
}
