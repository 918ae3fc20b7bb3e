#pragma once

#include "runtime_error.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <variant>

// Reads a whole file. Every descriptor it opens is closed before it returns.
[[nodiscard]] std::variant<QByteArray, RuntimeError> readWholeFile(const QString& path);

// Replaces `path` with `bytes` atomically: a temporary file beside it, flushed, then renamed over it.
// On failure the previous file is left whole and the temporary file is removed.
[[nodiscard]] std::optional<RuntimeError> writeFileAtomically(const QString& path, const QByteArray& bytes);
