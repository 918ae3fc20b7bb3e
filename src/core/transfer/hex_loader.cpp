#include "hex_loader.h"

#include "platform.h"

std::variant<LineStore, RuntimeError> readHexLines(FieldReader& reader, int maxLines,
                                                   std::vector<int>* fileLines) {
    LineStore lines;
    QByteArray field;
    for (;;) {
        switch (reader.next(field, MaxHexEntryBytes)) {
        case FieldReader::Status::End:
            lines.squeeze();
            return lines;
        case FieldReader::Status::TooLong:
            return RuntimeError::outOfMemory();
        case FieldReader::Status::ReadError:
            return RuntimeError::deviceIoError();
        case FieldReader::Status::Field:
            break;
        }
        // A blank line would otherwise go out as an empty record.
        if (field.isEmpty())
            continue;
        if (lines.count() >= maxLines)
            return RuntimeError::subscriptOutOfRange();
        lines.append(field);
        if (fileLines)
            fileLines->push_back(reader.fieldLine());
    }
}

std::variant<LineStore, RuntimeError> readHexFile(const QString& path, int maxLines,
                                                  std::vector<int>* fileLines) {
    auto opened = InputFile::open(path);
    if (auto* error = std::get_if<RuntimeError>(&opened))
        return *error;
    InputFile& file = std::get<InputFile>(opened);
    FieldReader reader([&file](char* buffer, qsizetype capacity) { return file.read(buffer, capacity); });
    return readHexLines(reader, maxLines, fileLines);
}
