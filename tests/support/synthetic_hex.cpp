#include "synthetic_hex.h"

#include <QList>

QByteArray syntheticHexFile(int lines) {
    QByteArray out;
    quint32 address = 0, upper = 0xFFFFFFFF;
    for (int written = 0; written < lines - 1; ++written) {
        if ((address >> 16) != upper) {
            upper = address >> 16;
            const char hi[2] = {char(upper >> 8), char(upper & 0xFF)};
            out += formatHexRecord(quint8(HexRecordType::ExtendedLinearAddress), 0, QByteArrayView(hi, 2));
        } else {
            char data[16];
            for (quint32 i = 0; i < 16; ++i)
                data[i] = char((address + i) * 7 + (address >> 12));
            out += formatHexRecord(quint8(HexRecordType::Data), quint16(address & 0xFFFF),
                                   QByteArrayView(data, 16));
            address += 16;
        }
    }
    out += formatHexRecord(quint8(HexRecordType::EndOfFile), 0, {});
    return out;
}

std::optional<HexImage> hexFileImage(const QByteArray& content) {
    HexImage image;
    HexCursor cursor;
    bool ended = false;
    for (QByteArray line : QByteArray(content).replace('\r', '\n').split('\n')) {
        if ((line = line.trimmed()).isEmpty())
            continue;
        const HexParseResult parsed = parseHexRecord(line);
        const auto* record = std::get_if<HexRecord>(&parsed);
        if (ended || !record)
            return std::nullopt;
        if (record->type == quint8(HexRecordType::EndOfFile))
            ended = true;
        else
            image.apply(*record, cursor);
    }
    return ended ? std::optional(image) : std::nullopt;
}
