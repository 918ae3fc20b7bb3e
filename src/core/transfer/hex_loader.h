#pragma once

#include "field_reader.h"
#include "line_store.h"
#include "runtime_error.h"

#include <QString>

#include <variant>
#include <vector>

// The longest entry a load takes: far beyond any HEX record (521 characters at most), yet small
// enough that a file without line ends cannot fill memory.
constexpr qsizetype MaxHexEntryBytes = 1024 * 1024;

// The lines of a HEX file as the loader stores them: one text field each, read with the
// comma-and-line field rules; empty fields (blank lines) are skipped. Reading stops at the first
// entry that decides the answer: the one past `maxLines` (subscript out of range, 9) or one
// longer than MaxHexEntryBytes (out of memory, 7). `fileLines`, when given, gets the file line
// on which each entry began.
[[nodiscard]] std::variant<LineStore, RuntimeError> readHexLines(FieldReader& reader, int maxLines,
                                                                 std::vector<int>* fileLines = nullptr);

// The same for a file on disk, which must be a regular file.
[[nodiscard]] std::variant<LineStore, RuntimeError> readHexFile(const QString& path, int maxLines,
                                                                std::vector<int>* fileLines = nullptr);
