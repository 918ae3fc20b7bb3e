#pragma once

#include "core/conversation/vocabulary.h"
#include "line/hex_input.h"
#include "line/host_entry.h"
#include "line/report.h"
#include "line/runner.h"
#include "line/serial_image.h"
#include "line/transcript.h"
#include "net/host_lookup.h"

#include <QDateTime>
#include <QObject>

#include <memory>
#include <optional>
#include <vector>

class History;
class SerialPool;
class TargetLookup;

// Serialization: a value of its own for each device, written into its image, from a pool that
// hands each out once.
struct SerialSettings {
    enum class Source { None, Counter, List, Sqtp };
    Source source = Source::None;
    QString pool;                   // the pool's file
    std::optional<quint32> address; // where the value goes; an SQTP record says it itself
    int size = 0;                   // bytes; 0 for an SQTP file: its records' own
    SerialFormat format = SerialFormat::BigEndian;
    QString start, step = QStringLiteral("1"); // a counter's
    QString file;                              // a list's or an SQTP file's
};

// What a run of a line is told: the file, the targets and how to reach them, what to do, and
// where its outputs go. velta-flash fills it from its command line, the line window from its form.
struct LineSettings {
    QString file;
    QList<HostEntry> hosts;
    quint16 remotePort = Protocol::DevicePort;
    std::optional<quint16> localPort; // nothing: drawn from 5500..6499 for each session
    bool gateway = true;
    int gatewayAddress = Protocol::GatewayAddress;
    int timeoutMs = Protocol::Defaults::TimeoutMs;
    int firstTimeoutMs = Protocol::Defaults::FirstTimeoutMs; // the first record; never below timeoutMs
    int retries = Protocol::Defaults::Retries;
    int jobs = 0; // gateways and direct devices at once; 0: all
    bool check = true;
    bool verifyOnly = false;
    bool skipVerified = false;
    bool start = false;
    QString expectVersion;
    QString logFile;
    QString reportFile;      // "-": standard output
    QString failedHostsFile; // the targets that did not end "ok" or "skipped", as a hosts file
    bool scan = false;       // only ask each target for its boot information
    SerialSettings serial;
    QString history; // the store every record also goes to: an SQLite file or a PostgreSQL URL
    QString station; // named in every record; empty: this host's name
};

// One run of a line, step by step: the file, the outputs, the targets' addresses, the devices,
// the records. Every step that waits does so in the event loop, so an interruption is honoured in
// each of them, and nothing is sent after it. Failures the user must read come as message().
class LineRun : public QObject {
    Q_OBJECT
public:
    explicit LineRun(LineSettings settings, HostLookup lookup = HostLookup::system(),
                     QObject* parent = nullptr);
    ~LineRun() override;

    // Loads and checks the file and opens the outputs, before any device hears from us: the exit
    // code when the run ends there (a bad file gets every device its record).
    [[nodiscard]] std::optional<int> prepare();
    // Looks the targets up and runs the devices, from the event loop: runnerReady() once the
    // devices are about to start, done() when they are all done or the run stopped.
    void start();
    // Stops sending at once (a termination signal, the station's Stop): devices under way and not
    // begun end as interrupted; the exit code is 128 + `signalNumber`.
    void interrupt(int signalNumber);
    // After done(): closes the log and writes the list of failed targets; the exit code of the
    // run so far, an output that could not be written included.
    [[nodiscard]] int settle();
    // Writes the run's own record with the final `exitCode`; that code, or 6 where the record
    // itself could not be written on a success.
    [[nodiscard]] int close(int exitCode);

    [[nodiscard]] QList<const DeviceJob*> jobs() const;
    [[nodiscard]] const LineSettings& settings() const { return m_settings; }
    [[nodiscard]] const std::optional<FlashFile>& file() const { return m_file; }
    [[nodiscard]] const QString& runId() const { return m_runId; }
    [[nodiscard]] int interruptedBy() const { return m_interruptedBy; }
    // The targets were refused once their addresses were known (one device named twice, a group
    // address): no device was asked, and the run has no record.
    [[nodiscard]] bool refused() const { return m_usageError.has_value(); }

signals:
    void message(const QString& text);
    void runnerReady(Runner* runner, const QList<DeviceJob*>& all);
    void done();

private:
    [[nodiscard]] std::optional<int> loadFile();
    [[nodiscard]] std::optional<int> openOutputs();
    void lookUpTargets();
    void targetsLookedUp();
    [[nodiscard]] std::optional<int> checkTargets();
    void runDevices();
    [[nodiscard]] std::optional<int> gatewayOf(const HostEntry& host) const;
    void addJob(const HostEntry& host, std::optional<int> gateway);
    void jobFinished(DeviceJob* job);
    [[nodiscard]] std::optional<int> openHistory();
    void toHistory(const QByteArray& record);
    [[nodiscard]] std::optional<int> openSerialPool();
    void jobStarting(DeviceJob* job);
    void giveSerial(DeviceJob* job);
    void settleSerial(DeviceJob* job);
    [[nodiscard]] int devicesExitCode() const;
    [[nodiscard]] bool writeFailedHosts(const QList<const DeviceJob*>& failed);
    [[nodiscard]] RunContext runContext(int lines, const QString& sha256) const;

    LineSettings m_settings;
    QString m_runId;     // ties the run's records together
    QDateTime m_started; // UTC
    HostLookup m_hostLookup;
    std::optional<FlashFile> m_file;
    Report m_report;
    Transcript m_transcript;
    std::vector<std::unique_ptr<DeviceJob>> m_jobs; // every target, in the order named
    TargetLookup* m_lookup = nullptr;
    std::unique_ptr<Runner> m_runner;
    int m_interruptedBy = 0;
    std::optional<int> m_usageError; // a step in the event loop that ends the run with 2
    bool m_over = false;             // done() has come
    std::unique_ptr<SerialPool> m_pool;
    QString m_poolFailure; // the pool failed: no device starts after it
    int m_programmed = 0, m_voided = 0;
    std::unique_ptr<History> m_history;
    QString m_historyFailure;  // the history went away: no device starts after it
    bool m_recordLost = false; // a record reached neither the history nor its spool
};
