#pragma once

#include "core/io/result.h"

#include <QByteArrayView>
#include <QFile>
#include <QString>

#include <optional>

// The --log file: one line per datagram sent or received, and per notable event:
//   2024-05-01T09:30:00.125Z 127.0.0.1:111 > MDB 16,OOTi\r\n
//   2024-05-01T09:30:00.126Z 127.0.0.1:111 < VELTA BOOT VER=2.10 ADDR=16\r\n
//   2024-05-01T09:30:03.127Z 127.0.0.1:111 - timeout, resend 1 of 3
// Times are UTC with milliseconds. A datagram is written up to its first LoggedBytes bytes,
// with its length after them when it is longer. Without a file every call does nothing.
class Transcript {
public:
    Transcript() = default;
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    // Creates (or truncates) the file.
    Result<void> open(const QString& path);
    [[nodiscard]] bool isOpen() const { return m_file.isOpen(); }

    void sent(const QString& host, QByteArrayView bytes) { write(host, '>', bytes); }
    void received(const QString& host, QByteArrayView bytes) { write(host, '<', bytes); }
    void note(const QString& host, const QString& text);

    // Flushes and closes; a failure when something could not be written, and then the file ends
    // with the last line that was written whole.
    Result<void> close();

private:
    void write(const QString& host, char direction, QByteArrayView bytes);
    void stamp(const QString& host, char direction);
    void put();
    void cutToLastLine();

    QFile m_file;
    QByteArray m_line;
    qint64 m_second = -1; // the second m_secondText shows
    QByteArray m_secondText;
    std::optional<QString> m_failure; // the first write that failed
};
