#pragma once

#include "runtime_error.h"

#include <QByteArray>
#include <QStringList>

#include <variant>

// The lines of a HEX file as the loader stores them: one text field each, read with the
// comma-and-line field rules; empty fields (blank lines) are skipped. More than `maxLines`
// lines is the subscript-out-of-range error.
[[nodiscard]] std::variant<QStringList, RuntimeError> readHexLines(const QByteArray& content, int maxLines);
