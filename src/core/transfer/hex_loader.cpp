#include "hex_loader.h"

#include "field_reader.h"

std::variant<QStringList, RuntimeError> readHexLines(const QByteArray& content, int maxLines) {
    QStringList lines;
    FieldReader reader(content);
    QString field;
    while (reader.readField(field)) {
        // A blank line would otherwise go out as an empty record.
        if (field.isEmpty())
            continue;
        if (lines.size() >= maxLines)
            return RuntimeError::subscriptOutOfRange();
        lines << field;
    }
    return lines;
}
