#pragma once

#include "core/io/result.h"
#include "core/transfer/line_store.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

#include <optional>

// A value of each device's own (a serial number, a MAC address) as the bytes written into its
// image, and the image with those bytes in it. Pure: no files, no clock.

enum class SerialFormat {
    BigEndian,    // "be": a binary number, most significant byte first
    LittleEndian, // "le": a binary number, least significant byte first
    Ascii,        // "ascii": decimal digits, zero-padded to the size
    Hex,          // "hex": upper-case hexadecimal digits, zero-padded to the size
    Mac,          // "mac": six bytes, written 02:00:5E:10:00:01
};

// The format a name ("be", "le", "ascii", "hex", "mac") stands for; nothing for any other name.
[[nodiscard]] std::optional<SerialFormat> serialFormatNamed(QStringView name);
[[nodiscard]] QString serialFormatName(SerialFormat format);

// The most bytes a value may take: an SQTP record's limit.
constexpr int MaxSerialSize = 256;

// A value as a pool keeps it and an image carries it: its canonical text, unique in a pool
// (decimal for be, le and ascii, hexadecimal digits without leading zeros for hex, the colon
// form for mac), and the bytes written.
struct SerialBytes {
    QString text;
    QByteArray bytes;

    friend bool operator==(const SerialBytes&, const SerialBytes&) = default;
};

// One value given as text (a list's line, a counter's start) as `format` writes it in `size`
// bytes. be and le take a decimal number or 0x and hexadecimal digits, up to 64 bits; ascii
// takes decimal digits, hex hexadecimal digits (0x allowed), as many as the size holds; mac takes
// six pairs of hexadecimal digits between colons or dashes. What does not fit is refused.
[[nodiscard]] Result<SerialBytes> encodeSerialText(SerialFormat format, int size, QStringView text);

// Values counted from a start: start, start + step, start + 2 * step, ... A MAC address counts
// in its low three bytes only and is used up where they would run over into the others.
struct SerialCounter {
    SerialFormat format = SerialFormat::BigEndian;
    int size = 0;
    quint64 start = 0; // mac: the six bytes as a 48-bit number
    quint64 step = 1;
};

// The counter of --serial-start and --serial-step: the start as encodeSerialText takes it (for
// ascii a number of at most 64 bits), the step a positive decimal or 0x number. A start that does
// not fit the size is refused here, before any value is handed out.
[[nodiscard]] Result<SerialCounter> serialCounter(SerialFormat format, int size, QStringView start,
                                                  QStringView step);
// The counter's value at `ordinal` (0 is the start). One that no longer fits is Exhausted.
[[nodiscard]] Result<SerialBytes> counterValue(const SerialCounter& counter, qint64 ordinal);

// The image one device gets: `lines` with `bytes` at `address` (in the file's address space, 02
// and 04 bases as the file sets them). Data records that cover the address get those bytes and
// their checksum rewritten in place, in the case the line is written in; bytes no record covers
// go into data records of their own (and an 04 record where the base in force at the end does
// not reach them), just before the first end-of-file record, or at the end when there is none.
// Every other line stays as it stands; lines after the end-of-file record are not looked into.
// Refused: a line before the end that is not a well-formed record, an address range beyond 4 GiB,
// and an image of more lines than a load may hold (TooManyLines).
[[nodiscard]] Result<LineStore> serializedImage(const LineStore& lines, quint32 address,
                                                QByteArrayView bytes);
