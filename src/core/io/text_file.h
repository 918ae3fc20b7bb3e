#pragma once

// The one place that talks to the operating system about files: everything else reads and
// writes through these.

#include "runtime_error.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <utility>
#include <variant>

// A regular file open for reading, taken piece by piece. Opening never waits and never reads an
// endless stream: a FIFO, a device or a folder is refused with the path/file access error.
class InputFile {
public:
    InputFile() = default;
    InputFile(InputFile&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    InputFile& operator=(InputFile&& other) noexcept;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    [[nodiscard]] static std::variant<InputFile, RuntimeError> open(const QString& path);
    // Up to `capacity` bytes into `buffer`: their number, 0 at the end, -1 on a read error.
    qsizetype read(char* buffer, qsizetype capacity);

private:
    int m_fd = -1;
};

// Replaces `path` with `bytes` atomically: a temporary file beside it, flushed, then renamed over
// it. A link is followed to the file it names. Only a regular file is replaced: anything else
// there (a FIFO, a device, a folder) is refused and left alone. On failure the previous file is
// left whole and the temporary file is removed.
[[nodiscard]] std::optional<RuntimeError> writeFileAtomically(const QString& path, const QByteArray& bytes);

// True when `path` names a regular file itself (not through a link) or nothing at all: the only
// places a tool may write a file of its own.
[[nodiscard]] bool isRegularFileOrAbsent(const QString& path);

// True when both paths name the same existing file, also through links or a second hard link.
[[nodiscard]] bool isSameFile(const QString& a, const QString& b);
