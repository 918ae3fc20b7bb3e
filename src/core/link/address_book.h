#pragma once

#include "core/io/field_reader.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace AddressBook {
inline const QString FileName = QStringLiteral("VELTA_BOOTLOADER.ini");
inline const QString DefaultEntry = QStringLiteral("192.168.1.25");
// An entry longer than this ends the load as a failure would: no address is that long.
constexpr qsizetype MaxEntryBytes = 64 * 1024;

// Entries as the load keeps them, in file order. A failure part way keeps what was read before
// it and adds the default entry; a file that yields no entry gives the default entry alone.
[[nodiscard]] QStringList entriesFrom(FieldReader& reader);
// The same for the file at `path`, which must be a regular file (anything else is a failure).
[[nodiscard]] QStringList entriesFromFile(const QString& path);

// The list order: ascending, case-insensitive; equal entries keep their order.
[[nodiscard]] bool lessThan(const QString& a, const QString& b);
// `entries` put in list order with one stable sort (a sorted insert per entry is quadratic).
void sort(QStringList& entries);
// Where `entry` goes in a list in list order (after equal entries).
[[nodiscard]] qsizetype sortedInsertIndex(const QStringList& list, const QString& entry);

// The file as "Save" writes it: each entry, then CR LF; an empty list gives an empty file.
[[nodiscard]] QByteArray fileBytes(const QStringList& entries);
} // namespace AddressBook
