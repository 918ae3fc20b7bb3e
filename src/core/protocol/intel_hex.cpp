#include "core/protocol/intel_hex.h"

#include <cstring>
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
        m_segment = true;
        return true;
    case HexRecordType::ExtendedLinearAddress:
        m_base = value << 16;
        m_segment = false;
        return true;
    default:
        return false;
    }
}

HexStretches HexCursor::place(const HexRecord& record) const {
    const QByteArrayView data(record.data);
    const qsizetype beforeWrap = 0x10000 - record.address;
    if (!m_segment || data.size() <= beforeWrap)
        return {{m_base + record.address, data}};
    return {{m_base + record.address, data.first(beforeWrap)}, {m_base, data.sliced(beforeWrap)}};
}

void HexImage::write(quint32 address, QByteArrayView data) {
    constexpr quint64 AddressSpace = quint64(1) << 32;
    const quint64 begin = address;
    const quint64 end = qMin(begin + quint64(data.size()), AddressSpace);
    if (end == begin)
        return;
    auto next = m_runs.upper_bound(address);
    // The usual case, records in address order: within or right after one run, touching no other.
    if (next != m_runs.begin()) {
        auto& [start, bytes] = *std::prev(next);
        const quint64 runEnd = start + quint64(bytes.size());
        if (begin <= runEnd && (next == m_runs.end() || end < next->first)) {
            const auto grow = qsizetype(end > runEnd ? end - runEnd : 0);
            bytes.resize(bytes.size() + grow);
            std::memcpy(bytes.data() + (begin - start), data.data(), size_t(end - begin));
            m_size += grow;
            return;
        }
    }
    // Otherwise every run it overlaps or touches becomes one.
    auto first = next;
    if (first != m_runs.begin() &&
        std::prev(first)->first + quint64(std::prev(first)->second.size()) >= begin)
        --first;
    quint64 mergedBegin = begin;
    quint64 mergedEnd = end;
    auto last = first;
    for (; last != m_runs.end() && last->first <= end; ++last) {
        mergedBegin = qMin(mergedBegin, quint64(last->first));
        mergedEnd = qMax(mergedEnd, last->first + quint64(last->second.size()));
    }
    QByteArray merged(qsizetype(mergedEnd - mergedBegin), '\0');
    for (auto it = first; it != last; ++it) {
        std::memcpy(merged.data() + (it->first - mergedBegin), it->second.constData(),
                    size_t(it->second.size()));
        m_size -= it->second.size();
    }
    std::memcpy(merged.data() + (begin - mergedBegin), data.data(), size_t(end - begin));
    m_runs.erase(first, last);
    m_size += merged.size();
    m_runs.emplace(quint32(mergedBegin), std::move(merged));
}

bool HexImage::wouldAddRun(quint32 address, qsizetype size) const {
    const quint64 end = quint64(address) + quint64(qMax<qsizetype>(size, 0));
    auto next = m_runs.upper_bound(address);
    if (next != m_runs.end() && next->first <= end)
        return false;
    if (next == m_runs.begin())
        return true;
    const auto& [start, bytes] = *std::prev(next);
    return start + quint64(bytes.size()) < address;
}

std::optional<quint8> HexImage::byteAt(quint32 address) const {
    auto it = m_runs.upper_bound(address);
    if (it == m_runs.begin())
        return std::nullopt;
    --it;
    const quint64 offset = quint64(address) - it->first;
    if (offset >= quint64(it->second.size()))
        return std::nullopt;
    return quint8(it->second[qsizetype(offset)]);
}

int HexImage::runsAdded(const HexRecord& record, const HexCursor& cursor) const {
    int added = 0;
    for (const HexStretch& s : cursor.place(record))
        added += wouldAddRun(s.address, s.data.size());
    return added;
}

std::optional<quint32> HexImage::firstDifference(const HexRecord& record, const HexCursor& cursor) const {
    for (const HexStretch& s : cursor.place(record)) {
        if (const auto at = firstDifference(s.address, s.data))
            return at;
    }
    return std::nullopt;
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
    if (record.type != quint8(HexRecordType::Data))
        return;
    for (const HexStretch& s : cursor.place(record))
        write(s.address, s.data);
}

QByteArray HexImage::toHexText() const {
    QByteArray out;
    quint32 upper = 0; // upper 16 bits the reader assumes until an 04 record says otherwise
    for (const auto& [start, bytes] : m_runs) {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const quint32 at = start + quint32(done);
            // Records stay within one 16-byte line, so they never cross a 64 KiB boundary either.
            const qsizetype take = qMin(bytes.size() - done, qsizetype(16 - (at & 0x0F)));
            if ((at >> 16) != upper) {
                upper = at >> 16;
                const char value[2] = {char(upper >> 8), char(upper & 0xFF)};
                out += formatHexRecord(quint8(HexRecordType::ExtendedLinearAddress), 0,
                                       QByteArrayView(value, 2));
            }
            out += formatHexRecord(quint8(HexRecordType::Data), quint16(at & 0xFFFF),
                                   QByteArrayView(bytes.constData() + done, take));
            done += take;
        }
    }
    out += formatHexRecord(quint8(HexRecordType::EndOfFile), 0, {});
    return out;
}
