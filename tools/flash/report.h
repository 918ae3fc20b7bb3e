#pragma once

#include "flash_options.h"

#include "core/io/files.h"
#include "runner.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>

// The production record: one JSON object per device per run, appended as one line the moment
// the device is done, so an interrupted run keeps the records of the devices it finished.
class Report {
public:
    // `path` "-" writes to standard output. The file, its SHA-256 (empty: unknown) and its line
    // count go in every record.
    Result<void> open(const QString& path, const QString& file, int lines, const QString& sha256);
    [[nodiscard]] bool isOpen() const { return m_out.isOpen(); }
    // Writes the record of a finished device; a failed write is remembered, not fatal.
    void write(const DeviceJob& job);
    // A device the run never reached because the file could not be used.
    void writeFileError(const DeviceJob& job, const QString& message);
    [[nodiscard]] bool failed() const { return m_failed; }
    // The signal that interrupted the run, for the exit codes of interrupted devices.
    void setInterruptedBy(int signalNumber) { m_interruptedBy = signalNumber; }

private:
    void put(QJsonObject record);

    AppendFile m_out;
    QString m_file;
    QString m_sha256;
    int m_lines = 0;
    int m_interruptedBy = 2;
    bool m_failed = false;
};

// "ok", "device-error", "timeout", "network-error", "interrupted", "skipped" for the report.
[[nodiscard]] QString reportResult(const DeviceJob& job);
// The process exit code a device's result stands for.
[[nodiscard]] int exitCodeOf(FlashResult result, int interruptedBy = 2);
