#pragma once

#include <QByteArray>

// A well-formed HEX file of exactly `lines` lines (at least 2): extended linear address records
// where needed, 16-byte data records of a recognisable pattern, and the end-of-file record.
[[nodiscard]] QByteArray syntheticHexFile(int lines);
