#include "intel_hex.h"

#include <utility>

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

namespace {

constexpr char UpperDigits[] = "0123456789ABCDEF";

void appendHexByte(QByteArray& out, quint8 b) {
    out += UpperDigits[b >> 4];
    out += UpperDigits[b & 0x0F];
}

// Data bytes a record of this type must carry; nothing for data records (any count).
std::optional<int> fixedDataLength(quint8 type) {
    switch (HexRecordType(type)) {
    case HexRecordType::Data:
        return std::nullopt;
    case HexRecordType::EndOfFile:
        return 0;
    case HexRecordType::ExtendedSegmentAddress:
    case HexRecordType::ExtendedLinearAddress:
        return 2;
    case HexRecordType::StartSegmentAddress:
    case HexRecordType::StartLinearAddress:
        return 4;
    }
    return std::nullopt;
}

HexParseError fail(const char* reason) {
    return HexParseError{QString::fromLatin1(reason)};
}

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}
} // namespace

HexParseResult parseHexRecord(QByteArrayView line, char startCode) {
    qsizetype end = line.size();
    while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n' || line[end - 1] == ' '))
        --end;
    if (end == 0 || line[0] != startCode)
        return fail("bad start code");

    const QByteArrayView digits = line.sliced(1, end - 1);
    for (const char c : digits) {
        if (hexDigitValue(c) < 0)
            return fail("bad hex digit");
    }
    if (digits.size() % 2 != 0)
        return fail("odd number of hex digits");

    QByteArray bytes;
    bytes.reserve(digits.size() / 2);
    for (qsizetype i = 0; i < digits.size(); i += 2)
        bytes += char((hexDigitValue(digits[i]) << 4) | hexDigitValue(digits[i + 1]));

    // Count, address (2), type and checksum frame the data.
    constexpr qsizetype Overhead = 5;
    if (bytes.size() < Overhead || bytes.size() != Overhead + quint8(bytes[0]))
        return fail("length mismatch");

    quint8 sum = 0;
    for (const char b : bytes)
        sum = quint8(sum + quint8(b));
    if (sum != 0)
        return fail("bad checksum");

    HexRecord r;
    r.type = quint8(bytes[3]);
    if (r.type > quint8(HexRecordType::StartLinearAddress))
        return fail("unknown record type");
    r.address = quint16((quint8(bytes[1]) << 8) | quint8(bytes[2]));
    r.data = bytes.sliced(4, quint8(bytes[0]));
    if (const auto n = fixedDataLength(r.type); n && r.data.size() != *n)
        return fail("length mismatch");
    return r;
}

quint8 hexChecksum(QByteArrayView bytes) {
    quint8 sum = 0;
    for (const char b : bytes)
        sum = quint8(sum + quint8(b));
    return quint8(0x100 - sum);
}

QByteArray formatHexRecord(quint8 type, quint16 address, QByteArrayView data, char startCode) {
    Q_ASSERT(data.size() <= 0xFF);
    QByteArray bytes;
    bytes.reserve(data.size() + 5);
    bytes += char(data.size());
    bytes += char(address >> 8);
    bytes += char(address & 0xFF);
    bytes += char(type);
    bytes += data;
    bytes += char(hexChecksum(bytes));

    QByteArray out;
    out.reserve(bytes.size() * 2 + 3);
    out += startCode;
    for (const char b : std::as_const(bytes))
        appendHexByte(out, quint8(b));
    out += "\r\n";
    return out;
}

bool HexCursor::follow(const HexRecord& record) {
    if (record.data.size() != 2)
        return false;
    const quint32 value = (quint32(quint8(record.data[0])) << 8) | quint8(record.data[1]);
    switch (HexRecordType(record.type)) {
    case HexRecordType::ExtendedSegmentAddress:
        m_base = value << 4;
        return true;
    case HexRecordType::ExtendedLinearAddress:
        m_base = value << 16;
        return true;
    default:
        return false;
    }
}

