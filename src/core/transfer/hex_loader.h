#pragma once

#include "core/io/field_reader.h"
#include "core/io/result.h"
#include "core/transfer/line_store.h"

#include <QString>

#include <vector>

class InputFile;

// The longest entry a load takes: far beyond any HEX record (521 characters at most), yet small
// enough that a file without line ends cannot fill memory.
constexpr qsizetype MaxHexEntryBytes = 1024 * 1024;

// The lines of a HEX file as the loader stores them: one text field each, read with the
// comma-and-line field rules; empty fields (blank lines) are skipped. Reading stops at the first
// entry that decides the answer: the one past `maxLines` (TooManyLines) or one longer than
// MaxHexEntryBytes (TooLong). `fileLines`, when given, gets the file line on which each entry
// began.
[[nodiscard]] Result<LineStore> readHexLines(FieldReader& reader, int maxLines,
                                             std::vector<int>* fileLines = nullptr);

// The same for a file opened with InputFile::open, read from where it stands. The caller opens it,
// so a file that cannot be opened is told from one that fails part way.
[[nodiscard]] Result<LineStore> readHexFile(InputFile& file, int maxLines);
