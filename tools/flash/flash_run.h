#pragma once

#include "flash_options.h"
#include "line/hex_input.h"
#include "line/report.h"
#include "line/runner.h"
#include "line/transcript.h"
#include "net/host_lookup.h"

#include <QDateTime>
#include <QEventLoop>
#include <QObject>

#include <memory>
#include <optional>

class TargetLookup;
class TerminationSignals;

// One run of velta-flash, step by step: the file, the outputs, the targets' addresses, the
// devices, the table. Every step that waits does so in the event loop, so Ctrl-C and SIGTERM are
// honoured in each of them: the run then ends at once with 130 or 143, and nothing is sent after.
class FlashRun : public QObject {
    Q_OBJECT
public:
    FlashRun(FlashOptions options, TerminationSignals& termination, HostLookup lookup = HostLookup::system());
    ~FlashRun() override;

    // Runs to the end; the process exit code.
    int exec();

private:
    // Each step returns the exit code when the run ends there.
    [[nodiscard]] std::optional<int> loadFile();
    [[nodiscard]] std::optional<int> openOutputs();
    void lookUpTargets();
    void targetsLookedUp();
    [[nodiscard]] std::optional<int> checkTargets();
    void runDevices();
    void interrupted(int signalNumber);
    [[nodiscard]] int finish();
    [[nodiscard]] std::optional<int> gatewayOf(const HostEntry& host) const;
    void addJob(const HostEntry& host, std::optional<int> gateway);
    void jobFinished(DeviceJob* job);
    [[nodiscard]] int exitCode() const;
    [[nodiscard]] bool printTable();
    [[nodiscard]] bool writeFailedHosts(const QList<const DeviceJob*>& failed);
    [[nodiscard]] QList<const DeviceJob*> jobs() const;
    void printError(const QString& text) const;
    [[nodiscard]] RunContext runContext(int lines, const QString& sha256) const;

    FlashOptions m_options;
    QString m_runId;     // ties the run's records together
    QDateTime m_started; // UTC
    TerminationSignals& m_termination;
    HostLookup m_hostLookup;
    std::optional<FlashFile> m_file;
    Report m_report;
    Transcript m_transcript;
    std::vector<std::unique_ptr<DeviceJob>> m_jobs; // every target, in the order named
    TargetLookup* m_lookup = nullptr;
    std::unique_ptr<Runner> m_runner;
    QEventLoop m_loop;
    int m_interruptedBy = 0;
    std::optional<int> m_usageError; // a step in the event loop that ends the run with 2
};
