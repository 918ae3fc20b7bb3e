#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <variant>

// The lines to send from a HEX file's content, read with the window's loader. With `check`, the
// records are checked first (form, checksum, end-of-file record) and so is every line as the
// loader reads it. The error text starts with `name`, e.g. "fw.hex:12: bad checksum".
[[nodiscard]] std::variant<QStringList, QString> flashLinesFromContent(const QByteArray& content,
                                                                       const QString& name, bool check);

// The same for a file on disk; a file that cannot be read is an error too.
[[nodiscard]] std::variant<QStringList, QString> loadFlashLines(const QString& path, bool check);
