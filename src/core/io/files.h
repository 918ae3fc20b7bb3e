#pragma once

// The one place that talks to the operating system about files: everything else reads and
// writes through these.

#include "core/io/result.h"

#include <QByteArray>
#include <QString>

#include <utility>

// A regular file open for reading, taken piece by piece. Opening never waits and never reads an
// endless stream: a FIFO, a device or a folder is refused as NotRegularFile.
class InputFile {
public:
    InputFile() = default;
    InputFile(InputFile&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    InputFile& operator=(InputFile&& other) noexcept;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    [[nodiscard]] static Result<InputFile> open(const QString& path);
    // Up to `capacity` bytes into `buffer`: their number, 0 at the end, -1 on a read error.
    qsizetype read(char* buffer, qsizetype capacity);

private:
    int m_fd = -1;
};

// The whole of a small regular file; one larger than `maxBytes` is TooLong.
[[nodiscard]] Result<QByteArray> readSmallFile(const QString& path, qsizetype maxBytes);

// A file that records are appended to, each with a single write, so records of several
// processes appending at once never interleave. Only a regular file is opened ("-": standard
// output).
class AppendFile {
public:
    AppendFile() = default;
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;
    ~AppendFile();
    [[nodiscard]] Result<void> open(const QString& path);
    [[nodiscard]] bool isOpen() const { return m_fd >= 0; }
    // Writes `record` in one piece. When it cannot be written whole, a part that was written is
    // cut off again, so the next record never glues onto half of this one.
    Result<void> append(const QByteArray& record);

private:
    int m_fd = -1;
    bool m_own = false;
};

// Saves `bytes` as the file at `path` and keeps what a stored setup relies on: a link still leads
// to it (a link to nothing yet gets its file made where it points), a second hard link still
// names it, its mode and owner stay. A file we may not write is refused (PermissionDenied) and
// left as it is. Where that allows (the folder may be written, one link, our own file) it goes
// through a temporary file beside it and a rename, so a failure part way leaves the previous file
// whole; otherwise the file itself is truncated and written. Only a regular file is written:
// anything else there is refused.
Result<void> saveFile(const QString& path, const QByteArray& bytes);

// Whether saveFile(path, ...) could save there now, tried without changing anything: an existing
// file (through links) must be a regular file that opens for writing, a file not made yet needs a
// folder that may be written (both as the process's effective ids decide).
[[nodiscard]] Result<void> checkSavable(const QString& path);

// Replaces whatever `path` names with a regular file holding `bytes`: a temporary file beside it,
// flushed, then renamed over the path itself. A link at the path is replaced, never followed, so
// a link that appears there cannot steer the write elsewhere. A regular file's mode is kept; a
// device node, FIFO or folder at the path is refused and left alone.
Result<void> replaceFile(const QString& path, const QByteArray& bytes);

// True when `path` names a regular file itself (not through a link) or nothing at all: the only
// places a tool may write a file of its own.
[[nodiscard]] bool isRegularFileOrAbsent(const QString& path);

// True when both paths name the same file, also through links or a second hard link; for files
// that do not exist yet, when both would be made at the same place.
[[nodiscard]] bool isSameFile(const QString& a, const QString& b);

// How many files the process may hold open, raised to the system's limit the first time.
[[nodiscard]] int openFileLimit();
