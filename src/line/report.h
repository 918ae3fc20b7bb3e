#pragma once

#include "core/io/files.h"
#include "line/exit_code.h"
#include "line/runner.h"
#include "store/serial_pool.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QMap>
#include <QString>

#include <functional>
#include <optional>
#include <utility>

// What every record of a run says of the run.
struct RunContext {
    QString file;                                // the HEX file as named; empty for an inventory
    int lines = 0;                               // its record lines
    QString sha256;                              // of the bytes loaded; empty: unknown
    QString runId;                               // ties the records of one run together
    QString operation = QStringLiteral("flash"); // flash, verify, check-then-flash or scan
    QString expectVersion;                       // --expect-version; empty: any version
    bool fileChecked = true;                     // every record was checked before sending
    QString station;                             // the station that ran it (--station)
};

// The production record: one JSON object per device per run, appended as one line the moment
// the device is done, so an interrupted run keeps the records of the devices it finished; and one
// for the run at its end. The fields are listed in the README (records).
class Report {
public:
    static constexpr int SchemaVersion = 1;

    // `path` "-" writes to standard output; `run` goes into every record.
    Result<void> open(const QString& path, RunContext run);
    // What every record says of the run where no file is open (records go only to the sink).
    void setRun(RunContext run) { m_run = std::move(run); }
    // Every record, as its text, also to `sink` (the history), with or without a file.
    void setSink(std::function<void(const QByteArray& record)> sink) { m_sink = std::move(sink); }
    [[nodiscard]] bool isOpen() const { return m_out.isOpen(); }
    // Writes the record of a finished device; a failed write is remembered, not fatal.
    void write(const DeviceJob& job);
    // A device the run never reached because the file could not be used.
    void writeFileError(const DeviceJob& job, const QString& message);
    // A device that answered an inventory's boot-information request.
    void writeScan(const DeviceJob& job);
    // One value of a serial pool (--serials): what became of it, with no run around it.
    void writeSerial(const SerialEntry& entry);
    // The run's own record, last: its devices' results counted, its exit code and, with a serial
    // pool, how many values became programmed and void.
    void writeRun(const QMap<QString, int>& results, int devices, const QDateTime& start, int exitCode,
                  std::optional<std::pair<int, int>> serials = std::nullopt);
    // Why the first record that could not be written was not; empty while all were.
    [[nodiscard]] const QString& failure() const { return m_failure; }
    [[nodiscard]] bool failed() const { return !m_failure.isEmpty(); }
    // The signal that interrupted the run, for the exit codes of interrupted devices.
    void setInterruptedBy(int signalNumber) { m_interruptedBy = signalNumber; }

private:
    [[nodiscard]] QJsonObject deviceFields(const DeviceJob& job, const QString& type) const;
    void put(QJsonObject record, double durationS);

    [[nodiscard]] bool writes() const { return isOpen() || m_sink != nullptr; }

    AppendFile m_out;
    std::function<void(const QByteArray&)> m_sink;
    RunContext m_run;
    int m_interruptedBy = 2;
    QString m_failure;
};

// The process exit code a device's result stands for.
[[nodiscard]] int exitCodeOf(FlashResult result, int interruptedBy = 2);
