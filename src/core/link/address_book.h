#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace AddressBook {
inline const QString FileName = QStringLiteral("VELTA_BOOTLOADER.ini");
inline const QString DefaultEntry = QStringLiteral("192.168.1.25");

// Entries of an address book file, in file order. `content` is nothing when the file could not
// be read. A file that yields no entry falls back to the default entry alone.
[[nodiscard]] QStringList entriesFromFile(const std::optional<QByteArray>& content);

// The file as "Save" writes it: each entry, then CR LF; an empty list gives an empty file.
[[nodiscard]] QByteArray fileBytes(const QStringList& entries);

// Where `entry` goes in a list kept in ascending case-insensitive order (after equal entries).
[[nodiscard]] qsizetype sortedInsertIndex(const QStringList& list, const QString& entry);
} // namespace AddressBook
