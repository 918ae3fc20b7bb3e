#include "core/transfer/hex_loader.h"

#include "core/io/files.h"

Result<LineStore> readHexLines(FieldReader& reader, int maxLines, std::vector<int>* fileLines) {
    LineStore lines;
    QByteArray field;
    for (;;) {
        switch (reader.next(field, MaxHexEntryBytes)) {
        case FieldReader::Status::End:
            lines.squeeze();
            return lines;
        case FieldReader::Status::TooLong:
            return Failure{
                Failure::Cause::TooLong,
                QStringLiteral("an entry longer than %1 bytes: not a HEX file").arg(MaxHexEntryBytes)};
        case FieldReader::Status::ReadError:
            return Failure{Failure::Cause::DeviceIo, QStringLiteral("read error")};
        case FieldReader::Status::Field:
            break;
        }
        // A blank line would otherwise go out as an empty record.
        if (field.isEmpty())
            continue;
        if (lines.count() >= maxLines)
            return Failure{Failure::Cause::TooManyLines, QStringLiteral("more than %1 lines").arg(maxLines)};
        lines.append(field);
        if (fileLines)
            fileLines->push_back(reader.fieldLine());
    }
}

Result<LineStore> readHexFile(InputFile& file, int maxLines) {
    FieldReader reader([&file](char* buffer, qsizetype capacity) { return file.read(buffer, capacity); });
    return readHexLines(reader, maxLines);
}