void HexImage::write(quint32 address, QByteArrayView data) {
    for (qsizetype i = 0; i < data.size(); ++i)
        m_bytes[address + quint32(i)] = quint8(data[i]);
}

std::optional<quint8> HexImage::byteAt(quint32 address) const {
    const auto it = m_bytes.find(address);
    if (it == m_bytes.end())
        return std::nullopt;
    return it->second;
}

std::optional<quint32> HexImage::firstDifference(quint32 address, QByteArrayView data) const {
    for (qsizetype i = 0; i < data.size(); ++i) {
        const quint32 at = address + quint32(i);
        if (byteAt(at) != quint8(data[i]))
            return at;
    }
    return std::nullopt;
}

void HexImage::apply(const HexRecord& record, HexCursor& cursor) {
    if (cursor.follow(record))
        return;
    if (record.type == quint8(HexRecordType::Data))
        write(cursor.absolute(record.address), record.data);
}

bool HexImage::matches(const HexRecord& record, const HexCursor& cursor) const {
    if (record.type != quint8(HexRecordType::Data))
        return true;
    return !firstDifference(cursor.absolute(record.address), record.data);
}

QByteArray HexImage::toHexText() const {
    QByteArray out;
    quint32 upper = 0; // upper 16 bits the reader assumes until an 04 record says otherwise
    auto it = m_bytes.begin();
    while (it != m_bytes.end()) {
        const quint32 start = it->first;
        // Records stay within one 16-byte line, so they never cross a 64 KiB boundary either.
        const quint32 line = start & ~quint32(0x0F);
        QByteArray data;
        quint32 next = start;
        while (it != m_bytes.end() && it->first == next && (next & ~quint32(0x0F)) == line) {
            data += char(it->second);
            ++it;
            ++next;
        }
        if ((start >> 16) != upper) {
            upper = start >> 16;
            const char value[2] = {char(upper >> 8), char(upper & 0xFF)};
            out += formatHexRecord(quint8(HexRecordType::ExtendedLinearAddress), 0, QByteArrayView(value, 2));
        }
        out += formatHexRecord(quint8(HexRecordType::Data), quint16(start & 0xFFFF), data);
    }
    out += formatHexRecord(quint8(HexRecordType::EndOfFile), 0, {});
    return out;
}

std::variant<HexImage, HexFileProblem> loadHexFile(QByteArrayView content) {
    HexImage image;
    HexCursor cursor;
    bool ended = false;
    int lineNo = 0;
    qsizetype pos = 0;
    while (pos < content.size()) {
        qsizetype eol = pos;
        while (eol < content.size() && content[eol] != '\r' && content[eol] != '\n')
            ++eol;
        ++lineNo;
        qsizetype from = pos;
        qsizetype to = eol;
        // CR LF, LF and CR each end one line.
        pos = eol;
        if (pos < content.size() && content[pos] == '\r') {
            ++pos;
            if (pos < content.size() && content[pos] == '\n')
                ++pos;
        } else if (pos < content.size()) {
            ++pos;
        }

        while (from < to && isBlank(content[from]))
            ++from;
        while (to > from && isBlank(content[to - 1]))
            --to;
        if (from == to)
            continue;
        if (ended)
            return HexFileProblem{lineNo, QStringLiteral("record after end of file")};

        const HexParseResult parsed = parseHexRecord(content.sliced(from, to - from));
        if (const auto* error = std::get_if<HexParseError>(&parsed))
            return HexFileProblem{lineNo, error->reason};
        const auto& record = std::get<HexRecord>(parsed);
        if (record.type == quint8(HexRecordType::EndOfFile))
            ended = true;
        else
            image.apply(record, cursor);
    }
    if (!ended)
        return HexFileProblem{0, QStringLiteral("missing end-of-file record")};
    return image;
}

std::optional<HexFileProblem> checkHexFile(const QByteArray& content) {
    auto result = loadHexFile(content);
    if (auto* problem = std::get_if<HexFileProblem>(&result))
        return std::move(*problem);
    return std::nullopt;
}
