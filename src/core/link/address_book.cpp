#include "core/link/address_book.h"

#include "core/io/files.h"

#include <algorithm>

namespace AddressBook {

QStringList entriesFrom(FieldReader& reader) {
    QStringList entries;
    QByteArray field;
    for (;;) {
        const FieldReader::Status status = reader.next(field, MaxEntryBytes);
        if (status != FieldReader::Status::Field) {
            // The end of a file that gave entries is the only clean way out.
            if (status != FieldReader::Status::End || entries.isEmpty())
                entries << DefaultEntry;
            return entries;
        }
        if (!field.isEmpty())
            entries << QString::fromLatin1(field);
    }
}

QStringList entriesFromFile(const QString& path) {
    auto file = InputFile::open(path);
    if (!file)
        return {DefaultEntry};
    FieldReader reader([&file](char* buffer, qsizetype capacity) { return file->read(buffer, capacity); });
    return entriesFrom(reader);
}

bool lessThan(const QString& a, const QString& b) {
    return QString::compare(a, b, Qt::CaseInsensitive) < 0;
}

void sort(QStringList& entries) {
    std::stable_sort(entries.begin(), entries.end(), lessThan);
}

qsizetype sortedInsertIndex(const QStringList& list, const QString& entry) {
    return std::upper_bound(list.cbegin(), list.cend(), entry, lessThan) - list.cbegin();
}

QByteArray fileBytes(const QStringList& entries) {
    QByteArray out;
    for (const QString& e : entries) {
        out += e.toLatin1();
        out += "\r\n";
    }
    return out;
}

} // namespace AddressBook
