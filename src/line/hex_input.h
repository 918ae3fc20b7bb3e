#pragma once

#include "core/io/result.h"
#include "core/transfer/line_store.h"

#include <QString>

#include <vector>

// The lines to send and the fingerprint of the bytes they were read from.
struct FlashFile {
    LineStore lines;
    QString sha256; // of the whole file, hex
};

// The lines to send from a HEX file, read with the window's loader: a regular file only, and
// reading stops at the first entry that decides (the 9001st, or one longer than any record can
// be). With `check`, every line as the loader read it must be a well-formed record and the last
// one the end-of-file record. The file is read once: its SHA-256 is taken from the same bytes, so
// nothing is hashed that is then refused. Reading stops when a termination signal has come.
// The failure's detail starts with the path, e.g. "fw.hex:12: bad checksum".
[[nodiscard]] Result<FlashFile> loadFlashFile(const QString& path, bool check);

// The record check on its own: `fileLines` holds the file line of each entry.
[[nodiscard]] Result<void> checkFlashLines(const LineStore& lines, const std::vector<int>& fileLines,
                                           const QString& name);
