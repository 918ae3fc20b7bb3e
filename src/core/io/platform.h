#pragma once

// The one place that talks to the operating system about files: everything else reads and
// writes through these.

#include "runtime_error.h"

#include <QByteArray>
#include <QObject>
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

// The whole of a small regular file; one larger than `maxBytes` is the out-of-memory error.
[[nodiscard]] std::variant<QByteArray, RuntimeError> readSmallFile(const QString& path, qsizetype maxBytes);

// A file that records are appended to, each with a single write, so records of several
// processes appending at once never interleave. Only a regular file is opened ("-": standard
// output).
class AppendFile {
public:
    AppendFile() = default;
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    ~AppendFile();
    // The reason when it cannot be opened.
    [[nodiscard]] std::optional<QString> open(const QString& path);
    [[nodiscard]] bool isOpen() const { return m_fd >= 0; }
    // Writes `record` in one piece; false when it could not be written whole.
    bool append(const QByteArray& record);

private:
    int m_fd = -1;
    bool m_own = false;
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

// SIGINT and SIGTERM as events of the Qt event loop: the handler itself only writes a byte.
// With `secondEndsAtOnce`, a second signal ends the process at once (128 + its number).
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(bool secondEndsAtOnce, QObject* parent = nullptr);
    [[nodiscard]] bool installed() const { return m_installed; }

signals:
    void received(int signalNumber);

private:
    bool m_installed = false;
};
