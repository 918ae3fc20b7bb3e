#pragma once

#include "core/protocol/intel_hex.h"

// A well-formed HEX file of exactly `lines` lines (at least 2): extended linear address records
// where needed, 16-byte data records of a recognisable pattern, and the end-of-file record.
[[nodiscard]] QByteArray syntheticHexFile(int lines);

// The image a whole HEX file describes, or nothing when a record is bad, one follows the end of
// file or the end of file is missing. Blank lines and blanks around records are skipped.
[[nodiscard]] std::optional<HexImage> hexFileImage(const QByteArray& content);
