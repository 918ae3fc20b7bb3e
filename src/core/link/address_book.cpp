#include "address_book.h"

#include "field_reader.h"

#include <algorithm>

namespace AddressBook {

QStringList entriesFromFile(const std::optional<QByteArray>& content) {
    QStringList entries;
    if (content) {
        FieldReader reader(*content);
        QString field;
        while (reader.readField(field)) {
            if (!field.isEmpty())
                entries << field;
        }
    }
    if (entries.isEmpty())
        entries << DefaultEntry;
    return entries;
}

QByteArray fileBytes(const QStringList& entries) {
    QByteArray out;
    for (const QString& e : entries) {
        out += e.toLatin1();
        out += "\r\n";
    }
    return out;
}

qsizetype sortedInsertIndex(const QStringList& list, const QString& entry) {
    const auto it =
        std::upper_bound(list.cbegin(), list.cend(), entry, [](const QString& a, const QString& b) {
            return QString::compare(a, b, Qt::CaseInsensitive) < 0;
        });
    return it - list.cbegin();
}

} // namespace AddressBook
