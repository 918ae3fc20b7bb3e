#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QVarLengthArray>

#include <map>
#include <optional>
#include <variant>

// Intel HEX records, a memory image built from them, and a whole-file check. Pure: no I/O.

enum class HexRecordType : quint8 {
    Data = 0x00,
    EndOfFile = 0x01,
    ExtendedSegmentAddress = 0x02, // base = value * 16
    StartSegmentAddress = 0x03,
    ExtendedLinearAddress = 0x04, // base = value << 16
    StartLinearAddress = 0x05,
};

struct HexRecord {
    quint8 type = 0;
    quint16 address = 0;
    QByteArray data;

    friend bool operator==(const HexRecord&, const HexRecord&) = default;
};

struct HexParseError {
    QString reason; // "bad start code", "odd number of hex digits", "bad hex digit", "length mismatch",
                    // "bad checksum" or "unknown record type"
};

using HexParseResult = std::variant<HexRecord, HexParseError>;

// Parses one record line: `startCode` (':' for files and downloads, '#' for the verify form), then
// byte count, address, type, data and checksum as hex pairs of either case. Trailing CR, LF and
// spaces are tolerated, nothing else. Address records (02, 04) must carry 2 data bytes, start
// records (03, 05) 4 and the end-of-file record none; otherwise it is a length mismatch.
[[nodiscard]] HexParseResult parseHexRecord(QByteArrayView line, char startCode = ':');

// The value of one hexadecimal digit of either case; -1 for any other character.
[[nodiscard]] int hexDigitValue(char c);

// The checksum byte that makes all bytes of a record sum to zero (mod 256).
[[nodiscard]] quint8 hexChecksum(QByteArrayView bytes);

// One record line in upper-case hex with CR LF. `data` must not exceed 255 bytes.
[[nodiscard]] QByteArray formatHexRecord(quint8 type, quint16 address, QByteArrayView data,
                                         char startCode = ':');

// Where a data record's bytes lie: one stretch of memory, or two (see HexCursor::place).
struct HexStretch {
    quint32 address = 0;
    QByteArrayView data;
};
using HexStretches = QVarLengthArray<HexStretch, 2>;

// The base that the extended address records of one pass have set.
class HexCursor {
public:
    // Takes an 02 or 04 record into account; false (and no change) for any other record.
    bool follow(const HexRecord& record);
    // The stretches `record`'s data goes to. Under an 02 base the offset wraps within its 64 KiB
    // segment, so a record that runs past offset FFFF goes on at the segment's start; under an 04
    // base (or none) the address carries on upward.
    [[nodiscard]] HexStretches place(const HexRecord& record) const;
    void reset() { *this = HexCursor(); }

private:
    quint32 m_base = 0;
    bool m_segment = false;
};

// A sparse memory image over 32-bit addresses, kept as runs of contiguous bytes, so it costs
// about one byte per byte stored.
class HexImage {
public:
    void write(quint32 address, QByteArrayView data);
    [[nodiscard]] std::optional<quint8> byteAt(quint32 address) const;
    // The first address in [address, address + data.size()) whose stored byte differs from `data`
    // (or is not stored at all); nothing when every byte matches.
    [[nodiscard]] std::optional<quint32> firstDifference(quint32 address, QByteArrayView data) const;

    // Applies one record in file order: address records move the cursor, data records are stored
    // at it, the others leave memory alone.
    void apply(const HexRecord& record, HexCursor& cursor);
    // The first address of `record`'s data (placed by `cursor`) whose stored byte differs.
    [[nodiscard]] std::optional<quint32> firstDifference(const HexRecord& record,
                                                         const HexCursor& cursor) const;

    // True when [address, address + size) neither overlaps nor touches a stored run: writing it
    // would add a run of its own.
    [[nodiscard]] bool wouldAddRun(quint32 address, qsizetype size) const;
    // How many runs storing `record`'s data (placed by `cursor`) would add, at most.
    [[nodiscard]] int runsAdded(const HexRecord& record, const HexCursor& cursor) const;
    // Runs of contiguous bytes: what the image costs beyond its bytes (about 100 bytes each).
    [[nodiscard]] qsizetype runCount() const { return qsizetype(m_runs.size()); }

    // Bytes stored.
    [[nodiscard]] qsizetype size() const { return m_size; }
    [[nodiscard]] bool isEmpty() const { return m_size == 0; }
    void clear() {
        m_runs.clear();
        m_size = 0;
    }

    // Intel HEX text: up to 16 bytes per record on 16-byte boundaries, an 04 record wherever the
    // upper 16 address bits change (none while they stay 0), 01 at the end, CR LF line ends.
    [[nodiscard]] QByteArray toHexText() const;

    friend bool operator==(const HexImage&, const HexImage&) = default;

private:
    // Start address -> bytes; runs neither overlap nor touch (touching runs are merged), so two
    // images with the same bytes are equal.
    std::map<quint32, QByteArray> m_runs;
    qsizetype m_size = 0;
};
